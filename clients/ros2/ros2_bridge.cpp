#include "clients/ros2/ros2_bridge.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <vector>

#include "builtin_interfaces.h"
#include "clients/mqtt_bridge/media_encoding.h"
#include "diagnostic_msgs.h"
#include "geometry_msgs.h"
#include "platform/clock.h"
#include "platform/waiting.h"
#include "sensor_msgs.h"
#include "std_msgs.h"

namespace ros2_bridge {
namespace {

constexpr int kLongestWaitMs = 50;         // between two looks at the stop flag
constexpr uint32_t kDiagnosticsMs = 1000;  // the link's state, at least this often
constexpr int kTakeBatch = 16;
constexpr int32_t kMostPendingCommands = 256;                        // per command topic, between two takes
constexpr float kUnknown = std::numeric_limits<float>::quiet_NaN();  // BatteryState's "not measured"

// The time a reading was taken, as ROS time: the system's clock, since the epoch.
RosTime Now() {
  return RosTimeOf(std::chrono::duration_cast<std::chrono::nanoseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count());
}

// The header points into `frame`, which the library reads when the sample is written: the string must
// outlive the write. A temporary would be gone by then, so none is taken.
std_msgs_msg_dds__Header_ Header(const RosTime& t, const std::string& frame) {
  return {{t.sec, t.nanosec}, const_cast<char*>(frame.c_str())};
}
std_msgs_msg_dds__Header_ Header(const RosTime& t, std::string&& frame) = delete;

template <class Seq, class T>
Seq SequenceOf(std::vector<T>& v) {
  return Seq{static_cast<uint32_t>(v.size()), static_cast<uint32_t>(v.size()), v.data(), false};
}

int16_t Field(const char* name, const uint8_t* record, std::size_t size) {
  const exchange::SensorField* f = exchange::FieldNamed(name);
  return f != nullptr ? exchange::ReadField(*f, record, size) : 0;
}

std::string Numbered(const char* stem, int n) {
  return stem + std::to_string(n);
}

// A refusal is logged the first time and then at every power of two, so that a flood of bad samples
// cannot flood the log.
bool WorthLogging(uint64_t count) {
  return (count & (count - 1)) == 0;
}

}  // namespace

CRos2Bridge::CRos2Bridge(BridgeOptions options) : options_(std::move(options)) {
  frame_prefix_ = options_.ros_namespace == "/" ? "" : options_.ros_namespace.substr(1) + "/";
}

CRos2Bridge::~CRos2Bridge() {
  announcer_ = ros2::CNodeAnnouncer();  // withdraws the node while its writer is there
  participant_.Reset();                 // its readers first: their listeners wake the watch
  if (listener_ != nullptr) dds_delete_listener(listener_);
}

void CRos2Bridge::Log(const std::string& line) const {
  std::fprintf(stderr, "trevask-ros2 %s: %s\n", options_.robot.c_str(), line.c_str());
}

platform::Result CRos2Bridge::Start() {
  if (platform::Result claimed = claim_.Claim(options_.robot); !claimed.ok()) return claimed;
  control_.AttachHost(&host_);
  host_.SetMessageHandler([this](const std::string& text) { Log(text); });
  control_.SetEventSink([this](int dispid) { OnControlEvent(dispid); });
  control_.connectRobot(options_.robot);
  if (!control_.last_error().empty())
    return platform::Fail(platform::Status::kOpenFailed, control_.last_error());
  if (!watch_.Start()) {
    return platform::Fail(platform::Status::kStartFailed,
                          "the thread that hears the robot's sections cannot be started");
  }

  participant_ =
      ros2::Entity(ros2::MakeParticipant(static_cast<dds_domainid_t>(options_.domain_id), options_.distro));
  if (!participant_.valid()) {
    return platform::Fail(platform::Status::kStartFailed,
                          "DDS domain " + std::to_string(options_.domain_id) +
                              " cannot be joined: " + dds_strretcode(participant_.get()));
  }
  if (!announcer_.Start(participant_.get(), options_.ros_namespace, "trevask_ros2", options_.distro)) {
    return platform::Fail(platform::Status::kStartFailed,
                          "the node cannot be announced on ros_discovery_info");
  }
  listener_ = dds_create_listener(&watch_.waker());
  dds_lset_data_available(listener_,
                          [](dds_entity_t, void* waker) { static_cast<platform::Waker*>(waker)->Wake(); });

  std::string failed;
  auto endpoint = [&](bool writer, const dds_topic_descriptor_t& descriptor, const std::string& ros_name,
                      std::string_view ros_type, ros2::QosProfile profile) {
    const std::string topic_name = ros2::DdsTopicName(options_.ros_namespace, ros_name);
    const dds_entity_t topic =
        dds_create_topic(participant_.get(), &descriptor, topic_name.c_str(), nullptr, nullptr);
    dds_qos_t* qos = ros2::MakeEndpointQos(profile, ros_type, options_.distro);
    if (qos != nullptr && !writer) {
      // A command is never dropped for a newer one while the loop is busy: the reader keeps every
      // sample (history is not matched, so ROS 2's publishers match all the same), and a full
      // reader holds the reliable publisher back rather than lose one.
      dds_qset_history(qos, DDS_HISTORY_KEEP_ALL, 0);
      dds_qset_resource_limits(qos, kMostPendingCommands, DDS_LENGTH_UNLIMITED, DDS_LENGTH_UNLIMITED);
    }
    const dds_entity_t e = qos == nullptr ? DDS_RETCODE_BAD_PARAMETER
                           : topic < 0    ? topic
                           : writer       ? dds_create_writer(participant_.get(), topic, qos, nullptr)
                                          : dds_create_reader(participant_.get(), topic, qos, listener_);
    if (qos != nullptr) dds_delete_qos(qos);
    if (e < 0 && failed.empty()) failed = topic_name + ": " + dds_strretcode(e);
    if (e > 0) writer ? announcer_.AddWriter(e) : announcer_.AddReader(e);
    return ros2::Entity(e);
  };
  const bool humble = options_.distro == ros2::Distribution::kHumble;
  const dds_topic_descriptor_t& range = humble ? humble_range_ : sensor_msgs_msg_dds__Range__desc;
  const auto sensor = ros2::QosProfile::kSensorData;
  for (int i = 0; i < kSonars; ++i)
    writers_.sonar[i] = endpoint(true, range, Numbered("sonar_", i + 1), "sensor_msgs/msg/Range", sensor);
  if (options_.scaling.infrared_m > 0)
    writers_.ir_range = endpoint(true, range, "ir_range", "sensor_msgs/msg/Range", sensor);
  if (options_.scaling.temperature_c > 0)
    writers_.temperature = endpoint(true, sensor_msgs_msg_dds__Temperature__desc, "temperature",
                                    "sensor_msgs/msg/Temperature", sensor);
  for (int i = 0; i < kBatteries; ++i)
    writers_.battery[i] = endpoint(true, sensor_msgs_msg_dds__BatteryState__desc, Numbered("battery_", i + 1),
                                   "sensor_msgs/msg/BatteryState", sensor);
  writers_.joint_states = endpoint(true, sensor_msgs_msg_dds__JointState__desc, "joint_states",
                                   "sensor_msgs/msg/JointState", sensor);
  for (const exchange::SensorRecordInfo& info : exchange::kSensorRecords)
    writers_.raw[static_cast<int>(info.record)] =
        endpoint(true, std_msgs_msg_dds__Float64MultiArray__desc, "raw/" + std::string(info.name),
                 "std_msgs/msg/Float64MultiArray", sensor);
  if (options_.camera_rate > 0) {
    writers_.compressed = endpoint(true, sensor_msgs_msg_dds__CompressedImage__desc,
                                   "camera/image_raw/compressed", "sensor_msgs/msg/CompressedImage", sensor);
    if (options_.raw_image)
      writers_.image = endpoint(true, sensor_msgs_msg_dds__Image__desc, "camera/image_raw",
                                "sensor_msgs/msg/Image", sensor);
  }
  writers_.diagnostics = endpoint(true, diagnostic_msgs_msg_dds__DiagnosticArray__desc, "/diagnostics",
                                  "diagnostic_msgs/msg/DiagnosticArray", ros2::QosProfile::kDefault);
  readers_.cmd_vel = endpoint(false, geometry_msgs_msg_dds__Twist__desc, "cmd_vel", "geometry_msgs/msg/Twist",
                              ros2::QosProfile::kDefault);
  for (int i = 0; i < kMotors; ++i)
    readers_.motor[i] =
        endpoint(false, std_msgs_msg_dds__Float64__desc, "motor_" + std::to_string(i + 1) + "/target",
                 "std_msgs/msg/Float64", ros2::QosProfile::kDefault);
  for (int i = 0; i < kServos; ++i)
    readers_.servo[i] =
        endpoint(false, std_msgs_msg_dds__Float64__desc, "servo_" + std::to_string(i + 1) + "/target",
                 "std_msgs/msg/Float64", ros2::QosProfile::kDefault);
  if (!failed.empty())
    return platform::Fail(platform::Status::kStartFailed, "a DDS endpoint cannot be made: " + failed);
  if (!announcer_.Announce())
    return platform::Fail(platform::Status::kStartFailed,
                          "the node cannot be announced on ros_discovery_info");
  return platform::Ok();
}

// ---- Readings ----------------------------------------------------------------------------------

void CRos2Bridge::OnControlEvent(int dispid) {
  const int section = control::SectionOf(dispid);
  if (dispid == control::kImageEvent) {
    PublishPicture();
    return;
  }
  if (section < 0 || section >= exchange::kSensorRecordCount) return;
  std::size_t size = 0;
  const uint8_t* record = control_.LatestRecord(static_cast<exchange::SectionId>(section), size);
  if (record == nullptr) return;
  ++counts_.readings;
  if (dispid == control::kStandardSensorEvent) PublishStandard(record, size);
  if (dispid == control::kMotorSensorEvent) PublishMotor(record, size);
  PublishRaw(static_cast<exchange::SensorRecord>(section), record, size);
}

void CRos2Bridge::PublishStandard(const uint8_t* record, std::size_t size) {
  const RosTime now = Now();
  const Scaling& scale = options_.scaling;
  auto range = [&](const ros2::Entity& writer, const std::string& frame, uint8_t type, const RangeSpec& spec,
                   double metres) {
    if (!writer.valid()) return;
    const auto header = Header(now, frame);
    const auto fov = static_cast<float>(spec.field_of_view), low = static_cast<float>(spec.min_range),
               high = static_cast<float>(spec.max_range), value = static_cast<float>(metres);
    if (options_.distro == ros2::Distribution::kHumble) {
      const sensor_msgs_msg_dds__RangeWithoutVariance_ m{header, type, fov, low, high, value};
      dds_write(writer.get(), &m);
    } else {
      const sensor_msgs_msg_dds__Range_ m{header, type, fov, low, high, value, 0.0f};
      dds_write(writer.get(), &m);
    }
  };
  if (scale.sonar_m > 0)
    for (int i = 0; i < kSonars; ++i)
      range(writers_.sonar[i], frame_prefix_ + Numbered("sonar_", i + 1), 0 /* ULTRASOUND */, options_.sonar,
            Field(Numbered("sonar", i + 1).c_str(), record, size) * scale.sonar_m);
  if (scale.infrared_m > 0)
    range(writers_.ir_range, frame_prefix_ + "ir_range", 1 /* INFRARED */, options_.infrared,
          Field("ir_range", record, size) * scale.infrared_m);
  const std::string base = frame_prefix_ + "base_link";
  if (writers_.temperature.valid()) {
    const sensor_msgs_msg_dds__Temperature_ m{
        Header(now, base),
        Field("temperature", record, size) * scale.temperature_c + scale.temperature_offset_c, 0};
    dds_write(writers_.temperature.get(), &m);
  }
  for (int i = 0; i < kBatteries; ++i) {
    const std::string name = Numbered("battery_ad", i + 1);
    const float volts = scale.battery_v > 0
                            ? static_cast<float>(Field(name.c_str(), record, size) * scale.battery_v)
                            : kUnknown;
    std::vector<float> none;
    sensor_msgs_msg_dds__BatteryState_ m{};
    m.header = Header(now, base);
    m.voltage = volts;
    m.temperature = m.current = m.charge = m.capacity = m.design_capacity = m.percentage = kUnknown;
    m.present = true;  // status, health and technology stay 0: unknown
    m.cell_voltage = m.cell_temperature = SequenceOf<dds_sequence_float>(none);
    m.location = const_cast<char*>(name.c_str());
    m.serial_number = const_cast<char*>("");
    dds_write(writers_.battery[i].get(), &m);
  }
}

void CRos2Bridge::PublishMotor(const uint8_t* record, std::size_t size) {
  const double cpr = options_.drive.counts_per_revolution;
  std::vector<std::string> names;
  std::vector<double> position, velocity, effort;
  for (int e = 1; e <= 2; ++e) {
    // Encoder e counts the turns of DC motor e.
    names.push_back(options_.drive.left_motor == e    ? "wheel_left"
                    : options_.drive.right_motor == e ? "wheel_right"
                                                      : Numbered("motor_", e));
    const int64_t pulses = encoders_[e - 1].Update(Field(Numbered("encoder_pulse", e).c_str(), record, size));
    position.push_back(PulsesToRadians(static_cast<double>(pulses), cpr));
    const int speed = Field(Numbered("encoder_speed", e).c_str(), record, size);
    const int direction = Field(Numbered("encoder_dir", e).c_str(), record, size);
    velocity.push_back(PulsesToRadians(std::abs(speed) * direction, cpr));
  }
  std::vector<char*> name_pointers;
  for (std::string& n : names) name_pointers.push_back(n.data());
  const std::string frame = frame_prefix_ + "base_link";
  const sensor_msgs_msg_dds__JointState_ m{
      Header(Now(), frame), SequenceOf<dds_sequence_string>(name_pointers),
      SequenceOf<dds_sequence_double>(position), SequenceOf<dds_sequence_double>(velocity),
      SequenceOf<dds_sequence_double>(effort)};
  dds_write(writers_.joint_states.get(), &m);
}

void CRos2Bridge::PublishRaw(exchange::SensorRecord which, const uint8_t* record, std::size_t size) {
  std::vector<double> values;
  std::string label;
  for (const exchange::SensorField& f : exchange::kSensorFields) {
    if (f.record != which || !exchange::OwnField(f)) continue;
    values.push_back(exchange::ReadField(f, record, size));
    label += (label.empty() ? "" : ",") + std::string(f.name);
  }
  std::vector<std_msgs_msg_dds__MultiArrayDimension_> dims = {
      {label.data(), static_cast<uint32_t>(values.size()), static_cast<uint32_t>(values.size())}};
  const std_msgs_msg_dds__Float64MultiArray_ m{
      {SequenceOf<dds_sequence_std_msgs_msg_dds__MultiArrayDimension_>(dims), 0},
      SequenceOf<dds_sequence_double>(values)};
  dds_write(writers_.raw[static_cast<int>(which)].get(), &m);
}

void CRos2Bridge::PublishPicture() {
  if (!writers_.compressed.valid()) return;
  const RosTime now = Now();
  const std::string frame = frame_prefix_ + "camera_optical_frame";
  // The robot's own stream is bare entropy-coded data in a layout of its camera's (no headers, the two
  // chroma planes interleaved by column), which no JPEG reader takes: subscribers get a JPEG file of
  // the picture our decoder made of it.
  std::vector<uint8_t> jpeg;
  if (mqtt_bridge::EncodeJpeg(control_.GetImageAddress(), control_.width(), control_.height(),
                              options_.camera_quality, jpeg)) {
    const sensor_msgs_msg_dds__CompressedImage_ m{Header(now, frame), const_cast<char*>("jpeg"),
                                                  SequenceOf<dds_sequence_octet>(jpeg)};
    dds_write(writers_.compressed.get(), &m);
    ++counts_.pictures;
  }
  if (writers_.image.valid()) {
    const auto width = static_cast<uint32_t>(control_.width()),
               height = static_cast<uint32_t>(control_.height());
    // The library only reads the pixels while it writes the sample.
    dds_sequence_octet pixels{width * height * 3, width * height * 3,
                              const_cast<uint8_t*>(control_.GetImageAddress()), false};
    const sensor_msgs_msg_dds__Image_ m{Header(now, frame), height, width, const_cast<char*>("rgb8"), 0,
                                        width * 3,          pixels};
    dds_write(writers_.image.get(), &m);
  }
}

void CRos2Bridge::PublishDiagnostics() {
  const std::string state = exchange::RelayStateName(relay_);
  uint64_t lapped = 0;
  for (const exchange::SensorRecordInfo& info : exchange::kSensorRecords)
    lapped += control_.Lapped(info.section);
  std::vector<std::pair<std::string, std::string>> pairs = {
      {"relay", state},
      {"readings", std::to_string(counts_.readings)},
      {"readings_missed", std::to_string(lapped)},
      {"pictures", std::to_string(counts_.pictures)},
      {"commands", std::to_string(counts_.commands)},
      {"commands_not_stored", std::to_string(counts_.commands_not_stored)},
      {"commands_refused", std::to_string(counts_.refused)}};
  std::vector<diagnostic_msgs_msg_dds__KeyValue_> values;
  for (auto& [key, value] : pairs) values.push_back({key.data(), value.data()});
  // OK while the robot answers; a warning while the link is being made or the robot is silent; an
  // error when no relay serves the robot.
  const uint8_t level = relay_ == exchange::RelayState::kLinkUp    ? 0
                        : relay_ == exchange::RelayState::kNoRelay ? 2
                                                                   : 1;
  std::string name = "trevask-ros2: " + options_.robot + " link";
  std::string message = "link " + state;
  std::string hardware = options_.robot;
  std::vector<diagnostic_msgs_msg_dds__DiagnosticStatus_> status = {
      {level, name.data(), message.data(), hardware.data(),
       SequenceOf<dds_sequence_diagnostic_msgs_msg_dds__KeyValue_>(values)}};
  const std::string no_frame;  // the array is about the robot's link, not a place
  const diagnostic_msgs_msg_dds__DiagnosticArray_ m{
      Header(Now(), no_frame), SequenceOf<dds_sequence_diagnostic_msgs_msg_dds__DiagnosticStatus_>(status)};
  dds_write(writers_.diagnostics.get(), &m);
}

// ---- Commands ----------------------------------------------------------------------------------

template <class Call>
bool CRos2Bridge::Send(const std::string& what, Call call) {
  const uint64_t before = control_.CommandsNotStored();
  call();
  if (control_.CommandsNotStored() == before) {
    ++counts_.commands;
    return true;
  }
  ++counts_.commands_not_stored;
  Log(what + ": the command ring did not take it (its relay has not read it for a second); not sent");
  return false;
}

void CRos2Bridge::DriveWheels(int16_t left, int16_t right, const std::string& why) {
  const DriveGeometry& d = options_.drive;
  Send(why + ", left wheel",
       [&] { control_.DcMotorVelocityNonTimeCtr(static_cast<int16_t>(d.left_motor - 1), left); });
  Send(why + ", right wheel",
       [&] { control_.DcMotorVelocityNonTimeCtr(static_cast<int16_t>(d.right_motor - 1), right); });
  wheels_driven_ = left != 0 || right != 0;
}

void CRos2Bridge::TakeCommands() {
  // Every sample that has come, of every command topic, carried out in the order they were sent.
  struct Command {
    dds_time_t sent;
    int topic;  // 0: cmd_vel; 1..6 motor_N; 7..12 servo_N
    geometry_msgs_msg_dds__Twist_ twist;
    double value;
  };
  std::vector<Command> commands;
  dds_sample_info_t info[kTakeBatch];
  void* pointers[kTakeBatch];
  for (;;) {
    geometry_msgs_msg_dds__Twist_ twists[kTakeBatch];
    for (int i = 0; i < kTakeBatch; ++i) pointers[i] = &twists[i];
    const dds_return_t n = dds_take(readers_.cmd_vel.get(), pointers, info, kTakeBatch, kTakeBatch);
    for (dds_return_t i = 0; i < n; ++i)
      if (info[i].valid_data) commands.push_back({info[i].source_timestamp, 0, twists[i], 0});
    if (n < kTakeBatch) break;
  }
  for (int topic = 1; topic <= kMotors + kServos; ++topic) {
    const ros2::Entity& reader =
        topic <= kMotors ? readers_.motor[topic - 1] : readers_.servo[topic - 1 - kMotors];
    for (;;) {
      std_msgs_msg_dds__Float64_ values[kTakeBatch];
      for (int i = 0; i < kTakeBatch; ++i) pointers[i] = &values[i];
      const dds_return_t n = dds_take(reader.get(), pointers, info, kTakeBatch, kTakeBatch);
      for (dds_return_t i = 0; i < n; ++i)
        if (info[i].valid_data) commands.push_back({info[i].source_timestamp, topic, {}, values[i].data});
      if (n < kTakeBatch) break;
    }
  }
  std::stable_sort(commands.begin(), commands.end(),
                   [](const Command& a, const Command& b) { return a.sent < b.sent; });
  auto refuse = [&](const std::string& why) {
    if (WorthLogging(++counts_.refused))
      Log(why + "; refused, nothing sent (" + std::to_string(counts_.refused) + " refused so far)");
  };
  for (const Command& c : commands) {
    if (c.topic == 0) {
      const geometry_msgs_msg_dds__Twist_& t = c.twist;
      const double all[] = {t.linear.x, t.linear.y, t.linear.z, t.angular.x, t.angular.y, t.angular.z};
      if (!std::all_of(std::begin(all), std::end(all), [](double v) { return std::isfinite(v); })) {
        refuse("cmd_vel holds a value that is not a finite number");
        continue;
      }
      const WheelCommand wheels = WheelCommandFor(WheelSpeedsFor(t.linear.x, t.angular.z, options_.drive),
                                                  options_.drive.counts_per_revolution);
      DriveWheels(wheels.left, wheels.right, "cmd_vel");
      last_cmd_vel_ = platform::TickCount();
    } else if (c.topic <= kMotors) {
      const std::optional<int16_t> word = VelocityWord(c.value, options_.drive.counts_per_revolution);
      const std::string name = "motor_" + std::to_string(c.topic) + "/target";
      if (!word) {
        refuse(name + " " + std::to_string(c.value) + " rad/s is not a speed the robot's word holds");
        continue;
      }
      Send(name, [&] { control_.DcMotorVelocityNonTimeCtr(static_cast<int16_t>(c.topic - 1), *word); });
    } else {
      const int servo = c.topic - kMotors;
      const std::optional<int16_t> word = CommandWord(c.value);
      const std::string name = "servo_" + std::to_string(servo) + "/target";
      if (!word) {
        refuse(name + " " + std::to_string(c.value) + " is not a servo command word (-32768 to 32767)");
        continue;
      }
      Send(name, [&] { control_.servoNonTimeCtr(static_cast<int16_t>(servo - 1), *word); });
    }
  }
}

// ---- The loop ----------------------------------------------------------------------------------

void CRos2Bridge::LookAtLink() {
  const uint32_t now = platform::TickCount();
  const exchange::RelayState state = control_.relay_state();
  const bool changed = state != relay_;
  if (changed) {
    Log(std::string("the robot's link is ") + exchange::RelayStateName(state));
    // Commands put before a relay forwards are never sent: streams and pictures are asked for once
    // the robot answers, and again whenever it answers anew.
    if (state == exchange::RelayState::kLinkUp && options_.request_sensors)
      Send("the sensor streams' request", [&] { control_.EnableAllSensorSending(); });
    next_picture_ = now;
  }
  relay_ = state;
  if (changed || !platform::TickAfter(next_diagnostics_, now)) {
    PublishDiagnostics();
    next_diagnostics_ = now + kDiagnosticsMs;
  }
  if (options_.camera_rate > 0 && relay_ == exchange::RelayState::kLinkUp &&
      !platform::TickAfter(next_picture_, now)) {
    Send("the picture's request", [&] { control_.TakePhoto(); });
    next_picture_ = now + static_cast<uint32_t>(1000.0 / options_.camera_rate);
  }
  const auto timeout = static_cast<uint32_t>(options_.cmd_vel_timeout * 1000);
  if (wheels_driven_ && platform::TickElapsed(now, last_cmd_vel_) >= timeout) {
    Log("cmd_vel stopped coming for " + std::to_string(options_.cmd_vel_timeout) + " s: the wheels stop");
    DriveWheels(0, 0, "the wheels' stop");
  }
}

uint32_t CRos2Bridge::MillisecondsToNextDuty() const {
  const uint32_t now = platform::TickCount();
  auto until = [now](uint32_t tick) { return platform::TickAfter(tick, now) ? tick - now : 0u; };
  uint32_t due = until(next_diagnostics_);
  if (options_.camera_rate > 0 && relay_ == exchange::RelayState::kLinkUp)
    due = std::min(due, until(next_picture_));
  if (wheels_driven_)
    due = std::min(due, until(last_cmd_vel_ + static_cast<uint32_t>(options_.cmd_vel_timeout * 1000)));
  return due;
}

void CRos2Bridge::Run(const std::atomic<bool>& stop) {
  // Relaxed is enough for `stop`: it only ends the loop, it hands over no data.
  platform::DoorbellWait last_wait = platform::DoorbellWait::kRung;
  while (!stop.load(std::memory_order_relaxed)) {
    host_.NoteWait(last_wait, host_.ProcessDue());
    TakeCommands();
    LookAtLink();
    // Wait for a ring of the robot's sections, a DDS sample, or the next duty, whichever comes first.
    int64_t due = host_.MillisecondsUntilLook();
    if (due < 0 || due > kLongestWaitMs) due = kLongestWaitMs;
    due = std::min<int64_t>(due, MillisecondsToNextDuty());
    if (!host_.Arm(bells_))
      due = 0;  // records are there already
    else
      watch_.Watch(bells_, static_cast<uint32_t>(due), host_.pacer());
    const platform::WaitResult woke =
        platform::WaitForInputOrWake(platform::kNoWaitHandle, watch_.waker(),
                                     static_cast<int>(static_cast<double>(due) * platform::TimeScale()));
    watch_.waker().Drain();
    last_wait = woke == platform::WaitResult::kWoken      ? platform::DoorbellWait::kRung
                : woke == platform::WaitResult::kTimedOut ? platform::DoorbellWait::kTimedOut
                                                          : platform::DoorbellWait::kInterrupted;
  }
  if (wheels_driven_) DriveWheels(0, 0, "the bridge stops: the wheels stop");
  Log("stopped: " + std::to_string(counts_.readings) + " readings, " + std::to_string(counts_.pictures) +
      " pictures, " + std::to_string(counts_.commands) + " commands (" +
      std::to_string(counts_.commands_not_stored) + " not taken by the command ring, " +
      std::to_string(counts_.refused) + " refused)");
}

}  // namespace ros2_bridge
