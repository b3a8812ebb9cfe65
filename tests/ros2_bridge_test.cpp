// trevask-ros2 between a relay linked to the simulated robot and DDS readers and writers set up as
// ROS 2's middleware layer sets them up (XCDR1, its QoS profiles): the bytes of every message type,
// what subscribers receive and in which units, what cmd_vel and the targets do, and what the bridge
// refuses. DDS keeps to the loopback address, on a domain of each test's own.
#include <dds/dds.h>
#include <dds/ddsi/ddsi_serdata.h>
#include <gtest/gtest.h>
#include <jpeglib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csetjmp>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <numbers>

#include "builtin_interfaces.h"
#include "clients/ros2/bridge_options.h"
#include "clients/ros2/conversions.h"
#include "clients/ros2/instance_claim.h"
#include "clients/ros2/interop/ros_interop.h"
#include "diagnostic_msgs.h"
#include "exchange/frame.h"
#include "exchange/protocol.h"
#include "geometry_msgs.h"
#include "link_test_support.h"
#include "platform/shared_memory.h"
#include "process_support.h"
#include "ros_discovery_info.h"
#include "sensor_msgs.h"
#include "std_msgs.h"

namespace {

using ros2::Entity;
using testing_support::ChildProcess;
using testing_support::WaitUntil;

// ---- Units and options ---------------------------------------------------------------------------

TEST(Ros2Conversions, BodyVelocitiesBecomeWheelWordsAndEncoderCountsRunOn) {
  const ros2_bridge::DriveGeometry drive;  // radius 0.05 m, track 0.30 m, 360 pulses a turn
  struct Row {
    double linear, angular;
    int16_t left, right;
    bool limited;
  } rows[] = {
      {0.1, 0.0, 115, 115, false},    // 2 rad/s: 114.59 pulses/s
      {0.1, 0.5, 29, 201, false},     // left (0.1 - 0.075) / 0.05, right (0.1 + 0.075) / 0.05
      {0.0, -1.0, 172, -172, false},  // turning clockwise: the left wheel forward
      {100.0, 0.0, 32767, 32767, true},
      {100.0, 100.0, 24219, 32767, true},  // both scaled alike: the same arc, slower
  };
  for (const Row& r : rows) {
    const ros2_bridge::WheelCommand c =
        ros2_bridge::WheelCommandFor(ros2_bridge::WheelSpeedsFor(r.linear, r.angular, drive), 360);
    EXPECT_EQ(c.left, r.left) << r.linear << " " << r.angular;
    EXPECT_EQ(c.right, r.right) << r.linear << " " << r.angular;
    EXPECT_EQ(c.limited, r.limited) << r.linear << " " << r.angular;
  }
  EXPECT_EQ(ros2_bridge::VelocityWord(2 * std::numbers::pi, 360), 360);
  EXPECT_FALSE(ros2_bridge::VelocityWord(NAN, 360));
  EXPECT_FALSE(ros2_bridge::CommandWord(32767.6));
  EXPECT_EQ(ros2_bridge::CommandWord(-32768.4), -32768);

  ros2_bridge::EncoderCount count;
  // 32000 -> -32000 wraps forward by 1536; -31000 is 1000 further; back to 32000 is 2536 back.
  const std::pair<int16_t, int64_t> steps[] = {
      {32000, 32000}, {-32000, 33536}, {-31000, 34536}, {32000, 32000}};
  for (const auto& [raw, total] : steps) EXPECT_EQ(count.Update(raw), total) << raw;

  const ros2_bridge::RosTime t = ros2_bridge::RosTimeOf(-1);
  EXPECT_EQ(t.sec, -1);
  EXPECT_EQ(t.nanosec, 999999999u);
}

TEST(Ros2Options, BadValuesAreRefusedWithTheirReason) {
  using platform::Status;
  struct Row {
    std::vector<std::string> args;
    const char* domain_env;
    Status status;
    const char* says;  // "" for accepted
  } rows[] = {
      {{"r1"}, "7", Status::kOk, ""},
      {{"r1", "--domain-id", "233"}, nullptr, Status::kBadArgument, "not a whole number from 0 to 232"},
      {{"r1"}, "x", Status::kBadArgument, "ROS_DOMAIN_ID"},
      {{"r1", "--ros-distro", "foxy"}, nullptr, Status::kBadArgument, "not humble or jazzy"},
      {{"r1", "--namespace", "/a//b"}, nullptr, Status::kBadArgument, "not a ROS 2 namespace"},
      {{"9lives"}, nullptr, Status::kBadArgument, "give --namespace"},
      {{"9lives", "--namespace", "/cat"}, nullptr, Status::kOk, ""},
      {{"r1", "r2"}, nullptr, Status::kBadArgument, "exactly one robot"},
      {{"r1", "--no-such-option"}, nullptr, Status::kBadArgument, "unknown or incomplete option"},
  };
  for (const Row& r : rows) {
    std::vector<std::string> words = {"trevask-ros2"};
    words.insert(words.end(), r.args.begin(), r.args.end());
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    ros2_bridge::BridgeOptions options;
    bool help = false;
    const platform::Result parsed =
        ros2_bridge::ParseArguments(static_cast<int>(argv.size()), argv.data(), r.domain_env, options, help);
    EXPECT_EQ(parsed.status, r.status) << words[1] << ": " << parsed.message;
    EXPECT_NE(parsed.message.find(r.says), std::string::npos) << parsed.message;
  }
  // The file's keys, each with a value out of its range or against another key; and a file anyone
  // may change.
  const std::string path = "/tmp/trevask-ros2-options-" + std::to_string(getpid());
  struct FileRow {
    const char* line;
    mode_t mode;
    Status status;
  } file_rows[] = {
      {"wheel_radius = 0", 0600, Status::kBadContent},
      {"camera_quality = 101", 0600, Status::kBadContent},
      {"left_wheel_motor = 7", 0600, Status::kBadContent},
      {"raw_image = maybe", 0600, Status::kBadContent},
      {"sonar_min_range = 3", 0600, Status::kBadContent},
      {"left_wheel_motor = 2", 0600, Status::kBadContent},
      {"no_such_key = 1", 0600, Status::kBadContent},
      {"camera_rate = 1", 0606, Status::kNoAccess},
      {"camera_rate = 1", 0600, Status::kOk},
  };
  for (const FileRow& r : file_rows) {
    FILE* f = std::fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fprintf(f, "%s\n", r.line);
    std::fclose(f);
    ASSERT_EQ(chmod(path.c_str(), r.mode), 0);
    ros2_bridge::BridgeOptions options;
    bool help = false;
    std::string w0 = "trevask-ros2", w1 = "r1", w2 = "-c";
    char* argv[] = {w0.data(), w1.data(), w2.data(), const_cast<char*>(path.c_str())};
    const platform::Result parsed = ros2_bridge::ParseArguments(4, argv, nullptr, options, help);
    EXPECT_EQ(parsed.status, r.status) << r.line << ": " << parsed.message;
    EXPECT_EQ(parsed.message.empty(), r.status == Status::kOk) << r.line;
  }
  std::remove(path.c_str());
}

// ---- The bytes of every message type -----------------------------------------------------------

// CDR as the OMG's DDS-XTypes gives it for XCDR1, written here without the DDS library: little-endian,
// each primitive aligned to its size counted from the end of the 4-byte encapsulation header,
// sequences and strings as a 32-bit count and their elements (a string's count includes its NUL).
class Cdr {
 public:
  template <class T>
  Cdr& Put(T v) {
    Align(sizeof(T));
    uint8_t raw[sizeof(T)];
    std::memcpy(raw, &v, sizeof(T));
    body_.insert(body_.end(), raw, raw + sizeof(T));
    return *this;
  }
  Cdr& Str(const std::string& s) {
    Put<uint32_t>(static_cast<uint32_t>(s.size() + 1));
    body_.insert(body_.end(), s.begin(), s.end());
    body_.push_back(0);
    return *this;
  }
  Cdr& Stamp(int32_t sec, uint32_t nanosec, const std::string& frame) {
    return Put(sec).Put(nanosec).Str(frame);
  }
  // The encapsulation header (CDR, little-endian) and the body, padded to a multiple of four with the
  // padding counted in the options' last two bits.
  std::vector<uint8_t> Encapsulated() const {
    const uint8_t pad = static_cast<uint8_t>((4 - body_.size() % 4) % 4);
    std::vector<uint8_t> out(4 + body_.size() + pad, 0);
    out[1] = 0x01;
    out[3] = pad;
    std::copy(body_.begin(), body_.end(), out.begin() + 4);
    return out;
  }

 private:
  void Align(std::size_t n) {
    while (body_.size() % n != 0) body_.push_back(0);
  }
  std::vector<uint8_t> body_;
};

std::string Hex(const std::vector<uint8_t>& bytes) {
  std::string out;
  char b[4];
  for (uint8_t v : bytes) std::snprintf(b, sizeof b, "%02x ", v), out += b;
  return out;
}

template <class Seq, class T>
Seq SequenceOf(std::vector<T>& v) {
  return Seq{static_cast<uint32_t>(v.size()), static_cast<uint32_t>(v.size()), v.data(), false};
}

// The payload the library serialises for `sample`: written through a writer and taken back as its
// serialized form by a reader of the same participant.
std::vector<uint8_t> LibraryBytes(const dds_topic_descriptor_t& descriptor, const void* sample) {
  Entity participant(dds_create_participant(DDS_DOMAIN_DEFAULT, nullptr, nullptr));
  const std::string name =
      "bytes_" + std::to_string(getpid()) + "_" + std::string(descriptor.m_typename).substr(0, 8);
  const dds_entity_t topic = dds_create_topic(participant.get(), &descriptor, name.c_str(), nullptr, nullptr);
  dds_qos_t* qos = dds_create_qos();
  dds_qset_reliability(qos, DDS_RELIABILITY_RELIABLE, DDS_SECS(1));
  const dds_data_representation_id_t xcdr1 = DDS_DATA_REPRESENTATION_XCDR1;
  dds_qset_data_representation(qos, 1, &xcdr1);
  const dds_entity_t reader = dds_create_reader(participant.get(), topic, qos, nullptr);
  const dds_entity_t writer = dds_create_writer(participant.get(), topic, qos, nullptr);
  dds_delete_qos(qos);
  std::vector<uint8_t> out;
  if (reader < 0 || writer < 0 || dds_write(writer, sample) != DDS_RETCODE_OK) return out;
  ddsi_serdata* data = nullptr;
  dds_sample_info_t info;
  if (dds_takecdr(reader, &data, 1, &info, DDS_ANY_STATE) != 1) return out;
  out.resize(ddsi_serdata_size(data));
  ddsi_serdata_to_ser(data, 0, out.size(), out.data());
  ddsi_serdata_unref(data);
  return out;
}

TEST(Ros2Messages, EveryTypeIsSerialisedAsItsMsgDefinitionLaysItOut) {
  char frame[] = "r/sonar_1";
  const std_msgs_msg_dds__Header_ header{{1700000000, 123456789}, frame};
  std::vector<uint8_t> jpeg = {0xFF, 0xD8, 0xFF, 0xD9, 7};
  std::vector<uint8_t> pixels = {1, 2, 3, 4, 5, 6};
  std::vector<std::string> names = {"wheel_left", "wheel_right"};
  std::vector<char*> name_pointers = {names[0].data(), names[1].data()};
  std::vector<double> position = {1.5, -2.25}, velocity = {0.5, 3.5}, effort;
  std::vector<float> cells = {3.9f}, none;
  std::vector<double> values = {12, -3};
  char label[] = "sonar1,sonar2";
  std::vector<std_msgs_msg_dds__MultiArrayDimension_> dims = {{label, 2, 2}};
  char key[] = "relay", value[] = "up", status_name[] = "n", message[] = "link up", hardware[] = "r";
  std::vector<diagnostic_msgs_msg_dds__KeyValue_> pairs = {{key, value}};
  std::vector<diagnostic_msgs_msg_dds__DiagnosticStatus_> statuses = {
      {1, status_name, message, hardware,
       SequenceOf<dds_sequence_diagnostic_msgs_msg_dds__KeyValue_>(pairs)}};
  char jpeg_format[] = "jpeg", rgb8[] = "rgb8", location[] = "battery_ad1", serial[] = "";

  const sensor_msgs_msg_dds__Range_ range{header, 0, 0.5f, 0.02f, 2.55f, 1.2f, 0.0f};
  const sensor_msgs_msg_dds__RangeWithoutVariance_ humble_range{header, 1, 0.05f, 0.1f, 0.8f, 0.3f};
  const sensor_msgs_msg_dds__CompressedImage_ compressed{header, jpeg_format,
                                                         SequenceOf<dds_sequence_octet>(jpeg)};
  const sensor_msgs_msg_dds__Image_ image{header, 1, 2, rgb8, 0, 6, SequenceOf<dds_sequence_octet>(pixels)};
  const sensor_msgs_msg_dds__JointState_ joints{
      header, SequenceOf<dds_sequence_string>(name_pointers), SequenceOf<dds_sequence_double>(position),
      SequenceOf<dds_sequence_double>(velocity), SequenceOf<dds_sequence_double>(effort)};
  const sensor_msgs_msg_dds__BatteryState_ battery{header,
                                                   3.9f,
                                                   NAN,
                                                   NAN,
                                                   NAN,
                                                   NAN,
                                                   NAN,
                                                   NAN,
                                                   0,
                                                   0,
                                                   0,
                                                   true,
                                                   SequenceOf<dds_sequence_float>(cells),
                                                   SequenceOf<dds_sequence_float>(none),
                                                   location,
                                                   serial};
  const sensor_msgs_msg_dds__Temperature_ temperature{header, 24.5, 0.0};
  const diagnostic_msgs_msg_dds__DiagnosticArray_ diagnostics{
      header, SequenceOf<dds_sequence_diagnostic_msgs_msg_dds__DiagnosticStatus_>(statuses)};
  const geometry_msgs_msg_dds__Twist_ twist{{0.1, 0, 0}, {0, 0, 0.5}};
  const std_msgs_msg_dds__Float64_ float64{2.5};
  const std_msgs_msg_dds__Float64MultiArray_ array{
      {SequenceOf<dds_sequence_std_msgs_msg_dds__MultiArrayDimension_>(dims), 0},
      SequenceOf<dds_sequence_double>(values)};

  auto stamped = [](Cdr& c) -> Cdr& { return c.Stamp(1700000000, 123456789, "r/sonar_1"); };
  struct Row {
    const char* type;
    const dds_topic_descriptor_t* descriptor;
    const void* sample;
    std::function<void(Cdr&)> expect;
  } rows[] = {
      {"sensor_msgs::msg::dds_::Range_", &sensor_msgs_msg_dds__Range__desc, &range,
       [&](Cdr& c) { stamped(c).Put<uint8_t>(0).Put(0.5f).Put(0.02f).Put(2.55f).Put(1.2f).Put(0.0f); }},
      {"sensor_msgs::msg::dds_::RangeWithoutVariance_", &sensor_msgs_msg_dds__RangeWithoutVariance__desc,
       &humble_range, [&](Cdr& c) { stamped(c).Put<uint8_t>(1).Put(0.05f).Put(0.1f).Put(0.8f).Put(0.3f); }},
      {"sensor_msgs::msg::dds_::CompressedImage_", &sensor_msgs_msg_dds__CompressedImage__desc, &compressed,
       [&](Cdr& c) {
         stamped(c).Str("jpeg").Put<uint32_t>(5);
         for (uint8_t b : jpeg) c.Put(b);
       }},
      {"sensor_msgs::msg::dds_::Image_", &sensor_msgs_msg_dds__Image__desc, &image,
       [&](Cdr& c) {
         stamped(c)
             .Put<uint32_t>(1)
             .Put<uint32_t>(2)
             .Str("rgb8")
             .Put<uint8_t>(0)
             .Put<uint32_t>(6)
             .Put<uint32_t>(6);
         for (uint8_t b : pixels) c.Put(b);
       }},
      {"sensor_msgs::msg::dds_::JointState_", &sensor_msgs_msg_dds__JointState__desc, &joints,
       [&](Cdr& c) {
         stamped(c).Put<uint32_t>(2).Str("wheel_left").Str("wheel_right");
         c.Put<uint32_t>(2).Put(1.5).Put(-2.25).Put<uint32_t>(2).Put(0.5).Put(3.5).Put<uint32_t>(0);
       }},
      {"sensor_msgs::msg::dds_::BatteryState_", &sensor_msgs_msg_dds__BatteryState__desc, &battery,
       [&](Cdr& c) {
         stamped(c).Put(3.9f);
         for (int i = 0; i < 6; ++i) c.Put(NAN);
         c.Put<uint8_t>(0).Put<uint8_t>(0).Put<uint8_t>(0).Put<uint8_t>(1);
         c.Put<uint32_t>(1).Put(3.9f).Put<uint32_t>(0).Str("battery_ad1").Str("");
       }},
      {"sensor_msgs::msg::dds_::Temperature_", &sensor_msgs_msg_dds__Temperature__desc, &temperature,
       [&](Cdr& c) { stamped(c).Put(24.5).Put(0.0); }},
      {"diagnostic_msgs::msg::dds_::DiagnosticArray_", &diagnostic_msgs_msg_dds__DiagnosticArray__desc,
       &diagnostics,
       [&](Cdr& c) {
         stamped(c).Put<uint32_t>(1).Put<uint8_t>(1).Str("n").Str("link up").Str("r");
         c.Put<uint32_t>(1).Str("relay").Str("up");
       }},
      {"geometry_msgs::msg::dds_::Twist_", &geometry_msgs_msg_dds__Twist__desc, &twist,
       [&](Cdr& c) { c.Put(0.1).Put(0.0).Put(0.0).Put(0.0).Put(0.0).Put(0.5); }},
      {"std_msgs::msg::dds_::Float64_", &std_msgs_msg_dds__Float64__desc, &float64,
       [&](Cdr& c) { c.Put(2.5); }},
      {"std_msgs::msg::dds_::Float64MultiArray_", &std_msgs_msg_dds__Float64MultiArray__desc, &array,
       [&](Cdr& c) {
         c.Put<uint32_t>(1).Str("sonar1,sonar2").Put<uint32_t>(2).Put<uint32_t>(2).Put<uint32_t>(0);
         c.Put<uint32_t>(2).Put(12.0).Put(-3.0);
       }},
  };
  for (const Row& r : rows) {
    EXPECT_STREQ(r.descriptor->m_typename, r.type);
    Cdr expected;
    r.expect(expected);
    const std::vector<uint8_t> got = LibraryBytes(*r.descriptor, r.sample);
    EXPECT_EQ(Hex(got), Hex(expected.Encapsulated())) << r.type;
  }
}

// ---- The bridge, end to end --------------------------------------------------------------------

// A participant as ROS 2's middleware layer makes one, with endpoints of its two QoS profiles.
class RosPeer {
 public:
  explicit RosPeer(int domain)
      : participant_(dds_create_participant(static_cast<dds_domainid_t>(domain), nullptr, nullptr)) {}
  bool ok() const { return participant_.valid(); }
  // sensor data: keep last 5, best effort; default: keep last 10, reliable; both volatile, XCDR1.
  Entity Endpoint(bool writer, const dds_topic_descriptor_t& d, const std::string& topic, bool sensor_data,
                  const char* wire_type = nullptr) {
    const dds_topic_descriptor_t* type = &d;
    if (wire_type != nullptr) type = &renamed_.emplace_back(ros2::RenamedDescriptor(d, wire_type));
    const dds_entity_t t = dds_create_topic(participant_.get(), type, topic.c_str(), nullptr, nullptr);
    dds_qos_t* qos = dds_create_qos();
    dds_qset_history(qos, DDS_HISTORY_KEEP_LAST, sensor_data ? 5 : 10);
    dds_qset_reliability(qos, sensor_data ? DDS_RELIABILITY_BEST_EFFORT : DDS_RELIABILITY_RELIABLE,
                         DDS_SECS(1));
    dds_qset_durability(qos, DDS_DURABILITY_VOLATILE);
    const dds_data_representation_id_t xcdr1 = DDS_DATA_REPRESENTATION_XCDR1;
    dds_qset_data_representation(qos, 1, &xcdr1);
    const dds_entity_t e = writer ? dds_create_writer(participant_.get(), t, qos, nullptr)
                                  : dds_create_reader(participant_.get(), t, qos, nullptr);
    dds_delete_qos(qos);
    return Entity(e);
  }
  void Leave() { participant_.Reset(); }
  dds_entity_t participant() const { return participant_.get(); }

 private:
  Entity participant_;
  std::deque<dds_topic_descriptor_t> renamed_;  // as long as their topics
};

// Takes what a reader holds until `check` accepts a sample (true) or the time is up.
bool WaitForSample(const Entity& reader, const std::function<bool(const void*)>& check,
                   int limit_ms = 10000) {
  return WaitUntil(
      [&] {
        void* samples[16] = {};
        dds_sample_info_t info[16];
        const int n = dds_take(reader.get(), samples, info, 16, 16);
        bool found = false;
        for (int i = 0; i < n; ++i) found = found || (info[i].valid_data && check(samples[i]));
        if (n > 0) dds_return_loan(reader.get(), samples, n);
        return found;
      },
      limit_ms);
}

// Whether a JPEG reader takes `bytes` as a 176 x 144 colour picture.
bool DecodesAsCameraPicture(const uint8_t* bytes, std::size_t size) {
  struct Failure {
    jpeg_error_mgr manager;
    std::jmp_buf back;
  } failure;
  jpeg_decompress_struct info;
  info.err = jpeg_std_error(&failure.manager);
  failure.manager.error_exit = [](j_common_ptr c) {
    std::longjmp(reinterpret_cast<Failure*>(c->err)->back, 1);
  };
  bool whole = false;
  if (setjmp(failure.back) == 0) {
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, bytes, static_cast<unsigned long>(size));
    if (jpeg_read_header(&info, TRUE) == JPEG_HEADER_OK && jpeg_start_decompress(&info)) {
      std::vector<uint8_t> row(info.output_width * info.output_components);
      JSAMPROW rows[] = {row.data()};
      while (info.output_scanline < info.output_height) jpeg_read_scanlines(&info, rows, 1);
      whole = info.output_width == 176 && info.output_height == 144 && info.output_components == 3;
      jpeg_finish_decompress(&info);
    }
  }
  jpeg_destroy_decompress(&info);
  return whole;
}

class Ros2Bridge : public testing_support::LinkedRobotFixture {
 protected:
  void SetUp() override {
    setenv("CYCLONEDDS_URI", "file://" TEST_DATA_DIR "/dds_loopback.xml", 1);
    domain_ = 1 + getpid() % 230;
    robot_name_ = "ros" + std::to_string(getpid()) +
                  std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()).substr(0, 6);
    Connect(robot_name_);
    // Pictures at the test's time scale would come twenty times as often, and the simulated robot
    // encodes each one: one every few seconds of its time leaves it time for its sensors.
    config_ = "/tmp/trevask-ros2-test-" + std::to_string(getpid()) + ".conf";
    FILE* f = std::fopen(config_.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fprintf(f, "camera_rate = 0.2\n");
    std::fclose(f);
    bridge_ = StartBridge(bridge_args_);
    ASSERT_TRUE(bridge_->WaitForLine("trevask-ros2: robot")) << bridge_->err();
    peer_ = std::make_unique<RosPeer>(domain_);
    ASSERT_TRUE(peer_->ok());
  }
  void TearDown() override {
    peer_.reset();
    if (bridge_) {
      bridge_->Signal(SIGTERM);
      EXPECT_EQ(bridge_->Wait(10000), 0) << bridge_->err();
    }
    bridge_.reset();
    std::remove(config_.c_str());
    LinkedRobotFixture::TearDown();
  }
  std::unique_ptr<ChildProcess> StartBridge(const std::vector<std::string>& more,
                                            const std::vector<std::string>& env = {}) {
    std::vector<std::string> argv = {ROS2_BRIDGE_BIN,         robot_name_, "--domain-id",
                                     std::to_string(domain_), "-c",        config_};
    argv.insert(argv.end(), more.begin(), more.end());
    return std::make_unique<ChildProcess>(argv, env);
  }
  std::string Topic(const std::string& name) const { return "rt/" + robot_name_ + "/" + name; }
  // The velocity (or servo) words the robot received for `channel`, in order.
  std::vector<int16_t> Words(uint8_t type, uint8_t channel) {
    std::vector<int16_t> out;
    for (const std::vector<uint8_t>& f : sim_->robot().ReceivedFrames())
      if (f.size() > exchange::kOffPayload + 2 && f[exchange::kOffDataType] == type &&
          f[exchange::kOffPayload] == channel)
        out.push_back(static_cast<int16_t>(f[exchange::kOffPayload + 1] | f[exchange::kOffPayload + 2] << 8));
    return out;
  }
  bool WheelsAt(int16_t left, int16_t right) {
    const auto l = Words(exchange::kTypeDcMotorVelocity, 0), r = Words(exchange::kTypeDcMotorVelocity, 1);
    return !l.empty() && !r.empty() && l.back() == left && r.back() == right;
  }

  int domain_ = 0;
  std::string robot_name_;
  std::string config_;
  std::vector<std::string> bridge_args_;
  std::unique_ptr<ChildProcess> bridge_;
  std::unique_ptr<RosPeer> peer_;
};

double SecondsFromNow(const builtin_interfaces_msg_dds__Time_& t) {
  const double now =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  return std::fabs(t.sec + t.nanosec * 1e-9 - now);
}

TEST_F(Ros2Bridge, SubscribersReceiveEveryKindOfReadingInItsUnits) {
  const std::string prefix = robot_name_ + "/";
  struct Row {
    std::string topic;
    const dds_topic_descriptor_t* type;
    std::function<bool(const void*)> check;
  };
  std::vector<Row> rows;
  for (int i = 1; i <= 6; ++i) {
    const std::string frame = prefix + "sonar_" + std::to_string(i);
    // robot-sim's sonars read 30 to 210 cm.
    rows.push_back({"sonar_" + std::to_string(i), &sensor_msgs_msg_dds__Range__desc, [frame](const void* p) {
                      const auto& m = *static_cast<const sensor_msgs_msg_dds__Range_*>(p);
                      return m.radiation_type == 0 && m.range >= 0.29f && m.range <= 2.11f &&
                             m.max_range == 2.55f && frame == m.header.frame_id &&
                             SecondsFromNow(m.header.stamp) < 60;
                    }});
  }
  rows.push_back({"temperature", &sensor_msgs_msg_dds__Temperature__desc, [](const void* p) {
                    const auto& m = *static_cast<const sensor_msgs_msg_dds__Temperature_*>(p);
                    return m.temperature >= 23.4 && m.temperature <= 25.6;  // 245 +- 10 tenths of a degree
                  }});
  for (int i = 1; i <= 3; ++i)
    rows.push_back(
        {"battery_" + std::to_string(i), &sensor_msgs_msg_dds__BatteryState__desc, [](const void* p) {
           const auto& m = *static_cast<const sensor_msgs_msg_dds__BatteryState_*>(p);
           return m.voltage > 3.5f && m.voltage <= 3.9f && m.present;  // 3800..3900 mV
         }});
  rows.push_back({"joint_states", &sensor_msgs_msg_dds__JointState__desc, [prefix](const void* p) {
                    const auto& m = *static_cast<const sensor_msgs_msg_dds__JointState_*>(p);
                    return prefix + "base_link" == m.header.frame_id && m.name._length == 2 &&
                           std::string(m.name._buffer[0]) == "wheel_left" &&
                           std::string(m.name._buffer[1]) == "wheel_right" && m.position._length == 2 &&
                           m.velocity._length == 2;
                  }});
  for (const auto& [record, first, count] :
       {std::tuple{"standard", "sonar1", 25}, std::tuple{"motor", "pot1", 17},
        std::tuple{"custom", "ad1", 21}})
    rows.push_back({std::string("raw/") + record, &std_msgs_msg_dds__Float64MultiArray__desc,
                    [first = std::string(first), count = count](const void* p) {
                      const auto& m = *static_cast<const std_msgs_msg_dds__Float64MultiArray_*>(p);
                      return m.layout.dim._length == 1 &&
                             std::string(m.layout.dim._buffer[0].label).rfind(first + ",", 0) == 0 &&
                             m.layout.dim._buffer[0].size == m.data._length &&
                             m.data._length == static_cast<uint32_t>(count);
                    }});
  rows.push_back(
      {"camera/image_raw/compressed", &sensor_msgs_msg_dds__CompressedImage__desc, [](const void* p) {
         const auto& m = *static_cast<const sensor_msgs_msg_dds__CompressedImage_*>(p);
         return std::string(m.format) == "jpeg" && DecodesAsCameraPicture(m.data._buffer, m.data._length);
       }});
  std::vector<Entity> readers;
  for (const Row& r : rows) readers.push_back(peer_->Endpoint(false, *r.type, Topic(r.topic), true));
  for (std::size_t i = 0; i < rows.size(); ++i)
    EXPECT_TRUE(WaitForSample(readers[i], rows[i].check)) << rows[i].topic;

  // The node, for `ros2 node list`: trevask_ros2 in the robot's namespace, with every topic.
  const dds_entity_t info_topic =
      dds_create_topic(peer_->participant(), &rmw_dds_common_msg_dds__ParticipantEntitiesInfo__desc,
                       "ros_discovery_info", nullptr, nullptr);
  dds_qos_t* late = dds_create_qos();
  dds_qset_reliability(late, DDS_RELIABILITY_RELIABLE, DDS_INFINITY);
  dds_qset_durability(late, DDS_DURABILITY_TRANSIENT_LOCAL);
  Entity info(dds_create_reader(peer_->participant(), info_topic, late, nullptr));
  dds_delete_qos(late);
  EXPECT_TRUE(WaitForSample(info, [&](const void* p) {
    const auto& m = *static_cast<const rmw_dds_common_msg_dds__ParticipantEntitiesInfo_*>(p);
    for (uint32_t i = 0; i < m.node_entities_info_seq._length; ++i) {
      const auto& node = m.node_entities_info_seq._buffer[i];
      // 16 topics written (6 sonars, temperature, 3 batteries, joints, 3 raw, camera, diagnostics),
      // 13 taken (cmd_vel, 6 motors, 6 servos).
      if (std::string(node.node_name) == "trevask_ros2" && "/" + robot_name_ == node.node_namespace)
        return node.writer_gid_seq._length == 16 && node.reader_gid_seq._length == 13;
    }
    return false;
  }));

  // Each endpoint carries its type's hash, as Jazzy's endpoints do: the sonars' publisher here.
  Entity publications(
      dds_create_reader(peer_->participant(), DDS_BUILTIN_TOPIC_DCPSPUBLICATION, nullptr, nullptr));
  EXPECT_TRUE(WaitForSample(publications, [&](const void* p) {
    const auto& e = *static_cast<const dds_builtintopic_endpoint_t*>(p);
    void* data = nullptr;
    size_t size = 0;
    if (Topic("sonar_1") != e.topic_name || !dds_qget_userdata(e.qos, &data, &size)) return false;
    const std::string user_data(static_cast<const char*>(data), size);
    dds_free(data);
    return user_data.rfind("typehash=RIHS01_", 0) == 0 && user_data.size() == 16 + 64 + 1;
  }));

  Entity diagnostics =
      peer_->Endpoint(false, diagnostic_msgs_msg_dds__DiagnosticArray__desc, "rt/diagnostics", false);
  EXPECT_TRUE(WaitForSample(diagnostics, [&](const void* p) {
    const auto& m = *static_cast<const diagnostic_msgs_msg_dds__DiagnosticArray_*>(p);
    return *m.header.frame_id == '\0' && m.status._length == 1 &&
           std::string(m.status._buffer[0].hardware_id) == robot_name_ &&
           std::string(m.status._buffer[0].message) == "link up" && m.status._buffer[0].level == 0;
  }));
}

TEST_F(Ros2Bridge, CmdVelDrivesTheWheelsUntilItStopsComingAndOutlivesItsPublisher) {
  Entity cmd_vel = peer_->Endpoint(true, geometry_msgs_msg_dds__Twist__desc, Topic("cmd_vel"), false);
  Entity joints = peer_->Endpoint(false, sensor_msgs_msg_dds__JointState__desc, Topic("joint_states"), true);
  const geometry_msgs_msg_dds__Twist_ arc{{0.1, 0, 0}, {0, 0, 0.5}};  // wheels 0.5 and 3.5 rad/s
  // The encoders report the speeds the robot was given (29 and 201 pulses/s) in rad/s, while
  // cmd_vel keeps coming.
  const double left = 29 * 2 * std::numbers::pi / 360, right = 201 * 2 * std::numbers::pi / 360;
  EXPECT_TRUE(WaitForSample(joints, [&](const void* p) {
    dds_write(cmd_vel.get(), &arc);
    const auto& m = *static_cast<const sensor_msgs_msg_dds__JointState_*>(p);
    return m.velocity._length == 2 && std::fabs(m.velocity._buffer[0] - left) < 1e-9 &&
           std::fabs(m.velocity._buffer[1] - right) < 1e-9;
  })) << bridge_->err();
  // Then nothing more: within the time-out the wheels are stopped.
  EXPECT_TRUE(WaitUntil([&] { return WheelsAt(0, 0); })) << bridge_->err();
  EXPECT_TRUE(bridge_->WaitForError("cmd_vel stopped coming"));
  // A publisher that goes away leaves the bridge serving the next one.
  cmd_vel.Reset();
  peer_->Leave();
  peer_ = std::make_unique<RosPeer>(domain_);
  cmd_vel = peer_->Endpoint(true, geometry_msgs_msg_dds__Twist__desc, Topic("cmd_vel"), false);
  EXPECT_TRUE(WaitUntil([&] {
    dds_write(cmd_vel.get(), &arc);
    return Words(exchange::kTypeDcMotorVelocity, 1).back() == 201;
  })) << bridge_->err();
}

TEST_F(Ros2Bridge, TargetsArriveInOrderAndBadSamplesSendNothing) {
  Entity cmd_vel = peer_->Endpoint(true, geometry_msgs_msg_dds__Twist__desc, Topic("cmd_vel"), false);
  Entity motor = peer_->Endpoint(true, std_msgs_msg_dds__Float64__desc, Topic("motor_3/target"), false);
  Entity servo = peer_->Endpoint(true, std_msgs_msg_dds__Float64__desc, Topic("servo_2/target"), false);
  // A sample too short for a Twist, under the Twist's name.
  Entity short_twist = peer_->Endpoint(true, std_msgs_msg_dds__Float64__desc, Topic("cmd_vel"), false,
                                       geometry_msgs_msg_dds__Twist__desc.m_typename);
  auto matched = [](const Entity& w) {
    dds_publication_matched_status_t s{};
    return dds_get_publication_matched_status(w.get(), &s) == DDS_RETCODE_OK && s.current_count > 0;
  };
  ASSERT_TRUE(WaitUntil(
      [&] { return matched(cmd_vel) && matched(motor) && matched(servo) && matched(short_twist); }));

  // The bridge's reader may hear of the writers after they heard of it: a first word, sent until it
  // arrives, says the bridge takes what they write.
  const std_msgs_msg_dds__Float64_ zero{0};
  ASSERT_TRUE(WaitUntil([&] {
    dds_write(servo.get(), &zero);
    return !Words(exchange::kTypeServo, 1).empty();
  }));
  // Servo words 1..40 in a row: every one reaches the robot, in order (after any zeros still on
  // their way).
  for (int i = 1; i <= 40; ++i) {
    const std_msgs_msg_dds__Float64_ v{static_cast<double>(i)};
    ASSERT_EQ(dds_write(servo.get(), &v), DDS_RETCODE_OK);
  }
  auto sent = [&] {
    std::vector<int16_t> w = Words(exchange::kTypeServo, 1);
    w.erase(std::remove(w.begin(), w.end(), 0), w.end());
    return w;
  };
  ASSERT_TRUE(WaitUntil([&] { return sent().size() >= 40; })) << bridge_->err();
  std::vector<int16_t> in_order(40);
  for (int i = 0; i < 40; ++i) in_order[i] = static_cast<int16_t>(i + 1);
  EXPECT_EQ(sent(), in_order);

  // Each bad sample, then a good servo word as a marker: once the marker is there, the bad sample
  // was dealt with, and it must have sent nothing.
  const geometry_msgs_msg_dds__Twist_ nan_twist{{NAN, 0, 0}, {0, 0, 0}},
      inf_twist{{0, 0, 0}, {0, 0, INFINITY}};
  const std_msgs_msg_dds__Float64_ nan_value{NAN}, huge_speed{1e9}, short_sample{0.2};
  struct Row {
    const char* what;
    const Entity* writer;
    const void* sample;
    bool logged;  // refused by the bridge (a malformed sample never leaves the DDS library)
  } rows[] = {
      {"NaN twist", &cmd_vel, &nan_twist, true},
      {"infinite twist", &cmd_vel, &inf_twist, true},
      {"NaN motor target", &motor, &nan_value, true},
      {"motor target beyond the robot's word", &motor, &huge_speed, true},
      {"short twist", &short_twist, &short_sample, false},
  };
  int16_t marker = 100;
  for (const Row& r : rows) {
    const std::size_t velocities = Words(exchange::kTypeDcMotorVelocity, 0).size() +
                                   Words(exchange::kTypeDcMotorVelocity, 1).size() +
                                   Words(exchange::kTypeDcMotorVelocity, 2).size();
    ASSERT_EQ(dds_write(r.writer->get(), r.sample), DDS_RETCODE_OK) << r.what;
    const std_msgs_msg_dds__Float64_ m{static_cast<double>(++marker)};
    ASSERT_EQ(dds_write(servo.get(), &m), DDS_RETCODE_OK);
    ASSERT_TRUE(WaitUntil([&] { return Words(exchange::kTypeServo, 1).back() == marker; })) << r.what;
    EXPECT_EQ(Words(exchange::kTypeDcMotorVelocity, 0).size() +
                  Words(exchange::kTypeDcMotorVelocity, 1).size() +
                  Words(exchange::kTypeDcMotorVelocity, 2).size(),
              velocities)
        << r.what;
  }
  EXPECT_TRUE(bridge_->WaitForError("refused")) << bridge_->err();
  // A good motor target still goes through: 2 rad/s on channel 3 is 115 pulses/s.
  const std_msgs_msg_dds__Float64_ two{2.0};
  ASSERT_EQ(dds_write(motor.get(), &two), DDS_RETCODE_OK);
  EXPECT_TRUE(WaitUntil([&] {
    const auto w = Words(exchange::kTypeDcMotorVelocity, 2);
    return !w.empty() && w.back() == 115;
  })) << bridge_->err();
}

// For Humble, Range has no variance: a Humble subscriber's reader takes the bridge's samples.
class Ros2BridgeForHumble : public Ros2Bridge {
 protected:
  Ros2BridgeForHumble() { bridge_args_ = {"--ros-distro", "humble"}; }
};

TEST_F(Ros2BridgeForHumble, RangesComeWithoutTheVariance) {
  Entity humble = peer_->Endpoint(false, sensor_msgs_msg_dds__RangeWithoutVariance__desc, Topic("sonar_1"),
                                  true, sensor_msgs_msg_dds__Range__desc.m_typename);
  // The payload as it came, byte for byte: a Humble reader would also take a longer one.
  std::vector<uint8_t> got, expected;
  ASSERT_TRUE(WaitUntil([&] {
    ddsi_serdata* data = nullptr;
    dds_sample_info_t info;
    if (dds_takecdr(humble.get(), &data, 1, &info, DDS_ANY_STATE) != 1) return false;
    got.resize(ddsi_serdata_size(data));
    ddsi_serdata_to_ser(data, 0, got.size(), got.data());
    sensor_msgs_msg_dds__RangeWithoutVariance_ m{};
    const bool valid = info.valid_data && ddsi_serdata_to_sample(data, &m, nullptr, nullptr);
    ddsi_serdata_unref(data);
    if (!valid) return false;
    Cdr c;
    c.Stamp(m.header.stamp.sec, m.header.stamp.nanosec, m.header.frame_id)
        .Put(m.radiation_type)
        .Put(m.field_of_view)
        .Put(m.min_range)
        .Put(m.max_range)
        .Put(m.range);
    expected = c.Encapsulated();
    dds_sample_free(&m, &sensor_msgs_msg_dds__RangeWithoutVariance__desc, DDS_FREE_CONTENTS);
    return true;
  })) << bridge_->err();
  EXPECT_EQ(Hex(got), Hex(expected));
}

TEST_F(Ros2Bridge, ASecondBridgeForTheSameRobotIsRefused) {
  // Also one started with a temporary and a runtime folder of its own, as a service manager may give
  // each service.
  const std::string elsewhere = "/tmp/trevask-ros2-elsewhere-" + std::to_string(getpid());
  const std::vector<std::vector<std::string>> environments = {
      {}, {"XDG_RUNTIME_DIR=" + elsewhere, "TMPDIR=" + elsewhere}};
  for (const std::vector<std::string>& env : environments) {
    std::unique_ptr<ChildProcess> second = StartBridge({}, env);
    EXPECT_EQ(second->Wait(10000), 3) << env.size();
    EXPECT_TRUE(second->WaitForError("already")) << second->err();
  }
  std::filesystem::remove_all(elsewhere);
  // The claim lasts as long as the first bridge, and its name goes with it.
  const std::string claim = ros2_bridge::ClaimObjectName(robot_name_);
  EXPECT_TRUE(platform::IsClaimedByName(claim));
  bridge_->Signal(SIGTERM);
  EXPECT_EQ(bridge_->Wait(10000), 0) << bridge_->err();
  bridge_.reset();
  const std::vector<std::string> objects = platform::ListSharedObjects();
  EXPECT_EQ(std::count(objects.begin(), objects.end(), claim), 0) << claim;
}

}  // namespace
