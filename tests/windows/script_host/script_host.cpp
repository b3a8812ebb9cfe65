// script_host: runs a VBScript (.vbs) or JScript (.js) file in the system's own script engines, with
// the part of the console script host's WScript object that scripts driving a control use: Echo,
// Sleep (which pumps the thread's messages, so the control's timer runs), ConnectObject,
// CreateObject, Arguments and Quit. The same scripts run unchanged under Windows' cscript.
//
//   script_host SCRIPT [ARGUMENTS...]      exit status 0, or 1 after a script error
#include <activscp.h>
#include <objbase.h>
#include <ocidl.h>
#include <oleauto.h>
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::wstring Wide(const std::string& s) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), n);
  return out;
}

std::string Utf8(const wchar_t* s, int length = -1) {
  if (s == nullptr) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, s, length, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, s, length, out.data(), n, nullptr, nullptr);
  if (length < 0 && !out.empty()) out.pop_back();
  return out;
}

// The text of a value as the script host prints it.
std::string Text(const VARIANT& v) {
  VARIANT s;
  VariantInit(&s);
  if (FAILED(VariantChangeType(&s, const_cast<VARIANT*>(&v), VARIANT_ALPHABOOL, VT_BSTR))) return "";
  std::string out = Utf8(s.bstrVal, static_cast<int>(SysStringLen(s.bstrVal)));
  VariantClear(&s);
  return out;
}

const VARIANT& Deref(const VARIANT& v) {
  return v.vt == (VT_BYREF | VT_VARIANT) && v.pvarVal != nullptr ? *v.pvarVal : v;
}

// A dispatch object whose members are numbered by their place in a name list; subclasses run them.
class NamedDispatch : public IDispatch {
 public:
  explicit NamedDispatch(std::vector<std::wstring> names) : names_(std::move(names)) {}
  virtual ~NamedDispatch() = default;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IDispatch)) return E_NOINTERFACE;
    *out = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++references_); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG left = --references_;
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override {
    return n == nullptr ? E_POINTER : (*n = 0, S_OK);
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    HRESULT hr = S_OK;
    for (UINT i = 0; i < count; ++i) {
      ids[i] = DISPID_UNKNOWN;
      for (std::size_t n = 0; i == 0 && n < names_.size(); ++n)
        if (lstrcmpiW(names_[n].c_str(), names[i]) == 0) ids[i] = static_cast<DISPID>(n + 1);
      if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result,
                                   EXCEPINFO*, UINT*) override {
    DISPPARAMS none{};
    std::vector<VARIANT> args;  // in written order
    const DISPPARAMS* p = params != nullptr ? params : &none;
    for (UINT i = p->cArgs; i > 0; --i) args.push_back(Deref(p->rgvarg[i - 1]));
    return Run(id, args, result);
  }

 protected:
  virtual HRESULT Run(DISPID id, const std::vector<VARIANT>& args, VARIANT* result) = 0;

 private:
  std::vector<std::wstring> names_;
  LONG references_ = 1;
};

// WScript.Arguments: the script's arguments, by index (its default member) and their Count.
class Arguments : public NamedDispatch {
 public:
  explicit Arguments(std::vector<std::wstring> values)
      : NamedDispatch({L"Count", L"Item"}), values_(std::move(values)) {}

 protected:
  HRESULT Run(DISPID id, const std::vector<VARIANT>& args, VARIANT* result) override {
    if (id == 1) {
      if (result != nullptr) result->vt = VT_I4, result->lVal = static_cast<LONG>(values_.size());
      return S_OK;
    }
    if (id != 2 && id != DISPID_VALUE) return DISP_E_MEMBERNOTFOUND;
    if (args.size() != 1) return DISP_E_BADPARAMCOUNT;
    VARIANT index;
    VariantInit(&index);
    if (FAILED(VariantChangeType(&index, const_cast<VARIANT*>(&args[0]), 0, VT_I4)))
      return DISP_E_TYPEMISMATCH;
    if (index.lVal < 0 || static_cast<std::size_t>(index.lVal) >= values_.size()) return DISP_E_BADINDEX;
    if (result != nullptr)
      result->vt = VT_BSTR, result->bstrVal = SysAllocString(values_[index.lVal].c_str());
    return S_OK;
  }

 private:
  std::vector<std::wstring> values_;
};

// An event sink that calls the script's procedure PREFIX + event name for each event.
class EventSink : public NamedDispatch {
 public:
  EventSink(IActiveScript* engine, ITypeInfo* events, std::wstring prefix)
      : NamedDispatch({}), engine_(engine), events_(events), prefix_(std::move(prefix)) {
    events_->AddRef();
  }
  ~EventSink() override { events_->Release(); }

 protected:
  HRESULT Run(DISPID id, const std::vector<VARIANT>&, VARIANT*) override {
    BSTR name = nullptr;
    UINT found = 0;
    if (FAILED(events_->GetNames(id, &name, 1, &found)) || found == 0) return S_OK;
    std::wstring procedure = prefix_ + name;
    SysFreeString(name);
    IDispatch* script = nullptr;
    if (FAILED(engine_->GetScriptDispatch(nullptr, &script))) return S_OK;
    LPOLESTR names[1] = {procedure.data()};
    DISPID target = 0;
    DISPPARAMS none{};
    VARIANT ignored;
    VariantInit(&ignored);
    // A script without a procedure for this event simply does not take it.
    if (SUCCEEDED(script->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &target)))
      script->Invoke(target, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, &ignored, nullptr,
                     nullptr);
    VariantClear(&ignored);
    script->Release();
    return S_OK;
  }

 private:
  IActiveScript* engine_;
  ITypeInfo* events_;
  std::wstring prefix_;
};

struct Connection {
  IConnectionPoint* point;
  DWORD cookie;
};

class WScript : public NamedDispatch {
 public:
  explicit WScript(std::vector<std::wstring> arguments)
      : NamedDispatch({L"Echo", L"Sleep", L"ConnectObject", L"CreateObject", L"Quit", L"Arguments"}),
        arguments_(std::move(arguments)) {}
  ~WScript() override { DisconnectAll(); }
  void SetEngine(IActiveScript* engine) { engine_ = engine; }
  void DisconnectAll() {
    for (const Connection& c : connections_) {
      c.point->Unadvise(c.cookie);
      c.point->Release();
    }
    connections_.clear();
  }

 protected:
  HRESULT Run(DISPID id, const std::vector<VARIANT>& args, VARIANT* result) override {
    switch (id) {
      case 1: {  // Echo
        std::string line;
        for (std::size_t i = 0; i < args.size(); ++i) line += (i > 0 ? " " : "") + Text(args[i]);
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
        return S_OK;
      }
      case 2:  // Sleep
        if (args.size() != 1) return DISP_E_BADPARAMCOUNT;
        Sleep(args[0]);
        return S_OK;
      case 3:  // ConnectObject
        if (args.size() != 2 || args[0].vt != VT_DISPATCH || args[1].vt != VT_BSTR)
          return DISP_E_TYPEMISMATCH;
        return Connect(args[0].pdispVal, args[1].bstrVal);
      case 4: {  // CreateObject
        if (args.empty() || args[0].vt != VT_BSTR) return DISP_E_TYPEMISMATCH;
        CLSID clsid{};
        IDispatch* object = nullptr;
        HRESULT hr = CLSIDFromProgID(args[0].bstrVal, &clsid);
        if (SUCCEEDED(hr))
          hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, IID_IDispatch,
                                reinterpret_cast<void**>(&object));
        if (FAILED(hr)) return hr;
        if (args.size() > 1 && args[1].vt == VT_BSTR) Connect(object, args[1].bstrVal);
        if (result != nullptr)
          result->vt = VT_DISPATCH, result->pdispVal = object;
        else
          object->Release();
        return S_OK;
      }
      case 5: {  // Quit
        VARIANT code;
        VariantInit(&code);
        if (!args.empty()) VariantChangeType(&code, const_cast<VARIANT*>(&args[0]), 0, VT_I4);
        std::fflush(stdout);
        ExitProcess(static_cast<UINT>(!args.empty() ? code.lVal : 0));
      }
      case 6: {  // Arguments; WScript.Arguments(0) asks for an item at once
        auto* list = new Arguments(arguments_);
        HRESULT hr = S_OK;
        if (!args.empty()) {
          DISPPARAMS index{const_cast<VARIANT*>(&args[0]), nullptr, 1, 0};
          hr = list->Invoke(DISPID_VALUE, IID_NULL, 0, DISPATCH_METHOD, &index, result, nullptr, nullptr);
          list->Release();
        } else if (result != nullptr) {
          result->vt = VT_DISPATCH, result->pdispVal = list;
        } else {
          list->Release();
        }
        return hr;
      }
      default:
        return DISP_E_MEMBERNOTFOUND;
    }
  }

 private:
  // Waits, running the thread's messages (the timers of the objects the script made) meanwhile.
  static void Sleep(const VARIANT& ms) {
    VARIANT v;
    VariantInit(&v);
    if (FAILED(VariantChangeType(&v, const_cast<VARIANT*>(&ms), 0, VT_I4))) return;
    const DWORD end = GetTickCount() + static_cast<DWORD>(v.lVal > 0 ? v.lVal : 0);
    MSG message;
    for (;;) {
      while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
      }
      const LONG left = static_cast<LONG>(end - GetTickCount());
      if (left <= 0) return;
      MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(left), QS_ALLINPUT);
    }
  }

  // Connects the object's default event interface to the script's PREFIX + event procedures.
  HRESULT Connect(IDispatch* object, const wchar_t* prefix) {
    IProvideClassInfo2* info = nullptr;
    HRESULT hr = object->QueryInterface(IID_IProvideClassInfo2, reinterpret_cast<void**>(&info));
    if (FAILED(hr)) return hr;
    IID events_id{};
    ITypeInfo* coclass = nullptr;
    hr = info->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &events_id);
    if (SUCCEEDED(hr)) hr = info->GetClassInfo(&coclass);
    info->Release();
    if (FAILED(hr)) return hr;
    ITypeLib* library = nullptr;
    ITypeInfo* events = nullptr;
    UINT index = 0;
    hr = coclass->GetContainingTypeLib(&library, &index);
    coclass->Release();
    if (SUCCEEDED(hr)) {
      hr = library->GetTypeInfoOfGuid(events_id, &events);
      library->Release();
    }
    if (FAILED(hr)) return hr;
    IConnectionPointContainer* container = nullptr;
    IConnectionPoint* point = nullptr;
    hr = object->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container));
    if (SUCCEEDED(hr)) {
      hr = container->FindConnectionPoint(events_id, &point);
      container->Release();
    }
    if (SUCCEEDED(hr)) {
      auto* sink = new EventSink(engine_, events, prefix);
      DWORD cookie = 0;
      hr = point->Advise(sink, &cookie);
      sink->Release();
      if (SUCCEEDED(hr))
        connections_.push_back({point, cookie});
      else
        point->Release();
    }
    events->Release();
    return hr;
  }

  std::vector<std::wstring> arguments_;
  std::vector<Connection> connections_;
  IActiveScript* engine_ = nullptr;
};

class Site : public IActiveScriptSite {
 public:
  explicit Site(WScript* wscript) : wscript_(wscript) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IActiveScriptSite)) return E_NOINTERFACE;
    *out = static_cast<IActiveScriptSite*>(this);
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }  // lives on main's stack
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE GetLCID(LCID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetItemInfo(LPCOLESTR name, DWORD mask, IUnknown** item,
                                        ITypeInfo** info) override {
    if (lstrcmpiW(name, L"WScript") != 0) return TYPE_E_ELEMENTNOTFOUND;
    if ((mask & SCRIPTINFO_ITYPEINFO) != 0 && info != nullptr) *info = nullptr;
    if ((mask & SCRIPTINFO_IUNKNOWN) != 0) {
      if (item == nullptr) return E_POINTER;
      wscript_->AddRef();
      *item = wscript_;
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetDocVersionString(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OnScriptTerminate(const VARIANT*, const EXCEPINFO*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnStateChange(SCRIPTSTATE) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnScriptError(IActiveScriptError* error) override {
    EXCEPINFO e{};
    DWORD context = 0;
    ULONG line = 0;
    LONG column = 0;
    error->GetExceptionInfo(&e);
    error->GetSourcePosition(&context, &line, &column);
    std::fprintf(stderr, "script error, line %lu: %s (0x%08lx)\n", line + 1, Utf8(e.bstrDescription).c_str(),
                 static_cast<unsigned long>(e.scode));
    SysFreeString(e.bstrSource);
    SysFreeString(e.bstrDescription);
    SysFreeString(e.bstrHelpFile);
    failed = true;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnEnterScript() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnLeaveScript() override { return S_OK; }
  bool failed = false;

 private:
  WScript* wscript_;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: script_host SCRIPT.vbs|SCRIPT.js [ARGUMENTS...]\n");
    return 2;
  }
  const std::wstring path = argv[1];
  std::ifstream in(Utf8(path.c_str()).c_str(), std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "script_host: %s cannot be read\n", Utf8(path.c_str()).c_str());
    return 2;
  }
  std::stringstream text;
  text << in.rdbuf();
  const bool jscript = path.size() > 3 && lstrcmpiW(path.c_str() + path.size() - 3, L".js") == 0;

  CoInitialize(nullptr);
  CLSID engine_id{};
  IActiveScript* engine = nullptr;
  IActiveScriptParse* parse = nullptr;
  HRESULT hr = CLSIDFromProgID(jscript ? L"JScript" : L"VBScript", &engine_id);
  if (SUCCEEDED(hr))
    hr = CoCreateInstance(engine_id, nullptr, CLSCTX_INPROC_SERVER, IID_IActiveScript,
                          reinterpret_cast<void**>(&engine));
  if (SUCCEEDED(hr))
    hr = engine->QueryInterface(__uuidof(IActiveScriptParse), reinterpret_cast<void**>(&parse));
  if (FAILED(hr)) {
    std::fprintf(stderr, "script_host: the %s engine is not available (0x%08lx)\n",
                 jscript ? "JScript" : "VBScript", static_cast<unsigned long>(hr));
    return 2;
  }
  auto* wscript = new WScript(std::vector<std::wstring>(argv + 2, argv + argc));
  wscript->SetEngine(engine);
  Site site(wscript);
  engine->SetScriptSite(&site);
  parse->InitNew();
  engine->AddNamedItem(L"WScript", SCRIPTITEM_ISVISIBLE);
  engine->SetScriptState(SCRIPTSTATE_STARTED);
  const std::wstring code = Wide(text.str());
  EXCEPINFO error{};
  parse->ParseScriptText(code.c_str(), nullptr, nullptr, nullptr, 0, 0, SCRIPTTEXT_ISVISIBLE, nullptr,
                         &error);
  wscript->DisconnectAll();
  engine->Close();
  parse->Release();
  engine->Release();
  wscript->Release();
  CoUninitialize();
  std::fflush(stdout);
  return site.failed ? 1 : 0;
}
