// The control's command frames and sensor getters checked against tables transcribed from the
// protocol's reference tables (frame layout per method, field offset and kind per getter), not from
// the code: a swapped data type, parameter code or offset shows here.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "control/control.h"
#include "control/dispatch.h"
#include "exchange/crc8.h"
#include "exchange/sensor_records.h"
#include "sim/robot.h"

namespace {

using Bytes = std::vector<uint8_t>;
using control::Variant;

class EncodingTable : public ::testing::Test {
 protected:
  void SetUp() override {
    robot_ = "Enc" + std::to_string(getpid()) + "_" + std::to_string(counter_++);
    ASSERT_EQ(commands_.Open(robot_, exchange::SectionId::kCommand), platform::Status::kOk);
    ctl_.connectRobot(robot_);
  }
  Variant Invoke(const std::string& name, const std::vector<int>& args) {
    const control::MemberInfo* m = control::FindMember(name);
    EXPECT_NE(m, nullptr) << name;
    Variant result;
    if (m == nullptr) return result;
    std::vector<Variant> v;
    for (int a : args) v.push_back(Variant::Short(static_cast<int16_t>(a)));
    EXPECT_EQ(control::Invoke(ctl_, m->dispid, v.data(), static_cast<int>(v.size()), result),
              control::kStatusOk)
        << name;
    return result;
  }
  Bytes NextCommand() {
    exchange::RingRecord r = commands_.Take();
    return r ? Bytes(r.data(), r.data() + r.size()) : Bytes{};
  }
  static int counter_;
  std::string robot_;
  exchange::CRingConsumer commands_;
  control::CZembrinSDKControlCtrl ctl_;
};
int EncodingTable::counter_ = 0;

// The whole frame of a motion-board command: start, destination 1, sequence 0, type, N, payload,
// CRC-8 over destination..payload, end.
Bytes MotionFrame(uint8_t type, const Bytes& payload) {
  Bytes f = {0x5E, 0x02, 0x01, 0x00, type, static_cast<uint8_t>(payload.size())};
  f.insert(f.end(), payload.begin(), payload.end());
  f.push_back(exchange::Crc8(f.data() + 2, f.size() - 2));
  f.push_back(0x5E);
  f.push_back(0x0D);
  return f;
}

TEST_F(EncodingTable, EveryMotionAndIoCommand) {
  // Arguments chosen so every field is told apart: channel 3, value -300 (D4 FE), time 1000 (E8 03),
  // the six words 1..5 and -300.
  const Bytes all6 = {0x01, 0x00, 0x02, 0x00, 0x03, 0x00, 0x04, 0x00, 0x05, 0x00, 0xD4, 0xFE};
  auto with_time = [&](Bytes b) {
    b.push_back(0xE8);
    b.push_back(0x03);
    return b;
  };
  const std::vector<int> six = {1, 2, 3, 4, 5, -300};
  std::vector<int> six_time = six;
  six_time.push_back(1000);
  struct Row {
    const char* method;
    std::vector<int> args;
    uint8_t type;
    Bytes payload;
  };
  const Row rows[] = {
      {"ResumeDcMotor", {3}, 0x1E, {0x01, 0x03}},
      {"EnableDcMotor", {3}, 0x1E, {0x01, 0x03}},
      {"SuspendDcMotor", {3}, 0x1E, {0x00, 0x03}},
      {"DisableDcMotor", {3}, 0x1E, {0x00, 0x03}},
      {"EnableServo", {3}, 0x1E, {0x01, 0x09}},
      {"DisableServo", {3}, 0x1E, {0x00, 0x09}},
      {"DcMotorPositionNonTimeCtr", {3, -300}, 0x03, {0x03, 0xD4, 0xFE}},
      {"DcMotorPositionTimeCtr", {3, -300, 1000}, 0x03, {0x03, 0xD4, 0xFE, 0x1C, 0xE8, 0x03}},
      {"DcMotorPwmNonTimeCtr", {3, -300}, 0x05, {0x03, 0xD4, 0xFE}},
      {"DcMotorPwmTimeCtr", {3, -300, 1000}, 0x05, {0x03, 0xD4, 0xFE, 0x1C, 0xE8, 0x03}},
      {"DcMotorVelocityNonTimeCtr", {3, -300}, 0x1A, {0x03, 0xD4, 0xFE}},
      {"DcMotorVelocityTimeCtr", {3, -300, 1000}, 0x1A, {0x03, 0xD4, 0xFE, 0x1C, 0xE8, 0x03}},
      {"servoNonTimeCtr", {3, -300}, 0x1C, {0x03, 0xD4, 0xFE}},
      {"ServoTimeCtr", {3, -300, 1000}, 0x1C, {0x03, 0xD4, 0xFE, 0x1C, 0xE8, 0x03}},
      {"DcMotorPositionNonTimeCtrAll", six, 0x04, all6},
      {"DcMotorPositionTimeCtrAll", six_time, 0x04, with_time(all6)},
      {"DcMotorPwmNonTimeCtrAll", six, 0x06, all6},
      {"DcMotorPwmTimeCtrAll", six_time, 0x06, with_time(all6)},
      {"DcMotorVelocityNonTimeCtrAll", six, 0x1B, all6},
      {"DcMotorVelocityTimeCtrAll", six_time, 0x1B, with_time(all6)},
      {"ServoNoTimeCtrAll", six, 0x1D, all6},
      {"ServoTimeCtrAll", six_time, 0x1D, with_time(all6)},
      {"SetMotorPolarity1", {-1}, 0x07, {0x06, 0x00, 0xFF}},
      {"SetMotorPolarity2", {-1}, 0x07, {0x06, 0x01, 0xFF}},
      {"SetMotorPolarity3", {-1}, 0x07, {0x06, 0x02, 0xFF}},
      {"SetMotorPolarity4", {-1}, 0x07, {0x06, 0x03, 0xFF}},
      {"SetMotorPolarity5", {-1}, 0x07, {0x06, 0x04, 0xFF}},
      {"SetMotorPolarity6", {-1}, 0x07, {0x06, 0x05, 0xFF}},
      {"SetMotorPolarity", {3, 1}, 0x07, {0x06, 0x03, 0x01}},
      {"SetDcMotorPositionControlPID",
       {3, 0x0102, 0x0304, -300},
       0x07,
       {0x07, 0x03, 0x01, 0x02, 0x01, 0x02, 0x04, 0x03, 0x03, 0xD4, 0xFE}},
      {"SetDcMotorVelocityControlPID",
       {3, 0x0102, 0x0304, -300},
       0x07,
       {0x08, 0x03, 0x01, 0x02, 0x01, 0x02, 0x04, 0x03, 0x03, 0xD4, 0xFE}},
      {"SetDcMotorTrajectoryPlan", {3, 2}, 0x07, {0x0A, 0x03, 0x02}},
      {"SetServoTrajectoryPlan", {3, 2}, 0x07, {0x0A, 0x09, 0x02}},
      {"SetDcMotorSensorFilter", {3, 2}, 0x07, {0x0C, 0x03, 0x02}},
      {"SetDcMotorSensorUsage", {3, 2}, 0x07, {0x0D, 0x03, 0x02}},
      {"SetDcMotorControlMode", {3, 2}, 0x07, {0x0E, 0x03, 0x02}},
      {"SetSysMotorSensorPeriod", {1000}, 0x07, {0x12, 0x01, 0x00, 0xE8, 0x03}},
      {"SetSysStandardSensorPeriod", {1000}, 0x07, {0x12, 0x01, 0x01, 0xE8, 0x03}},
      {"SetSysCustomSensorPeriod", {1000}, 0x07, {0x12, 0x01, 0x02, 0xE8, 0x03}},
      {"SetSysAllSensorPeriod", {1000}, 0x07, {0x12, 0x01, 0x03, 0xE8, 0x03}},
      {"EnableBumperProtection", {}, 0x07, {0x13, 0x01}},
      {"DisableBumperProtection", {}, 0x07, {0x13, 0x00}},
      {"SystemMotorSensorRequest", {300}, 0x7B, {0x2C}},
      {"SystemStandardSensorRequest", {300}, 0x7D, {0x2C}},
      {"SystemCustomSensorRequest", {300}, 0x7C, {0x2C}},
      {"SystemAllSensorRequest", {300}, 0x7F, {0x2C}},
      {"EnableMotorSensorSending", {}, 0x7B, {0xFF}},
      {"EnableStandardSensorSending", {}, 0x7D, {0xFF}},
      {"EnableCustomSensorSending", {}, 0x7C, {0xFF}},
      {"EnableAllSensorSending", {}, 0x7F, {0xFF}},
      {"DisableMotorSensorSending", {}, 0x7B, {0x00}},
      {"DisableStandardSensorSending", {}, 0x7D, {0x00}},
      {"DisableCustomSensorSending", {}, 0x7C, {0x00}},
      {"DisableAllSensorSending", {}, 0x7F, {0x00}},
      {"SetCustomDOUT", {0x1A5}, 0x16, {0xA5}},
      {"SendCmdCHG", {0x1A5}, 0x16, {0xA5}},
      {"SetInfraredControlOutput", {-300, 1000}, 0x19, {0xD4, 0xFE, 0xE8, 0x03}},
      {"SetGPSID", {1, 2, 3, 0x104}, 0x50, {0x01, 0x02, 0x03, 0x04}},
      {"ChgCtrl", {7}, 0x51, {0x07}},
  };
  EXPECT_EQ(std::size(rows), 59u);
  for (const Row& row : rows) {
    Invoke(row.method, row.args);
    const Bytes frame = NextCommand();
    EXPECT_EQ(frame, MotionFrame(row.type, row.payload)) << row.method;
    // The simulated robot names the frame after a method that sends such a frame (one of the names
    // that send the same bytes).
    if (frame.size() > 6) {
      const std::string named = sim::SimRobot::CommandName(frame[2], frame[4], frame.data() + 6, frame[5]);
      const bool same_kind = std::any_of(std::begin(rows), std::end(rows), [&](const Row& other) {
        return other.method == named && other.type == row.type &&
               (row.type != exchange::kTypeParameter || other.payload[0] == row.payload[0]);
      });
      EXPECT_TRUE(same_kind) << row.method << " is named " << named;
    }
  }
  EXPECT_TRUE(NextCommand().empty()) << "one frame per call";

  // The reference frames given whole.
  Invoke("EnableServo", {3});
  EXPECT_EQ(NextCommand(), (Bytes{0x5E, 0x02, 0x01, 0x00, 0x1E, 0x02, 0x01, 0x09, 0x0D, 0x5E, 0x0D}));
  Invoke("DcMotorPositionNonTimeCtr", {2, 300});
  EXPECT_EQ(NextCommand(), (Bytes{0x5E, 0x02, 0x01, 0x00, 0x03, 0x03, 0x02, 0x2C, 0x01, 0x66, 0x5E, 0x0D}));
  Invoke("EnableStandardSensorSending", {});
  EXPECT_EQ(NextCommand(), (Bytes{0x5E, 0x02, 0x01, 0x00, 0x7D, 0x01, 0xFF, 0xC3, 0x5E, 0x0D}));
  ctl_.DcMotorPwmNonTimeCtr(256, 1);  // directly: every front end refuses the channel before this
  EXPECT_EQ(NextCommand()[6], 0x00) << "channel 256 is sent as byte 0";
}

enum class Kind { kU8, kW16 };
enum class Record { kStandard, kMotor, kCustom };

TEST_F(EncodingTable, EveryGetterReadsItsOffsetAndKind) {
  exchange::CRingProducer standard, motor, custom;
  ASSERT_EQ(standard.Open(robot_, exchange::SectionId::kStandardSensor), platform::Status::kOk);
  ASSERT_EQ(motor.Open(robot_, exchange::SectionId::kMotorSensor), platform::Status::kOk);
  ASSERT_EQ(custom.Open(robot_, exchange::SectionId::kCustomSensor), platform::Status::kOk);
  // Every byte different, and high bytes above 0x80 so that a sign or byte-order slip shows.
  Bytes records[3];
  for (int r = 0; r < 3; ++r) {
    records[r].resize(50);
    for (int i = 0; i < 50; ++i) records[r][i] = static_cast<uint8_t>(0x80 + 37 * r + 3 * i + (i & 1) * 0x40);
  }
  ASSERT_EQ(standard.Put(records[0].data(), 40), exchange::PutStatus::kStored);
  ASSERT_EQ(motor.Put(records[1].data(), 33), exchange::PutStatus::kStored);
  ASSERT_EQ(custom.Put(records[2].data(), 37), exchange::PutStatus::kStored);
  ctl_.Tick();

  struct Row {
    const char* getter;
    std::vector<int> args;
    Record record;
    int offset;
    Kind kind;
  };
  std::vector<Row> rows;
  for (int i = 0; i < 6; ++i) {
    rows.push_back({nullptr, {}, Record::kStandard, i, Kind::kU8});  // GetSensorSonar1..6
    rows.push_back({"GetSensorSonar", {i}, Record::kStandard, i, Kind::kU8});
  }
  const char* sonar[] = {"GetSensorSonar1", "GetSensorSonar2", "GetSensorSonar3",
                         "GetSensorSonar4", "GetSensorSonar5", "GetSensorSonar6"};
  for (int i = 0; i < 6; ++i) rows[2 * i].getter = sonar[i];
  const Row fixed[] = {
      {"GetSensorHumanMotion1", {}, Record::kStandard, 6, Kind::kW16},
      {"GetSensorHumanAlarm1", {}, Record::kStandard, 8, Kind::kW16},
      {"GetSensorHumanMotion2", {}, Record::kStandard, 10, Kind::kW16},
      {"GetSensorHumanAlarm2", {}, Record::kStandard, 12, Kind::kW16},
      {"GetSensorTiltingX", {}, Record::kStandard, 14, Kind::kW16},
      {"GetSensorTiltingY", {}, Record::kStandard, 16, Kind::kW16},
      {"GetSensorOverheatAD1", {}, Record::kStandard, 18, Kind::kW16},
      {"GetSensorOverheatAD2", {}, Record::kStandard, 20, Kind::kW16},
      {"GetSensorTemperature", {}, Record::kStandard, 22, Kind::kW16},
      {"GetSensorIRRange", {}, Record::kStandard, 24, Kind::kW16},
      {"GetSensorIRCode1", {}, Record::kStandard, 26, Kind::kU8},
      {"GetSensorIRCode2", {}, Record::kStandard, 27, Kind::kU8},
      {"GetSensorIRCode3", {}, Record::kStandard, 28, Kind::kU8},
      {"GetSensorIRCode4", {}, Record::kStandard, 29, Kind::kU8},
      {"GetSensorBatteryAD1", {}, Record::kStandard, 30, Kind::kW16},
      {"GetSensorBatteryAD2", {}, Record::kStandard, 32, Kind::kW16},
      {"GetSensorBatteryAD3", {}, Record::kStandard, 34, Kind::kW16},
      {"GetSensorRefVoltage", {}, Record::kStandard, 36, Kind::kW16},
      {"GetSensorPotVoltage", {}, Record::kStandard, 38, Kind::kW16},
      {"GetSensorPot1", {}, Record::kMotor, 0, Kind::kW16},
      {"GetSensorPot2", {}, Record::kMotor, 2, Kind::kW16},
      {"GetSensorPot3", {}, Record::kMotor, 4, Kind::kW16},
      {"GetSensorPot4", {}, Record::kMotor, 6, Kind::kW16},
      {"GetSensorPot5", {}, Record::kMotor, 8, Kind::kW16},
      {"GetSensorPot6", {}, Record::kMotor, 10, Kind::kW16},
      {"GetMotorCurrent1", {}, Record::kMotor, 12, Kind::kW16},
      {"GetMotorCurrent2", {}, Record::kMotor, 14, Kind::kW16},
      {"GetMotorCurrent3", {}, Record::kMotor, 16, Kind::kW16},
      {"GetMotorCurrent4", {}, Record::kMotor, 18, Kind::kW16},
      {"GetMotorCurrent5", {}, Record::kMotor, 20, Kind::kW16},
      {"GetMotorCurrent6", {}, Record::kMotor, 22, Kind::kW16},
      {"GetEncoderPulse1", {}, Record::kMotor, 24, Kind::kW16},
      {"GetEncoderSpeed1", {}, Record::kMotor, 26, Kind::kW16},
      {"GetEncoderPulse2", {}, Record::kMotor, 28, Kind::kW16},
      {"GetEncoderSpeed2", {}, Record::kMotor, 30, Kind::kW16},
      {"GetCustomAD1", {}, Record::kCustom, 0, Kind::kW16},
      {"GetBat1Vol", {}, Record::kCustom, 0, Kind::kW16},
      {"GetCustomAD2", {}, Record::kCustom, 2, Kind::kW16},
      {"GetBat1Temp", {}, Record::kCustom, 2, Kind::kW16},
      {"GetCustomAD3", {}, Record::kCustom, 4, Kind::kW16},
      {"GetBat2Vol", {}, Record::kCustom, 4, Kind::kW16},
      {"GetCustomAD4", {}, Record::kCustom, 6, Kind::kW16},
      {"GetBat2Temp", {}, Record::kCustom, 6, Kind::kW16},
      {"GetCustomAD5", {}, Record::kCustom, 8, Kind::kW16},
      {"GetDCINVol", {}, Record::kCustom, 8, Kind::kW16},
      {"GetCustomAD6", {}, Record::kCustom, 10, Kind::kW16},
      {"GetCustomAD7", {}, Record::kCustom, 12, Kind::kW16},
      {"GetCustomAD8", {}, Record::kCustom, 14, Kind::kW16},
      {"GetCustomDIN", {}, Record::kCustom, 16, Kind::kU8},
      {"GetCHGStatus", {}, Record::kCustom, 16, Kind::kU8},
      {"GetGPS01", {}, Record::kCustom, 17, Kind::kW16},
      {"GetGPS02", {}, Record::kCustom, 19, Kind::kW16},
      {"GetVolRef", {}, Record::kCustom, 19, Kind::kW16},
      {"GetGPS03", {}, Record::kCustom, 21, Kind::kW16},
      {"GetGPS04", {}, Record::kCustom, 23, Kind::kW16},
      {"GetGPS05", {}, Record::kCustom, 25, Kind::kW16},
      {"GetGPS06", {}, Record::kCustom, 27, Kind::kW16},
      {"GetPowerPath", {}, Record::kCustom, 27, Kind::kU8},
      {"GetGPS07", {}, Record::kCustom, 29, Kind::kW16},
      {"GetCHGPath", {}, Record::kCustom, 29, Kind::kU8},
      {"GetGPS08", {}, Record::kCustom, 31, Kind::kW16},
      {"getSenID1", {}, Record::kCustom, 33, Kind::kU8},
      {"getSenID2", {}, Record::kCustom, 34, Kind::kU8},
      {"getSenID3", {}, Record::kCustom, 35, Kind::kU8},
      {"getSenID4", {}, Record::kCustom, 36, Kind::kU8},
  };
  rows.insert(rows.end(), std::begin(fixed), std::end(fixed));
  for (int ch = 1; ch <= 6; ++ch)
    rows.push_back({"GetSensorPot", {ch}, Record::kMotor, 2 * (ch - 1), Kind::kW16});
  for (int ch = 0; ch <= 5; ++ch)
    rows.push_back({"GetMotorCurrent", {ch}, Record::kMotor, 12 + 2 * ch, Kind::kW16});
  for (int ch = 0; ch <= 7; ++ch) rows.push_back({"GetCustomAD", {ch}, Record::kCustom, 2 * ch, Kind::kW16});

  std::set<std::string> names;
  for (const Row& row : rows) {
    const Bytes& rec = records[static_cast<int>(row.record)];
    const int expected =
        row.kind == Kind::kU8
            ? rec[row.offset]
            : static_cast<int16_t>(static_cast<uint16_t>(rec[row.offset] | rec[row.offset + 1] << 8));
    EXPECT_EQ(Invoke(row.getter, row.args).i, expected) << row.getter << " at offset " << row.offset;
    names.insert(row.getter);
  }
  EXPECT_EQ(names.size(), 75u) << "the fixed getters and the four channel getters";
  // The record table, which every reader of records goes by, says no more and no less than the
  // reference; and the member table knows which field each getter returns.
  for (const exchange::SensorField& f : exchange::kSensorFields) {
    if (f.getter.empty()) continue;
    const std::string getter(f.getter);
    if (f.kind != exchange::FieldKind::kDirection) {  // the directions are checked below
      EXPECT_EQ(names.count(getter), 1u) << getter << " is in the record table but not in the reference";
    }
    const control::MemberInfo* m = control::FindMember(getter);
    ASSERT_NE(m, nullptr) << getter;
    ASSERT_GE(m->field, 0) << getter;
    EXPECT_EQ(exchange::kSensorFields[m->field].getter, f.getter);
  }
  for (const char* channel_getter : {"GetSensorSonar", "GetMotorCurrent", "GetCustomAD", "GetSensorPot"}) {
    const control::MemberInfo* m = control::FindMember(channel_getter);
    ASSERT_NE(m, nullptr);
    ASSERT_GE(m->field, 0) << channel_getter << ": the field of its lowest channel";
    EXPECT_EQ(exchange::kSensorFields[m->field].channel_getter, channel_getter);
    EXPECT_EQ(exchange::kSensorFields[m->field].channel, m->params[0].min);
  }

  // Out-of-range channels, called directly (the front ends refuse them), give back the channel (the
  // sonar: its low byte).
  EXPECT_EQ(ctl_.GetSensorSonar(6), 6);
  EXPECT_EQ(ctl_.GetSensorSonar(-1), 255);
  EXPECT_EQ(ctl_.GetMotorCurrent(-1), -1);
  EXPECT_EQ(ctl_.GetCustomAD(8), 8);
  EXPECT_EQ(ctl_.GetSensorPot(0), 0);
  EXPECT_EQ(ctl_.GetSensorPot(7), 7);

  // The encoder directions: 0 while the speed word is 0; else the direction bit says 1 or -1.
  Bytes m(33, 0);
  m[26] = 5;     // speed 1
  m[30] = 2;     // speed 2
  m[32] = 0x02;  // direction bits: encoder 2 forward, encoder 1 backward
  ASSERT_EQ(motor.Put(m.data(), 33), exchange::PutStatus::kStored);
  ctl_.Tick();
  EXPECT_EQ(Invoke("GetEncoderDir1", {}).i, -1);
  EXPECT_EQ(Invoke("GetEncoderDir2", {}).i, 1);
  m[26] = 0;
  m[32] = 0x03;
  ASSERT_EQ(motor.Put(m.data(), 33), exchange::PutStatus::kStored);
  ctl_.Tick();
  EXPECT_EQ(Invoke("GetEncoderDir1", {}).i, 0) << "no speed, no direction";
  EXPECT_EQ(Invoke("GetEncoderDir2", {}).i, 1);
}

}  // namespace
