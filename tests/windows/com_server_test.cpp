// The control as a COM server under wine: self-registration in the system registry, creation by its
// ProgID, and late binding through IDispatch as scripts and compiled clients use it, with
// automation's conversions and error codes.
#include <gtest/gtest.h>
#include <objbase.h>
#include <ocidl.h>
#include <oleauto.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "exchange/sections.h"
#include "exchange/wave_file.h"

namespace {

const wchar_t kProgId[] = L"ZEMBRINSDKCONTROL.ZembrinSDKControlCtrl.1";
const wchar_t kCurrentProgId[] = L"ZEMBRINSDKCONTROL.ZembrinSDKControlCtrl";
const wchar_t kClassKey[] = L"CLSID\\{C3F1E5A4-1541-4456-9AB0-8BD4CE11A513}";

GUID Guid(const wchar_t* text) {
  GUID g{};
  EXPECT_EQ(IIDFromString(text, &g), S_OK);
  return g;
}

std::wstring Value(const std::wstring& key, const wchar_t* name = nullptr) {
  wchar_t buffer[MAX_PATH * 2] = {};
  DWORD size = sizeof buffer;
  if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), name, RRF_RT_REG_SZ, nullptr, buffer, &size) !=
      ERROR_SUCCESS)
    return L"<none>";
  return buffer;
}

// The module beside the test, loaded as regsvr32 loads it.
HMODULE Module() {
  static HMODULE module = LoadLibraryW(L"talvenorctl.dll");
  return module;
}

HRESULT CallEntry(const char* name) {
  using Entry = HRESULT(STDAPICALLTYPE*)();
  auto entry = reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(Module(), name)));
  return entry != nullptr ? entry() : E_NOTIMPL;
}

// A VARIANT that clears itself.
struct Var : VARIANT {
  Var() { VariantInit(this); }
  explicit Var(int v) : Var() { vt = VT_I4, lVal = v; }
  explicit Var(double v) : Var() { vt = VT_R8, dblVal = v; }
  explicit Var(const wchar_t* s) : Var() { vt = VT_BSTR, bstrVal = SysAllocString(s); }
  ~Var() { VariantClear(this); }
};

class ComServer : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    ASSERT_EQ(CallEntry("DllRegisterServer"), S_OK);
  }
  void TearDown() override {
    if (object_ != nullptr) object_->Release();
    EXPECT_EQ(CallEntry("DllUnregisterServer"), S_OK);
    CoUninitialize();
  }
  void Create() {
    CLSID id{};
    ASSERT_EQ(CLSIDFromProgID(kProgId, &id), S_OK);
    ASSERT_EQ(CoCreateInstance(id, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                               reinterpret_cast<void**>(&object_)),
              S_OK);
  }
  DISPID Id(const wchar_t* name) {
    LPOLESTR names[1] = {const_cast<LPOLESTR>(name)};
    DISPID id = 0;
    EXPECT_EQ(object_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), S_OK) << name;
    return id;
  }
  // Calls `name` with `args` in their written order; the bad argument's position in *bad.
  HRESULT Call(const wchar_t* name, std::vector<Var*> args, VARIANT* result = nullptr, UINT* bad = nullptr,
               WORD flags = DISPATCH_METHOD) {
    std::vector<VARIANT> reversed;
    for (auto it = args.rbegin(); it != args.rend(); ++it) reversed.push_back(**it);
    DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    UINT ignored = 0;
    return object_->Invoke(Id(name), IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, nullptr,
                           bad != nullptr ? bad : &ignored);
  }
  // Calls `name` as Call does, with room for the exception information a refusal fills.
  HRESULT Raising(const wchar_t* name, std::vector<Var*> args, EXCEPINFO& exception) {
    std::vector<VARIANT> reversed;
    for (auto it = args.rbegin(); it != args.rend(); ++it) reversed.push_back(**it);
    DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    exception = EXCEPINFO{};
    return object_->Invoke(Id(name), IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr,
                           &exception, nullptr);
  }
  IDispatch* object_ = nullptr;
};

std::wstring TempPath(const std::wstring& name) {
  wchar_t folder[MAX_PATH];
  GetTempPathW(MAX_PATH, folder);
  return folder + std::to_wstring(GetCurrentProcessId()) + L"-" + name;
}

// Deletes the file it names at the end of the test.
struct TempFile {
  explicit TempFile(const std::wstring& name) : path(TempPath(name)) {}
  ~TempFile() { DeleteFileW(path.c_str()); }
  std::wstring path;
};

TEST_F(ComServer, RegistersItsClassesAndTypeLibraryAndUnregistersThem) {
  wchar_t module[MAX_PATH];
  GetModuleFileNameW(Module(), module, MAX_PATH);
  const std::wstring key = kClassKey;
  EXPECT_EQ(Value(key + L"\\InprocServer32"), module);
  EXPECT_EQ(Value(key + L"\\InprocServer32", L"ThreadingModel"), L"Apartment");
  EXPECT_EQ(Value(key), L"Caldrix Talvenor ActiveX Module");
  EXPECT_EQ(Value(key + L"\\ProgID"), kProgId);
  EXPECT_EQ(Value(key + L"\\VersionIndependentProgID"), kCurrentProgId);
  EXPECT_EQ(Value(std::wstring(kCurrentProgId) + L"\\CurVer"), kProgId);
  CLSID current{};
  ASSERT_EQ(CLSIDFromProgID(kCurrentProgId, &current), S_OK) << "CreateObject without the version";
  EXPECT_TRUE(IsEqualGUID(current, Guid(L"{C3F1E5A4-1541-4456-9AB0-8BD4CE11A513}")));
  EXPECT_EQ(Value(key + L"\\MiscStatus\\1"), L"131473");
  EXPECT_EQ(Value(key + L"\\TypeLib"), L"{98FCFC5C-1F70-4640-8B7B-A53A1B88AA8A}");
  EXPECT_EQ(Value(L"CLSID\\{5307B30C-C252-450A-9AC4-2187A2492C94}"),
            L"ZembrinTalvenor Control Property Page");
  ITypeLib* library = nullptr;
  ASSERT_EQ(LoadRegTypeLib(Guid(L"{98FCFC5C-1F70-4640-8B7B-A53A1B88AA8A}"), 1, 0, 1033, &library), S_OK);
  library->Release();

  ASSERT_EQ(CallEntry("DllUnregisterServer"), S_OK);
  CLSID id{};
  EXPECT_NE(CLSIDFromProgID(kProgId, &id), S_OK);
  EXPECT_NE(CLSIDFromProgID(kCurrentProgId, &id), S_OK);
  EXPECT_EQ(Value(kCurrentProgId), L"<none>");
  EXPECT_EQ(Value(key + L"\\InprocServer32"), L"<none>");
  EXPECT_NE(LoadRegTypeLib(Guid(L"{98FCFC5C-1F70-4640-8B7B-A53A1B88AA8A}"), 1, 0, 1033, &library), S_OK);
  EXPECT_EQ(CallEntry("DllUnregisterServer"), S_OK) << "a second time finds nothing to remove";
  ASSERT_EQ(CallEntry("DllRegisterServer"), S_OK);
}

TEST_F(ComServer, LateBindingByNameWithAutomationsConversionsAndCodes) {
  Create();
  EXPECT_EQ(Id(L"getbat1vol"), 145) << "names are found whatever their case";
  LPOLESTR unknown[1] = {const_cast<LPOLESTR>(L"NoSuchMember")};
  DISPID id = 0;
  EXPECT_EQ(object_->GetIDsOfNames(IID_NULL, unknown, 1, LOCALE_USER_DEFAULT, &id), DISP_E_UNKNOWNNAME);

  // Properties: put and get, with the value coerced as automation coerces (7.6 rounds to 8).
  Var name(L"scout"), eight(7.6);
  DISPID put = DISPID_PROPERTYPUT;
  for (auto& [member, value] :
       std::vector<std::pair<const wchar_t*, Var*>>{{L"robotName", &name}, {L"test", &eight}}) {
    DISPPARAMS params{value, &put, 1, 1};
    EXPECT_EQ(
        object_->Invoke(Id(member), IID_NULL, 0, DISPATCH_PROPERTYPUT, &params, nullptr, nullptr, nullptr),
        S_OK);
  }
  Var got_name, got_test;
  EXPECT_EQ(Call(L"robotName", {}, &got_name, nullptr, DISPATCH_PROPERTYGET), S_OK);
  EXPECT_EQ(Call(L"test", {}, &got_test, nullptr, DISPATCH_PROPERTYGET), S_OK);
  ASSERT_EQ(got_name.vt, VT_BSTR);
  EXPECT_STREQ(got_name.bstrVal, L"scout");
  ASSERT_EQ(got_test.vt, VT_I4);
  EXPECT_EQ(got_test.lVal, 8);

  // A getter before any robot: a short, as scripts call it (method and property-get together).
  Var sonar;
  EXPECT_EQ(Call(L"GetSensorSonar1", {}, &sonar, nullptr, DISPATCH_METHOD | DISPATCH_PROPERTYGET), S_OK);
  EXPECT_EQ(sonar.vt, VT_I2);

  // Mistakes get automation's codes and name the argument; nothing is sent.
  Var text(L"abc"), big(100000), one(1), number_text(L"2");
  struct Case {
    const wchar_t* method;
    std::vector<Var*> args;
    HRESULT expected;
    UINT bad_argument;  // as automation counts: the last argument is 0
  };
  for (const Case& c : std::vector<Case>{
           {L"EnableDcMotor", {}, DISP_E_BADPARAMCOUNT, 99},
           {L"EnableDcMotor", {&one, &one}, DISP_E_BADPARAMCOUNT, 99},
           {L"EnableDcMotor", {&text}, DISP_E_TYPEMISMATCH, 0},
           {L"EnableDcMotor", {&big}, DISP_E_OVERFLOW, 0},
           {L"SetDcMotorTrajectoryPlan", {&text, &one}, DISP_E_TYPEMISMATCH, 1},
           {L"SetDcMotorTrajectoryPlan", {&one, &big}, DISP_E_OVERFLOW, 0},
           {L"SetDcMotorTrajectoryPlan", {&one, &number_text}, S_OK, 99},  // "2" is a number to automation
       }) {
    UINT bad = 99;
    EXPECT_EQ(Call(c.method, c.args, nullptr, &bad), c.expected) << c.method << " with " << c.args.size();
    EXPECT_EQ(bad, c.bad_argument) << c.method;
  }
  DISPPARAMS none{};
  EXPECT_EQ(object_->Invoke(9999, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr),
            DISP_E_MEMBERNOTFOUND);

  // The class information that script hosts use to connect events.
  IProvideClassInfo2* info = nullptr;
  ASSERT_EQ(object_->QueryInterface(IID_IProvideClassInfo2, reinterpret_cast<void**>(&info)), S_OK);
  GUID events{};
  EXPECT_EQ(info->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &events), S_OK);
  EXPECT_TRUE(IsEqualGUID(events, Guid(L"{9C1124A3-2E3D-4CDA-A9F3-33B92BB5491D}")));
  ITypeInfo* coclass = nullptr;
  ASSERT_EQ(info->GetClassInfo(&coclass), S_OK);
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(coclass->GetTypeAttr(&attr), S_OK);
  EXPECT_EQ(attr->typekind, TKIND_COCLASS);
  coclass->ReleaseTypeAttr(attr);
  coclass->Release();
  info->Release();
}

// An event sink as a container or script host makes one: it counts each event by its DISPID, and
// may let the control go from inside a handler.
class Sink : public IDispatch {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    *out = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IDispatch)) return E_NOINTERFACE;
    *out = this;
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override { return *n = 0, S_OK; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                                   UINT*) override {
    events.push_back(id);
    arguments += params != nullptr ? params->cArgs : 0;
    if (release_on_event != nullptr) std::exchange(release_on_event, nullptr)->Release();
    return S_OK;
  }
  std::vector<DISPID> events;
  UINT arguments = 0;
  IDispatch* release_on_event = nullptr;
};

void PumpFor(DWORD ms) {
  const DWORD end = GetTickCount() + ms;
  MSG message;
  while (static_cast<LONG>(end - GetTickCount()) > 0) {
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    Sleep(1);
  }
}

TEST_F(ComServer, EventsReachConnectedSinksFromTheWindowTimerAndAHandlerMayReleaseTheControl) {
  Create();
  const std::wstring robot = L"ComEvents" + std::to_wstring(GetCurrentProcessId());
  Var name(robot.c_str());
  EXCEPINFO refused{};
  ASSERT_EQ(Raising(L"connectRobot", {&name}, refused), DISP_E_EXCEPTION) << "no relay serves it yet";
  SysFreeString(refused.bstrSource);
  SysFreeString(refused.bstrDescription);
  IConnectionPointContainer* container = nullptr;
  ASSERT_EQ(object_->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container)),
            S_OK);
  IConnectionPoint* point = nullptr;
  EXPECT_NE(container->FindConnectionPoint(IID_IDispatch, &point), S_OK) << "only the event interface";
  ASSERT_EQ(container->FindConnectionPoint(Guid(L"{9C1124A3-2E3D-4CDA-A9F3-33B92BB5491D}"), &point), S_OK);
  container->Release();
  Sink first, second;
  DWORD first_cookie = 0, second_cookie = 0;
  ASSERT_EQ(point->Advise(&first, &first_cookie), S_OK);
  ASSERT_EQ(point->Advise(&second, &second_cookie), S_OK);

  // The relay's side of the standard sensor section: one record, then the thread pumps messages.
  exchange::CRingProducer producer;
  const std::string narrow(robot.begin(), robot.end());
  ASSERT_EQ(producer.Open(narrow, exchange::SectionId::kStandardSensor), platform::ShmStatus::kOk);
  uint8_t record[50] = {42};
  ASSERT_EQ(producer.Put(record, sizeof record), 1);
  PumpFor(300);
  EXPECT_EQ(first.events, std::vector<DISPID>{1}) << "StandardSensorEvent, once";
  EXPECT_EQ(second.events, std::vector<DISPID>{1});
  EXPECT_EQ(first.arguments, 0u);
  Var sonar;
  EXPECT_EQ(Call(L"GetSensorSonar1", {}, &sonar), S_OK);
  EXPECT_EQ(sonar.iVal, 42) << "the getter reads the record the event announced";

  // Disconnected, a sink hears nothing more; a handler that releases the last reference of the
  // control ends it safely after the event.
  EXPECT_EQ(point->Unadvise(second_cookie), S_OK);
  EXPECT_NE(point->Unadvise(second_cookie), S_OK);
  point->Release();
  first.release_on_event = std::exchange(object_, nullptr);
  ASSERT_EQ(producer.Put(record, sizeof record), 1);
  PumpFor(300);
  EXPECT_EQ(first.events.size(), 2u);
  EXPECT_EQ(second.events.size(), 1u);
  ASSERT_EQ(producer.Put(record, sizeof record), 1);
  PumpFor(100);  // no control, no timer, nothing fired
  EXPECT_EQ(first.events.size(), 2u);
}

TEST_F(ComServer, RefusalsAreAutomationErrorsThatNameTheirCause) {
  Create();
  ISupportErrorInfo* supports = nullptr;
  ASSERT_EQ(object_->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&supports)), S_OK);
  EXPECT_EQ(supports->InterfaceSupportsErrorInfo(IID_IDispatch), S_OK);
  supports->Release();

  const std::wstring robot = L"ComRefusals" + std::to_wstring(GetCurrentProcessId());
  const std::string narrow(robot.begin(), robot.end());
  TempFile text(L"not-a-sound.wav"), sound(L"tone.wav"), photo(L"photo.bmp");
  std::fclose(_wfopen(text.path.c_str(), L"wb"));
  ASSERT_TRUE(exchange::WriteWaveFile(std::string(sound.path.begin(), sound.path.end()),
                                      std::vector<int16_t>(800, 1000)));
  Var photo_path(photo.path.c_str());
  ASSERT_EQ(Call(L"SavePhotoAsBMP", {&photo_path}), S_OK) << "a 24-bit picture: no LCD's";

  Var long_name(std::wstring(30, L'r').c_str()), two_lines(L"two\nlines"), name(robot.c_str());
  Var missing_sound(TempPath(L"missing.wav").c_str()), not_a_sound(text.path.c_str());
  Var missing_picture(TempPath(L"missing.bmp").c_str());
  struct Case {
    const wchar_t* method;
    Var* argument;
    HRESULT code;
    const wchar_t* cause;
  };
  for (const Case& c : std::vector<Case>{
           {L"connectRobot", &long_name, E_INVALIDARG, L"a robot name holds at most 29 bytes"},
           {L"connectRobot", &two_lines, E_INVALIDARG, L"without control characters"},
           {L"connectRobot", &name, E_FAIL, L"no relay serves robot 'ComRefusals"},
           {L"PlayAudioFile", &missing_sound, E_FAIL, L"missing.wav"},
           {L"PlayAudioFile", &not_a_sound, E_FAIL, L"not-a-sound.wav"},
           {L"LcdDisplayVCS", &missing_picture, E_FAIL, L"LcdDisplayVCS: "},
           {L"LcdDisplayVCB", &photo_path, E_FAIL, L"Only Mono image can be supported."},
       }) {
    EXCEPINFO exception{};
    EXPECT_EQ(Raising(c.method, {c.argument}, exception), DISP_E_EXCEPTION) << c.method << " " << c.cause;
    EXPECT_EQ(exception.scode, c.code) << c.method << " " << c.cause;
    const std::wstring description = exception.bstrDescription != nullptr ? exception.bstrDescription : L"";
    EXPECT_NE(description.find(c.cause), std::wstring::npos) << c.method << ": " << description.c_str();
    EXPECT_STREQ(exception.bstrSource, kCurrentProgId);
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrDescription);
    // The same, for a caller that passes no exception information and asks the thread's.
    EXPECT_EQ(Call(c.method, {c.argument}), c.code) << c.method;
    IErrorInfo* info = nullptr;
    ASSERT_EQ(GetErrorInfo(0, &info), S_OK) << c.method;
    BSTR told = nullptr;
    ASSERT_EQ(info->GetDescription(&told), S_OK);
    EXPECT_EQ(description, told != nullptr ? told : L"");
    SysFreeString(told);
    info->Release();
  }
  // A refusal whose error information nobody took, then a failure of another kind.
  EXCEPINFO untold{};
  EXPECT_EQ(Raising(L"connectRobot", {&long_name}, untold), DISP_E_EXCEPTION);
  SysFreeString(untold.bstrSource);
  SysFreeString(untold.bstrDescription);
  Var text_arg(L"abc");
  EXPECT_EQ(Call(L"EnableDcMotor", {&text_arg}), DISP_E_TYPEMISMATCH);
  IErrorInfo* stale = nullptr;
  EXPECT_EQ(GetErrorInfo(0, &stale), S_FALSE) << "no earlier refusal is told for a later failure";
  if (stale != nullptr) stale->Release();

  // What a script asks before it relies on the robot: no relay yet, then one that serves the name,
  // after which connecting is no refusal; the state cannot be written.
  Var state;
  ASSERT_EQ(Call(L"RelayState", {}, &state, nullptr, DISPATCH_PROPERTYGET), S_OK);
  ASSERT_EQ(state.vt, VT_I4);
  EXPECT_EQ(state.lVal, 0) << "no relay";
  exchange::CRingConsumer relay;
  ASSERT_EQ(relay.Open(narrow, exchange::SectionId::kCommand), platform::ShmStatus::kOk);
  ASSERT_TRUE(relay.Claim());
  Var served;
  EXPECT_EQ(Call(L"RelayState", {}, &served, nullptr, DISPATCH_PROPERTYGET), S_OK);
  EXPECT_EQ(served.lVal, 1) << "a relay whose link is being made";
  EXPECT_EQ(Call(L"connectRobot", {&name}), S_OK);
  DISPID put = DISPID_PROPERTYPUT;
  Var three(3);
  DISPPARAMS value{&three, &put, 1, 1};
  EXPECT_EQ(object_->Invoke(Id(L"RelayState"), IID_NULL, 0, DISPATCH_PROPERTYPUT, &value, nullptr, nullptr,
                            nullptr),
            DISP_E_MEMBERNOTFOUND);

  // What the control takes is no error: a playable sound, a relative name (the relay's to find), no
  // name, the 16 frames of a picture.
  Var good_sound(sound.path.c_str()), relative(L"chime.wav"), empty(L"");
  for (Var* v : {&good_sound, &relative, &empty}) EXPECT_EQ(Call(L"PlayAudioFile", {v}), S_OK);
  uint32_t length = 0;
  uint8_t record[100];
  ASSERT_TRUE(relay.TakeCopy(record, sizeof record, length));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(record), length),
            std::string(sound.path.begin(), sound.path.end()));
  relay.ReleaseClaim();
}

}  // namespace
