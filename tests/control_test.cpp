// The control through its dispatch table, with the command section read by an independent consumer
// and the sensor sections fed by a test producer, as the relay would.
#include "control/control.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "control/dispatch.h"
#include "control/headless_host.h"
#include "control/media/lcd_bitmap.h"
#include "control/talvenorctl.h"
#include "exchange/command_ring.h"
#include "exchange/crc8.h"
#include "exchange/wave_file.h"
#include "platform/debug_output.h"
#include "platform/doorbell.h"
#include "platform/shared_memory.h"
#include "wait_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
using control::Variant;

Bytes Hex(const char* text) {
  Bytes out;
  for (const char* p = text; *p;) {
    if (*p == ' ') {
      ++p;
      continue;
    }
    out.push_back(static_cast<uint8_t>(std::strtoul(std::string(p, 2).c_str(), nullptr, 16)));
    p += 2;
  }
  return out;
}

class ControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    robot_ = "C" + std::to_string(getpid()) + "_" + std::to_string(counter_++);
    ASSERT_EQ(commands_.Open(robot_, exchange::SectionId::kCommand), platform::Status::kOk);
    for (auto id :
         {exchange::SectionId::kStandardSensor, exchange::SectionId::kMotorSensor,
          exchange::SectionId::kCustomSensor, exchange::SectionId::kImage, exchange::SectionId::kAudio})
      ASSERT_EQ(producer(id).Open(robot_, id), platform::Status::kOk);
    ctl_.AttachHost(&host_);
    ctl_.SetEventSink([this](int dispid) { events_.push_back(dispid); });
    Call("connectRobot", {Variant::String(robot_)});
  }

  exchange::CRingProducer& producer(exchange::SectionId id) { return producers_[static_cast<int>(id)]; }

  Variant Call(const char* name, std::vector<Variant> args = {}) {
    const control::MemberInfo* m = control::FindMember(name);
    EXPECT_NE(m, nullptr) << name;
    Variant result;
    if (m == nullptr) return result;
    EXPECT_EQ(control::Invoke(ctl_, m->dispid, args.data(), static_cast<int>(args.size()), result),
              control::kStatusOk)
        << name;
    return result;
  }
  int64_t Get(const char* name, std::vector<Variant> args = {}) { return Call(name, std::move(args)).i; }

  // The next command record, as the relay's consumer would take it.
  Bytes NextCommand() {
    exchange::RingRecord r = commands_.Take();
    return r ? Bytes(r.data(), r.data() + r.size()) : Bytes{0xEE, 0xEE};
  }
  bool NoMoreCommands() { return !commands_.Take(); }

  void Put(exchange::SectionId id, const Bytes& record) {
    ASSERT_EQ(producer(id).Put(record.data(), static_cast<uint32_t>(record.size())),
              exchange::PutStatus::kStored);
  }

  static int counter_;
  std::string robot_;
  exchange::CRingConsumer commands_;
  exchange::CRingProducer producers_[7];
  control::CHeadlessHost host_;
  control::CZembrinSDKControlCtrl ctl_;
  std::vector<int> events_;
};
int ControlTest::counter_ = 0;

TEST(DispatchTable, HoldsTheWholeAutomationFaceOnce) {
  int methods = 0, properties = 0, events = 0;
  std::set<int32_t> dispids;
  std::set<std::string> names;
  for (const control::MemberInfo& m : control::Members()) {
    std::string lower;
    for (char c : m.name) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (m.kind == control::MemberKind::kEvent) {
      ++events;
      continue;
    }
    m.kind == control::MemberKind::kMethod ? ++methods : ++properties;
    EXPECT_TRUE(dispids.insert(m.dispid).second) << "DISPID " << m.dispid << " twice";
    EXPECT_TRUE(names.insert(lower).second) << m.name << " twice";
    for (const auto& p : m.params)
      EXPECT_NE(p.type, control::VarType::kEmpty) << m.name << " names too many parameters";
  }
  EXPECT_EQ(methods, 151);
  EXPECT_EQ(properties, 5) << "4 and the read-only RelayState";
  EXPECT_EQ(events, 5);
  for (int32_t d = 1; d <= 154; ++d) EXPECT_TRUE(dispids.count(d)) << d;
  EXPECT_EQ(control::FindMember("RelayState")->dispid, 256) << "beyond the others' numbers";
  EXPECT_EQ(control::FindMember("RelayState")->flags, control::kReadOnly);
  EXPECT_TRUE(dispids.count(-550));

  // Each method's parameter names match the arity of its implementation.
  const control::MemberInfo* ta = control::FindMember("ServoTimeCtrAll");
  ASSERT_NE(ta, nullptr);
  EXPECT_EQ(ta->params.size(), 7u);
  EXPECT_EQ(ta->params[6].name, "timePeriods");
  EXPECT_EQ(control::FindMember("GetVoiceData")->params[0].type, control::VarType::kBuffer);
  EXPECT_EQ(control::FindMember("GetImageAddress")->type, control::VarType::kAddress);
  EXPECT_EQ(control::FindMember("SavePhotoAsBMP")->type, control::VarType::kBool);
}

TEST(DispatchTable, LookupIgnoresCaseAndAliasesShareOneOperation) {
  EXPECT_EQ(control::FindMember("getbat1vol")->dispid, 145);
  EXPECT_EQ(control::FindMember("GETCUSTOMAD1")->dispid, 76);
  EXPECT_EQ(control::FindMember("servoNonTimeCtr")->dispid, 36);
  EXPECT_EQ(control::FindMember("refresh")->dispid, -550);
  EXPECT_EQ(control::FindMember("robotname")->kind, control::MemberKind::kProperty);
  EXPECT_EQ(control::FindMember("NoSuchMethod"), nullptr);
  EXPECT_EQ(control::FindMember("StandardSensorEvent"), nullptr) << "events live in their own name space";
  EXPECT_EQ(control::FindEvent("imageevent")->dispid, 4);
  const std::pair<const char*, const char*> aliases[] = {
      {"GetCustomAD1", "GetBat1Vol"},  {"GetCustomDIN", "GetCHGStatus"}, {"GetGPS02", "GetVolRef"},
      {"SetCustomDOUT", "SendCmdCHG"}, {"GetCustomAD4", "GetBat2Temp"},  {"GetCustomAD5", "GetDCINVol"}};
  for (auto [a, b] : aliases) {
    EXPECT_NE(control::FindMember(a)->dispid, control::FindMember(b)->dispid);
    EXPECT_EQ(control::FindMember(a)->invoke, control::FindMember(b)->invoke) << a << " / " << b;
  }
}

TEST_F(ControlTest, DispatchRefusesWhatDoesNotFit) {
  Variant r;
  Variant one = Variant::Short(1);
  const int32_t pwm = control::FindMember("DcMotorPwmNonTimeCtr")->dispid;
  EXPECT_EQ(control::Invoke(ctl_, pwm, &one, 1, r), control::kStatusBadParamCount);
  Variant args[2] = {Variant::Short(1), Variant::String("fast")};
  EXPECT_EQ(control::Invoke(ctl_, pwm, args, 2, r), control::kStatusTypeMismatch);
  Variant big[2] = {Variant::Long(1), Variant::Long(40000)};
  EXPECT_EQ(control::Invoke(ctl_, pwm, big, 2, r), control::kStatusOverflow);
  EXPECT_EQ(control::Invoke(ctl_, 999, nullptr, 0, r), control::kStatusMemberNotFound);
  EXPECT_EQ(control::Invoke(ctl_, 2, nullptr, 0, r), control::kStatusMemberNotFound)
      << "a property is no method";
  Variant num = Variant::Long(5);
  EXPECT_EQ(control::Invoke(ctl_, control::FindMember("PlayAudioFile")->dispid, &num, 1, r),
            control::kStatusTypeMismatch);
  EXPECT_TRUE(NoMoreCommands()) << "refused calls put nothing";
  Variant ok[2] = {Variant::Long(1), Variant::Long(-32768)};
  EXPECT_EQ(control::Invoke(ctl_, pwm, ok, 2, r), control::kStatusOk) << "a long that fits a short is taken";
}

TEST_F(ControlTest, MotionFramesByteForByte) {
  Call("EnableServo", {Variant::Short(3)});
  EXPECT_EQ(NextCommand(), Hex("5E 02 01 00 1E 02 01 09 0D 5E 0D"));
  Call("DcMotorPositionNonTimeCtr", {Variant::Short(2), Variant::Short(300)});
  EXPECT_EQ(NextCommand(), Hex("5E 02 01 00 03 03 02 2C 01 66 5E 0D"));
  Call("EnableStandardSensorSending");
  EXPECT_EQ(NextCommand(), Hex("5E 02 01 00 7D 01 FF C3 5E 0D"));
  Call("SystemStandardSensorRequest", {Variant::Short(255)});
  EXPECT_EQ(NextCommand(), Hex("5E 02 01 00 7D 01 FF C3 5E 0D"));
  std::vector<Variant> all(6, Variant::Short(10000));
  all.push_back(Variant::Short(1000));
  Call("ServoTimeCtrAll", all);
  EXPECT_EQ(NextCommand(), Hex("5E 02 01 00 1D 0E 10 27 10 27 10 27 10 27 10 27 10 27 E8 03 A9 5E 0D"));
  Call("DcMotorPwmNonTimeCtr", {Variant::Short(0), Variant::Short(-300)});
  Bytes neg = NextCommand();
  EXPECT_EQ(neg[7], 0xD4);
  EXPECT_EQ(neg[8], 0xFE);
  Call("TakePhoto");
  EXPECT_EQ(NextCommand(), Hex("5E 02 08 00 20 00 DD 5E 0D"));
  Call("DcMotorVelocityTimeCtr", {Variant::Short(1), Variant::Short(-2), Variant::Short(500)});
  Bytes v = NextCommand();
  Bytes expected = {0x5E, 0x02, 0x01, 0x00, 0x1A, 0x06, 0x01, 0xFE, 0xFF, 0x1C, 0xF4, 0x01};
  expected.push_back(exchange::Crc8(expected.data() + 2, 10));
  expected.push_back(0x5E);
  expected.push_back(0x0D);
  EXPECT_EQ(v, expected);
  EXPECT_TRUE(NoMoreCommands());
}

TEST_F(ControlTest, AliasesAndSameFramePairs) {
  Call("SetMotorPolarity1", {Variant::Short(1)});
  Call("SetMotorPolarity", {Variant::Short(0), Variant::Short(1)});
  EXPECT_EQ(NextCommand(), NextCommand());
  Call("EnableDcMotor", {Variant::Short(4)});
  Call("ResumeDcMotor", {Variant::Short(4)});
  EXPECT_EQ(NextCommand(), NextCommand());
  Call("DisableDcMotor", {Variant::Short(4)});
  Call("SuspendDcMotor", {Variant::Short(4)});
  Bytes a = NextCommand();
  EXPECT_EQ(a, NextCommand());
  EXPECT_EQ(a[6], 0x00);
  Call("SetCustomDOUT", {Variant::Short(0x1234)});
  Call("SendCmdCHG", {Variant::Short(0x1234)});
  Bytes d = NextCommand();
  EXPECT_EQ(d, NextCommand());
  EXPECT_EQ(d[6], 0x34);
  Call("SystemMotorSensorRequest", {Variant::Short(300)});
  EXPECT_EQ(NextCommand()[6], 0x2C);
  Call("SetSysAllSensorPeriod", {Variant::Short(100)});
  EXPECT_EQ(NextCommand(),
            Bytes({0x5E, 0x02, 0x01, 0x00, 0x07, 0x05, 0x12, 0x01, 0x03, 0x64, 0x00,
                   exchange::Crc8(Bytes({0x01, 0x00, 0x07, 0x05, 0x12, 0x01, 0x03, 0x64, 0x00}).data(), 9),
                   0x5E, 0x0D}));
  Call("SetDcMotorPositionControlPID",
       {Variant::Short(2), Variant::Short(0x0102), Variant::Short(3), Variant::Short(-1)});
  Bytes pid = NextCommand();
  EXPECT_EQ(Bytes(pid.begin() + 6, pid.begin() + 17),
            Bytes({0x07, 0x02, 0x01, 0x02, 0x01, 0x02, 0x03, 0x00, 0x03, 0xFF, 0xFF}));
}

TEST_F(ControlTest, AudioCommands) {
  for (int n : {0, -5, 1}) {
    Call("StartRecord", {Variant::Short(n)});
    EXPECT_EQ(NextCommand(), Hex("5E 02 08 00 0B 01 01 65 5E 0D")) << n;
  }
  for (int n : {10, 11, 300}) {
    Call("StartRecord", {Variant::Short(n)});
    EXPECT_EQ(NextCommand()[6], 10) << n;
  }
  Call("StartRecord", {Variant::Short(3)});
  EXPECT_EQ(NextCommand()[6], 3);
  Call("StopAudioPlay");
  EXPECT_EQ(NextCommand(), Hex("5E 02 08 00 0E 00 C0 5E 0D"));
  Call("StopRecord");
  EXPECT_EQ(NextCommand(), Hex("5E 02 08 00 0C 00 51 5E 0D"));
}

TEST_F(ControlTest, GettersReadTheLatestRecordsFields) {
  EXPECT_EQ(Get("GetSensorHumanMotion1"), 0) << "before the first record";
  Bytes standard(40, 0);
  standard[0] = 0xC8;
  standard[6] = 0x05;
  standard[7] = 0x01;
  Bytes motor(33, 0);
  motor[12] = 0x18;
  motor[13] = 0xFC;
  motor[26] = 5;  // encoder 1 speed
  motor[30] = 2;  // encoder 2 speed
  motor[32] = 0x02;
  Bytes custom(37, 0);
  custom[6] = 0x11;
  custom[7] = 0x22;
  custom[27] = 0x34;
  custom[28] = 0x02;
  custom[16] = 0x5A;
  Put(exchange::SectionId::kStandardSensor, standard);
  Put(exchange::SectionId::kMotorSensor, motor);
  Put(exchange::SectionId::kCustomSensor, custom);
  ctl_.Tick();
  EXPECT_EQ(Get("GetSensorHumanMotion1"), 261);
  EXPECT_EQ(Get("GetSensorSonar1"), 200);
  EXPECT_EQ(Get("GetSensorSonar", {Variant::Short(0)}), 200);
  EXPECT_EQ(Get("GetMotorCurrent1"), -1000);
  EXPECT_EQ(Get("GetMotorCurrent", {Variant::Short(0)}), -1000);
  EXPECT_EQ(Get("GetEncoderDir1"), -1);
  EXPECT_EQ(Get("GetEncoderDir2"), 1);
  EXPECT_EQ(Get("GetGPS06"), 564);
  EXPECT_EQ(Get("GetPowerPath"), 52);
  EXPECT_EQ(Get("GetBat2Temp"), 0x2211);
  EXPECT_EQ(Get("GetCustomAD4"), 0x2211);
  EXPECT_EQ(Get("GetCHGStatus"), 0x5A);
  motor[26] = 0;
  Put(exchange::SectionId::kMotorSensor, motor);
  ctl_.Tick();
  EXPECT_EQ(Get("GetEncoderDir1"), 0) << "speed 0: no direction, whatever the bits";
}

TEST_F(ControlTest, EventsFireInOrderOneRecordPerSectionPerTick) {
  control::CZembrinSDKControlCtrl late;
  std::vector<int> late_events;
  Put(exchange::SectionId::kStandardSensor, Bytes(40, 1));  // before late's connectRobot
  late.SetEventSink([&](int d) { late_events.push_back(d); });
  late.connectRobot(robot_);
  late.Tick();
  EXPECT_TRUE(late_events.empty()) << "records written before connectRobot raise no event";

  events_.clear();
  ctl_.Tick();  // takes the standard record above
  events_.clear();
  Put(exchange::SectionId::kStandardSensor, Bytes(40, 2));
  Put(exchange::SectionId::kStandardSensor, Bytes(40, 3));
  Put(exchange::SectionId::kMotorSensor, Bytes(33, 4));
  Put(exchange::SectionId::kCustomSensor, Bytes(37, 5));
  // A real camera frame behind the 7-byte image header.
  std::ifstream stream_file(std::string(TEST_DATA_DIR) + "/camera/disc.stream", std::ios::binary);
  Bytes stream((std::istreambuf_iterator<char>(stream_file)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(stream.empty());
  Bytes image(7 + stream.size());
  image[0] = 1, image[1] = 0x12, image[2] = 0x34;
  const uint32_t m = static_cast<uint32_t>(stream.size());
  std::memcpy(image.data() + 3, &m, 4);
  std::memcpy(image.data() + 7, stream.data(), stream.size());
  Put(exchange::SectionId::kImage, image);
  std::memset(control::ModuleImageBuffer(), 0, control::kImageBytes);
  Put(exchange::SectionId::kAudio, Bytes(4096, 7));
  uint64_t invalidations_before = host_.invalidations();
  int32_t length_at_event = -1;
  uint64_t invalidations_at_image = 0;
  ctl_.SetEventSink([&](int d) {
    events_.push_back(d);
    if (d == control::kVoiceSegmentEvent) length_at_event = ctl_.get_VoiceSegmentLength();
    if (d == control::kImageEvent) invalidations_at_image = host_.invalidations();
  });
  ctl_.Tick();
  EXPECT_EQ(events_, (std::vector<int>{1, 2, 3, 4, 5}));
  EXPECT_EQ(length_at_event, 4096);
  std::ifstream rgb_file(std::string(TEST_DATA_DIR) + "/camera/disc.rgb", std::ios::binary);
  Bytes rgb((std::istreambuf_iterator<char>(rgb_file)), std::istreambuf_iterator<char>());
  EXPECT_TRUE(std::equal(rgb.begin(), rgb.end(), control::ModuleImageBuffer()))
      << "the frame behind the header is decoded into the module's picture";
  std::ifstream luma_file(std::string(TEST_DATA_DIR) + "/camera/disc.luma", std::ios::binary);
  Bytes luma((std::istreambuf_iterator<char>(luma_file)), std::istreambuf_iterator<char>());
  EXPECT_TRUE(std::equal(luma.begin(), luma.end(), control::ModuleLumaArea())) << "and its luminance plane";
  EXPECT_EQ(invalidations_at_image, invalidations_before + 1) << "invalidated before ImageEvent";
  EXPECT_EQ(Get("GetSensorSonar1"), 2);
  events_.clear();
  ctl_.Tick();
  EXPECT_EQ(events_, (std::vector<int>{1})) << "the second standard record comes on the next tick";
  EXPECT_EQ(Get("GetSensorSonar1"), 3);
  events_.clear();
  ctl_.Tick();
  EXPECT_TRUE(events_.empty());
}

// A waiting host (the default) takes every record that has come at once, in order; a ticking one
// takes one per section per tick, as the windowed controls do. Either way none is lost here.
TEST_F(ControlTest, AWaitingHostTakesWhatCameATickingHostOnePerTick) {
  for (bool ticking : {false, true}) {
    host_.SetTicking(ticking);
    std::vector<int64_t> sonars;
    ctl_.SetEventSink([&](int d) {
      if (d == control::kStandardSensorEvent) sonars.push_back(Get("GetSensorSonar1"));
    });
    for (uint8_t v = 1; v <= 4; ++v) Put(exchange::SectionId::kStandardSensor, Bytes(40, v));
    const int first = host_.Wait(2000);
    EXPECT_EQ(first, ticking ? 1 : 4) << (ticking ? "ticking" : "waiting");
    EXPECT_TRUE(host_.RunUntil([&] { return sonars.size() == 4; }, 2000));
    EXPECT_EQ(sonars, (std::vector<int64_t>{1, 2, 3, 4}));
    EXPECT_EQ(ctl_.Lapped(exchange::SectionId::kStandardSensor), 0u);
    if (!ticking) {
      std::vector<platform::Doorbell> bells;
      EXPECT_TRUE(host_.Arm(bells)) << "nothing left to take";
      EXPECT_EQ(bells.size(), 5u) << "a doorbell per ring the control reads";
      EXPECT_GT(host_.MillisecondsUntilLook(), static_cast<int64_t>(control::kPollPeriodMs))
          << "a loop waiting on the doorbells need not wake at every tick";
    }
  }
  control::CZembrinSDKControlCtrl hostless;
  hostless.connectRobot(robot_);
  EXPECT_TRUE(hostless.connected()) << "sections open without a host; the timer waits for one";
  events_.clear();
}

// A waiting host looks at its rings while all is quiet: five times a second until it has heard a
// ring, once a second after that (its producers ring), and at every tick once records come that were
// not rung for (a relay from before the doorbells).
TEST_F(ControlTest, AQuietWaitingHostLooksOnceASecondOnceItHasHeardARing) {
  testing_support::ScopedTimeScale fast(0.1);
  const exchange::SectionSpec& spec = exchange::Spec(exchange::SectionId::kStandardSensor);
  exchange::CRingConsumer watch;
  ASSERT_EQ(watch.Open(robot_, spec.id), platform::Status::kOk);
  const uint32_t* word = watch.Doorbell().word;
  platform::SharedView raw;  // for records put as a producer that never rings puts them
  bool created = false;
  ASSERT_EQ(platform::OpenSharedView(exchange::SectionObjectName(robot_, spec.suffix),
                                     exchange::SectionSize(spec.capacity, spec.slots), raw, created),
            platform::Status::kOk);
  auto put_unrung = [&] {
    unsigned char* base = raw.data();
    const uint32_t head = std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(base)).load();
    const uint32_t count = std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(base + 4)).load();
    const uint32_t length = 40;
    unsigned char* slot = base + 8 + head * (spec.capacity + 4);
    std::memcpy(slot, &length, 4);
    std::memset(slot + 4, 7, length);
    std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(base + 4))
        .store(count + 2, std::memory_order_release);
    std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(base)).store((head + 1) % spec.slots);
  };
  auto put_rung = [&] { Put(exchange::SectionId::kStandardSensor, Bytes(40, 1)); };
  const struct {
    const char* what;
    std::function<void()> during;  // done `times` times, each while the host waits after a look
    int times;
    int fewest, most;    // looks in three seconds, the first and the last included
    int64_t look_after;  // how long the host then waits before it looks again
  } rows[] = {
      {"quiet, no ring heard yet", nullptr, 0, 10, 20, 200},
      {"a ring heard, then quiet", put_rung, 1, 2, 8, 1000},
      // Three times: a wait that a stale wake-up ended early (a waiter of an earlier row that timed
      // out may have left one) can take one record for rung, never all three. The looks come at the
      // tick only from the record found after a wait that timed out, which a slow machine (an
      // emulator) reaches late in the three seconds: the host's pace afterwards is what is checked.
      // A wait that looks at its other words between slices sees the record's count move and takes
      // it for a ring: the record is found within a slice, and the host stays at its quiet look.
      {"a record that was not rung for", put_unrung, 3, 3, 200,
       platform::DoorbellsWaitTogether() ? control::kPollPeriodMs : 1000},
  };

  for (const auto& row : rows) {
    // Looks so far, for the producer to wait on (release: the host's look happened before).
    std::atomic<int> looked{0};
    std::thread producer([&] {
      for (int i = 0; i < row.times; ++i) {
        const int seen = looked.load(std::memory_order_acquire);
        ASSERT_TRUE(testing_support::WaitUntil([&] {
          return looked.load(std::memory_order_acquire) > seen && platform::DoorbellWaiters(word) > 0;
        }));
        // Paces the put into the host's sleep: a waiter counts itself in before it reads the word one
        // last time, and a record put between the two is heard as a ring, rightly. That a thread sleeps
        // cannot be seen from here; the wait it sleeps in lasts 3 ms at the least (the tick at this
        // scale) and 100 ms after a ring.
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        row.during();
      }
    });
    int looks = 0;
    host_.RunUntil(
        [&] {
          looked.store(++looks, std::memory_order_release);
          return false;
        },
        3000);
    producer.join();
    EXPECT_GE(looks, row.fewest) << row.what;
    EXPECT_LE(looks, row.most) << row.what;
    EXPECT_EQ(host_.MillisecondsUntilLook(), row.look_after) << row.what;
  }
  events_.clear();
}

TEST_F(ControlTest, VoiceDataNeverLeavesTheRecordOrTheBuffer) {
  Bytes voice(4096);
  for (std::size_t i = 0; i < voice.size(); ++i) voice[i] = static_cast<uint8_t>(i);
  Put(exchange::SectionId::kAudio, voice);
  ctl_.Tick();
  EXPECT_EQ(Get("GetVoiceSegLength"), 4096);
  Bytes out(8192, 0xEE);
  EXPECT_EQ(Get("GetVoiceData", {Variant::Buffer(out.data(), out.size())}), 4096);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 4096), voice);
  EXPECT_EQ(out[4096], 0xEE);

  Variant huge = Variant::Long(1000000);
  ASSERT_EQ(control::PutProperty(ctl_, 1, huge), control::kStatusOk);
  EXPECT_TRUE(ctl_.modified());
  std::fill(out.begin(), out.end(), 0xEE);
  EXPECT_EQ(Get("GetVoiceData", {Variant::Buffer(out.data(), out.size())}), 1000000);
  EXPECT_EQ(out[4096], 0xEE) << "a client-written length never reads past the record";
  Bytes small(100, 0xEE);
  Get("GetVoiceData", {Variant::Buffer(small.data(), small.size())});
  EXPECT_EQ(Bytes(small.begin(), small.end()), Bytes(voice.begin(), voice.begin() + 100));
  EXPECT_EQ(ctl_.VoiceBytesAvailable(), 4096u);

  Put(exchange::SectionId::kAudio, Bytes(512, 1));
  ctl_.Tick();
  Variant now;
  control::GetProperty(ctl_, 1, now);
  EXPECT_EQ(now.i, 512) << "the next segment overwrites what the client wrote";
}

TEST_F(ControlTest, PropertiesAndReconnection) {
  Variant name = Variant::String("other");
  EXPECT_FALSE(ctl_.modified());
  ASSERT_EQ(control::PutProperty(ctl_, 2, name), control::kStatusOk);
  EXPECT_TRUE(ctl_.modified());
  Put(exchange::SectionId::kStandardSensor, Bytes(40, 0x42));
  ctl_.Tick();
  EXPECT_EQ(Get("GetSensorSonar1"), 0x42) << "writing robotName leaves the sections as they were";
  Variant bad = Variant::Long(3);
  EXPECT_EQ(control::PutProperty(ctl_, 2, bad), control::kStatusTypeMismatch);

  Call("connectRobot", {Variant::String(robot_ + "x")});
  EXPECT_EQ(Get("GetSensorSonar1"), 0) << "a second connectRobot forgets the records of the first";
  Call("connectRobot", {Variant::String(std::string(174, 'r'))});
  EXPECT_TRUE(ctl_.connected()) << "an over-long name is refused and the old connection stays";
}

TEST_F(ControlTest, AHandlerMayDestroyItsControlAndTheTickEndsThere) {
  // Through the C ABI, as a Python program closing the control in its photo handler does.
  tv_host* host = tv_host_create();
  tv_control* doomed = nullptr;
  ASSERT_EQ(tv_create(&doomed), TV_OK);
  tv_host_attach(host, doomed);
  struct Seen {
    tv_control* control;
    std::vector<std::string> events;
  } seen{doomed, {}};
  tv_set_event_callback(
      doomed,
      [](void* user, int32_t, const char* name) {
        auto* s = static_cast<Seen*>(user);
        s->events.push_back(name);
        tv_destroy(s->control);
      },
      &seen);
  int32_t connect = 0;
  ASSERT_EQ(tv_get_dispid("connectRobot", &connect), TV_OK);
  tv_variant name{};
  name.type = TV_STRING;
  name.s = robot_.c_str();
  tv_variant result{};
  ASSERT_EQ(tv_invoke(doomed, connect, &name, 1, &result), TV_OK);
  for (auto id : {exchange::SectionId::kStandardSensor, exchange::SectionId::kMotorSensor,
                  exchange::SectionId::kCustomSensor, exchange::SectionId::kAudio})
    Put(id, Bytes(40, 1));
  for (int i = 0; i < 3; ++i) {
    tv_host_run_for(host, 40);
  }
  EXPECT_EQ(seen.events, std::vector<std::string>{"StandardSensorEvent"}) << "nothing runs after the close";
  tv_host_destroy(host);

  // And a plain control deleted from its own handler, with every section holding a record.
  auto* ctl = new control::CZembrinSDKControlCtrl;
  int fired = 0;
  ctl->SetEventSink([&](int) {
    ++fired;
    delete ctl;
  });
  ctl->connectRobot(robot_);
  for (auto id : {exchange::SectionId::kStandardSensor, exchange::SectionId::kMotorSensor,
                  exchange::SectionId::kCustomSensor, exchange::SectionId::kAudio})
    Put(id, Bytes(40, 2));
  ctl->Tick();
  EXPECT_EQ(fired, 1);
}

TEST_F(ControlTest, NamesNoRelayCouldServeAreRefusedAloud) {
  // A relay serves 29 bytes of a name at most (and its first line): a longer one, or one of two
  // lines, would never meet it. 50 three-byte characters are refused as well as 30 letters.
  std::string wide;
  for (int i = 0; i < 50; ++i) wide += "\xE2\x82\xAC";
  control::CZembrinSDKControlCtrl ctl;
  for (const std::string& name : {wide, std::string(30, 'r'), std::string("two\nlines")}) {
    ctl.connectRobot(name);
    EXPECT_FALSE(ctl.connected());
    EXPECT_NE(ctl.last_error().find("is refused"), std::string::npos) << ctl.last_error();
  }
  const std::string longest = (robot_ + std::string(29, 'x')).substr(0, 29);
  ctl.connectRobot(longest);
  EXPECT_TRUE(ctl.connected()) << ctl.last_error();
  ctl.connectRobot(robot_);
  EXPECT_TRUE(ctl.connected());
  EXPECT_EQ(ctl.last_error(), "");
}

// Every member whose argument picks an actuator or a sensor, at both ends of its range and just
// beyond them: inside, the call goes through (a command puts its frame); outside, it is refused with
// the overflow code and its reason, and nothing is sent.
TEST_F(ControlTest, ChannelsOutsideTheirRangeAreRefusedAndSendNothing) {
  int members = 0;
  for (const control::MemberInfo& m : control::Members()) {
    if (m.kind != control::MemberKind::kMethod) continue;
    for (std::size_t k = 0; k < m.params.size(); ++k) {
      const control::ParamInfo& p = m.params[k];
      if (!control::SelectsOne(p.role)) continue;
      ++members;
      const bool command = m.type == control::VarType::kEmpty;
      for (int64_t channel : {int64_t{p.min} - 1, int64_t{p.min}, int64_t{p.max}, int64_t{p.max} + 1}) {
        std::vector<Variant> args(m.params.size(), Variant::Short(0));
        args[k] = Variant::Short(channel);
        Variant r;
        const bool inside = channel >= p.min && channel <= p.max;
        const int32_t st = control::Invoke(ctl_, m.dispid, args.data(), static_cast<int>(args.size()), r);
        EXPECT_EQ(st, inside ? control::kStatusOk : control::kStatusOverflow)
            << m.name << "(" << channel << ")";
        if (inside) {
          EXPECT_EQ(!NoMoreCommands(), command) << m.name << "(" << channel << ")";
          while (!NoMoreCommands()) {
          }
        } else {
          EXPECT_TRUE(NoMoreCommands()) << m.name << "(" << channel << ") sent something";
          EXPECT_NE(ctl_.last_error().find(m.name + ": argument " + std::to_string(k + 1)), std::string::npos)
              << ctl_.last_error();
          EXPECT_NE(ctl_.last_error().find(std::to_string(p.min) + ".." + std::to_string(p.max)),
                    std::string::npos)
              << ctl_.last_error();
        }
      }
    }
  }
  EXPECT_EQ(members, 26) << "17 DC motor, 5 servo and 4 reading members";
  // A boolean is no channel: true would go out as channel 0xFF.
  Variant r, yes = Variant::Bool(true);
  EXPECT_EQ(control::Invoke(ctl_, control::FindMember("EnableDcMotor")->dispid, &yes, 1, r),
            control::kStatusOverflow);
  EXPECT_TRUE(NoMoreCommands());
}

// A sound file is named as the caller sees it: relative names are taken from the caller's current
// folder and sent absolute; the file is checked before anything is sent.
class SoundFileTest : public ControlTest {
 protected:
  void SetUp() override {
    ControlTest::SetUp();
    namespace fs = std::filesystem;
    before_ = fs::current_path();
    folder_ = fs::temp_directory_path() / ("snd" + std::to_string(getpid()));
    fs::create_directories(folder_);
    fs::current_path(folder_);
    folder_ = fs::current_path();  // as the system spells the current folder
    ASSERT_TRUE(exchange::WriteWaveFile("tune.wav", std::vector<int16_t>(400, 1000)));
    std::ofstream("text.wav") << "no RIFF header here";
  }
  void TearDown() override {
    std::filesystem::current_path(before_);
    std::filesystem::remove_all(folder_);
  }
  int32_t Play(const std::string& name) {
    Variant arg = Variant::String(name), r;
    return control::Invoke(ctl_, control::FindMember("PlayAudioFile")->dispid, &arg, 1, r);
  }
  std::string Sent() {
    Bytes b = NextCommand();
    return std::string(b.begin(), b.end());
  }
  std::filesystem::path before_, folder_;
};

TEST_F(SoundFileTest, RelativeNamesGoOutAbsoluteAndBadOnesAreRefused) {
  const std::string tune = (folder_ / "tune.wav").string();
  EXPECT_EQ(Play("tune.wav"), control::kStatusOk);
  EXPECT_EQ(Sent(), tune);
  EXPECT_EQ(Play("tune.wavEOF"), control::kStatusOk);
  EXPECT_EQ(Sent(), tune + "EOF") << "a continuation stays one";
  const std::string up = (std::filesystem::path("..") / folder_.filename() / "." / "tune.wav").string();
  EXPECT_EQ(Play(up), control::kStatusOk);
  EXPECT_EQ(Sent(), tune) << "'.' and '..' taken away";
  EXPECT_EQ(Play(tune), control::kStatusOk);
  EXPECT_EQ(Sent(), tune) << "an absolute name goes out as it is";
  EXPECT_EQ(Play(""), control::kStatusOk) << "no name: an empty record, which ends the sound being played";
  const exchange::RingRecord empty = commands_.Take();
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty.length, 0u);

  struct Refused {
    std::string name, reason;
  };
  for (const Refused& c : std::vector<Refused>{{"missing.wav", "missing.wav"},
                                               {"text.wav", "not a WAV file"},
                                               {"EOF", "names no file"},
                                               {"missingEOF", "missing"}}) {
    EXPECT_EQ(Play(c.name), control::kStatusInvalidArg) << c.name;
    EXPECT_TRUE(NoMoreCommands()) << c.name;
    EXPECT_NE(ctl_.last_error().find(c.reason), std::string::npos) << c.name << ": " << ctl_.last_error();
  }
}

TEST_F(SoundFileTest, APathLongerThanACommandRecordOnceAbsoluteIsRefused) {
  // Files whose absolute path with "EOF" is exactly 80 bytes, and one byte more.
  const std::size_t folder_length = (folder_ / "x").string().size() - 1;
  ASSERT_LT(folder_length + 8, 77u) << folder_.string();
  const std::string fits(77 - folder_length - 4, 'f'), over(78 - folder_length - 4, 'o');
  std::filesystem::copy_file("tune.wav", fits + ".wav");
  std::filesystem::copy_file("tune.wav", over + ".wav");
  EXPECT_EQ(Play(fits + ".wavEOF"), control::kStatusOk);
  EXPECT_EQ(Sent().size(), 80u);
  EXPECT_EQ(Play(over + ".wav"), control::kStatusOk) << "77 bytes without the continuation";
  EXPECT_EQ(Sent().size(), 78u);
  EXPECT_EQ(Play(over + ".wavEOF"), control::kStatusInvalidArg);
  EXPECT_TRUE(NoMoreCommands());
  EXPECT_NE(ctl_.last_error().find("81 bytes long once made absolute"), std::string::npos)
      << ctl_.last_error();
  EXPECT_NE(ctl_.last_error().find("at most 80 bytes"), std::string::npos) << ctl_.last_error();
}

TEST_F(ControlTest, ASecondConnectForgetsTheVoiceSegment) {
  Put(exchange::SectionId::kAudio, Bytes(4096, 3));
  ctl_.Tick();
  ASSERT_EQ(Get("GetVoiceSegLength"), 4096);
  Call("connectRobot", {Variant::String(robot_ + "v")});
  EXPECT_EQ(Get("GetVoiceSegLength"), 0);
  Bytes out(16, 0xEE);
  EXPECT_EQ(Get("GetVoiceData", {Variant::Buffer(out.data(), out.size())}), 0);
  EXPECT_EQ(out, Bytes(16, 0xEE)) << "no bytes of the old sections are copied";
}

TEST_F(ControlTest, EachCallKeepsItsRefusalForTheFrontEnd) {
  // A relay serves robot_ once its command section is claimed; "Other" nobody serves.
  struct Case {
    const char* method;
    std::string argument;
    bool relay;
    int32_t status;
    const char* cause;  // "" when the call is no refusal
  };
  const std::string other = "Other" + robot_;
  for (const Case& c : std::vector<Case>{
           {"connectRobot", std::string(30, 'r'), false, control::kStatusInvalidArg, "at most 29 bytes"},
           {"connectRobot", other, false, control::kStatusFailed, "no relay serves robot 'Other"},
           {"connectRobot", robot_, true, control::kStatusOk, ""},
           {"PlayAudioFile", "/" + std::string(90, 'a'), true, control::kStatusInvalidArg,
            "at most 80 bytes"},
           {"PlayAudioFile", "/nonexistent-folder/a.wav", true, control::kStatusInvalidArg, "no such file"},
       }) {
    exchange::CCommandTaker relay;
    if (c.relay) {
      ASSERT_EQ(relay.Open(robot_), platform::Status::kOk);
      ASSERT_TRUE(relay.Claim());
    }
    const control::CZembrinSDKControlCtrl::Refusal outer = ctl_.BeginCall();
    Variant argument = Variant::String(c.argument), ignored;
    control::Invoke(ctl_, control::FindMember(c.method)->dispid, &argument, 1, ignored);
    // A handler of an event the call fired may call in: its refusal is its own.
    const control::CZembrinSDKControlCtrl::Refusal inner = ctl_.BeginCall();
    ctl_.connectRobot(std::string(40, 'x'));
    EXPECT_EQ(ctl_.EndCall(inner).status, control::kStatusInvalidArg);
    const control::CZembrinSDKControlCtrl::Refusal refusal = ctl_.EndCall(outer);
    EXPECT_EQ(refusal.status, c.status) << c.method << " " << c.argument;
    if (c.status != control::kStatusOk) {
      EXPECT_NE(refusal.text.find(c.cause), std::string::npos) << refusal.text;
    } else {
      EXPECT_EQ(refusal.text, "") << c.cause;
    }
    relay.Close();
    ctl_.connectRobot(robot_);
  }
}

TEST(DispatchTable, SoundsTheRelayWouldRefuseAreFoundBeforeTheCall) {
  const std::filesystem::path folder = std::filesystem::temp_directory_path();
  const std::string tag = std::to_string(getpid());
  const std::string sound = (folder / ("tone" + tag + ".wav")).string();
  const std::string text = (folder / ("text" + tag + ".wav")).string();
  ASSERT_TRUE(exchange::WriteWaveFile(sound, std::vector<int16_t>(800, 1000)));
  std::ofstream(text) << "no sound here";
  const control::MemberInfo& play = *control::FindMember("PlayAudioFile");
  struct Case {
    std::string path;
    const char* refused;  // what the reason names; null when the sound would do
  };
  for (const Case& c : std::vector<Case>{
           {sound, nullptr},
           {sound + "EOF", nullptr},  // the rest of the previous sound, from the same file
           {text, "text"},
           {(folder / "missing.wav").string(), "missing.wav"},
           {"relative.wav", nullptr},  // the relay's to find in its own folder
           {"", nullptr},              // ends the sound being played
       }) {
    const Variant argument = Variant::String(c.path);
    std::string why;
    EXPECT_EQ(control::CheckRelayFiles(play, &argument, 1, why), c.refused == nullptr)
        << c.path << ": " << why;
    if (c.refused != nullptr) {
      EXPECT_NE(why.find(c.refused), std::string::npos) << why;
    }
  }
  std::filesystem::remove(sound);
  std::filesystem::remove(text);
}

TEST(ControlWithoutConnection, GettersAreZeroAndCommandsDropped) {
  control::CZembrinSDKControlCtrl ctl;
  EXPECT_EQ(ctl.GetSensorSonar1(), 0);
  EXPECT_EQ(ctl.GetEncoderDir1(), 0);
  EXPECT_EQ(ctl.GetVoiceSegLength(), 0);
  ctl.DcMotorPwmNonTimeCtr(0, 100);
  ctl.PlayAudioFile("x.wav");
  ctl.Tick();
  uint8_t buf[4];
  EXPECT_EQ(ctl.GetVoiceData({buf, sizeof buf}), 0);
  EXPECT_FALSE(ctl.connected());
}

// ---- LCD ---------------------------------------------------------------------------------------

std::string WriteBmp(const std::string& path, const Bytes& pixels, int width = 128, int height = 64,
                     int bpp = 1, uint16_t type = 0x4D42) {
  Bytes h(62, 0);
  auto u16 = [&](int off, uint32_t v) {
    h[off] = static_cast<uint8_t>(v);
    h[off + 1] = static_cast<uint8_t>(v >> 8);
  };
  auto u32 = [&](int off, uint32_t v) {
    u16(off, v & 0xFFFF);
    u16(off + 2, v >> 16);
  };
  u16(0, type);
  u32(2, static_cast<uint32_t>(62 + pixels.size()));
  u32(10, 62);
  u32(14, 40);
  u32(18, static_cast<uint32_t>(width));
  u32(22, static_cast<uint32_t>(height));
  u16(26, 1);
  u16(28, static_cast<uint32_t>(bpp));
  h[58] = h[59] = h[60] = 0xFF;  // colour table: black, white
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(h.data()), static_cast<std::streamsize>(h.size()));
  out.write(reinterpret_cast<const char*>(pixels.data()), static_cast<std::streamsize>(pixels.size()));
  return path;
}

void SetPixel(Bytes& pixels, int x, int y) {
  pixels[(63 - y) * 16 + x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
}

class LcdTest : public ControlTest {
 protected:
  void SetUp() override {
    ControlTest::SetUp();
    host_.SetMessageHandler([this](const std::string& m) { messages_.push_back(m); });
  }
  std::vector<Bytes> Parts() {
    std::vector<Bytes> parts;
    while (exchange::RingRecord r = commands_.Take()) parts.emplace_back(r.data(), r.data() + r.size());
    return parts;
  }
  std::string Path(const char* tag) { return "/tmp/lcd-" + robot_ + tag + ".bmp"; }
  std::vector<std::string> messages_;
};

TEST_F(LcdTest, BlankAndFullPicturesOnBothBoards) {
  Call("LcdDisplayVCS", {Variant::String(WriteBmp(Path("zero"), Bytes(1024, 0)))});
  std::vector<Bytes> parts = Parts();
  ASSERT_EQ(parts.size(), 16u);
  Bytes expected = Hex("5E 02 01 00 17 41 00");
  expected.insert(expected.end(), 64, 0);
  expected.insert(expected.end(), {0x29, 0x5E, 0x0D});
  EXPECT_EQ(parts[0], expected);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(parts[i][6], i);

  Call("LcdDisplayVCB", {Variant::String(Path("zero"))});
  parts = Parts();
  ASSERT_EQ(parts.size(), 16u);
  EXPECT_EQ(parts[0][2], 0x08);
  EXPECT_EQ(parts[0][71], 0x98);

  Call("LcdDisplayVCS", {Variant::String(WriteBmp(Path("ones"), Bytes(1024, 0xFF)))});
  parts = Parts();
  Bytes last = Hex("5E 02 01 00 17 41 0F");
  last.insert(last.end(), 64, 0xFF);
  last.insert(last.end(), {0xC4, 0x5E, 0x0D});
  EXPECT_EQ(parts.at(15), last);
  EXPECT_TRUE(messages_.empty());
}

TEST_F(LcdTest, SinglePixelsLandInTheirColumnBytes) {
  struct Case {
    int x, y, part, byte;
    uint8_t value;
  } cases[] = {{0, 0, 0, 0, 0x01}, {127, 63, 15, 63, 0x80}, {64, 8, 3, 0, 0x01}};
  for (const Case& c : cases) {
    Bytes pixels(1024, 0);
    SetPixel(pixels, c.x, c.y);
    Call("LcdDisplayVCS", {Variant::String(WriteBmp(Path("px"), pixels))});
    std::vector<Bytes> parts = Parts();
    ASSERT_EQ(parts.size(), 16u);
    for (int i = 0; i < 16; ++i)
      for (int j = 0; j < 64; ++j)
        EXPECT_EQ(parts[i][7 + j], (i == c.part && j == c.byte) ? c.value : 0) << c.x << "," << c.y;
  }
}

TEST_F(LcdTest, WrongPicturesWarnButAreSentUnreadableOnesAreNot) {
  Call("LcdDisplayVCS", {Variant::String(WriteBmp(Path("rgb"), Bytes(176 * 144 * 3, 0x11), 176, 144, 24))});
  EXPECT_EQ(messages_,
            (std::vector<std::string>{"Image Size is not correct.", "Only Mono image can be supported."}));
  std::vector<Bytes> parts = Parts();
  EXPECT_EQ(parts.size(), 16u) << "the checks only warn";
  messages_.clear();
  Call("LcdDisplayVCS", {Variant::String(WriteBmp(Path("type"), Bytes(1024, 0), 128, 64, 1, 0x1234))});
  EXPECT_EQ(messages_, (std::vector<std::string>{"Not a BMP file."}));
  EXPECT_EQ(Parts().size(), 16u);

  messages_.clear();
  Call("LcdDisplayVCS", {Variant::String("/nonexistent/picture.bmp")});
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_NE(messages_[0].find("Cannot open"), std::string::npos);
  EXPECT_TRUE(Parts().empty());
  media::LcdPicture picture;
  EXPECT_EQ(media::ReadLcdBmp("/nonexistent/picture.bmp", picture).status, platform::Status::kMissing);
  messages_.clear();
  Call("LcdDisplayVCS", {Variant::String(WriteBmp(Path("short"), Bytes(500, 0)))});
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_NE(messages_[0].find("too short"), std::string::npos);
  EXPECT_TRUE(Parts().empty());
  EXPECT_EQ(media::ReadLcdBmp(Path("short"), picture).status, platform::Status::kBadContent);
}

// A host with nobody to show a message box to (a script's): the caller hears the messages instead.
struct BoxlessHost : control::CHeadlessHost {
  bool MessageBox(control::HostedControl&, const std::string&) override { return false; }
};

TEST_F(LcdTest, WithoutABoxTheCallIsRefusedWithItsMessages) {
  BoxlessHost boxless;
  ctl_.AttachHost(&boxless);
  struct Case {
    std::string path;
    std::size_t parts;
    const char* refusal;  // "" for none
  };
  for (const Case& c : std::vector<Case>{
           {WriteBmp(Path("rgb"), Bytes(176 * 144 * 3, 0x11), 176, 144, 24), 16,
            "LcdDisplayVCS: Image Size is not correct. Only Mono image can be supported. The picture was "
            "sent"},
           {"/nonexistent/picture.bmp", 0, "LcdDisplayVCS: Cannot open"},
           {WriteBmp(Path("zero"), Bytes(1024, 0)), 16, ""},
       }) {
    const control::CZembrinSDKControlCtrl::Refusal outer = ctl_.BeginCall();
    Call("LcdDisplayVCS", {Variant::String(c.path)});
    const control::CZembrinSDKControlCtrl::Refusal refusal = ctl_.EndCall(outer);
    EXPECT_EQ(Parts().size(), c.parts) << c.path;
    EXPECT_EQ(refusal.text.rfind(c.refusal, 0), 0u) << refusal.text;
    EXPECT_EQ(refusal.status, *c.refusal != '\0' ? control::kStatusFailed : control::kStatusOk);
  }
  EXPECT_TRUE(messages_.empty()) << "no box was shown";
  ctl_.AttachHost(&host_);
}

TEST(Photo, SavedBmpIsBottomRowFirstBgr) {
  uint8_t* image = control::ModuleImageBuffer();
  std::memset(image, 0, control::kImageBytes);
  image[0] = 10, image[1] = 20, image[2] = 30;  // top-left pixel R G B
  control::CZembrinSDKControlCtrl ctl;
  const std::string path = "/tmp/photo-" + std::to_string(getpid()) + ".bmp";
  ASSERT_TRUE(ctl.SavePhotoAsBMP(path));
  std::ifstream in(path, std::ios::binary);
  Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_EQ(file.size(), 76086u);
  EXPECT_EQ(file[0], 'B');
  EXPECT_EQ(file[1], 'M');
  EXPECT_EQ(file[10], 54);
  EXPECT_EQ(file[28], 24);
  const std::size_t top_row = 54 + 143 * 528;
  EXPECT_EQ(file[top_row], 30);
  EXPECT_EQ(file[top_row + 1], 20);
  EXPECT_EQ(file[top_row + 2], 10);
  EXPECT_FALSE(ctl.SavePhotoAsBMP("/nonexistent/dir/photo.bmp"));
  std::remove(path.c_str());
}

}  // namespace
