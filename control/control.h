// CZembrinSDKControlCtrl: the control a client program embeds to talk to one robot.
//
// It ties itself to a robot by name (connectRobot), polls the robot's sections every 30 ms on its
// host's timer, fires one event per new record, reads sensor fields in place, and turns every
// command into one robot frame in the command section. It owns no thread: everything runs on the
// thread that pumps its host.
//
// Before connectRobot: getters return 0 and commands are dropped. connectRobot without a host opens
// the sections at once; the polling timer starts as soon as a host is attached. A second
// connectRobot releases the previous sections and forgets every record read from them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "control/dispatch.h"
#include "control/host.h"
#include "control/media/jpeg_decoder.h"
#include "exchange/command_ring.h"
#include "exchange/protocol.h"
#include "exchange/sections.h"
#include "exchange/sensor_records.h"

namespace control {

// A caller's writable buffer for GetVoiceData; its size is checked before anything is copied.
struct WritableBuffer {
  uint8_t* data = nullptr;
  std::size_t size = 0;
};

inline constexpr int kImageWidth = 176;
inline constexpr int kImageHeight = 144;
inline constexpr std::size_t kImageBytes = kImageWidth * kImageHeight * 3;  // 76032, R G B, top row first
inline constexpr std::size_t kLumaAreaBytes = 50000;
// A relay serves at most this much of a name: a longer one could never meet it.
inline constexpr std::size_t kMaxRobotName = exchange::kRobotNameMax;
inline constexpr std::size_t kMaxObjectName = 255;  // "/" and the escaped name, as the system allows
inline constexpr int kPollTimerId = 1;
inline constexpr uint32_t kPollPeriodMs = 30;

// Event DISPIDs, in firing order.
enum EventId : int {
  kStandardSensorEvent = 1,
  kMotorSensorEvent = 2,
  kCustomSensorEvent = 3,
  kImageEvent = 4,
  kVoiceSegmentEvent = 5,
};

// The section whose record each event hands out, and back (-1 for none): events are numbered in the
// order of their sections, the three sensor records first.
constexpr int EventOf(exchange::SectionId section) {
  return kStandardSensorEvent + static_cast<int>(section);
}
constexpr int SectionOf(int event_dispid) {
  return event_dispid >= kStandardSensorEvent && event_dispid <= kVoiceSegmentEvent
             ? event_dispid - kStandardSensorEvent
             : -1;
}
static_assert(EventOf(exchange::SectionId::kAudio) == kVoiceSegmentEvent &&
              EventOf(exchange::SectionId::kImage) == kImageEvent);

// Room for the control's copy of a sensor record: a slot of the largest sensor section.
constexpr uint32_t SensorRecordRoom() {
  uint32_t room = 0;
  for (const exchange::SensorRecordInfo& info : exchange::kSensorRecords)
    if (exchange::Spec(info.section).capacity > room) room = exchange::Spec(info.section).capacity;
  return room;
}

// The module-wide picture memory, shared by every control in the process.
uint8_t* ModuleImageBuffer();
uint8_t* ModuleLumaArea();

class CZembrinSDKControlCtrl : public HostedControl {
 public:
  using EventSink = std::function<void(int dispid)>;

  CZembrinSDKControlCtrl();
  ~CZembrinSDKControlCtrl() override;
  CZembrinSDKControlCtrl(const CZembrinSDKControlCtrl&) = delete;
  CZembrinSDKControlCtrl& operator=(const CZembrinSDKControlCtrl&) = delete;

  // Hosting and events.
  void AttachHost(ControlHost* host);
  ControlHost* host() const { return host_; }
  void SetEventSink(EventSink sink) { event_sink_ = std::move(sink); }
  void OnTimer(int timer_id) override;
  // One polling tick: at most one record from each polled section, events in DISPID order.
  void Tick();
  // The waiting hosts' side (see HostedControl): the five rings' doorbells, and every record that
  // arrived taken in ticks' order until none is left.
  bool HasDoorbells() const override;
  bool AddDoorbells(std::vector<platform::Doorbell>& bells) override;
  int TakeArrived() override;
  // Waits at most `limit_ms` (scaled) for a record in any of the robot's rings, then takes every
  // record that arrived; how many (0 when the time passed, or a signal came, with none). Without
  // sections it waits out the time.
  int Wait(uint32_t limit_ms);
  bool connected() const { return commands_ != nullptr; }
  int width() const { return kImageWidth; }
  int height() const { return kImageHeight; }

  // Properties (DISPIDs 1..4). Writing one sets the modified flag.
  int32_t get_VoiceSegmentLength() const { return voice_segment_length_; }
  void put_VoiceSegmentLength(int32_t v) { voice_segment_length_ = v, modified_ = true; }
  std::string get_robotName() const { return robot_name_; }
  void put_robotName(const std::string& v) { robot_name_ = v, modified_ = true; }
  int32_t get_test() const { return test_; }
  void put_test(int32_t v) { test_ = v, modified_ = true; }
  std::string get_testStr() const { return test_str_; }
  void put_testStr(const std::string& v) { test_str_ = v, modified_ = true; }
  bool modified() const { return modified_; }
  void set_modified(bool m) { modified_ = m; }

  // Refusals: what the control would not do in the call in progress, or did only in part, and why,
  // with the status a caller reports it by (kStatusInvalidArg for an argument it will not take,
  // kStatusFailed for what it could not do). A front end whose callers have no other way to hear
  // of it (a script, a container) starts each call with BeginCall and ends it with EndCall, which
  // hands back that call's refusal. A handler of an event the call fires may call in meanwhile:
  // BeginCall returns the refusal of the call in progress, which EndCall puts back.
  struct Refusal {
    int32_t status = kStatusOk;
    std::string text;  // "" when the call did what was asked
  };
  Refusal BeginCall() { return refused() ? std::exchange(refusal_, Refusal{}) : Refusal{}; }
  Refusal EndCall(Refusal outer) {
    return refused() || !outer.text.empty() ? std::exchange(refusal_, std::move(outer)) : Refusal{};
  }
  bool refused() const { return !refusal_.text.empty(); }
  // Records the refusal of the call in progress (one text says all of it: a later one replaces it).
  void Refuse(int32_t status, const std::string& text);

  // Connection. A refused name, or sections that cannot be opened, leave a message in last_error()
  // and on standard error, and are refused. A name no relay serves is connected all the same (the
  // relay may start later: events come once it serves the name), and is refused for the call.
  void connectRobot(const std::string& robotName);
  const std::string& last_error() const { return last_error_; }
  // A call that did nothing because of what it was given (a channel out of range, a sound file it
  // cannot play): the reason goes to last_error(), standard error and the call's refusal, and
  // `status` to the front end that made the call through Invoke, which answers with it.
  void RefuseArgument(int32_t status, const std::string& text) {
    Complain(status, text);
    argument_refusal_ = status;
  }
  // The status of the last such refusal (0 for none), forgotten once taken.
  int32_t TakeArgumentRefusal() { return std::exchange(argument_refusal_, 0); }
  exchange::RelayState relay_state() const {
    return commands_ != nullptr ? commands_->Relay() : exchange::RelayState::kNoRelay;
  }
  // The relay state as a read-only property (RelayState): 0 no relay serves the name (or no
  // connectRobot yet), 1 a relay serves it while its link is being made, 2 the link is open and the
  // robot does not answer, 3 the robot answers.
  int32_t get_RelayState() const { return static_cast<int32_t>(relay_state()); }
  // The user who owns the robot's command section (-1 before connectRobot): a service relay's when
  // it made the sections for a group.
  long SectionOwner() const { return commands_ != nullptr ? commands_->Owner() : -1; }

  // Sensor getters: each returns one field of the control's copy of the latest record of its kind
  // (0 before the first), laid out as the record table in exchange/sensor_records.h says. A channel
  // getter returns the channel itself (as the family's kind: a byte family its low byte) for a
  // channel outside the family.
#define TALVENOR_SENSOR_GETTER(name)                                      \
  int16_t name() {                                                        \
    return Sensor(exchange::kSensorFields[exchange::GetterIndex(#name)]); \
  }
#define TALVENOR_CHANNEL_GETTER(name)     \
  int16_t name(int16_t channel) {         \
    return SensorChannel(#name, channel); \
  }
  // Standard sensor record.
  TALVENOR_SENSOR_GETTER(GetSensorSonar1)
  TALVENOR_SENSOR_GETTER(GetSensorSonar2)
  TALVENOR_SENSOR_GETTER(GetSensorSonar3)
  TALVENOR_SENSOR_GETTER(GetSensorSonar4)
  TALVENOR_SENSOR_GETTER(GetSensorSonar5)
  TALVENOR_SENSOR_GETTER(GetSensorSonar6)
  TALVENOR_CHANNEL_GETTER(GetSensorSonar)
  TALVENOR_SENSOR_GETTER(GetSensorHumanMotion1)
  TALVENOR_SENSOR_GETTER(GetSensorHumanAlarm1)
  TALVENOR_SENSOR_GETTER(GetSensorHumanMotion2)
  TALVENOR_SENSOR_GETTER(GetSensorHumanAlarm2)
  TALVENOR_SENSOR_GETTER(GetSensorTiltingX)
  TALVENOR_SENSOR_GETTER(GetSensorTiltingY)
  TALVENOR_SENSOR_GETTER(GetSensorOverheatAD1)
  TALVENOR_SENSOR_GETTER(GetSensorOverheatAD2)
  TALVENOR_SENSOR_GETTER(GetSensorTemperature)
  TALVENOR_SENSOR_GETTER(GetSensorIRRange)
  TALVENOR_SENSOR_GETTER(GetSensorIRCode1)
  TALVENOR_SENSOR_GETTER(GetSensorIRCode2)
  TALVENOR_SENSOR_GETTER(GetSensorIRCode3)
  TALVENOR_SENSOR_GETTER(GetSensorIRCode4)
  TALVENOR_SENSOR_GETTER(GetSensorBatteryAD1)
  TALVENOR_SENSOR_GETTER(GetSensorBatteryAD2)
  TALVENOR_SENSOR_GETTER(GetSensorBatteryAD3)
  TALVENOR_SENSOR_GETTER(GetSensorRefVoltage)
  TALVENOR_SENSOR_GETTER(GetSensorPotVoltage)
  // Motor sensor record.
  TALVENOR_SENSOR_GETTER(GetSensorPot1)
  TALVENOR_SENSOR_GETTER(GetSensorPot2)
  TALVENOR_SENSOR_GETTER(GetSensorPot3)
  TALVENOR_SENSOR_GETTER(GetSensorPot4)
  TALVENOR_SENSOR_GETTER(GetSensorPot5)
  TALVENOR_SENSOR_GETTER(GetSensorPot6)
  TALVENOR_CHANNEL_GETTER(GetSensorPot)
  TALVENOR_SENSOR_GETTER(GetMotorCurrent1)
  TALVENOR_SENSOR_GETTER(GetMotorCurrent2)
  TALVENOR_SENSOR_GETTER(GetMotorCurrent3)
  TALVENOR_SENSOR_GETTER(GetMotorCurrent4)
  TALVENOR_SENSOR_GETTER(GetMotorCurrent5)
  TALVENOR_SENSOR_GETTER(GetMotorCurrent6)
  TALVENOR_CHANNEL_GETTER(GetMotorCurrent)
  TALVENOR_SENSOR_GETTER(GetEncoderPulse1)
  TALVENOR_SENSOR_GETTER(GetEncoderSpeed1)
  TALVENOR_SENSOR_GETTER(GetEncoderPulse2)
  TALVENOR_SENSOR_GETTER(GetEncoderSpeed2)
  TALVENOR_SENSOR_GETTER(GetEncoderDir1)
  TALVENOR_SENSOR_GETTER(GetEncoderDir2)
  // Custom sensor record, under both of its vocabularies.
  TALVENOR_SENSOR_GETTER(GetCustomAD1)
  TALVENOR_SENSOR_GETTER(GetCustomAD2)
  TALVENOR_SENSOR_GETTER(GetCustomAD3)
  TALVENOR_SENSOR_GETTER(GetCustomAD4)
  TALVENOR_SENSOR_GETTER(GetCustomAD5)
  TALVENOR_SENSOR_GETTER(GetCustomAD6)
  TALVENOR_SENSOR_GETTER(GetCustomAD7)
  TALVENOR_SENSOR_GETTER(GetCustomAD8)
  TALVENOR_CHANNEL_GETTER(GetCustomAD)
  TALVENOR_SENSOR_GETTER(GetBat1Vol)
  TALVENOR_SENSOR_GETTER(GetBat1Temp)
  TALVENOR_SENSOR_GETTER(GetBat2Vol)
  TALVENOR_SENSOR_GETTER(GetBat2Temp)
  TALVENOR_SENSOR_GETTER(GetDCINVol)
  TALVENOR_SENSOR_GETTER(GetCustomDIN)
  TALVENOR_SENSOR_GETTER(GetCHGStatus)
  TALVENOR_SENSOR_GETTER(GetGPS01)
  TALVENOR_SENSOR_GETTER(GetGPS02)
  TALVENOR_SENSOR_GETTER(GetVolRef)
  TALVENOR_SENSOR_GETTER(GetGPS03)
  TALVENOR_SENSOR_GETTER(GetGPS04)
  TALVENOR_SENSOR_GETTER(GetGPS05)
  TALVENOR_SENSOR_GETTER(GetGPS06)
  TALVENOR_SENSOR_GETTER(GetPowerPath)
  TALVENOR_SENSOR_GETTER(GetGPS07)
  TALVENOR_SENSOR_GETTER(GetCHGPath)
  TALVENOR_SENSOR_GETTER(GetGPS08)
  TALVENOR_SENSOR_GETTER(getSenID1)
  TALVENOR_SENSOR_GETTER(getSenID2)
  TALVENOR_SENSOR_GETTER(getSenID3)
  TALVENOR_SENSOR_GETTER(getSenID4)
#undef TALVENOR_SENSOR_GETTER
#undef TALVENOR_CHANNEL_GETTER

  // Motors and servos.
  void ResumeDcMotor(int16_t channel);
  void SuspendDcMotor(int16_t channel);
  void EnableDcMotor(int16_t channel) {
    ResumeDcMotor(channel);
  }
  void DisableDcMotor(int16_t channel) {
    SuspendDcMotor(channel);
  }
  void EnableServo(int16_t channel);
  void DisableServo(int16_t channel);
  void DcMotorPositionNonTimeCtr(int16_t channel, int16_t cmdValue);
  void DcMotorPositionTimeCtr(int16_t channel, int16_t cmdValue, int16_t timePeriod);
  void DcMotorPwmNonTimeCtr(int16_t channel, int16_t cmdValue);
  void DcMotorPwmTimeCtr(int16_t channel, int16_t cmdValue, int16_t timePeriod);
  void DcMotorVelocityNonTimeCtr(int16_t channel, int16_t cmdValue);
  void DcMotorVelocityTimeCtr(int16_t channel, int16_t cmdValue, int16_t timePeriods);
  void servoNonTimeCtr(int16_t channel, int16_t cmdValue);
  void ServoTimeCtr(int16_t channel, int16_t cmdValue, int16_t timePeriods);
  void DcMotorPositionNonTimeCtrAll(int16_t cmd1, int16_t cmd2, int16_t cmd3, int16_t cmd4, int16_t cmd5,
                                    int16_t cmd6);
  void DcMotorPositionTimeCtrAll(int16_t cmd1, int16_t cmd2, int16_t cmd3, int16_t cmd4, int16_t cmd5,
                                 int16_t cmd6, int16_t timePeriods);
  void DcMotorPwmNonTimeCtrAll(int16_t cmd1, int16_t cmd2, int16_t cmd3, int16_t cmd4, int16_t cmd5,
                               int16_t cmd6);
  void DcMotorPwmTimeCtrAll(int16_t cmd1, int16_t cmd2, int16_t cmd3, int16_t cmd4, int16_t cmd5,
                            int16_t cmd6, int16_t timePeriods);
  void DcMotorVelocityNonTimeCtrAll(int16_t cmd1, int16_t cmd2, int16_t cmd3, int16_t cmd4, int16_t cmd5,
                                    int16_t cmd6);
  void DcMotorVelocityTimeCtrAll(int16_t cmd1, int16_t cmd2, int16_t cmd3, int16_t cmd4, int16_t cmd5,
                                 int16_t cmd6, int16_t timePeriods);
  void ServoNoTimeCtrAll(int16_t cmd1, int16_t cmd2, int16_t cmd3, int16_t cmd4, int16_t cmd5, int16_t cmd6);
  void ServoTimeCtrAll(int16_t cmd1, int16_t cmd2, int16_t cmd3, int16_t cmd4, int16_t cmd5, int16_t cmd6,
                       int16_t timePeriods);

  // Controller settings.
  void SetMotorPolarity(int16_t channel, int16_t Polarity);
  void SetMotorPolarity1(int16_t Polarity) {
    SetMotorPolarity(0, Polarity);
  }
  void SetMotorPolarity2(int16_t Polarity) {
    SetMotorPolarity(1, Polarity);
  }
  void SetMotorPolarity3(int16_t Polarity) {
    SetMotorPolarity(2, Polarity);
  }
  void SetMotorPolarity4(int16_t Polarity) {
    SetMotorPolarity(3, Polarity);
  }
  void SetMotorPolarity5(int16_t Polarity) {
    SetMotorPolarity(4, Polarity);
  }
  void SetMotorPolarity6(int16_t Polarity) {
    SetMotorPolarity(5, Polarity);
  }
  void SetDcMotorPositionControlPID(int16_t channel, int16_t Kp, int16_t Kd, int16_t Ki);
  void SetDcMotorVelocityControlPID(int16_t channel, int16_t Kp, int16_t Kd, int16_t Ki);
  void SetDcMotorTrajectoryPlan(int16_t channel, int16_t tranPlanMethod);
  void SetServoTrajectoryPlan(int16_t channel, int16_t tranPlanMethod);
  void SetDcMotorSensorFilter(int16_t channel, int16_t filterMethod);
  void SetDcMotorSensorUsage(int16_t channel, int16_t sensorType);
  void SetDcMotorControlMode(int16_t channel, int16_t controlMode);
  void SetSysMotorSensorPeriod(int16_t PeriodTime) {
    SensorPeriod(0, PeriodTime);
  }
  void SetSysStandardSensorPeriod(int16_t PeriodTime) {
    SensorPeriod(1, PeriodTime);
  }
  void SetSysCustomSensorPeriod(int16_t PeriodTime) {
    SensorPeriod(2, PeriodTime);
  }
  void SetSysAllSensorPeriod(int16_t PeriodTime) {
    SensorPeriod(3, PeriodTime);
  }
  void EnableBumperProtection();
  void DisableBumperProtection();

  // Sensor streaming.
  void SystemMotorSensorRequest(int16_t Packets) {
    SensorRequest(exchange::kTypeMotorSensor, Packets);
  }
  void SystemStandardSensorRequest(int16_t Packets) {
    SensorRequest(exchange::kTypeStandardSensor, Packets);
  }
  void SystemCustomSensorRequest(int16_t Packets) {
    SensorRequest(exchange::kTypeCustomSensor, Packets);
  }
  void SystemAllSensorRequest(int16_t Packets) {
    SensorRequest(exchange::kTypeAllSensor, Packets);
  }
  void EnableMotorSensorSending() {
    SensorRequest(exchange::kTypeMotorSensor, 0xFF);
  }
  void EnableStandardSensorSending() {
    SensorRequest(exchange::kTypeStandardSensor, 0xFF);
  }
  void EnableCustomSensorSending() {
    SensorRequest(exchange::kTypeCustomSensor, 0xFF);
  }
  void EnableAllSensorSending() {
    SensorRequest(exchange::kTypeAllSensor, 0xFF);
  }
  void DisableMotorSensorSending() {
    SensorRequest(exchange::kTypeMotorSensor, 0);
  }
  void DisableStandardSensorSending() {
    SensorRequest(exchange::kTypeStandardSensor, 0);
  }
  void DisableCustomSensorSending() {
    SensorRequest(exchange::kTypeCustomSensor, 0);
  }
  void DisableAllSensorSending() {
    SensorRequest(exchange::kTypeAllSensor, 0);
  }

  // Outputs.
  void SetCustomDOUT(int16_t dout);
  void SendCmdCHG(int16_t cmdPower) {
    SetCustomDOUT(cmdPower);
  }
  void SetInfraredControlOutput(int16_t low, int16_t high);
  void SetGPSID(int16_t ID1, int16_t ID2, int16_t ID3, int16_t ID4);
  void ChgCtrl(int16_t currentCtrl);

  // Camera.
  void TakePhoto();
  bool SavePhotoAsBMP(const std::string& fileName);
  const uint8_t* GetImageAddress() {
    return ModuleImageBuffer();
  }
  const uint8_t* GetImageYDataAddress() {
    return ModuleLumaArea();
  }
  void Refresh();

  // Audio.
  // Asks the relay to play a WAV file. The name is made absolute against this process's current
  // folder (the relay has a folder of its own) and the file checked as the relay will read it;
  // "EOF" after the name goes on from the previous sound. A name that would not play, or whose
  // absolute path (with "EOF") exceeds a command record, is refused and nothing is sent.
  void PlayAudioFile(const std::string& fileName);
  void StopAudioPlay();
  void StartRecord(int16_t voiceSegment);
  void StopRecord();
  int32_t GetVoiceSegLength() {
    return voice_segment_length_;
  }
  const uint8_t* GetVoiceSegment() {
    return have_voice_ ? voice_.data() : nullptr;
  }
  int32_t GetVoiceData(WritableBuffer VoicePtr);
  // The bytes of the latest voice segment that really lie in the section (never beyond the record).
  std::size_t VoiceBytesAvailable() const;
  // The latest record of a sensor section (the control's copy of it), and its length within the
  // slot; null before the first record of that section, and for the other sections.
  const uint8_t* LatestRecord(exchange::SectionId section, std::size_t& size) const;
  // Makes `data` the latest record of a sensor section, or the latest voice segment (the audio
  // section), as if a tick had just taken it: for a front end that hands out events after the tick
  // that took them, so that getters called by a handler read that event's record. Other sections'
  // records are not kept.
  void UseRecord(exchange::SectionId section, const uint8_t* data, std::size_t size);
  // Records of a polled section (the sensor, image and audio sections) that the relay overwrote
  // before a tick took them, since connectRobot; 0 for the others.
  uint64_t Lapped(exchange::SectionId section) const;
  // Commands (frames and sound requests) that could not be put into the command section, since
  // connectRobot: the relay did not read for a second while the ring was full. They never reach the
  // robot.
  uint64_t CommandsNotStored() const {
    return commands_not_stored_;
  }

  // Stops the robot: PWM 0 and velocity 0 on every DC motor channel, then every DC motor and servo
  // disabled. What a program's stop and every dashboard's Stop send (not a member of the automation
  // face: a sequence of its commands).
  void StopMotors();

  // LCDs.
  void LcdDisplayVCS(const std::string& bmpFileName) {
    LcdDisplay(exchange::kDestMotionBoard, bmpFileName);
  }
  void LcdDisplayVCB(const std::string& bmpFileName) {
    LcdDisplay(exchange::kDestMultimediaBoard, bmpFileName);
  }

 private:
  // At most one record from each ring, firing its event; how many, or -1 when a handler destroyed
  // the control, released its sections or connected it again.
  int TakeOneEach();
  // Builds one frame (destination, sequence 0, type, payload) and puts it into the command section.
  void PutFrame(uint8_t destination, uint8_t type, const uint8_t* payload, std::size_t n);
  void PutMotion(uint8_t type, std::initializer_list<int> bytes);
  void PutWordsAll(uint8_t type, std::initializer_list<int16_t> words);
  void PutChannelValue(uint8_t type, int16_t channel, int16_t value);
  void PutChannelValueTime(uint8_t type, int16_t channel, int16_t value, int16_t time);
  void SensorPeriod(int kind, int16_t period);
  void SensorRequest(uint8_t type, int16_t packets);
  void LcdDisplay(uint8_t destination, const std::string& file);
  // Shows `text` in a message box; false when nobody was shown it (no host, or a host that shows
  // no boxes).
  bool ShowMessage(const std::string& text);
  // A failure the program's user must hear of, though no message box belongs to it: kept in
  // last_error(), written to standard error and refused with `status`.
  void Complain(int32_t status, const std::string& text);
  void Fire(int dispid);
  void ReleaseSections();

  int16_t Sensor(const exchange::SensorField& field) const;
  // The consumer of a polled section (null for the others, and before connectRobot).
  exchange::CRingConsumer* Polled(exchange::SectionId section) const;
  int16_t SensorChannel(std::string_view channel_getter, int16_t channel) const;

  ControlHost* host_ = nullptr;
  EventSink event_sink_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  media::CJpegImageDecoder decoder_;
  bool timer_wanted_ = false;

  int32_t voice_segment_length_ = 0;
  std::string last_error_;
  Refusal refusal_;
  int32_t argument_refusal_ = 0;
  std::string robot_name_;
  int32_t test_ = 0;
  std::string test_str_;
  bool modified_ = false;

  std::unique_ptr<exchange::CRingConsumer> standard_sensor_, motor_sensor_, signal_, custom_sensor_, image_,
      audio_;
  std::unique_ptr<exchange::CCommandWriter> commands_;
  uint64_t commands_not_stored_ = 0;
  platform::DoorbellPacer pacer_;  // Wait()'s holds after wakes that brought nothing
  // The latest records, copied out of their rings: standard, motor, custom (each at most a sensor
  // slot; getters read beyond a short record's end as zeros), the image record being decoded, and the
  // voice segment. Each buffer holds one slot of its section.
  static constexpr uint32_t kRecordRoom = SensorRecordRoom();
  uint8_t records_[exchange::kSensorRecordCount][kRecordRoom] = {};
  bool have_record_[exchange::kSensorRecordCount] = {};
  uint32_t record_size_[exchange::kSensorRecordCount] = {};  // lengths of the latest sensor records
  std::vector<uint8_t> image_record_ =
      std::vector<uint8_t>(exchange::Spec(exchange::SectionId::kImage).capacity);
  std::vector<uint8_t> voice_ = std::vector<uint8_t>(exchange::Spec(exchange::SectionId::kAudio).capacity);
  bool have_voice_ = false;
  uint32_t voice_record_size_ = 0;  // bytes of the voice record that lie within its slot
};

}  // namespace control
