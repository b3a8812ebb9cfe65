// container: the smallest honest container of the control, for the end-to-end run. It creates the
// control by its ProgID in a window of its own, activates it in place, has the robot (through the
// relay serving ROBOT) take a photo, and compares the pixels the control painted in its window with
// the picture the control decoded. Then the Properties verb's page set and the "General" page, and
// the saved state (the control's version).
//
//   container ROBOT            exit status 0 when every check holds
#include <windows.h>
// COM and OLE after windows.h, which they build on.
#include <objbase.h>
#include <ocidl.h>
#include <oleauto.h>
#include <olectl.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

int failures = 0;

void Check(bool ok, const char* what) {
  std::printf("%s: %s\n", ok ? "ok" : "FAILED", what);
  std::fflush(stdout);
  if (!ok) ++failures;
}

void Pump(DWORD ms) {
  const DWORD end = GetTickCount() + ms;
  MSG message;
  while (static_cast<LONG>(end - GetTickCount()) > 0) {
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    Sleep(5);
  }
}

// The container's side of the embedding: a client site that lets the control activate in place in
// the container's window, at the window's origin.
class Site : public IOleClientSite, public IOleInPlaceSite {
 public:
  explicit Site(HWND window) : window_(window) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    *out = nullptr;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IOleClientSite))
      *out = static_cast<IOleClientSite*>(this);
    else if (IsEqualIID(iid, IID_IOleWindow) || IsEqualIID(iid, IID_IOleInPlaceSite))
      *out = static_cast<IOleInPlaceSite*>(this);
    else
      return E_NOINTERFACE;
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }  // lives on main's stack
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  // IOleClientSite
  HRESULT STDMETHODCALLTYPE SaveObject() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetMoniker(DWORD, DWORD, IMoniker**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetContainer(IOleContainer** out) override {
    return *out = nullptr, E_NOINTERFACE;
  }
  HRESULT STDMETHODCALLTYPE ShowObject() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnShowWindow(BOOL) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE RequestNewObjectLayout() override { return E_NOTIMPL; }
  // IOleWindow, IOleInPlaceSite
  HRESULT STDMETHODCALLTYPE GetWindow(HWND* out) override { return *out = window_, S_OK; }
  HRESULT STDMETHODCALLTYPE ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE CanInPlaceActivate() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnInPlaceActivate() override { return active = true, S_OK; }
  HRESULT STDMETHODCALLTYPE OnUIActivate() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** document,
                                             RECT* position, RECT* clip, OLEINPLACEFRAMEINFO* info) override {
    *frame = nullptr;
    *document = nullptr;
    *position = RECT{0, 0, 176, 144};
    *clip = *position;
    info->fMDIApp = FALSE;
    info->hwndFrame = window_;
    info->haccel = nullptr;
    info->cAccelEntries = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Scroll(SIZE) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OnUIDeactivate(BOOL) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnInPlaceDeactivate() override { return active = false, S_OK; }
  HRESULT STDMETHODCALLTYPE DiscardUndoState() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE DeactivateAndUndo() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnPosRectChange(LPCRECT) override { return S_OK; }
  bool active = false;

 private:
  HWND window_;
};

HRESULT Call(IDispatch* object, const wchar_t* name, VARIANT* args, UINT count, VARIANT* result = nullptr) {
  LPOLESTR names[1] = {const_cast<LPOLESTR>(name)};
  DISPID id = 0;
  HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(hr)) return hr;
  DISPPARAMS params{args, nullptr, count, 0};
  return object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, result, nullptr,
                        nullptr);
}

// The control window's pixels, top row first, R G B.
std::vector<uint8_t> WindowPixels(HWND window, int w, int h) {
  HDC dc = GetDC(window);
  HDC memory = CreateCompatibleDC(dc);
  HBITMAP picture = CreateCompatibleBitmap(dc, w, h);
  HGDIOBJ old = SelectObject(memory, picture);
  BitBlt(memory, 0, 0, w, h, dc, 0, 0, SRCCOPY);
  SelectObject(memory, old);
  BITMAPINFOHEADER info{sizeof info, w, -h, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  std::vector<uint8_t> bgra(static_cast<std::size_t>(w) * h * 4);
  GetDIBits(memory, picture, 0, static_cast<UINT>(h), bgra.data(), reinterpret_cast<BITMAPINFO*>(&info),
            DIB_RGB_COLORS);
  DeleteObject(picture);
  DeleteDC(memory);
  ReleaseDC(window, dc);
  std::vector<uint8_t> rgb;
  for (std::size_t i = 0; i < bgra.size(); i += 4) rgb.insert(rgb.end(), {bgra[i + 2], bgra[i + 1], bgra[i]});
  return rgb;
}

BOOL CALLBACK FindPageText(HWND child, LPARAM found) {
  wchar_t text[128] = {};
  GetWindowTextW(child, text, 128);
  if (std::wcsstr(text, L"TODO: Place controls") == text) *reinterpret_cast<bool*>(found) = true;
  return TRUE;
}

// True when a window below `parent` shows the page's text.
bool ShowsPageText(HWND parent) {
  bool found = false;
  EnumChildWindows(parent, &FindPageText, reinterpret_cast<LPARAM>(&found));
  return found;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: container ROBOT\n");
    return 2;
  }
  OleInitialize(nullptr);
  WNDCLASSW window_class{};
  window_class.lpfnWndProc = &DefWindowProcW;
  window_class.hInstance = GetModuleHandleW(nullptr);
  window_class.lpszClassName = L"TalvenorTestContainer";
  window_class.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
  RegisterClassW(&window_class);
  HWND window = CreateWindowExW(0, L"TalvenorTestContainer", L"container", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                                0, 0, 400, 300, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  Check(window != nullptr, "the container's window");

  CLSID clsid{};
  IOleObject* ole = nullptr;
  Check(CLSIDFromProgID(L"ZEMBRINSDKCONTROL.ZembrinSDKControlCtrl.1", &clsid) == S_OK &&
            CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IOleObject,
                             reinterpret_cast<void**>(&ole)) == S_OK,
        "the control is created by its ProgID");
  if (ole == nullptr) return 1;
  DWORD status = 0;
  ole->GetMiscStatus(DVASPECT_CONTENT, &status);
  Check(status == 0x20191, "its status bits are 0x20191");
  SIZEL extent{};
  ole->GetExtent(DVASPECT_CONTENT, &extent);
  Check(extent.cx == 4657 && extent.cy == 3810, "its extent is 176 x 144 pixels");
  Site site(window);
  ole->SetClientSite(&site);
  RECT place{0, 0, 176, 144};
  Check(ole->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, &site, 0, window, &place) == S_OK && site.active,
        "it activates in place");
  IOleInPlaceObject* in_place = nullptr;
  HWND view = nullptr;
  ole->QueryInterface(IID_IOleInPlaceObject, reinterpret_cast<void**>(&in_place));
  Check(in_place != nullptr && in_place->GetWindow(&view) == S_OK && IsWindowVisible(view) &&
            GetParent(view) == window,
        "in a visible window of its own inside the container's");

  // A photo through the relay: the control decodes it on its timer, invalidates and repaints.
  IDispatch* control = nullptr;
  ole->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&control));
  VARIANT robot;
  VariantInit(&robot);
  robot.vt = VT_BSTR;
  robot.bstrVal = SysAllocString(argv[1]);
  Call(control, L"connectRobot", &robot, 1);
  VariantClear(&robot);
  Call(control, L"TakePhoto", nullptr, 0);
  const uint8_t* decoded = nullptr;
  using ImageOf = const uint8_t* (*)(void*, size_t*);
  auto image_of = reinterpret_cast<ImageOf>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"talvenorctl.dll"), "tv_image")));
  size_t size = 0;
  if (image_of != nullptr) decoded = image_of(nullptr, &size);
  bool pictured = false;
  for (int i = 0; i < 200 && !pictured && decoded != nullptr; ++i) {
    Pump(50);
    for (size_t b = 0; b < size && !pictured; ++b) pictured = decoded[b] != 0;  // no longer all black
  }
  Check(pictured, "a photo was decoded");
  Pump(500);  // painted
  const std::vector<uint8_t> painted = WindowPixels(view, 176, 144);
  int differing = 0;
  for (size_t b = 0; decoded != nullptr && b < painted.size() && b < size; ++b)
    differing += painted[b] != decoded[b];
  std::printf("pixels that differ from the decoded picture: %d of %zu\n", differing / 3, painted.size() / 3);
  Check(decoded != nullptr && painted.size() == size && differing == 0,
        "the control's window shows the decoded picture, pixel for pixel");

  // The Properties verb's page set, and its one page, "General" (dialog 200).
  ISpecifyPropertyPages* specify = nullptr;
  CAUUID pages{};
  ole->QueryInterface(IID_ISpecifyPropertyPages, reinterpret_cast<void**>(&specify));
  Check(specify != nullptr && specify->GetPages(&pages) == S_OK && pages.cElems == 1, "one property page");
  IPropertyPage* page = nullptr;
  PROPPAGEINFO info{};
  if (pages.cElems == 1)
    CoCreateInstance(pages.pElems[0], nullptr, CLSCTX_INPROC_SERVER, IID_IPropertyPage,
                     reinterpret_cast<void**>(&page));
  Check(page != nullptr && page->GetPageInfo(&info) == S_OK && info.pszTitle != nullptr &&
            std::wcscmp(info.pszTitle, L"General") == 0,
        "the page is \"General\"");
  RECT page_place{0, 0, 300, 100};
  bool text_shown = false;
  if (page != nullptr && page->Activate(window, &page_place, FALSE) == S_OK) {
    HWND child = nullptr;
    while ((child = FindWindowExW(window, child, nullptr, nullptr)) != nullptr) {
      HWND text = GetWindow(child, GW_CHILD);
      wchar_t buffer[128] = {};
      if (text != nullptr) GetWindowTextW(text, buffer, 128);
      text_shown = text_shown || std::wcsstr(buffer, L"TODO: Place controls") == buffer;
    }
    page->Deactivate();
  }
  Check(text_shown, "the page shows its one text");
  if (page != nullptr) page->Release();
  CoTaskMemFree(info.pszTitle);
  CoTaskMemFree(info.pszDocString);
  CoTaskMemFree(info.pszHelpFile);
  CoTaskMemFree(pages.pElems);
  if (specify != nullptr) specify->Release();

  // The Properties verb: the system's property frame, modal, with the page; a user closes it.
  std::atomic<bool> frame_seen{false}, page_in_frame{false};
  std::thread user([&] {
    for (int i = 0; i < 200 && !frame_seen; ++i) {
      Sleep(50);
      HWND frame = nullptr;
      while ((frame = FindWindowExW(nullptr, frame, L"#32770", nullptr)) != nullptr) {
        DWORD process = 0;
        GetWindowThreadProcessId(frame, &process);
        if (process != GetCurrentProcessId() || !IsWindowVisible(frame)) continue;
        frame_seen = true;
        Sleep(300);
        page_in_frame = ShowsPageText(frame);
        PostMessageW(frame, WM_COMMAND, IDCANCEL, 0);
        break;
      }
    }
  });
  const HRESULT shown = ole->DoVerb(OLEIVERB_PROPERTIES, nullptr, &site, 0, window, &place);
  user.join();
  Check(shown == S_OK && frame_seen && page_in_frame,
        "the Properties verb shows the page in the property frame");

  // The saved state: the control's version, 1.0, and it loads back.
  IPersistStreamInit* persist = nullptr;
  IStream* stream = nullptr;
  ole->QueryInterface(IID_IPersistStreamInit, reinterpret_cast<void**>(&persist));
  CreateStreamOnHGlobal(nullptr, TRUE, &stream);
  uint32_t version = 0;
  LARGE_INTEGER start{};
  bool saved = persist != nullptr && stream != nullptr && persist->Save(stream, TRUE) == S_OK &&
               stream->Seek(start, STREAM_SEEK_SET, nullptr) == S_OK &&
               stream->Read(&version, sizeof version, nullptr) == S_OK;
  Check(saved && version == 0x00010000 && persist->IsDirty() == S_FALSE, "the saved state holds version 1.0");
  if (stream != nullptr) {
    stream->Seek(start, STREAM_SEEK_SET, nullptr);
    Check(persist->Load(stream) == S_OK, "and loads back");
    stream->Release();
  }
  if (persist != nullptr) persist->Release();

  in_place->InPlaceDeactivate();
  Check(!site.active && !IsWindow(view), "it deactivates and its window goes");
  in_place->Release();
  control->Release();
  ole->Close(OLECLOSE_NOSAVE);
  ole->SetClientSite(nullptr);
  ole->Release();
  DestroyWindow(window);
  OleUninitialize();
  return failures == 0 ? 0 : 1;
}
