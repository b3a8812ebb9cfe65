#include "control/com/control_object.h"

#include <oleauto.h>
#include <olectl.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "control/com/enumerator.h"
#include "control/com/type_library.h"
#include "control/com/utf8.h"
#include "control/dispatch.h"

namespace control::com {
namespace {

// Objects and locks: counted across threads, read by DllCanUnloadNow; relaxed, as they order nothing.
std::atomic<long> g_objects{0};
std::atomic<long> g_locks{0};

GUID ParseGuid(const char* text) {
  GUID g{};
  wchar_t wide[40] = {};
  for (int i = 0; i < 38 && text[i] != '\0'; ++i) wide[i] = static_cast<wchar_t>(text[i]);
  IIDFromString(wide, &g);
  return g;
}

// One argument as automation passes it, coerced to the parameter's type as automation coerces
// (numbers and texts into each other, with rounding and overflow checks).
// A variant passed by reference that is to receive the bytes in a new array (what a script passes:
// it cannot make a byte array); null for any other argument.
VARIANT* VariantToFill(const VARIANT& in) {
  if (in.vt != (VT_BYREF | VT_VARIANT) || in.pvarVal == nullptr) return nullptr;
  VARIANT* v = in.pvarVal;
  while (v->vt == (VT_BYREF | VT_VARIANT) && v->pvarVal != nullptr) v = v->pvarVal;
  return (v->vt & VT_BYREF) != 0 ? nullptr : v;
}

HRESULT ToVariant(const VARIANT& in, VarType type, Variant& out, SAFEARRAY** locked) {
  if (type == VarType::kBuffer) {
    // A byte array carries its size, so the control never writes past it.
    const VARIANT* v = &in;
    while (v->vt == (VT_BYREF | VT_VARIANT) && v->pvarVal != nullptr) v = v->pvarVal;
    SAFEARRAY* array = nullptr;
    if (v->vt == (VT_ARRAY | VT_UI1)) array = v->parray;
    if (v->vt == (VT_BYREF | VT_ARRAY | VT_UI1) && v->pparray != nullptr) array = *v->pparray;
    if (array == nullptr || SafeArrayGetDim(array) != 1) return DISP_E_TYPEMISMATCH;
    void* data = nullptr;
    if (FAILED(SafeArrayAccessData(array, &data))) return DISP_E_TYPEMISMATCH;
    *locked = array;
    out = Variant::Buffer(data, array->rgsabound[0].cElements);
    return S_OK;
  }
  VARTYPE target = VT_I4;
  if (type == VarType::kShort) target = VT_I2;
  if (type == VarType::kString) target = VT_BSTR;
  if (type == VarType::kBool) target = VT_BOOL;
  VARIANT converted;
  VariantInit(&converted);
  HRESULT hr = VariantChangeType(&converted, const_cast<VARIANT*>(&in), 0, target);
  if (FAILED(hr)) return hr == DISP_E_OVERFLOW ? DISP_E_OVERFLOW : DISP_E_TYPEMISMATCH;
  switch (target) {
    case VT_I2:
      out = Variant::Short(converted.iVal);
      break;
    case VT_BSTR:
      out = Variant::String(FromBstr(converted.bstrVal));
      break;
    case VT_BOOL:
      out = Variant::Bool(converted.boolVal != VARIANT_FALSE);
      break;
    default:
      out = Variant::Long(converted.lVal);
  }
  VariantClear(&converted);
  return S_OK;
}

void FromVariant(const Variant& in, VARIANT* out) {
  if (out == nullptr) return;
  VariantInit(out);
  switch (in.type) {
    case VarType::kShort:
      out->vt = VT_I2;
      out->iVal = static_cast<SHORT>(in.i);
      break;
    case VarType::kLong:
      out->vt = VT_I4;
      out->lVal = static_cast<LONG>(in.i);
      break;
    case VarType::kBool:
      out->vt = VT_BOOL;
      out->boolVal = in.i != 0 ? VARIANT_TRUE : VARIANT_FALSE;
      break;
    case VarType::kString:
      out->vt = VT_BSTR;
      out->bstrVal = NewBstr(in.s);
      break;
    case VarType::kAddress:
      // A double, as the type library declares it: both script engines take one (neither takes a
      // 64-bit integer), and it holds every address exactly (user addresses stay below 2^53).
      out->vt = VT_R8;
      out->dblVal = static_cast<double>(static_cast<uint64_t>(in.i));
      break;
    default:
      break;  // nothing: VT_EMPTY
  }
}

// How many bytes a call that fills a buffer of `size` copied: as many as the length it answers,
// never more than the buffer.
std::size_t CopiedBytes(const Variant& answered, std::size_t size) {
  if (answered.i <= 0) return 0;
  return static_cast<uint64_t>(answered.i) < size ? static_cast<std::size_t>(answered.i) : size;
}

// `target` (a caller's variant) made a byte array of `n` bytes from `data`.
HRESULT FillWithBytes(VARIANT& target, const uint8_t* data, std::size_t n) {
  SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(n));
  if (array == nullptr) return E_OUTOFMEMORY;
  void* bytes = nullptr;
  if (n > 0 && SUCCEEDED(SafeArrayAccessData(array, &bytes))) {
    std::memcpy(bytes, data, n);
    SafeArrayUnaccessData(array);
  }
  VariantClear(&target);
  target.vt = VT_ARRAY | VT_UI1;
  target.parray = array;
  return S_OK;
}

HRESULT FromStatus(int32_t status) {
  return status == kStatusOk ? S_OK : static_cast<HRESULT>(status);
}

// What a call refused, as automation reports an error, so that a script's error object names the
// cause (a script or a container has no console for it): the thread's error information for
// callers that ask IErrorInfo, and, for a caller that passed one, the exception information with
// DISP_E_EXCEPTION. `code` is the error's own number.
HRESULT Raise(HRESULT code, const std::string& text, EXCEPINFO* exception) {
  const std::string source = Identity::kControlVersionIndependentProgId;
  ICreateErrorInfo* create = nullptr;
  if (SUCCEEDED(CreateErrorInfo(&create))) {
    BSTR wide_source = NewBstr(source);
    BSTR description = NewBstr(text);
    create->SetGUID(DispatchId());
    create->SetSource(wide_source);
    create->SetDescription(description);
    IErrorInfo* info = nullptr;
    if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
      SetErrorInfo(0, info);
      info->Release();
    }
    SysFreeString(description);
    SysFreeString(wide_source);
    create->Release();
  }
  if (exception == nullptr) return code;
  *exception = EXCEPINFO{};
  exception->bstrSource = NewBstr(source);
  exception->bstrDescription = NewBstr(text);
  exception->scode = code;
  return DISP_E_EXCEPTION;
}

}  // namespace

GUID LibraryId() {
  static const GUID id = ParseGuid(Identity::kTypeLibId);  // asked for in every QueryInterface
  return id;
}
GUID DispatchId() {
  static const GUID id = ParseGuid(Identity::kDispatchId);  // asked for in every QueryInterface
  return id;
}
GUID EventsId() {
  static const GUID id = ParseGuid(Identity::kEventsId);  // asked for in every QueryInterface
  return id;
}
GUID ControlClassId() {
  static const GUID id = ParseGuid(Identity::kControlClsid);  // asked for in every QueryInterface
  return id;
}
GUID PageClassId() {
  static const GUID id = ParseGuid(Identity::kPropPageClsid);  // asked for in every QueryInterface
  return id;
}

void CountObject(int delta) {
  g_objects.fetch_add(delta, std::memory_order_relaxed);
}
bool AnyObjectOrLock() {
  return g_objects.load(std::memory_order_relaxed) != 0 || g_locks.load(std::memory_order_relaxed) != 0;
}
void LockModule(bool lock) {
  g_locks.fetch_add(lock ? 1 : -1, std::memory_order_relaxed);
}

ControlObject::ControlObject() : events_(*this, EventsId()) {
  CountObject(1);
  host_.SetOwner(static_cast<IDispatch*>(this));
  host_.SetView([this] { return embedding_.view(); });
  control_.AttachHost(&host_);
  control_.SetEventSink([this](int dispid) { Fire(dispid); });
}

ControlObject::~ControlObject() {
  control_.SetEventSink({});
  control_.AttachHost(nullptr);
  CountObject(-1);
}

void ControlObject::Fire(int dispid) {
  if (events_.empty()) return;
  // A handler may let the control go: it stays alive until every handler has run.
  AddRef();
  events_.Fire(dispid);
  Release();
}

HRESULT ControlObject::QueryInterface(REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) || IsEqualIID(iid, DispatchId()))
    *out = static_cast<IDispatch*>(this);
  else if (IsEqualIID(iid, IID_ISupportErrorInfo))
    *out = static_cast<ISupportErrorInfo*>(this);
  else if (IsEqualIID(iid, IID_IProvideClassInfo) || IsEqualIID(iid, IID_IProvideClassInfo2))
    *out = static_cast<IProvideClassInfo2*>(this);
  else if (IsEqualIID(iid, IID_IConnectionPointContainer))
    *out = static_cast<IConnectionPointContainer*>(this);
  else if (void* face = embedding_.Find(iid); face != nullptr)
    *out = face;
  else
    return E_NOINTERFACE;
  AddRef();
  return S_OK;
}

ULONG ControlObject::AddRef() {
  return static_cast<ULONG>(InterlockedIncrement(&references_));
}

ULONG ControlObject::Release() {
  const LONG left = InterlockedDecrement(&references_);
  if (left == 0) delete this;
  return static_cast<ULONG>(left);
}

HRESULT ControlObject::GetTypeInfoCount(UINT* count) {
  if (count == nullptr) return E_POINTER;
  *count = 1;
  return S_OK;
}

HRESULT ControlObject::GetTypeInfo(UINT index, LCID, ITypeInfo** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (index != 0) return DISP_E_BADINDEX;
  return ModuleTypeInfo(DispatchId(), out);
}

HRESULT ControlObject::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
  if (names == nullptr || ids == nullptr || count == 0) return E_INVALIDARG;
  // The member by its name (case does not matter), then its parameters by theirs.
  const MemberInfo* member = names[0] != nullptr ? FindMember(Utf8(names[0])) : nullptr;
  HRESULT hr = S_OK;
  ids[0] = member != nullptr ? member->dispid : DISPID_UNKNOWN;
  if (member == nullptr) hr = DISP_E_UNKNOWNNAME;
  for (UINT i = 1; i < count; ++i) {
    ids[i] = DISPID_UNKNOWN;
    if (member == nullptr || names[i] == nullptr) continue;
    for (std::size_t p = 0; p < member->params.size(); ++p) {
      if (lstrcmpiW(Utf16(member->params[p].name).c_str(), names[i]) == 0) ids[i] = static_cast<DISPID>(p);
    }
    if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
  }
  return hr;
}

HRESULT ControlObject::InterfaceSupportsErrorInfo(REFIID iid) {
  return IsEqualIID(iid, IID_IDispatch) || IsEqualIID(iid, DispatchId()) ? S_OK : S_FALSE;
}

template <typename Call>
HRESULT ControlObject::RunCall(EXCEPINFO* exception, Call call) {
  // A handler of an event this call fires may call in meanwhile: its refusals are its own.
  CZembrinSDKControlCtrl::Refusal outer = control_.BeginCall();
  const HRESULT hr = FromStatus(call());
  const CZembrinSDKControlCtrl::Refusal refusal = control_.EndCall(std::move(outer));
  if (refusal.text.empty()) return hr;
  told_error_ = true;
  return Raise(FAILED(hr) ? hr : static_cast<HRESULT>(refusal.status), refusal.text, exception);
}

HRESULT ControlObject::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                              EXCEPINFO* exception, UINT* bad_argument) {
  // No earlier refusal's error information is taken for this call's (the thread's error object
  // is cleared only when a call of this control set it: a getter pays nothing for it).
  if (told_error_) {
    SetErrorInfo(0, nullptr);
    told_error_ = false;
  }
  DISPPARAMS none{};
  if (params == nullptr) params = &none;
  if (params->cArgs > 0 && params->rgvarg == nullptr) return E_INVALIDARG;
  if (params->cNamedArgs > params->cArgs || (params->cNamedArgs > 0 && params->rgdispidNamedArgs == nullptr))
    return E_INVALIDARG;
  const MemberInfo* member = FindByDispid(id);
  if (member == nullptr) return DISP_E_MEMBERNOTFOUND;
  const bool put = (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;

  if (member->kind == MemberKind::kProperty) {
    // Named arguments: only the value of a property put, as automation names it.
    if (params->cNamedArgs > (put ? 1u : 0u)) return DISP_E_NONAMEDARGS;
    if (put && (params->cNamedArgs != 1 || params->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT))
      return DISP_E_PARAMNOTOPTIONAL;
    if (put) {
      if (params->cArgs != 1) return DISP_E_BADPARAMCOUNT;
      Variant value;
      SAFEARRAY* locked = nullptr;
      const HRESULT hr = ToVariant(params->rgvarg[0], member->type, value, &locked);
      if (FAILED(hr)) {
        if (bad_argument != nullptr) *bad_argument = 0;
        return hr;
      }
      return RunCall(exception, [&] { return PutProperty(control_, id, value); });
    }
    if ((flags & DISPATCH_PROPERTYGET) == 0) return DISP_E_MEMBERNOTFOUND;
    if (params->cArgs != 0) return DISP_E_BADPARAMCOUNT;
    Variant value;
    const HRESULT hr = RunCall(exception, [&] { return GetProperty(control_, id, value); });
    if (SUCCEEDED(hr)) FromVariant(value, result);
    return hr;
  }
  // A method: scripts call one that returns a value with the property-get flag as well.
  if (put || (flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET)) == 0) return DISP_E_MEMBERNOTFOUND;
  const UINT count = static_cast<UINT>(member->params.size());
  if (params->cArgs > count || (params->cNamedArgs == 0 && params->cArgs != count))
    return DISP_E_BADPARAMCOUNT;
  // Where each parameter's value lies in rgvarg: named ones first (by the DISPIDs GetIDsOfNames gave
  // their names: the parameter's place), then the positional ones, last first.
  int at[kMaxParams];
  for (int& a : at) a = -1;
  const UINT positional = params->cArgs - params->cNamedArgs;
  for (UINT p = 0; p < positional; ++p) at[p] = static_cast<int>(params->cArgs - 1 - p);
  for (UINT n = 0; n < params->cNamedArgs; ++n) {
    const DISPID p = params->rgdispidNamedArgs[n];
    if (p < 0 || static_cast<UINT>(p) >= count || at[p] >= 0) {
      if (bad_argument != nullptr) *bad_argument = n;
      return DISP_E_PARAMNOTFOUND;
    }
    at[p] = static_cast<int>(n);
  }
  for (UINT p = 0; p < count; ++p)
    if (at[p] < 0) return DISP_E_PARAMNOTOPTIONAL;

  Variant arguments[kMaxParams];
  std::vector<SAFEARRAY*> locked;
  // A variant passed by reference for a buffer receives a new byte array of what was copied.
  VARIANT* fill = nullptr;
  std::vector<uint8_t> filled;
  HRESULT hr = S_OK;
  for (UINT i = 0; i < count && SUCCEEDED(hr); ++i) {
    const VARIANT& given = params->rgvarg[at[i]];
    if (member->params[i].type == VarType::kBuffer && (fill = VariantToFill(given)) != nullptr) {
      filled.resize(control_.VoiceBytesAvailable());
      arguments[i] = Variant::Buffer(filled.data(), filled.size());
      continue;
    }
    SAFEARRAY* array = nullptr;
    hr = ToVariant(given, member->params[i].type, arguments[i], &array);
    if (array != nullptr) locked.push_back(array);
    if (FAILED(hr) && bad_argument != nullptr) *bad_argument = static_cast<UINT>(at[i]);
  }
  if (SUCCEEDED(hr)) {
    // The control stays alive through the call, even if a handler it runs lets it go.
    AddRef();
    Variant value;
    const int given = static_cast<int>(count);
    hr = RunCall(exception, [&] {
      // A sound the relay would not play is refused here: the relay's log is nowhere a script sees.
      std::string why;
      if (!CheckRelayFiles(*member, arguments, given, why)) {
        control_.Refuse(kStatusFailed, why);
        return kStatusOk;
      }
      return control::Invoke(control_, id, arguments, given, value);
    });
    if (SUCCEEDED(hr)) {
      if (fill != nullptr) hr = FillWithBytes(*fill, filled.data(), CopiedBytes(value, filled.size()));
      if (SUCCEEDED(hr)) FromVariant(value, result);
    } else if (bad_argument != nullptr) {
      std::string why;
      if (const int refused = RefusedSelector(*member, arguments, given, why); refused >= 0)
        *bad_argument = static_cast<UINT>(at[refused]);
    }
    Release();
  }
  for (SAFEARRAY* array : locked) SafeArrayUnaccessData(array);
  return hr;
}

HRESULT ControlObject::GetClassInfo(ITypeInfo** out) {
  return ModuleTypeInfo(ControlClassId(), out);
}

HRESULT ControlObject::GetGUID(DWORD kind, GUID* out) {
  if (out == nullptr) return E_POINTER;
  if (kind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) return E_INVALIDARG;
  *out = EventsId();
  return S_OK;
}

HRESULT ControlObject::EnumConnectionPoints(IEnumConnectionPoints** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  events_.AddRef();  // the enumerator's
  return Enumerator<ConnectionPointsKind>::Make({&events_}, out);
}

HRESULT ControlObject::FindConnectionPoint(REFIID iid, IConnectionPoint** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (!IsEqualIID(iid, EventsId())) return CONNECT_E_NOCONNECTION;
  *out = &events_;
  events_.AddRef();
  return S_OK;
}

}  // namespace control::com
