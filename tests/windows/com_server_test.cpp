// The control as a COM server under wine: self-registration in the system registry, creation by its
// ProgID, and late binding through IDispatch as scripts and compiled clients use it, with
// automation's conversions and error codes.
#include <gtest/gtest.h>
#include <objbase.h>
#include <ocidl.h>
#include <oleauto.h>
#include <olectl.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "exchange/command_ring.h"
#include "exchange/sections.h"
#include "exchange/wave_file.h"
#include "table_members.h"

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
  explicit Var(bool b) : Var() { vt = VT_BOOL, boolVal = b ? VARIANT_TRUE : VARIANT_FALSE; }
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
  // Creates the control and ties it to a robot of this test; commands_ then reads what it sends.
  void Connect(const wchar_t* suffix) {
    Create();
    robot_ = L"Com" + std::wstring(suffix) + std::to_wstring(GetCurrentProcessId());
    // This test reads the commands as the relay would, holding the ring's claim: the control then
    // finds a relay that serves the name.
    ASSERT_EQ(commands_.Open(Narrow(), exchange::SectionId::kCommand), platform::Status::kOk);
    ASSERT_EQ(relay_.Open(Narrow()), platform::Status::kOk);
    ASSERT_TRUE(relay_.Claim());
    Var name(robot_.c_str());
    ASSERT_EQ(Call(L"connectRobot", {&name}), S_OK);
  }
  std::string Narrow() const { return std::string(robot_.begin(), robot_.end()); }
  std::vector<uint8_t> NextCommand() {
    exchange::RingRecord r = commands_.Take();
    return r ? std::vector<uint8_t>(r.data(), r.data() + r.size()) : std::vector<uint8_t>{};
  }
  // Pumps this thread's messages (the control's timer runs) until `done`, at most two seconds.
  template <typename Done>
  bool PumpUntil(Done done) {
    const DWORD end = GetTickCount() + 2000;
    MSG message;
    while (!done()) {
      if (static_cast<LONG>(end - GetTickCount()) <= 0) return false;
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
      while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    }
    return true;
  }
  IDispatch* object_ = nullptr;
  std::wstring robot_;
  exchange::CRingConsumer commands_;
  exchange::CCommandTaker relay_;  // holds the ring's claim only
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

// Every member whose argument picks a motor, a servo or a sensor channel, through IDispatch at both
// ends of its range and just beyond: beyond, DISP_E_OVERFLOW names the argument and nothing is sent.
TEST_F(ComServer, ChannelsOutsideTheirRangeAreRefusedAndSendNothing) {
  Connect(L"Range");
  int members = 0;
  for (const TableMember& m : TableMembers()) {
    if (m.kind != TableMember::kMethod) continue;
    const std::wstring name(m.name.begin(), m.name.end());
    for (std::size_t k = 0; k < m.params.size(); ++k) {
      if (!m.selects[k]) continue;
      ++members;
      for (int channel : {m.min[k] - 1, m.min[k], m.max[k], m.max[k] + 1}) {
        std::vector<Var> values(m.params.size());
        for (Var& v : values) v.vt = VT_I4, v.lVal = 0;
        values[k].lVal = channel;
        std::vector<Var*> args;
        for (Var& v : values) args.push_back(&v);
        const bool inside = channel >= m.min[k] && channel <= m.max[k];
        UINT bad = 99;
        Var result;
        EXPECT_EQ(Call(name.c_str(), args, &result, &bad), inside ? S_OK : DISP_E_OVERFLOW)
            << m.name << "(" << channel << ")";
        if (inside) {
          EXPECT_EQ(!NextCommand().empty(), m.type == 0) << m.name << "(" << channel << ")";
          while (!NextCommand().empty()) {
          }
        } else {
          EXPECT_EQ(bad, m.params.size() - 1 - k) << m.name << ": the channel is named";
          EXPECT_TRUE(NextCommand().empty()) << m.name << "(" << channel << ") sent something";
        }
      }
    }
  }
  EXPECT_EQ(members, 26);
  Var yes(true);
  EXPECT_EQ(Call(L"EnableDcMotor", {&yes}), DISP_E_OVERFLOW) << "True would be channel 0xFF";
  EXPECT_TRUE(NextCommand().empty());
}

TEST_F(ComServer, NamedArgumentsGoToTheParametersTheyName) {
  Connect(L"Named");
  Var two(2), value(300);
  ASSERT_EQ(Call(L"DcMotorPwmNonTimeCtr", {&two, &value}), S_OK);
  const std::vector<uint8_t> positional = NextCommand();
  ASSERT_FALSE(positional.empty());

  LPOLESTR names[3] = {const_cast<LPOLESTR>(L"DcMotorPwmNonTimeCtr"), const_cast<LPOLESTR>(L"CMDVALUE"),
                       const_cast<LPOLESTR>(L"channel")};
  DISPID ids[3] = {};
  ASSERT_EQ(object_->GetIDsOfNames(IID_NULL, names, 3, LOCALE_USER_DEFAULT, ids), S_OK);
  EXPECT_EQ(ids[1], 1);
  EXPECT_EQ(ids[2], 0);
  struct Case {
    std::vector<VARIANT> args;  // rgvarg: the named ones first, then the positional ones last first
    std::vector<DISPID> named;
    HRESULT expected;
    UINT bad;
  };
  Var seven(7), five(5);
  for (const Case& c : std::vector<Case>{
           {{value, two}, {1, 0}, S_OK, 99},                 // cmdValue:=300, channel:=2
           {{two, value}, {0, 1}, S_OK, 99},                 // channel:=2, cmdValue:=300
           {{value, two}, {1}, S_OK, 99},                    // 2, cmdValue:=300
           {{value}, {1}, DISP_E_PARAMNOTOPTIONAL, 99},      // the channel is missing
           {{value, two}, {5, 0}, DISP_E_PARAMNOTFOUND, 0},  // no parameter 5
           {{two, two}, {0}, DISP_E_PARAMNOTFOUND, 0},       // the channel twice
           {{value, seven}, {1, 0}, DISP_E_OVERFLOW, 1},     // channel:=7 is named as refused
           {{value, two, five}, {1, 0}, DISP_E_BADPARAMCOUNT, 99},
       }) {
    std::vector<VARIANT> args = c.args;
    std::vector<DISPID> named = c.named;
    DISPPARAMS params{args.data(), named.data(), static_cast<UINT>(args.size()),
                      static_cast<UINT>(named.size())};
    UINT bad = 99;
    EXPECT_EQ(object_->Invoke(ids[0], IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, &bad),
              c.expected)
        << args.size() << " arguments, " << named.size() << " named";
    EXPECT_EQ(bad, c.bad);
    if (c.expected == S_OK)
      EXPECT_EQ(NextCommand(), positional) << "the same frame as by position";
    else
      EXPECT_TRUE(NextCommand().empty());
  }
}

// What scripts can take: a voice segment into a variable passed by reference (a byte array), and the
// addresses as doubles, on both bit widths.
TEST_F(ComServer, ScriptsTakeVoiceBytesIntoAVariantAndAddressesAsDoubles) {
  Connect(L"Voice");
  exchange::CRingProducer audio;
  ASSERT_EQ(audio.Open(Narrow(), exchange::SectionId::kAudio), platform::Status::kOk);
  std::vector<uint8_t> segment(4096);
  for (std::size_t i = 0; i < segment.size(); ++i) segment[i] = static_cast<uint8_t>(i * 7);
  ASSERT_EQ(audio.Put(segment.data(), static_cast<uint32_t>(segment.size())), exchange::PutStatus::kStored);
  ASSERT_TRUE(PumpUntil([&] {
    Var length;
    return Call(L"GetVoiceSegLength", {}, &length) == S_OK && length.lVal == 4096;
  }));

  Var holder(5), length;  // a variable that holds something else first
  for (int call = 0; call < 2; ++call) {
    VARIANT by_reference;
    by_reference.vt = VT_BYREF | VT_VARIANT;
    by_reference.pvarVal = &holder;
    DISPPARAMS params{&by_reference, nullptr, 1, 0};
    ASSERT_EQ(object_->Invoke(Id(L"GetVoiceData"), IID_NULL, 0, DISPATCH_METHOD | DISPATCH_PROPERTYGET,
                              &params, &length, nullptr, nullptr),
              S_OK);
    EXPECT_EQ(length.vt, VT_I4);
    EXPECT_EQ(length.lVal, 4096);
    ASSERT_EQ(holder.vt, VT_ARRAY | VT_UI1) << "call " << call;
    ASSERT_EQ(holder.parray->rgsabound[0].cElements, 4096u);
    EXPECT_EQ(std::memcmp(holder.parray->pvData, segment.data(), segment.size()), 0);
  }
  // A byte array of the caller's is filled in place, within its size, as before.
  Var small;
  small.vt = VT_ARRAY | VT_UI1;
  small.parray = SafeArrayCreateVector(VT_UI1, 0, 16);
  EXPECT_EQ(Call(L"GetVoiceData", {&small}, &length), S_OK);
  EXPECT_EQ(length.lVal, 4096);
  EXPECT_EQ(small.parray->rgsabound[0].cElements, 16u);
  EXPECT_EQ(std::memcmp(small.parray->pvData, segment.data(), 16), 0);

  const uint8_t* image = ModuleImage();
  for (const wchar_t* getter : {L"GetImageAddress", L"GetImageYDataAddress", L"GetVoiceSegment"}) {
    Var address;
    ASSERT_EQ(Call(getter, {}, &address), S_OK) << getter;
    EXPECT_EQ(address.vt, VT_R8) << getter;
    EXPECT_GT(address.dblVal, 0) << getter;
    EXPECT_EQ(address.dblVal, static_cast<double>(static_cast<uint64_t>(address.dblVal))) << "a whole number";
  }
  Var picture;
  ASSERT_EQ(Call(L"GetImageAddress", {}, &picture), S_OK);
  EXPECT_EQ(picture.dblVal, static_cast<double>(reinterpret_cast<uintptr_t>(image)));
}

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

// The system's script engines on the control (script_host runs them as the console script host
// does): each script checks what it takes and quits with 1 when something is wrong. Voice segments
// come while the script runs, as the relay would write them.
TEST_F(ComServer, ScriptsTakeVoiceDataAddressesAndRefusals) {
  wchar_t here[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, here, MAX_PATH);
  std::wstring folder(here, n);
  folder.resize(folder.find_last_of(L'\\') + 1);
  std::wstring scripts = L"Z:";
  for (const char* c = SCRIPTS_DIR; *c != '\0'; ++c) scripts += *c == '/' ? L'\\' : static_cast<wchar_t>(*c);
  for (const wchar_t* script : {L"voice_into_variable.vbs", L"addresses.js"}) {
    const std::wstring robot = L"ComScript" + std::to_wstring(GetCurrentProcessId());
    const std::string narrow(robot.begin(), robot.end());
    // A relay serves the name (connecting to an unserved one is an error a script sees).
    exchange::CCommandTaker relay;
    ASSERT_EQ(relay.Open(narrow), platform::Status::kOk);
    ASSERT_TRUE(relay.Claim());
    exchange::CRingProducer audio;
    ASSERT_EQ(audio.Open(narrow, exchange::SectionId::kAudio), platform::Status::kOk);
    std::vector<uint8_t> segment(4096);
    for (std::size_t i = 0; i < segment.size(); ++i) segment[i] = static_cast<uint8_t>(i * 7);
    std::wstring command =
        L"\"" + folder + L"script_host.exe\" \"" + scripts + L"\\" + script + L"\" " + robot;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &process))
        << GetLastError();
    // A segment every 50 ms until the script ends (at most a minute): it takes whichever comes after
    // it connected.
    for (int i = 0; i < 1200 && WaitForSingleObject(process.hProcess, 50) == WAIT_TIMEOUT; ++i)
      audio.Put(segment.data(), static_cast<uint32_t>(segment.size()));
    DWORD code = 99;
    if (WaitForSingleObject(process.hProcess, 0) != WAIT_OBJECT_0) TerminateProcess(process.hProcess, 98);
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    relay.ReleaseClaim();
    EXPECT_EQ(code, 0u) << "script " << std::string(script, script + wcslen(script)) << " (its output above)";
  }
}

// An event sink as a container or script host makes one: it counts each event by its DISPID, and
// may disconnect a sink or let the control go from inside a handler. It lives on the stack: its count only
// tells who holds it.
class Sink : public IDispatch {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    *out = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IDispatch)) return E_NOINTERFACE;
    *out = this;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
  ULONG STDMETHODCALLTYPE Release() override { return --references; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override { return *n = 0, S_OK; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                                   UINT*) override {
    events.push_back(id);
    arguments += params != nullptr ? params->cArgs : 0;
    if (unadvise_on_event != nullptr) std::exchange(unadvise_on_event, nullptr)->Unadvise(unadvise_cookie);
    if (release_on_event != nullptr) std::exchange(release_on_event, nullptr)->Release();
    return S_OK;
  }
  std::vector<DISPID> events;
  UINT arguments = 0;
  IConnectionPoint* unadvise_on_event = nullptr;  // and the cookie it disconnects there
  DWORD unadvise_cookie = 0;
  IDispatch* release_on_event = nullptr;
  ULONG references = 1;
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
  ASSERT_EQ(producer.Open(narrow, exchange::SectionId::kStandardSensor), platform::Status::kOk);
  uint8_t record[50] = {42};
  ASSERT_EQ(producer.Put(record, sizeof record), exchange::PutStatus::kStored);
  PumpFor(300);
  EXPECT_EQ(first.events, std::vector<DISPID>{1}) << "StandardSensorEvent, once";
  EXPECT_EQ(second.events, std::vector<DISPID>{1});
  EXPECT_EQ(first.arguments, 0u);
  Var sonar;
  EXPECT_EQ(Call(L"GetSensorSonar1", {}, &sonar), S_OK);
  EXPECT_EQ(sonar.iVal, 42) << "the getter reads the record the event announced";

  // A handler may disconnect a sink while the event is being fired: the firing goes on, and the
  // sink hears nothing after that event (the one being fired may still reach it).
  first.unadvise_on_event = point;
  first.unadvise_cookie = second_cookie;
  ASSERT_EQ(producer.Put(record, sizeof record), exchange::PutStatus::kStored);
  PumpFor(300);
  EXPECT_EQ(first.events.size(), 2u);
  const std::size_t heard = second.events.size();
  EXPECT_NE(point->Unadvise(second_cookie), S_OK) << "the handler disconnected it";
  point->Release();
  // A handler that releases the last reference of the control ends it safely after the event.
  first.release_on_event = std::exchange(object_, nullptr);
  ASSERT_EQ(producer.Put(record, sizeof record), exchange::PutStatus::kStored);
  PumpFor(300);
  EXPECT_EQ(first.events.size(), 3u);
  EXPECT_EQ(second.events.size(), heard);
  EXPECT_EQ(second.references, 1u) << "the point let go of the sink it dropped";
  ASSERT_EQ(producer.Put(record, sizeof record), exchange::PutStatus::kStored);
  PumpFor(100);  // no control, no timer, nothing fired
  EXPECT_EQ(first.events.size(), 3u);
}

// What a container does with the control's events before it connects a sink: it walks the
// connection points (exactly one, for the event interface), advises, walks the connections, and
// unadvises. The point is an object of its own that holds the control while a client holds it, and
// every enumerator hands out what it names held for the caller.
TEST_F(ComServer, ContainersEnumerateTheOneConnectionPointAndItsConnections) {
  Create();
  IConnectionPoint* itself = nullptr;
  EXPECT_EQ(object_->QueryInterface(IID_IConnectionPoint, reinterpret_cast<void**>(&itself)), E_NOINTERFACE);
  IConnectionPointContainer* container = nullptr;
  ASSERT_EQ(object_->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container)),
            S_OK);
  IEnumConnectionPoints* points = nullptr;
  ASSERT_EQ(container->EnumConnectionPoints(&points), S_OK);
  IConnectionPoint* found[2] = {};
  ULONG n = 9;
  EXPECT_EQ(points->Next(2, found, &n), S_FALSE);
  ASSERT_EQ(n, 1u);
  IConnectionPoint* point = found[0];
  IID events{};
  EXPECT_EQ(point->GetConnectionInterface(&events), S_OK);
  EXPECT_TRUE(IsEqualIID(events, Guid(L"{9C1124A3-2E3D-4CDA-A9F3-33B92BB5491D}")));
  IDispatch* control_face = nullptr;
  EXPECT_EQ(point->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&control_face)), E_NOINTERFACE)
      << "the point answers for itself only";
  IConnectionPoint* by_iid = nullptr;
  ASSERT_EQ(container->FindConnectionPoint(events, &by_iid), S_OK);
  EXPECT_EQ(by_iid, point);
  by_iid->Release();
  // Walking again: Reset, Skip and Clone keep their places.
  struct Step {
    const char* what;
    HRESULT (*step)(IEnumConnectionPoints*);
    ULONG left;  // points a Next(2) then finds
  };
  for (const Step& s : std::vector<Step>{
           {"Reset", [](IEnumConnectionPoints* e) { return e->Reset(); }, 1},
           {"Skip(1)", [](IEnumConnectionPoints* e) { return e->Reset() == S_OK ? e->Skip(1) : E_FAIL; }, 0},
           {"Skip(2)",
            [](IEnumConnectionPoints* e) {
              return e->Reset() == S_OK && e->Skip(2) == S_FALSE ? S_OK : E_FAIL;
            },
            0},
       }) {
    ASSERT_EQ(s.step(points), S_OK) << s.what;
    IEnumConnectionPoints* clone = nullptr;
    ASSERT_EQ(points->Clone(&clone), S_OK) << s.what;
    for (IEnumConnectionPoints* e : {points, clone}) {
      IConnectionPoint* more[2] = {};
      ULONG got = 9;
      EXPECT_EQ(e->Next(2, more, &got), S_FALSE) << s.what;
      EXPECT_EQ(got, s.left) << s.what;
      for (ULONG i = 0; i < got; ++i) {
        EXPECT_EQ(more[i], point) << s.what;
        more[i]->Release();
      }
    }
    clone->Release();
  }
  points->Release();
  container->Release();

  // The point keeps the control: released by its creator, it still answers through the point.
  IDispatch* control = std::exchange(object_, nullptr);
  control->Release();
  IConnectionPointContainer* owner = nullptr;
  ASSERT_EQ(point->GetConnectionPointContainer(&owner), S_OK);
  ASSERT_EQ(owner->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&object_)), S_OK);
  owner->Release();

  Sink sink;
  DWORD cookie = 0;
  ASSERT_EQ(point->Advise(&sink, &cookie), S_OK);
  const ULONG advised = sink.references;
  for (bool connected : {true, false}) {
    IEnumConnections* connections = nullptr;
    ASSERT_EQ(point->EnumConnections(&connections), S_OK);
    CONNECTDATA data[2] = {};
    ULONG got = 9;
    EXPECT_EQ(connections->Next(2, data, &got), S_FALSE);
    ASSERT_EQ(got, connected ? 1u : 0u);
    if (connected) {
      EXPECT_EQ(data[0].dwCookie, cookie);
      EXPECT_EQ(data[0].pUnk, static_cast<IUnknown*>(&sink));
      EXPECT_EQ(sink.references, advised + 2) << "held by the enumerator and handed out held";
      data[0].pUnk->Release();
    }
    connections->Release();
    EXPECT_EQ(sink.references, connected ? advised : 1u) << "every reference given back";
    if (connected) {
      EXPECT_EQ(point->Unadvise(cookie), S_OK);
    }
  }
  point->Release();
}

// Containers ask for type information on every control they bind: the module reads its type
// library once, not once per question. Counted where the module calls the system to load it.
std::atomic<int> g_type_library_loads{0};

HRESULT WINAPI CountedLoadTypeLibEx(LPCOLESTR path, REGKIND kind, ITypeLib** out) {
  g_type_library_loads.fetch_add(1, std::memory_order_relaxed);  // this thread's count only
  return LoadTypeLibEx(path, kind, out);
}

// Points the module's import of `function` from `library` at `replacement`.
bool RedirectImport(HMODULE module, const char* library, const char* function, void* replacement) {
  auto* base = reinterpret_cast<BYTE*>(module);
  const auto* nt =
      reinterpret_cast<IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
  const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); d->Name != 0;
       ++d) {
    if (lstrcmpiA(reinterpret_cast<char*>(base + d->Name), library) != 0) continue;
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->OriginalFirstThunk);
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const auto* named = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      if (std::strcmp(reinterpret_cast<const char*>(named->Name), function) != 0) continue;
      DWORD was = 0;
      if (!VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &was)) return false;
      slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
      VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, was, &was);
      return true;
    }
  }
  return false;
}

TEST_F(ComServer, TheTypeLibraryIsLoadedOnceForEveryQuestion) {
  ASSERT_TRUE(RedirectImport(Module(), "oleaut32.dll", "LoadTypeLibEx",
                             reinterpret_cast<void*>(&CountedLoadTypeLibEx)));
  const int before = g_type_library_loads.load(std::memory_order_relaxed);
  for (int control = 0; control < 2; ++control) {
    Create();
    IProvideClassInfo2* info = nullptr;
    ASSERT_EQ(object_->QueryInterface(IID_IProvideClassInfo2, reinterpret_cast<void**>(&info)), S_OK);
    for (int question = 0; question < 3; ++question) {
      ITypeInfo* type = nullptr;
      ASSERT_EQ(object_->GetTypeInfo(0, LOCALE_USER_DEFAULT, &type), S_OK);
      type->Release();
      ASSERT_EQ(info->GetClassInfo(&type), S_OK);
      type->Release();
    }
    info->Release();
    std::exchange(object_, nullptr)->Release();
  }
  EXPECT_LE(g_type_library_loads.load(std::memory_order_relaxed) - before, 1) << "12 questions, 2 controls";
}

// A registration that fails half-way takes back all it wrote, the type library's registration too.
// Here the system refuses the last key it must create: its parent is there before it, a volatile key
// (gone at the next start of the system), under which no lasting key can be made. The registration
// has written the type library, the control's class and ProgIDs and the parent's value by then.
TEST_F(ComServer, ARegistrationThatFailsHalfWayLeavesNothingOfWhatItWrote) {
  ASSERT_EQ(CallEntry("DllUnregisterServer"), S_OK);
  const std::wstring page = L"CLSID\\{5307B30C-C252-450A-9AC4-2187A2492C94}";
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, page.c_str(), 0, nullptr, REG_OPTION_VOLATILE, KEY_READ,
                            nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);

  EXPECT_EQ(CallEntry("DllRegisterServer"), SELFREG_E_CLASS);
  for (const std::wstring& written :
       {std::wstring(kClassKey), std::wstring(kProgId), std::wstring(kCurrentProgId),
        page + L"\\InprocServer32", std::wstring(L"TypeLib\\{98FCFC5C-1F70-4640-8B7B-A53A1B88AA8A}"),
        std::wstring(L"Interface\\{4344A992-02A4-406C-8466-7CFF8C489813}")}) {
    HKEY left = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, written.c_str(), 0, KEY_READ, &left), ERROR_FILE_NOT_FOUND)
        << std::string(written.begin(), written.end()) << " is left";
    if (left != nullptr) RegCloseKey(left);
  }
  EXPECT_EQ(Value(page), L"<none>") << "the volatile key is as it was: without a value";

  EXPECT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, page.c_str()), ERROR_SUCCESS);
  ASSERT_EQ(CallEntry("DllRegisterServer"), S_OK) << "and whole once it may write";
}

// Runs `command` (a program of this machine's folders, then its arguments) and waits for its end.
DWORD RunProgram(std::wstring command) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process))
    return 999;
  DWORD code = 998;
  if (WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0)
    GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return code;
}

std::wstring WinePath(const char* unix_path) {
  std::wstring out = L"Z:";
  for (const char* c = unix_path; *c != '\0'; ++c) out += *c == '/' ? L'\\' : static_cast<wchar_t>(*c);
  return out;
}

// Texts cross as the caller wrote them, in any script: a robot name and a file path with letters of
// no one code page, through a property, the relay's sections (from the control and from a program's
// command line) and the file system.
TEST_F(ComServer, TextsOfEveryLanguageRoundTrip) {
  const std::wstring robot = L"R\u00e9\u4e2d" + std::to_wstring(GetCurrentProcessId());
  char utf8[64] = {};
  WideCharToMultiByte(CP_UTF8, 0, robot.c_str(), -1, utf8, sizeof utf8, nullptr, nullptr);
  exchange::CCommandTaker relay;  // holds the claim; `commands` reads what the program puts
  ASSERT_EQ(relay.Open(utf8), platform::Status::kOk);
  exchange::CRingConsumer commands;
  ASSERT_EQ(commands.Open(utf8, exchange::SectionId::kCommand), platform::Status::kOk);
  ASSERT_TRUE(relay.Claim());
  TempFile photo(L"photo-\u00e9\u4e2d.bmp");
  Create();
  Var name(robot.c_str()), path(photo.path.c_str());
  DISPID put = DISPID_PROPERTYPUT;
  DISPPARAMS value{&name, &put, 1, 1};
  ASSERT_EQ(
      object_->Invoke(Id(L"robotName"), IID_NULL, 0, DISPATCH_PROPERTYPUT, &value, nullptr, nullptr, nullptr),
      S_OK);
  Var got;
  ASSERT_EQ(Call(L"robotName", {}, &got, nullptr, DISPATCH_PROPERTYGET), S_OK);
  ASSERT_EQ(got.vt, VT_BSTR);
  EXPECT_EQ(std::wstring(got.bstrVal, SysStringLen(got.bstrVal)), robot) << "the property";
  EXPECT_EQ(Call(L"connectRobot", {&name}), S_OK) << "the relay's sections under the same name";
  EXPECT_EQ(Call(L"SavePhotoAsBMP", {&path}), S_OK);
  EXPECT_NE(GetFileAttributesW(photo.path.c_str()), INVALID_FILE_ATTRIBUTES) << "the file by its own name";
  EXPECT_EQ(RunProgram(L"\"" + WinePath(SECTIONS_TOOL) + L"\" --robot " + robot + L" --put-text typed"), 0u);
  uint32_t length = 0;
  char record[16] = {};
  ASSERT_TRUE(commands.TakeCopy(reinterpret_cast<uint8_t*>(record), sizeof record, length))
      << "a program's command line names the same sections";
  EXPECT_EQ(std::string(record, length), "typed");
  relay.ReleaseClaim();
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
  exchange::CCommandTaker relay;  // holds the claim; `commands` reads what the control puts
  ASSERT_EQ(relay.Open(narrow), platform::Status::kOk);
  exchange::CRingConsumer commands;
  ASSERT_EQ(commands.Open(narrow, exchange::SectionId::kCommand), platform::Status::kOk);
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

  // What the control takes is no error: a playable sound, no name (it ends a sound that plays).
  Var good_sound(sound.path.c_str()), empty(L"");
  for (Var* v : {&good_sound, &empty}) EXPECT_EQ(Call(L"PlayAudioFile", {v}), S_OK);
  uint32_t length = 0;
  uint8_t record[100];
  ASSERT_TRUE(commands.TakeCopy(record, sizeof record, length));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(record), length),
            std::string(sound.path.begin(), sound.path.end()));
  relay.ReleaseClaim();
}

}  // namespace
