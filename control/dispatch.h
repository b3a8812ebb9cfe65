// The automation face of the control, from its one table: the 151 methods, 4 properties (and the
// read-only RelayState) and 5 events with their DISPIDs, parameter names and types, and the
// identifiers of the type library, interfaces and classes. Name lookup, invocation by DISPID, the type
// library, the C ABI, the Python binding and the reference page are all read from here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "control/resources/resource_texts.h"

namespace control {

class CZembrinSDKControlCtrl;

// Argument and result types, numbered as automation numbers its variant types.
enum class VarType : int32_t {
  kEmpty = 0,   // no value (a method without a result)
  kShort = 2,   // 16-bit signed
  kLong = 3,    // 32-bit signed
  kString = 8,  // narrow, zero-terminated text
  kBool = 11,
  kAddress = 37,  // pointer-sized address (read-only memory of the control)
  kBuffer = 65,   // a caller's writable buffer: address and size
};

const char* VarTypeName(VarType t);

// Status codes, as automation's dispatch reports them.
inline constexpr int32_t kStatusOk = 0;
inline constexpr int32_t kStatusMemberNotFound = static_cast<int32_t>(0x80020003u);
inline constexpr int32_t kStatusTypeMismatch = static_cast<int32_t>(0x80020005u);
inline constexpr int32_t kStatusUnknownName = static_cast<int32_t>(0x80020006u);
inline constexpr int32_t kStatusOverflow = static_cast<int32_t>(0x8002000Au);
inline constexpr int32_t kStatusBadParamCount = static_cast<int32_t>(0x8002000Eu);
inline constexpr int32_t kStatusInvalidArg = static_cast<int32_t>(0x80070057u);
inline constexpr int32_t kStatusFailed = static_cast<int32_t>(0x80004005u);  // the control could not do it

const char* StatusText(int32_t status);

struct Variant {
  VarType type = VarType::kEmpty;
  int64_t i = 0;         // kShort, kLong, kBool (0 or 1), kAddress
  std::string s;         // kString
  void* data = nullptr;  // kBuffer
  std::size_t size = 0;  // kBuffer

  static Variant Short(int64_t v) { return Variant{VarType::kShort, v, {}, nullptr, 0}; }
  static Variant Long(int64_t v) { return Variant{VarType::kLong, v, {}, nullptr, 0}; }
  static Variant Bool(bool v) { return Variant{VarType::kBool, v ? 1 : 0, {}, nullptr, 0}; }
  static Variant String(std::string v) { return Variant{VarType::kString, 0, std::move(v), nullptr, 0}; }
  static Variant Buffer(void* d, std::size_t n) { return Variant{VarType::kBuffer, 0, {}, d, n}; }
};

enum class MemberKind : int32_t { kMethod = 1, kProperty = 2, kEvent = 3 };

inline constexpr int kMaxParams = 7;

// What a parameter carries, beyond its type: front ends check arguments against the range and
// explain them with the meaning (the control itself sends every value as it is given, as the
// robot's protocol defines).
enum class ParamRole : int32_t {
  kValue = 0,         // a number sent as it is
  kMotorChannel = 1,  // a DC motor channel
  kServoChannel = 2,  // a servo channel
  kReadChannel = 3,   // a channel of a getter's family
  kByte = 4,          // a byte field
  kFileToRead = 5,    // a path of a file the control reads
  kFileToWrite = 6,   // a path of a file the control writes
  kBuffer = 7,        // a caller's buffer the control fills
  kFileForRelay = 8,  // a path of a file the relay reads (it opens the path itself)
  kRobotName = 9,     // the name of the robot whose sections the control opens
};

struct ParamInfo {
  std::string name;
  VarType type = VarType::kEmpty;
  ParamRole role = ParamRole::kValue;
  int32_t min = 0, max = 0;  // the values the robot takes (the type's range for a plain value)
  std::string meaning;       // a few words for a person
};

// What a member does, for front ends that must treat members differently (checks, refusals).
enum MemberFlag : uint32_t {
  kNeedsRobot = 1,       // does nothing useful before connectRobot (sends a frame or reads a record)
  kReadsFile = 2,        // a parameter names a file that is read (by the relay or the control)
  kWritesFile = 4,       // a parameter names a file the control writes
  kHandsOutAddress = 8,  // returns an address of the control's memory
  kFillsBuffer = 16,     // writes into a caller's buffer
  kReadOnly = 32,        // a property that cannot be written
};

using Invoker = int32_t (*)(CZembrinSDKControlCtrl&, const Variant* args, int argc, Variant& result);
using PropertyGetter = Variant (*)(const CZembrinSDKControlCtrl&);
using PropertyPutter = int32_t (*)(CZembrinSDKControlCtrl&, const Variant& value);

struct MemberInfo {
  MemberKind kind;
  int32_t dispid;
  std::string name;
  VarType type;  // result of a method, type of a property, kEmpty for events
  std::vector<ParamInfo> params;
  std::string help;
  std::string implementation;  // the operation behind the name; aliases share one
  Invoker invoke = nullptr;
  PropertyGetter get = nullptr;
  PropertyPutter put = nullptr;
  uint32_t flags = 0;  // MemberFlag bits
  // A getter: the index in exchange::kSensorFields of the field it returns (for a channel getter, the
  // field of its lowest channel); -1 for every other member.
  int32_t field = -1;
  // An event: the section (exchange::SectionId) whose record it hands out; -1 for other members.
  int32_t section = -1;
};

// True when every argument lies in its parameter's range; otherwise false with the method, the
// argument and the range named in `why`. For front ends that refuse mistakes before a call.
bool CheckArguments(const MemberInfo& member, const Variant* args, int argc, std::string& why);

// True when every file the arguments name for the relay (kFileForRelay) is a sound it would play:
// a 16-bit mono PCM WAV file with samples, read with this process's rights (a name ending in "EOF"
// names the file before those letters, as the relay reads it). A relative name is the relay's to
// find in its own folder, and an empty one only ends the sound being played: neither is looked at. Otherwise
// false, with the method and the reason in `why`. For front ends whose callers never see the relay's log
// (scripts).
bool CheckRelayFiles(const MemberInfo& member, const Variant* args, int argc, std::string& why);

// True for a parameter that picks one actuator or sensor (a motor, a servo, a getter's channel): the
// robot takes the byte as it comes, so a number outside the range would drive or read another one.
constexpr bool SelectsOne(ParamRole role) {
  return role == ParamRole::kMotorChannel || role == ParamRole::kServoChannel ||
         role == ParamRole::kReadChannel;
}

// The position of the first argument that selects an actuator or sensor and lies outside its range
// (a boolean is no channel either), with the reason in `why`; -1 when there is none. Invoke refuses
// such a call with kStatusOverflow and sends nothing.
int RefusedSelector(const MemberInfo& member, const Variant* args, int argc, std::string& why);

// Every member: properties, then methods in declaration order, then events.
const std::vector<MemberInfo>& Members();

// Methods and properties share one name space; events have their own. Lookup ignores case.
const MemberInfo* FindMember(std::string_view name);
const MemberInfo* FindEvent(std::string_view name);
const MemberInfo* FindByDispid(int32_t dispid);  // a method or a property
const MemberInfo* FindEventByDispid(int32_t dispid);

// Calls method `dispid` with `argc` arguments (in declaration order). Arguments are converted as
// automation converts them: any integer or boolean to a short or long when it fits (kOverflow when it
// does not), strings only to strings, buffers only to buffers. A channel outside its member's range
// is refused with kOverflow, its reason left in the control's last_error(). A method that refuses
// what it was given (a sound file that cannot be played) answers with the status it chose.
int32_t Invoke(CZembrinSDKControlCtrl& control, int32_t dispid, const Variant* args, int argc,
               Variant& result);
int32_t GetProperty(const CZembrinSDKControlCtrl& control, int32_t dispid, Variant& value);
int32_t PutProperty(CZembrinSDKControlCtrl& control, int32_t dispid, const Variant& value);

// Identity of the type library, interfaces and classes.
struct Identity {
  static constexpr const char* kTypeLibName = "ZEMBRINTalvenorCONTROLLib";
  static constexpr const char* kTypeLibId = "{98FCFC5C-1F70-4640-8B7B-A53A1B88AA8A}";
  static constexpr const char* kTypeLibVersion = "1.0";
  static constexpr int kTypeLibLocale = 1033;
  static constexpr const char* kTypeLibHelp = "Zembrin Talvenor ActiveX module";
  static constexpr const char* kHelpFile = "ZembrinTalvenorControl.hlp";
  static constexpr const char* kDispatchName = "_DZembrinTalvenor";
  static constexpr const char* kDispatchId = "{4344A992-02A4-406C-8466-7CFF8C489813}";
  static constexpr const char* kDispatchHelp = "Dispatch interface for Zembrin Talvenor ActiveX Module";
  static constexpr const char* kEventsName = "_DZembrinTalvenorEvents";
  static constexpr const char* kEventsId = "{9C1124A3-2E3D-4CDA-A9F3-33B92BB5491D}";
  static constexpr const char* kEventsHelp = "Event interface for Zembrin Talvenor ActiveX Module";
  static constexpr const char* kCoclassName = "DZembrinTalvenor";
  static constexpr const char* kControlClsid = "{C3F1E5A4-1541-4456-9AB0-8BD4CE11A513}";
  static constexpr const char* kCoclassHelp = "Zembrin Talvenor ActiveX Module";
  static constexpr const char* kControlProgId = "ZEMBRINSDKCONTROL.ZembrinSDKControlCtrl.1";
  // The ProgID without its version, whose CurVer names the one above: CreateObject by it makes the
  // current version.
  static constexpr const char* kControlVersionIndependentProgId = "ZEMBRINSDKCONTROL.ZembrinSDKControlCtrl";
  static constexpr const char* kControlTypeName = TV_TEXT_CONTROL_TYPE_NAME;
  static constexpr const char* kPropPageClsid = "{5307B30C-C252-450A-9AC4-2187A2492C94}";
  static constexpr const char* kPropPageProgId = "ZEMBRINSDKCONTROL.ZembrinSDKControlPropPage.1";
  static constexpr const char* kPropPageTypeName = TV_TEXT_PAGE_TYPE_NAME;
  static constexpr uint32_t kMiscStatus = 0x20191;
};

// The type library as text (an interface description listing every member), and the interface
// reference page in Markdown; both generated from the table.
std::string TypeLibraryText();
std::string ReferenceMarkdown();

}  // namespace control
