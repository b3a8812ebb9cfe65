#include "control/com/embedding.h"

#include <olectl.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "control/com/control_object.h"
#include "control/com/utf8.h"
#include "control/com/window_host.h"
#include "control/control.h"
#include "control/dispatch.h"
#include "control/resources/resource_texts.h"

namespace control::com {
namespace {

constexpr wchar_t kViewClass[] = L"TalvenorControlView";
constexpr uint32_t kSavedVersion = 0x00010000;  // major 1, minor 0

}  // namespace

Embedding::~Embedding() {
  InPlaceDeactivate();
  if (site_ != nullptr) site_->Release();
}

void* Embedding::Find(REFIID iid) {
  if (IsEqualIID(iid, IID_IOleObject)) return static_cast<IOleObject*>(this);
  if (IsEqualIID(iid, IID_IOleWindow) || IsEqualIID(iid, IID_IOleInPlaceObject))
    return static_cast<IOleInPlaceObject*>(this);
  if (IsEqualIID(iid, IID_IPersistStreamInit) || IsEqualIID(iid, IID_IPersist))
    return static_cast<IPersistStreamInit*>(this);
  if (IsEqualIID(iid, IID_ISpecifyPropertyPages)) return static_cast<ISpecifyPropertyPages*>(this);
  return nullptr;
}

HRESULT Embedding::SetClientSite(IOleClientSite* site) {
  if (site != nullptr) site->AddRef();
  if (site_ != nullptr) site_->Release();
  site_ = site;
  return S_OK;
}

HRESULT Embedding::GetClientSite(IOleClientSite** out) {
  if (out == nullptr) return E_POINTER;
  *out = site_;
  if (site_ != nullptr) site_->AddRef();
  return S_OK;
}

HRESULT Embedding::Close(DWORD) {
  return InPlaceDeactivate();
}

HRESULT Embedding::DoVerb(LONG verb, LPMSG, IOleClientSite* site, LONG, HWND parent, LPCRECT position) {
  switch (verb) {
    case OLEIVERB_PRIMARY:
    case OLEIVERB_SHOW:
    case OLEIVERB_INPLACEACTIVATE:
    case OLEIVERB_UIACTIVATE:
      return ActivateInPlace(site != nullptr ? site : site_, parent, position);
    case OLEIVERB_PROPERTIES: {
      // The page set in the system's property frame, modal.
      CAUUID pages{};
      GetPages(&pages);
      IUnknown* self = &owner_;
      const HRESULT hr = OleCreatePropertyFrame(parent, 0, 0, L"ZembrinSDKControl", 1, &self, pages.cElems,
                                                pages.pElems, LOCALE_USER_DEFAULT, 0, nullptr);
      CoTaskMemFree(pages.pElems);
      return hr;
    }
    case OLEIVERB_HIDE:
      if (view_ != nullptr) ShowWindow(view_, SW_HIDE);
      return S_OK;
    default:
      return OLEOBJ_S_INVALIDVERB;
  }
}

HRESULT Embedding::ActivateInPlace(IOleClientSite* site, HWND parent, LPCRECT position) {
  if (view_ != nullptr) {
    ShowWindow(view_, SW_SHOW);
    return S_OK;
  }
  if (site == nullptr) return E_INVALIDARG;
  IOleInPlaceSite* in_place = nullptr;
  if (FAILED(site->QueryInterface(IID_IOleInPlaceSite, reinterpret_cast<void**>(&in_place))))
    return E_NOINTERFACE;
  if (in_place->CanInPlaceActivate() != S_OK) {
    in_place->Release();
    return E_FAIL;
  }
  in_place->OnInPlaceActivate();
  HWND window = parent;
  in_place->GetWindow(&window);
  RECT place = position != nullptr ? *position : RECT{0, 0, kImageWidth, kImageHeight};
  IOleInPlaceFrame* frame = nullptr;
  IOleInPlaceUIWindow* document = nullptr;
  RECT site_position{}, clip{};
  OLEINPLACEFRAMEINFO info{sizeof info, FALSE, nullptr, nullptr, 0};
  if (SUCCEEDED(in_place->GetWindowContext(&frame, &document, &site_position, &clip, &info))) {
    if (position == nullptr) place = site_position;
    if (frame != nullptr) frame->Release();
    if (document != nullptr) document->Release();
  }
  WNDCLASSW view_class{};
  view_class.lpfnWndProc = &ViewProc;
  view_class.hInstance = ModuleHandle();
  view_class.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  view_class.lpszClassName = kViewClass;
  RegisterClassW(&view_class);  // fails harmlessly while the class exists
  view_ = CreateWindowExW(0, kViewClass, L"", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS, place.left, place.top,
                          place.right - place.left, place.bottom - place.top, window, nullptr, ModuleHandle(),
                          nullptr);
  if (view_ == nullptr) {
    in_place->OnInPlaceDeactivate();
    in_place->Release();
    return E_FAIL;
  }
  in_place_site_ = in_place;
  return S_OK;
}

HRESULT Embedding::InPlaceDeactivate() {
  if (view_ == nullptr) return S_OK;
  DestroyWindow(view_);
  view_ = nullptr;
  UnregisterClassW(kViewClass, ModuleHandle());  // fails while another control's view remains
  if (in_place_site_ != nullptr) {
    in_place_site_->OnInPlaceDeactivate();
    in_place_site_->Release();
    in_place_site_ = nullptr;
  }
  return S_OK;
}

HRESULT Embedding::SetObjectRects(LPCRECT position, LPCRECT) {
  if (position == nullptr) return E_POINTER;
  if (view_ != nullptr)
    MoveWindow(view_, position->left, position->top, position->right - position->left,
               position->bottom - position->top, TRUE);
  return S_OK;
}

HRESULT Embedding::GetWindow(HWND* out) {
  if (out == nullptr) return E_POINTER;
  *out = view_;
  return view_ != nullptr ? S_OK : E_FAIL;
}

HRESULT Embedding::GetUserClassID(CLSID* out) {
  if (out == nullptr) return E_POINTER;
  *out = ControlClassId();
  return S_OK;
}

HRESULT Embedding::SetExtent(DWORD aspect, SIZEL* size) {
  if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
  if (size == nullptr) return E_POINTER;
  extent_ = *size;
  control_.set_modified(true);
  return S_OK;
}

HRESULT Embedding::GetExtent(DWORD aspect, SIZEL* size) {
  if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
  if (size == nullptr) return E_POINTER;
  *size = extent_;
  return S_OK;
}

HRESULT Embedding::GetMiscStatus(DWORD aspect, DWORD* status) {
  if (status == nullptr) return E_POINTER;
  *status = aspect == DVASPECT_CONTENT ? Identity::kMiscStatus : 0;
  return S_OK;
}

HRESULT Embedding::Load(LPSTREAM stream) {
  if (stream == nullptr) return E_POINTER;
  uint32_t saved[3] = {};
  ULONG read = 0;
  if (FAILED(stream->Read(saved, sizeof saved, &read)) || read != sizeof saved) return E_FAIL;
  // A state saved by another major version is not read; the properties are never saved.
  if ((saved[0] >> 16) != (kSavedVersion >> 16)) return E_FAIL;
  extent_ = SIZEL{static_cast<LONG>(saved[1]), static_cast<LONG>(saved[2])};
  control_.set_modified(false);
  return S_OK;
}

HRESULT Embedding::Save(LPSTREAM stream, BOOL clear_dirty) {
  if (stream == nullptr) return E_POINTER;
  const uint32_t saved[3] = {kSavedVersion, static_cast<uint32_t>(extent_.cx),
                             static_cast<uint32_t>(extent_.cy)};
  ULONG written = 0;
  if (FAILED(stream->Write(saved, sizeof saved, &written)) || written != sizeof saved) return STG_E_CANTSAVE;
  if (clear_dirty) control_.set_modified(false);
  return S_OK;
}

HRESULT Embedding::GetSizeMax(ULARGE_INTEGER* size) {
  if (size == nullptr) return E_POINTER;
  size->QuadPart = 12;
  return S_OK;
}

HRESULT Embedding::GetPages(CAUUID* pages) {
  if (pages == nullptr) return E_POINTER;
  pages->pElems = static_cast<GUID*>(CoTaskMemAlloc(sizeof(GUID)));
  if (pages->pElems == nullptr) return E_OUTOFMEMORY;
  pages->cElems = 1;
  pages->pElems[0] = PageClassId();
  return S_OK;
}

// The picture in the module's image buffer, painted at the window's origin pixel by pixel, unscaled:
// what lies outside the window is clipped.
LRESULT CALLBACK Embedding::ViewProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message != WM_PAINT) return DefWindowProcW(window, message, wparam, lparam);
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(window, &paint);
  const uint8_t* image = ModuleImageBuffer();
  for (int y = 0; y < kImageHeight; ++y)
    for (int x = 0; x < kImageWidth; ++x) {
      const uint8_t* p = image + 3 * (kImageWidth * y + x);
      SetPixelV(dc, x, y, RGB(p[0], p[1], p[2]));
    }
  EndPaint(window, &paint);
  return 0;
}

// ---- The property page -------------------------------------------------------------------------

namespace {

class PropertyPage : public IPropertyPage {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IPropertyPage)) return E_NOINTERFACE;
    *out = static_cast<IPropertyPage*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&references_)); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG left = InterlockedDecrement(&references_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }
  HRESULT STDMETHODCALLTYPE SetPageSite(IPropertyPageSite* site) override {
    if (site != nullptr) site->AddRef();
    if (site_ != nullptr) site_->Release();
    site_ = site;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Activate(HWND parent, LPCRECT place, BOOL) override {
    window_ = CreateDialogParamW(ModuleHandle(), MAKEINTRESOURCEW(TV_IDD_PAGE), parent, &PageProc, 0);
    if (window_ == nullptr) return E_FAIL;
    if (place != nullptr) Move(place);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Deactivate() override {
    if (window_ != nullptr) DestroyWindow(window_);
    window_ = nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetPageInfo(PROPPAGEINFO* info) override {
    if (info == nullptr) return E_POINTER;
    const LONG units = GetDialogBaseUnits();
    info->cb = sizeof *info;
    info->pszTitle = Copy(TV_TEXT_PAGE_CAPTION);
    info->size = SIZE{MulDiv(TV_PAGE_WIDTH, LOWORD(units), 4), MulDiv(TV_PAGE_HEIGHT, HIWORD(units), 8)};
    info->pszDocString = Copy("Names to appear in the control");
    info->pszHelpFile = Copy("ZembrinTalvenorControl.hlp");
    info->dwHelpContext = 0;
    return S_OK;
  }
  // The page exchanges no property with the controls it is shown for.
  HRESULT STDMETHODCALLTYPE SetObjects(ULONG, IUnknown**) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Show(UINT command) override {
    if (window_ != nullptr) ShowWindow(window_, static_cast<int>(command));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Move(LPCRECT place) override {
    if (place == nullptr) return E_POINTER;
    if (window_ != nullptr)
      MoveWindow(window_, place->left, place->top, place->right - place->left, place->bottom - place->top,
                 TRUE);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE IsPageDirty() override { return S_FALSE; }
  HRESULT STDMETHODCALLTYPE Apply() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Help(LPCOLESTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE TranslateAccelerator(MSG*) override { return S_FALSE; }

  PropertyPage() { CountObject(1); }

 private:
  virtual ~PropertyPage() {
    Deactivate();
    if (site_ != nullptr) site_->Release();
    CountObject(-1);
  }
  static LPOLESTR Copy(const char* text) {
    const std::wstring wide = Utf16(text);
    auto* out = static_cast<LPOLESTR>(CoTaskMemAlloc((wide.size() + 1) * sizeof(wchar_t)));
    if (out != nullptr) std::memcpy(out, wide.c_str(), (wide.size() + 1) * sizeof(wchar_t));
    return out;
  }
  static INT_PTR CALLBACK PageProc(HWND, UINT message, WPARAM, LPARAM) { return message == WM_INITDIALOG; }

  LONG references_ = 1;
  IPropertyPageSite* site_ = nullptr;
  HWND window_ = nullptr;
};

}  // namespace

HRESULT CreatePropertyPage(REFIID iid, void** out) {
  auto* page = new PropertyPage();
  const HRESULT hr = page->QueryInterface(iid, out);
  page->Release();
  return hr;
}

}  // namespace control::com
