// The one table of the automation face. Each line names a member once: its DISPID, its automation
// name, the operation that implements it (aliases name the same operation), its parameter names and
// a line of help. Parameter and result types are read off the implementing member function, so the
// table and the implementation cannot disagree.
#include <filesystem>
#include <tuple>
#include <type_traits>
#include <utility>

#include "control/control.h"
#include "control/dispatch.h"
#include "exchange/wave_file.h"

namespace control {
namespace {

using Ctrl = CZembrinSDKControlCtrl;

template <typename T>
struct TypeOf;
template <>
struct TypeOf<void> {
  static constexpr VarType value = VarType::kEmpty;
};
template <>
struct TypeOf<int16_t> {
  static constexpr VarType value = VarType::kShort;
};
template <>
struct TypeOf<int32_t> {
  static constexpr VarType value = VarType::kLong;
};
template <>
struct TypeOf<bool> {
  static constexpr VarType value = VarType::kBool;
};
template <>
struct TypeOf<std::string> {
  static constexpr VarType value = VarType::kString;
};
template <>
struct TypeOf<const uint8_t*> {
  static constexpr VarType value = VarType::kAddress;
};
template <>
struct TypeOf<WritableBuffer> {
  static constexpr VarType value = VarType::kBuffer;
};

int32_t ToInteger(const Variant& v, int64_t lo, int64_t hi, int64_t& out) {
  switch (v.type) {
    case VarType::kShort:
    case VarType::kLong:
    case VarType::kBool:
      if (v.i < lo || v.i > hi) return kStatusOverflow;
      out = v.i;
      return kStatusOk;
    default:
      return kStatusTypeMismatch;
  }
}

int32_t Convert(const Variant& v, int16_t& out) {
  int64_t i = 0;
  int32_t st = ToInteger(v, INT16_MIN, INT16_MAX, i);
  out = static_cast<int16_t>(i);
  return st;
}
int32_t Convert(const Variant& v, int32_t& out) {
  int64_t i = 0;
  int32_t st = ToInteger(v, INT32_MIN, INT32_MAX, i);
  out = static_cast<int32_t>(i);
  return st;
}
int32_t Convert(const Variant& v, std::string& out) {
  if (v.type != VarType::kString) return kStatusTypeMismatch;
  out = v.s;
  return kStatusOk;
}
int32_t Convert(const Variant& v, WritableBuffer& out) {
  if (v.type != VarType::kBuffer) return kStatusTypeMismatch;
  out = WritableBuffer{static_cast<uint8_t*>(v.data), v.data != nullptr ? v.size : 0};
  return kStatusOk;
}

Variant Wrap(int16_t v) {
  return Variant::Short(v);
}
Variant Wrap(int32_t v) {
  return Variant::Long(v);
}
Variant Wrap(bool v) {
  return Variant::Bool(v);
}
Variant Wrap(const std::string& v) {
  return Variant::String(v);
}
Variant Wrap(const uint8_t* p) {
  Variant r;
  r.type = VarType::kAddress;
  r.i = static_cast<int64_t>(reinterpret_cast<intptr_t>(p));
  return r;
}

template <auto Method>
struct Binder;

template <typename R, typename... A, R (Ctrl::*Method)(A...)>
struct Binder<Method> {
  using Args = std::tuple<std::decay_t<A>...>;
  static constexpr int kCount = sizeof...(A);

  static std::vector<VarType> ParamTypes() { return {TypeOf<std::decay_t<A>>::value...}; }
  static VarType ResultType() { return TypeOf<R>::value; }

  template <std::size_t... I>
  static int32_t ConvertAll(const Variant* args, Args& values, std::index_sequence<I...>) {
    int32_t st = kStatusOk;
    ((st = (st == kStatusOk ? Convert(args[I], std::get<I>(values)) : st)), ...);
    return st;
  }

  static int32_t Invoke(Ctrl& c, const Variant* args, int argc, Variant& result) {
    if (argc != kCount) return kStatusBadParamCount;
    Args values;
    int32_t st = ConvertAll(args, values, std::index_sequence_for<A...>{});
    if (st != kStatusOk) return st;
    c.TakeArgumentRefusal();
    if constexpr (std::is_void_v<R>) {
      std::apply([&](auto&... a) { (c.*Method)(a...); }, values);
      result = Variant{};
    } else {
      result = Wrap(std::apply([&](auto&... a) { return (c.*Method)(a...); }, values));
    }
    // A method that refused what it was given says so to the caller, not only in last_error().
    return c.TakeArgumentRefusal();
  }
};

// The roles a parameter list may give its parameters, as "name:role": the range the robot takes
// and the words that explain it. Channels are counted as the robot counts them.
struct RoleSpec {
  std::string_view tag;
  ParamRole role;
  int32_t min, max;
  const char* meaning;
};
constexpr RoleSpec kRoles[] = {
    {"motor", ParamRole::kMotorChannel, 0, 5, "DC motor channel, counted from 0 (motors 0..5)"},
    {"servo", ParamRole::kServoChannel, 0, 5, "servo channel, counted from 0 (servos 0..5)"},
    {"sonar", ParamRole::kReadChannel, 0, 5, "sonar channel, counted from 0 (0..5; sonar1 is channel 0)"},
    {"current", ParamRole::kReadChannel, 0, 5,
     "motor current channel, counted from 0 (0..5; current1 is channel 0)"},
    {"ad", ParamRole::kReadChannel, 0, 7, "custom analogue channel, counted from 0 (0..7; ad1 is channel 0)"},
    {"pot", ParamRole::kReadChannel, 1, 6, "potentiometer channel, counted from 1 (1..6)"},
    {"packets", ParamRole::kByte, 0, 255, "number of packets asked for, a byte: 255 without end, 0 stop"},
    {"byte", ParamRole::kByte, 0, 255, "a byte"},
    {"pwm", ParamRole::kValue, INT16_MIN, INT16_MAX,
     "PWM duty, a signed 16-bit word sent as it is (its full scale is the robot's)"},
    {"position", ParamRole::kValue, INT16_MIN, INT16_MAX, "position, a signed 16-bit word sent as it is"},
    {"velocity", ParamRole::kValue, INT16_MIN, INT16_MAX, "velocity, a signed 16-bit word sent as it is"},
    {"servopos", ParamRole::kValue, INT16_MIN, INT16_MAX,
     "servo position, a signed 16-bit word sent as it is"},
    {"time", ParamRole::kValue, INT16_MIN, INT16_MAX,
     "time, a 16-bit word sent as it is; its unit is the robot's (the protocol fixes none)"},
    {"gain", ParamRole::kValue, INT16_MIN, INT16_MAX, "controller gain, a signed 16-bit word"},
    {"read", ParamRole::kFileToRead, 0, 0, "path of a 128 x 64 monochrome BMP file, read at once"},
    {"relayfile", ParamRole::kFileForRelay, 0, 0,
     "path of a 16-bit mono PCM WAV file for the relay to read; a relative one is taken from the "
     "caller's current folder (the control sends it absolute, at most 80 bytes with a trailing EOF, and "
     "checks the file first). The relay reads it later, with its own rights, and says in its log why "
     "it refuses one"},
    {"robot", ParamRole::kRobotName, 0, 0, "the name the relay serves the robot under"},
    {"write", ParamRole::kFileToWrite, 0, 0, "path of the BMP file written"},
};

std::vector<ParamInfo> Params(const char* names, const std::vector<VarType>& types) {
  std::vector<ParamInfo> out;
  std::string_view rest(names);
  std::size_t k = 0;
  while (!rest.empty()) {
    const std::size_t comma = rest.find(',');
    std::string_view item = rest.substr(0, comma);
    const std::size_t colon = item.find(':');
    ParamInfo p;
    p.name = std::string(item.substr(0, colon));
    p.type = k < types.size() ? types[k] : VarType::kEmpty;
    p.min = p.type == VarType::kShort ? INT16_MIN : INT32_MIN;
    p.max = p.type == VarType::kShort ? INT16_MAX : INT32_MAX;
    p.meaning = p.type == VarType::kShort ? "a signed 16-bit word sent as it is" : "";
    if (p.type == VarType::kBuffer) {
      p.role = ParamRole::kBuffer;
      p.meaning = "a writable buffer the control fills";
    }
    if (colon != std::string_view::npos) {
      for (const RoleSpec& r : kRoles)
        if (r.tag == item.substr(colon + 1)) {
          p.role = r.role;
          p.meaning = r.meaning;
          if (p.type != VarType::kString) p.min = r.min, p.max = r.max;
        }
    }
    out.push_back(std::move(p));
    ++k;
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
  }
  return out;
}

// What front ends need to know of a member, from its parameters and result: which files it touches,
// what memory it hands out, whether it does anything before connectRobot.
uint32_t Flags(const std::vector<ParamInfo>& params, VarType result, bool needs_robot) {
  uint32_t flags = needs_robot ? static_cast<uint32_t>(kNeedsRobot) : 0u;
  for (const ParamInfo& p : params) {
    if (p.role == ParamRole::kFileToRead || p.role == ParamRole::kFileForRelay) flags |= kReadsFile;
    if (p.role == ParamRole::kFileToWrite) flags |= kWritesFile;
    if (p.role == ParamRole::kBuffer) flags |= kFillsBuffer;
  }
  if (result == VarType::kAddress) flags |= kHandsOutAddress;
  return flags;
}

template <auto Method>
MemberInfo MakeMethod(int32_t dispid, const char* name, const char* implementation, const char* params,
                      const char* help, bool needs_robot = true) {
  using B = Binder<Method>;
  std::vector<ParamInfo> list = Params(params, B::ParamTypes());
  const uint32_t flags = Flags(list, B::ResultType(), needs_robot);
  MemberInfo m{MemberKind::kMethod,
               dispid,
               name,
               B::ResultType(),
               std::move(list),
               help,
               implementation,
               &B::Invoke,
               nullptr,
               nullptr,
               flags};
  return m;
}

// A property without a putter (Put = nullptr) is read-only.
template <auto Get, auto Put>
MemberInfo MakeProperty(int32_t dispid, const char* name, const char* help) {
  using T = std::decay_t<decltype((std::declval<const Ctrl&>().*Get)())>;
  MemberInfo m{MemberKind::kProperty,
               dispid,
               name,
               TypeOf<T>::value,
               {},
               help,
               name,
               nullptr,
               [](const Ctrl& c) { return Wrap((c.*Get)()); },
               nullptr};
  // Told apart by type: with -fsanitize=undefined GCC does not treat comparing a member pointer
  // template argument with nullptr as a constant expression.
  if constexpr (!std::is_same_v<decltype(Put), std::nullptr_t>) {
    m.put = [](Ctrl& c, const Variant& v) {
      T value{};
      const int32_t st = Convert(v, value);
      if (st == kStatusOk) (c.*Put)(value);
      return st;
    };
  } else {
    m.flags = kReadOnly;
  }
  return m;
}

#define METHOD(dispid, name, params, help) MakeMethod<&Ctrl::name>(dispid, #name, #name, params, help)
// A method that works without a robot: it reads or paints the control's own memory.
#define LOCAL(dispid, name, params, help) MakeMethod<&Ctrl::name>(dispid, #name, #name, params, help, false)
#define PROPERTY(dispid, name, help) MakeProperty<&Ctrl::get_##name, &Ctrl::put_##name>(dispid, #name, help)
#define READ_ONLY(dispid, name, help) MakeProperty<&Ctrl::get_##name, nullptr>(dispid, #name, help)
#define ALIAS(dispid, name, impl, params, help) MakeMethod<&Ctrl::impl>(dispid, #name, #impl, params, help)

std::vector<MemberInfo> BuildTable() {
  std::vector<MemberInfo> t;
  // Properties: reading returns the member; writing stores it and sets the modified flag.
  t.push_back(PROPERTY(1, VoiceSegmentLength,
                       "length in bytes of the latest voice segment, set by the polling timer"));
  t.push_back(PROPERTY(
      2, robotName, "a free text for the client; connectRobot takes the robot name as its argument instead"));
  t.push_back(PROPERTY(3, test, "a number for the client; unused by the control"));
  t.push_back(PROPERTY(4, testStr, "a text for the client; unused by the control"));
  // Beyond the numbers of the members above, so that none of theirs ever moves.
  t.push_back(READ_ONLY(256, RelayState,
                        "whether a relay serves the robot name and the robot answers: 0 no relay (or no "
                        "connectRobot yet), 1 a relay whose link is being made, 2 the link is open and the "
                        "robot does not answer, 3 the robot answers"));

  const std::vector<MemberInfo> methods = {
      METHOD(5, GetSensorSonar1, "", "sonar range, channel 1 (byte 0 of the standard sensor record)"),
      METHOD(6, GetSensorSonar2, "", "sonar range, channel 2 (byte 1 of the standard sensor record)"),
      METHOD(7, GetSensorSonar3, "", "sonar range, channel 3 (byte 2 of the standard sensor record)"),
      METHOD(8, GetSensorSonar4, "", "sonar range, channel 4 (byte 3 of the standard sensor record)"),
      METHOD(9, GetSensorSonar5, "", "sonar range, channel 5 (byte 4 of the standard sensor record)"),
      METHOD(10, GetSensorSonar6, "", "sonar range, channel 6 (byte 5 of the standard sensor record)"),
      METHOD(11, GetSensorHumanMotion1, "", "human motion sensor 1 (standard sensor record)"),
      METHOD(12, GetSensorHumanAlarm2, "", "human alarm sensor 2 (standard sensor record)"),
      METHOD(13, GetSensorHumanMotion2, "", "human motion sensor 2 (standard sensor record)"),
      METHOD(14, GetSensorTiltingX, "", "tilt sensor, X axis (standard sensor record)"),
      METHOD(15, GetSensorTiltingY, "", "tilt sensor, Y axis (standard sensor record)"),
      METHOD(16, GetSensorOverheatAD1, "", "overheat sensor 1 (standard sensor record)"),
      METHOD(17, GetSensorOverheatAD2, "", "overheat sensor 2 (standard sensor record)"),
      METHOD(18, GetSensorTemperature, "", "temperature (standard sensor record)"),
      METHOD(19, GetSensorIRRange, "", "infrared range (standard sensor record)"),
      METHOD(20, GetSensorBatteryAD1, "", "battery reading 1 (standard sensor record)"),
      METHOD(21, GetSensorBatteryAD2, "", "battery reading 2 (standard sensor record)"),
      METHOD(22, GetSensorRefVoltage, "", "reference voltage (standard sensor record)"),
      METHOD(23, EnableDcMotor, "channel:motor", "enables DC motor channel; same frame as ResumeDcMotor"),
      METHOD(24, DisableDcMotor, "channel:motor", "disables DC motor channel; same frame as SuspendDcMotor"),
      METHOD(25, EnableServo, "channel:servo", "enables servo channel"),
      METHOD(26, DisableServo, "channel:servo", "disables servo channel"),
      METHOD(27, SetDcMotorTrajectoryPlan, "channel:motor,tranPlanMethod:byte",
             "sets the trajectory planning method of DC motor channel"),
      METHOD(28, SetDcMotorSensorFilter, "channel:motor,filterMethod:byte",
             "sets the feedback sensor filter of DC motor channel"),
      METHOD(29, SetDcMotorSensorUsage, "channel:motor,sensorType:byte",
             "selects the feedback sensor type of DC motor channel"),
      METHOD(30, SetDcMotorControlMode, "channel:motor,controlMode:byte",
             "selects the control mode of DC motor channel"),
      METHOD(31, DcMotorPositionTimeCtr, "channel:motor,cmdValue:position,timePeriod:time",
             "drives DC motor channel to position cmdValue, taking timePeriod"),
      METHOD(32, DcMotorPositionNonTimeCtr, "channel:motor,cmdValue:position",
             "drives DC motor channel to position cmdValue without a time limit"),
      METHOD(33, DcMotorPwmTimeCtr, "channel:motor,cmdValue:pwm,timePeriod:time",
             "applies PWM cmdValue to DC motor channel, over timePeriod"),
      METHOD(34, DcMotorPwmNonTimeCtr, "channel:motor,cmdValue:pwm",
             "applies PWM cmdValue to DC motor channel without a time limit"),
      METHOD(35, ServoTimeCtr, "channel:servo,cmdValue:servopos,timePeriods:time",
             "moves servo channel to cmdValue, taking timePeriods"),
      METHOD(36, servoNonTimeCtr, "channel:servo,cmdValue:servopos",
             "moves servo channel to cmdValue without a time limit"),
      METHOD(37, GetSensorPot, "channel:pot", "potentiometer channel 1..6 (motor sensor record)"),
      METHOD(38, PlayAudioFile, "fileName:relayfile", "asks the relay to play a WAV file on the robot"),
      METHOD(39, TakePhoto, "", "asks the robot's camera for a frame"),
      LOCAL(-550, Refresh, "", "stock method: redraws the control at once"),
      LOCAL(40, SavePhotoAsBMP, "fileName:write", "saves the current camera image as a 24-bit BMP file"),
      METHOD(41, ServoTimeCtrAll,
             "cmd1:servopos,cmd2:servopos,cmd3:servopos,cmd4:servopos,cmd5:servopos,cmd6:servopos,"
             "timePeriods:time",
             "positions for servos 1..6, one timePeriods for all"),
      METHOD(42, GetSensorHumanAlarm1, "", "human alarm sensor 1 (standard sensor record)"),
      METHOD(43, GetSensorIRCode1, "", "byte 1 of the received infrared code (standard sensor record)"),
      METHOD(44, GetSensorIRCode2, "", "byte 2 of the received infrared code (standard sensor record)"),
      METHOD(45, GetSensorIRCode3, "", "byte 3 of the received infrared code (standard sensor record)"),
      METHOD(46, GetSensorIRCode4, "", "byte 4 of the received infrared code (standard sensor record)"),
      METHOD(47, DcMotorPositionNonTimeCtrAll,
             "cmd1:position,cmd2:position,cmd3:position,cmd4:position,cmd5:position,cmd6:position",
             "position targets for DC channels 1..6 without a time limit"),
      METHOD(48, DcMotorPositionTimeCtrAll,
             "cmd1:position,cmd2:position,cmd3:position,cmd4:position,cmd5:position,cmd6:position,"
             "timePeriods:time",
             "position targets for DC channels 1..6, one timePeriods for all"),
      METHOD(49, SetDcMotorPositionControlPID, "channel:motor,Kp:gain,Kd:gain,Ki:gain",
             "sets the position-control PID gains of DC motor channel"),
      METHOD(50, StartRecord, "voiceSegment",
             "starts voice recording with segments of voiceSegment x 4096 bytes (clamped to 1..10)"),
      METHOD(51, StopRecord, "", "stops voice recording"),
      METHOD(52, GetVoiceSegment, "", "address of the latest voice segment's samples (a whole number)"),
      METHOD(53, ServoNoTimeCtrAll,
             "cmd1:servopos,cmd2:servopos,cmd3:servopos,cmd4:servopos,cmd5:servopos,cmd6:servopos",
             "positions for servos 1..6 without a time limit"),
      METHOD(54, DcMotorPwmNonTimeCtrAll, "cmd1:pwm,cmd2:pwm,cmd3:pwm,cmd4:pwm,cmd5:pwm,cmd6:pwm",
             "PWM values for DC channels 1..6 without a time limit"),
      METHOD(55, DcMotorPwmTimeCtrAll,
             "cmd1:pwm,cmd2:pwm,cmd3:pwm,cmd4:pwm,cmd5:pwm,cmd6:pwm,timePeriods:time",
             "PWM values for DC channels 1..6, one timePeriods for all"),
      METHOD(56, DcMotorVelocityNonTimeCtr, "channel:motor,cmdValue:velocity",
             "drives DC motor channel at velocity cmdValue without a time limit"),
      METHOD(57, DcMotorVelocityNonTimeCtrAll,
             "cmd1:velocity,cmd2:velocity,cmd3:velocity,cmd4:velocity,cmd5:velocity,cmd6:velocity",
             "velocities for DC channels 1..6 without a time limit"),
      METHOD(58, DcMotorVelocityTimeCtrAll,
             "cmd1:velocity,cmd2:velocity,cmd3:velocity,cmd4:velocity,cmd5:velocity,cmd6:velocity,"
             "timePeriods:time",
             "velocities for DC channels 1..6, one timePeriods for all"),
      METHOD(59, DcMotorVelocityTimeCtr, "channel:motor,cmdValue:velocity,timePeriods:time",
             "drives DC motor channel at velocity cmdValue, over timePeriods"),
      METHOD(60, SetDcMotorVelocityControlPID, "channel:motor,Kp:gain,Kd:gain,Ki:gain",
             "sets the velocity-control PID gains of DC motor channel"),
      LOCAL(61, GetImageAddress, "", "address of the decoded 176 x 144 R G B camera image (a whole number)"),
      METHOD(62, StopAudioPlay, "", "stops audio playback on the robot"),
      LOCAL(
          63, GetImageYDataAddress, "",
          "address of the 50000-byte luminance area: the last frame's 176 x 144 grey plane (a whole number)"),
      METHOD(64, LcdDisplayVCS, "bmpFileName:read",
             "shows a 128 x 64 monochrome BMP file on the LCD of the sensing/motion board"),
      METHOD(65, GetSensorPotVoltage, "", "potentiometer voltage (standard sensor record)"),
      METHOD(66, GetSensorBatteryAD3, "", "battery reading 3 (standard sensor record)"),
      METHOD(67, GetSensorPot1, "", "potentiometer 1 (motor sensor record)"),
      METHOD(68, GetSensorPot2, "", "potentiometer 2 (motor sensor record)"),
      METHOD(69, GetSensorPot3, "", "potentiometer 3 (motor sensor record)"),
      METHOD(70, GetSensorPot4, "", "potentiometer 4 (motor sensor record)"),
      METHOD(71, GetSensorPot5, "", "potentiometer 5 (motor sensor record)"),
      METHOD(72, GetSensorPot6, "", "potentiometer 6 (motor sensor record)"),
      METHOD(73, SetServoTrajectoryPlan, "channel:servo,tranPlanMethod:byte",
             "sets the trajectory planning method of servo channel"),
      METHOD(74, SetCustomDOUT, "dout:byte", "sets the custom digital outputs; same operation as SendCmdCHG"),
      METHOD(75, GetCustomDIN, "",
             "custom digital inputs (custom sensor record); same operation as GetCHGStatus"),
      METHOD(76, GetCustomAD1, "",
             "custom analogue input 1 (custom sensor record); same operation as GetBat1Vol"),
      METHOD(77, GetCustomAD2, "", "custom analogue input 2; same operation as GetBat1Temp"),
      METHOD(78, GetCustomAD3, "", "custom analogue input 3; same operation as GetBat2Vol"),
      METHOD(79, GetCustomAD4, "", "custom analogue input 4; same operation as GetBat2Temp"),
      METHOD(80, GetCustomAD5, "", "custom analogue input 5; same operation as GetDCINVol"),
      METHOD(81, GetCustomAD6, "", "custom analogue input 6 (custom sensor record)"),
      METHOD(82, GetCustomAD7, "", "custom analogue input 7 (custom sensor record)"),
      METHOD(83, GetCustomAD8, "", "custom analogue input 8 (custom sensor record)"),
      METHOD(84, SystemMotorSensorRequest, "Packets:packets",
             "asks the robot for Packets motor sensor packets"),
      METHOD(85, SystemStandardSensorRequest, "Packets:packets",
             "asks the robot for Packets standard sensor packets"),
      METHOD(86, SystemCustomSensorRequest, "Packets:packets",
             "asks the robot for Packets custom sensor packets"),
      METHOD(87, SetSysMotorSensorPeriod, "PeriodTime:time",
             "sets the robot's sending period of motor sensor packets"),
      METHOD(88, SetSysStandardSensorPeriod, "PeriodTime:time",
             "sets the robot's sending period of standard sensor packets"),
      METHOD(89, SetSysCustomSensorPeriod, "PeriodTime:time",
             "sets the robot's sending period of custom sensor packets"),
      METHOD(90, EnableMotorSensorSending, "", "motor sensor packets without end (request count 255)"),
      METHOD(91, EnableStandardSensorSending, "", "standard sensor packets without end (request count 255)"),
      METHOD(92, EnableCustomSensorSending, "", "custom sensor packets without end (request count 255)"),
      METHOD(93, DisableMotorSensorSending, "", "stops motor sensor packets (request count 0)"),
      METHOD(94, DisableStandardSensorSending, "", "stops standard sensor packets (request count 0)"),
      METHOD(95, DisableCustomSensorSending, "", "stops custom sensor packets (request count 0)"),
      METHOD(96, SetSysAllSensorPeriod, "PeriodTime:time",
             "sets the robot's sending period of every sensor kind"),
      METHOD(97, SystemAllSensorRequest, "Packets:packets",
             "asks the robot for Packets packets of every sensor kind"),
      METHOD(98, EnableAllSensorSending, "", "all sensor packets without end (request count 255)"),
      METHOD(99, DisableAllSensorSending, "", "stops all sensor packets (request count 0)"),
      METHOD(100, GetVoiceSegLength, "",
             "length in bytes of the latest voice segment (as VoiceSegmentLength)"),
      METHOD(101, SetInfraredControlOutput, "low,high", "sends the infrared output words low and high"),
      METHOD(102, GetMotorCurrent1, "", "motor current of DC channel 1 (motor sensor record)"),
      METHOD(103, GetMotorCurrent2, "", "motor current of DC channel 2 (motor sensor record)"),
      METHOD(104, GetMotorCurrent3, "", "motor current of DC channel 3 (motor sensor record)"),
      METHOD(105, GetMotorCurrent4, "", "motor current of DC channel 4 (motor sensor record)"),
      METHOD(106, GetMotorCurrent5, "", "motor current of DC channel 5 (motor sensor record)"),
      METHOD(107, GetMotorCurrent6, "", "motor current of DC channel 6 (motor sensor record)"),
      METHOD(108, GetEncoderPulse1, "", "encoder 1 pulse count (motor sensor record)"),
      METHOD(109, GetEncoderSpeed1, "", "encoder 1 speed (motor sensor record)"),
      METHOD(110, GetEncoderPulse2, "", "encoder 2 pulse count (motor sensor record)"),
      METHOD(111, GetEncoderSpeed2, "", "encoder 2 speed (motor sensor record)"),
      METHOD(112, GetEncoderDir1, "", "encoder 1 direction: 1 or -1, 0 while encoder 1 speed is 0"),
      METHOD(113, GetEncoderDir2, "", "encoder 2 direction: 1 or -1, 0 while encoder 2 speed is 0"),
      METHOD(114, GetSensorSonar, "channel:sonar", "sonar range of channel 0..5 (standard sensor record)"),
      METHOD(115, GetMotorCurrent, "channel:current",
             "motor current of DC channel 0..5 (motor sensor record)"),
      METHOD(116, GetCustomAD, "channel:ad", "custom analogue input channel 0..7 (custom sensor record)"),
      METHOD(117, SetMotorPolarity1, "Polarity:byte", "sets the polarity of DC motor channel 1"),
      METHOD(118, SetMotorPolarity2, "Polarity:byte", "sets the polarity of DC motor channel 2"),
      METHOD(119, SetMotorPolarity3, "Polarity:byte", "sets the polarity of DC motor channel 3"),
      METHOD(120, SetMotorPolarity4, "Polarity:byte", "sets the polarity of DC motor channel 4"),
      METHOD(121, SetMotorPolarity5, "Polarity:byte", "sets the polarity of DC motor channel 5"),
      METHOD(122, SetMotorPolarity6, "Polarity:byte", "sets the polarity of DC motor channel 6"),
      METHOD(123, SetMotorPolarity, "channel:motor,Polarity:byte", "sets the polarity of DC motor channel"),
      METHOD(124, EnableBumperProtection, "", "switches the robot's bumper protection on"),
      METHOD(125, DisableBumperProtection, "", "switches the robot's bumper protection off"),
      METHOD(126, LcdDisplayVCB, "bmpFileName:read",
             "shows a 128 x 64 monochrome BMP file on the LCD of the multimedia board"),
      METHOD(127, SuspendDcMotor, "channel:motor", "suspends (disables) DC motor channel"),
      METHOD(128, ResumeDcMotor, "channel:motor", "resumes (enables) DC motor channel"),
      LOCAL(129, connectRobot, "robotName:robot",
            "opens the shared-memory sections of the robot named robotName and starts event polling"),
      METHOD(
          130, GetVoiceData, "VoicePtr",
          "copies the latest voice segment into the caller's byte array (never past it), or makes a variant "
          "passed by reference a byte array of it; returns the segment length"),
      METHOD(131, getSenID1, "", "sensor identification byte 1 (custom sensor record)"),
      METHOD(132, getSenID2, "", "sensor identification byte 2 (custom sensor record)"),
      METHOD(133, getSenID3, "", "sensor identification byte 3 (custom sensor record)"),
      METHOD(134, getSenID4, "", "sensor identification byte 4 (custom sensor record)"),
      METHOD(135, GetGPS01, "", "GPS word 1 (custom sensor record)"),
      METHOD(136, GetGPS02, "", "GPS word 2 (custom sensor record); same operation as GetVolRef"),
      METHOD(137, GetGPS03, "", "GPS word 3 (custom sensor record)"),
      METHOD(138, GetGPS04, "", "GPS word 4 (custom sensor record)"),
      METHOD(139, GetGPS05, "", "GPS word 5 (custom sensor record)"),
      METHOD(140, GetGPS06, "", "GPS word 6 (custom sensor record)"),
      METHOD(141, GetGPS07, "", "GPS word 7 (custom sensor record)"),
      METHOD(142, GetGPS08, "", "GPS word 8 (custom sensor record)"),
      METHOD(143, SetGPSID, "ID1:byte,ID2:byte,ID3:byte,ID4:byte",
             "sends the four GPS identification bytes ID1..ID4"),
      ALIAS(144, GetVolRef, GetGPS02, "",
            "reference voltage (custom sensor record); same operation as GetGPS02"),
      ALIAS(145, GetBat1Vol, GetCustomAD1, "", "battery 1 voltage; same operation as GetCustomAD1"),
      ALIAS(146, GetBat1Temp, GetCustomAD2, "", "battery 1 temperature; same operation as GetCustomAD2"),
      ALIAS(147, GetBat2Vol, GetCustomAD3, "", "battery 2 voltage; same operation as GetCustomAD3"),
      ALIAS(148, GetBat2Temp, GetCustomAD4, "", "battery 2 temperature; same operation as GetCustomAD4"),
      ALIAS(149, GetDCINVol, GetCustomAD5, "", "DC input voltage; same operation as GetCustomAD5"),
      METHOD(150, GetCHGPath, "", "charge path state (custom sensor record)"),
      METHOD(151, GetPowerPath, "", "power path state (custom sensor record)"),
      ALIAS(152, GetCHGStatus, GetCustomDIN, "", "charger status; same operation as GetCustomDIN"),
      ALIAS(153, SendCmdCHG, SetCustomDOUT, "cmdPower:byte",
            "sends the charger power command cmdPower; same operation as SetCustomDOUT"),
      METHOD(154, ChgCtrl, "currentCtrl:byte", "sends the charge current control value currentCtrl"),
  };
  t.insert(t.end(), methods.begin(), methods.end());

  const char* const kEvents[5][2] = {
      {"StandardSensorEvent", "a new standard sensor record has been taken"},
      {"MotorSensorEvent", "a new motor sensor record has been taken"},
      {"CustomSensorEvent", "a new custom sensor record has been taken"},
      {"ImageEvent", "a new camera image has been taken, decoded and the control invalidated"},
      {"VoiceSegmentEvent", "a new voice segment has been taken"},
  };
  for (int e = 0; e < 5; ++e) {
    MemberInfo m{MemberKind::kEvent, e + 1, kEvents[e][0], VarType::kEmpty, {}, kEvents[e][1], kEvents[e][0]};
    m.section = SectionOf(m.dispid);
    t.push_back(std::move(m));
  }
  // Which field a getter returns: from the record table.
  for (MemberInfo& m : t) {
    if (m.kind == MemberKind::kMethod) {
      const exchange::SensorField* f = exchange::FieldOfGetter(m.name);
      if (f == nullptr && m.params.size() == 1 && m.params[0].role == ParamRole::kReadChannel)
        f = exchange::FieldOfChannel(m.name, m.params[0].min);
      if (f != nullptr) m.field = static_cast<int32_t>(f - exchange::kSensorFields);
    }
  }
  return t;
}

#undef METHOD
#undef LOCAL
#undef ALIAS
#undef PROPERTY
#undef READ_ONLY

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

}  // namespace

const std::vector<MemberInfo>& Members() {
  static const std::vector<MemberInfo> table = BuildTable();
  return table;
}

const MemberInfo* FindMember(std::string_view name) {
  for (const MemberInfo& m : Members())
    if (m.kind != MemberKind::kEvent && SameName(m.name, name)) return &m;
  return nullptr;
}

const MemberInfo* FindEvent(std::string_view name) {
  for (const MemberInfo& m : Members())
    if (m.kind == MemberKind::kEvent && SameName(m.name, name)) return &m;
  return nullptr;
}

const MemberInfo* FindByDispid(int32_t dispid) {
  for (const MemberInfo& m : Members())
    if (m.kind != MemberKind::kEvent && m.dispid == dispid) return &m;
  return nullptr;
}

const MemberInfo* FindEventByDispid(int32_t dispid) {
  for (const MemberInfo& m : Members())
    if (m.kind == MemberKind::kEvent && m.dispid == dispid) return &m;
  return nullptr;
}

int32_t Invoke(CZembrinSDKControlCtrl& control, int32_t dispid, const Variant* args, int argc,
               Variant& result) {
  const MemberInfo* m = FindByDispid(dispid);
  if (m == nullptr || m->kind != MemberKind::kMethod) return kStatusMemberNotFound;
  if (argc < 0 || argc > kMaxParams || (argc > 0 && args == nullptr)) return kStatusBadParamCount;
  std::string why;
  if (argc == static_cast<int>(m->params.size()) && RefusedSelector(*m, args, argc, why) >= 0) {
    control.RefuseArgument(kStatusOverflow, why);
    return control.TakeArgumentRefusal();
  }
  return m->invoke(control, args, argc, result);
}

int32_t GetProperty(const CZembrinSDKControlCtrl& control, int32_t dispid, Variant& value) {
  const MemberInfo* m = FindByDispid(dispid);
  if (m == nullptr || m->kind != MemberKind::kProperty) return kStatusMemberNotFound;
  value = m->get(control);
  return kStatusOk;
}

int32_t PutProperty(CZembrinSDKControlCtrl& control, int32_t dispid, const Variant& value) {
  const MemberInfo* m = FindByDispid(dispid);
  if (m == nullptr || m->kind != MemberKind::kProperty || m->put == nullptr) return kStatusMemberNotFound;
  return m->put(control, value);
}

bool CheckArguments(const MemberInfo& member, const Variant* args, int argc, std::string& why) {
  for (int i = 0; i < argc && i < static_cast<int>(member.params.size()); ++i) {
    const ParamInfo& p = member.params[static_cast<std::size_t>(i)];
    const bool integer = p.type == VarType::kShort || p.type == VarType::kLong;
    const Variant& a = args[i];
    if (!integer || (a.type != VarType::kShort && a.type != VarType::kLong && a.type != VarType::kBool))
      continue;
    if (a.i < p.min || a.i > p.max) {
      why = member.name + ": argument " + std::to_string(i + 1) + " (" + p.name + ") is " +
            std::to_string(a.i) + ", outside " + std::to_string(p.min) + ".." + std::to_string(p.max) + ": " +
            p.meaning;
      return false;
    }
  }
  return true;
}

bool CheckRelayFiles(const MemberInfo& member, const Variant* args, int argc, std::string& why) {
  for (int i = 0; i < argc && i < static_cast<int>(member.params.size()); ++i) {
    if (member.params[static_cast<std::size_t>(i)].role != ParamRole::kFileForRelay) continue;
    if (args[i].type != VarType::kString) continue;
    std::string path = args[i].s;
    // "EOF" at the end asks the relay to go on with the previous sound, from the file before it.
    if (path.size() >= 3 && path.compare(path.size() - 3, 3, "EOF") == 0) path.resize(path.size() - 3);
    // No name at all only ends the sound being played (the relay opens nothing).
    if (path.empty() || std::filesystem::path(path).is_relative()) continue;
    exchange::WaveSamples wave;
    const platform::Result read = exchange::ReadPlayableSound(path, wave);  // its message names the path
    if (read.ok()) continue;
    why = member.name + ": " + read.message + "; the relay would not play it, and nothing is sent";
    return false;
  }
  return true;
}

int RefusedSelector(const MemberInfo& member, const Variant* args, int argc, std::string& why) {
  for (int i = 0; i < argc && i < static_cast<int>(member.params.size()); ++i) {
    const ParamInfo& p = member.params[static_cast<std::size_t>(i)];
    if (!SelectsOne(p.role)) continue;
    const Variant& a = args[i];
    const bool number = a.type == VarType::kShort || a.type == VarType::kLong;
    if (number && a.i >= p.min && a.i <= p.max) continue;
    if (!number && a.type != VarType::kBool) continue;  // refused by its type when it is converted
    why = member.name + ": argument " + std::to_string(i + 1) + " (" + p.name + ") is " +
          (number ? std::to_string(a.i) : std::string(a.i != 0 ? "true" : "false")) + ", outside " +
          std::to_string(p.min) + ".." + std::to_string(p.max) + ": " + p.meaning +
          "; nothing was sent, as another " + (p.role == ParamRole::kReadChannel ? "sensor" : "actuator") +
          " would answer";
    return i;
  }
  return -1;
}

const char* VarTypeName(VarType t) {
  switch (t) {
    case VarType::kEmpty:
      return "void";
    case VarType::kShort:
      return "short";
    case VarType::kLong:
      return "long";
    case VarType::kString:
      return "BSTR";
    case VarType::kBool:
      return "VARIANT_BOOL";
    case VarType::kAddress:
      return "double";
    case VarType::kBuffer:
      return "VARIANT*";
  }
  return "?";
}

const char* StatusText(int32_t status) {
  switch (status) {
    case kStatusOk:
      return "ok";
    case kStatusMemberNotFound:
      return "member not found";
    case kStatusTypeMismatch:
      return "type mismatch";
    case kStatusUnknownName:
      return "unknown name";
    case kStatusOverflow:
      return "argument out of range";
    case kStatusBadParamCount:
      return "wrong number of arguments";
    case kStatusInvalidArg:
      return "invalid argument";
    case kStatusFailed:
      return "failed";
    default:
      return "error";
  }
}

}  // namespace control
