// The three sensor records the robot sends, field by field: the one statement of their layout. The
// control's getters, the Python readings, the bridge's JSON, the simulated robot and the tests all
// read it from here, so a new field is one line below.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string_view>

#include "exchange/protocol.h"
#include "exchange/sections.h"

namespace exchange {

// Which sensor record: the number every layer uses for it (the section, the control's copy, the C
// ABI's `which`, Python's reading classes, the bridge's topic).
enum class SensorRecord : int32_t { kStandard = 0, kMotor = 1, kCustom = 2 };
inline constexpr int kSensorRecordCount = 3;

struct SensorRecordInfo {
  SensorRecord record;
  std::string_view name;  // "standard": the bridge's topic sensors/<name>, Python's StandardReading
  uint8_t size;           // bytes the robot sends
  uint8_t data_type;      // the frame type that carries it (also the request for that stream)
  SectionId section;
};

inline constexpr SensorRecordInfo kSensorRecords[kSensorRecordCount] = {
    {SensorRecord::kStandard, "standard", 40, kTypeStandardSensor, SectionId::kStandardSensor},
    {SensorRecord::kMotor, "motor", 33, kTypeMotorSensor, SectionId::kMotorSensor},
    {SensorRecord::kCustom, "custom", 37, kTypeCustomSensor, SectionId::kCustomSensor},
};

constexpr const SensorRecordInfo& RecordInfo(SensorRecord record) {
  return kSensorRecords[static_cast<int>(record)];
}

enum class FieldKind : int32_t {
  kByte = 0,       // a byte, 0..255
  kWord = 1,       // a signed 16-bit word, low byte first
  kAlias = 2,      // a second name of the field `of` (the same bytes, the same kind)
  kLowByte = 3,    // the low byte of the word field `of`, 0..255
  kDirection = 4,  // of the speed word `of`: 0 while it is 0, else 1 when bit `bit` of the byte at
                   // `offset` is set (turning forward) and -1 when it is clear
};

struct SensorField {
  SensorRecord record;
  FieldKind kind;
  uint8_t offset;            // from the record's first byte
  std::string_view name;     // the name readings and the bridge's JSON carry
  std::string_view getter;   // the control's method that returns it ("" for none)
  std::string_view of = {};  // for the kinds that are views of another field: that field's name
  uint8_t bit = 0;           // kDirection: the bit of the byte at `offset`
  // The channel getter that also reads this field ("" for none), and the channel it takes for it.
  std::string_view channel_getter = {};
  int8_t channel = 0;
};

// A field of its own, which readings, the JSON and the producers carry; the other kinds are views of
// such fields, computed from them.
constexpr bool OwnField(const SensorField& f) {
  return f.kind == FieldKind::kByte || f.kind == FieldKind::kWord;
}

namespace sensor_rows {
using R = SensorRecord;
using K = FieldKind;
constexpr SensorField Byte(R r, uint8_t off, std::string_view name, std::string_view getter) {
  return {r, K::kByte, off, name, getter};
}
constexpr SensorField Word(R r, uint8_t off, std::string_view name, std::string_view getter) {
  return {r, K::kWord, off, name, getter};
}
// One of a numbered family that a channel getter also reads.
constexpr SensorField Channel(SensorField f, std::string_view channel_getter, int8_t channel) {
  f.channel_getter = channel_getter, f.channel = channel;
  return f;
}
}  // namespace sensor_rows

// In record order, each record's fields in byte order; views after the field they view where a
// dashboard shows them, plain aliases last.
inline constexpr SensorField kSensorFields[] = {
    // clang-format off
    // Standard record: data type 0x7D, 40 bytes.
    sensor_rows::Channel(sensor_rows::Byte(SensorRecord::kStandard, 0, "sonar1", "GetSensorSonar1"), "GetSensorSonar", 0),
    sensor_rows::Channel(sensor_rows::Byte(SensorRecord::kStandard, 1, "sonar2", "GetSensorSonar2"), "GetSensorSonar", 1),
    sensor_rows::Channel(sensor_rows::Byte(SensorRecord::kStandard, 2, "sonar3", "GetSensorSonar3"), "GetSensorSonar", 2),
    sensor_rows::Channel(sensor_rows::Byte(SensorRecord::kStandard, 3, "sonar4", "GetSensorSonar4"), "GetSensorSonar", 3),
    sensor_rows::Channel(sensor_rows::Byte(SensorRecord::kStandard, 4, "sonar5", "GetSensorSonar5"), "GetSensorSonar", 4),
    sensor_rows::Channel(sensor_rows::Byte(SensorRecord::kStandard, 5, "sonar6", "GetSensorSonar6"), "GetSensorSonar", 5),
    sensor_rows::Word(SensorRecord::kStandard, 6, "human_motion1", "GetSensorHumanMotion1"),
    sensor_rows::Word(SensorRecord::kStandard, 8, "human_alarm1", "GetSensorHumanAlarm1"),
    sensor_rows::Word(SensorRecord::kStandard, 10, "human_motion2", "GetSensorHumanMotion2"),
    sensor_rows::Word(SensorRecord::kStandard, 12, "human_alarm2", "GetSensorHumanAlarm2"),
    sensor_rows::Word(SensorRecord::kStandard, 14, "tilting_x", "GetSensorTiltingX"),
    sensor_rows::Word(SensorRecord::kStandard, 16, "tilting_y", "GetSensorTiltingY"),
    sensor_rows::Word(SensorRecord::kStandard, 18, "overheat_ad1", "GetSensorOverheatAD1"),
    sensor_rows::Word(SensorRecord::kStandard, 20, "overheat_ad2", "GetSensorOverheatAD2"),
    sensor_rows::Word(SensorRecord::kStandard, 22, "temperature", "GetSensorTemperature"),
    sensor_rows::Word(SensorRecord::kStandard, 24, "ir_range", "GetSensorIRRange"),
    sensor_rows::Byte(SensorRecord::kStandard, 26, "ir_code1", "GetSensorIRCode1"),
    sensor_rows::Byte(SensorRecord::kStandard, 27, "ir_code2", "GetSensorIRCode2"),
    sensor_rows::Byte(SensorRecord::kStandard, 28, "ir_code3", "GetSensorIRCode3"),
    sensor_rows::Byte(SensorRecord::kStandard, 29, "ir_code4", "GetSensorIRCode4"),
    sensor_rows::Word(SensorRecord::kStandard, 30, "battery_ad1", "GetSensorBatteryAD1"),
    sensor_rows::Word(SensorRecord::kStandard, 32, "battery_ad2", "GetSensorBatteryAD2"),
    sensor_rows::Word(SensorRecord::kStandard, 34, "battery_ad3", "GetSensorBatteryAD3"),
    sensor_rows::Word(SensorRecord::kStandard, 36, "ref_voltage", "GetSensorRefVoltage"),
    sensor_rows::Word(SensorRecord::kStandard, 38, "pot_voltage", "GetSensorPotVoltage"),
    // Motor record: data type 0x7B, 33 bytes.
    sensor_rows::Channel(sensor_rows::Word(SensorRecord::kMotor, 0, "pot1", "GetSensorPot1"), "GetSensorPot", 1),
    sensor_rows::Channel(sensor_rows::Word(SensorRecord::kMotor, 2, "pot2", "GetSensorPot2"), "GetSensorPot", 2),
    sensor_rows::Channel(sensor_rows::Word(SensorRecord::kMotor, 4, "pot3", "GetSensorPot3"), "GetSensorPot", 3),
    sensor_rows::Channel(sensor_rows::Word(SensorRecord::kMotor, 6, "pot4", "GetSensorPot4"), "GetSensorPot", 4),
    sensor_rows::Channel(sensor_rows::Word(SensorRecord::kMotor, 8, "pot5", "GetSensorPot5"), "GetSensorPot", 5),
    sensor_rows::Channel(sensor_rows::Word(SensorRecord::kMotor, 10, "pot6", "GetSensorPot6"), "GetSensorPot", 6),
    sensor_rows::Channel(sensor_rows::Word(SensorRecord::kMotor, 12, "current1", "GetMotorCurrent1"), "GetMotorCurrent", 0),
    sensor_rows::Channel(sensor_rows::Word(SensorRecord::kMotor, 14, "current2", "GetMotorCurrent2"), "GetMotorCurrent", 1),
    sensor_rows::Channel(sensor_rows::Word(SensorRecord::kMotor, 16, "current3", "GetMotorCurrent3"), "GetMotorCurrent", 2),
    sensor_rows::Channel(sensor_rows::Word(SensorRecord::kMotor, 18, "current4", "GetMotorCurrent4"), "GetMotorCurrent", 3),
    sensor_rows::Channel(sensor_rows::Word(SensorRecord::kMotor, 20, "current5", "GetMotorCurrent5"), "GetMotorCurrent", 4),
    sensor_rows::Channel(sensor_rows::Word(SensorRecord::kMotor, 22, "current6", "GetMotorCurrent6"), "GetMotorCurrent", 5),
    sensor_rows::Word(SensorRecord::kMotor, 24, "encoder_pulse1", "GetEncoderPulse1"),
    sensor_rows::Word(SensorRecord::kMotor, 26, "encoder_speed1", "GetEncoderSpeed1"),
    {SensorRecord::kMotor, FieldKind::kDirection, 32, "encoder_dir1", "GetEncoderDir1", "encoder_speed1", 0},
    sensor_rows::Word(SensorRecord::kMotor, 28, "encoder_pulse2", "GetEncoderPulse2"),
    sensor_rows::Word(SensorRecord::kMotor, 30, "encoder_speed2", "GetEncoderSpeed2"),
    {SensorRecord::kMotor, FieldKind::kDirection, 32, "encoder_dir2", "GetEncoderDir2", "encoder_speed2", 1},
    sensor_rows::Byte(SensorRecord::kMotor, 32, "encoder_directions", ""),
    // Custom record: data type 0x7C, 37 bytes; its words at odd offsets after the digital inputs.
    sensor_rows::Channel(sensor_rows::Word(SensorRecord::kCustom, 0, "ad1", "GetCustomAD1"), "GetCustomAD", 0),
    sensor_rows::Channel(sensor_rows::Word(SensorRecord::kCustom, 2, "ad2", "GetCustomAD2"), "GetCustomAD", 1),
    sensor_rows::Channel(sensor_rows::Word(SensorRecord::kCustom, 4, "ad3", "GetCustomAD3"), "GetCustomAD", 2),
    sensor_rows::Channel(sensor_rows::Word(SensorRecord::kCustom, 6, "ad4", "GetCustomAD4"), "GetCustomAD", 3),
    sensor_rows::Channel(sensor_rows::Word(SensorRecord::kCustom, 8, "ad5", "GetCustomAD5"), "GetCustomAD", 4),
    sensor_rows::Channel(sensor_rows::Word(SensorRecord::kCustom, 10, "ad6", "GetCustomAD6"), "GetCustomAD", 5),
    sensor_rows::Channel(sensor_rows::Word(SensorRecord::kCustom, 12, "ad7", "GetCustomAD7"), "GetCustomAD", 6),
    sensor_rows::Channel(sensor_rows::Word(SensorRecord::kCustom, 14, "ad8", "GetCustomAD8"), "GetCustomAD", 7),
    sensor_rows::Byte(SensorRecord::kCustom, 16, "din", "GetCustomDIN"),
    sensor_rows::Word(SensorRecord::kCustom, 17, "gps1", "GetGPS01"),
    sensor_rows::Word(SensorRecord::kCustom, 19, "gps2", "GetGPS02"),
    sensor_rows::Word(SensorRecord::kCustom, 21, "gps3", "GetGPS03"),
    sensor_rows::Word(SensorRecord::kCustom, 23, "gps4", "GetGPS04"),
    sensor_rows::Word(SensorRecord::kCustom, 25, "gps5", "GetGPS05"),
    sensor_rows::Word(SensorRecord::kCustom, 27, "gps6", "GetGPS06"),
    sensor_rows::Word(SensorRecord::kCustom, 29, "gps7", "GetGPS07"),
    sensor_rows::Word(SensorRecord::kCustom, 31, "gps8", "GetGPS08"),
    {SensorRecord::kCustom, FieldKind::kLowByte, 27, "power_path", "GetPowerPath", "gps6"},
    {SensorRecord::kCustom, FieldKind::kLowByte, 29, "chg_path", "GetCHGPath", "gps7"},
    sensor_rows::Byte(SensorRecord::kCustom, 33, "sen_id1", "getSenID1"),
    sensor_rows::Byte(SensorRecord::kCustom, 34, "sen_id2", "getSenID2"),
    sensor_rows::Byte(SensorRecord::kCustom, 35, "sen_id3", "getSenID3"),
    sensor_rows::Byte(SensorRecord::kCustom, 36, "sen_id4", "getSenID4"),
    // The custom record's second vocabulary: the same bytes under battery and charger names.
    {SensorRecord::kCustom, FieldKind::kAlias, 0, "bat1_vol", "GetBat1Vol", "ad1"},
    {SensorRecord::kCustom, FieldKind::kAlias, 2, "bat1_temp", "GetBat1Temp", "ad2"},
    {SensorRecord::kCustom, FieldKind::kAlias, 4, "bat2_vol", "GetBat2Vol", "ad3"},
    {SensorRecord::kCustom, FieldKind::kAlias, 6, "bat2_temp", "GetBat2Temp", "ad4"},
    {SensorRecord::kCustom, FieldKind::kAlias, 8, "dcin_vol", "GetDCINVol", "ad5"},
    {SensorRecord::kCustom, FieldKind::kAlias, 16, "chg_status", "GetCHGStatus", "din"},
    {SensorRecord::kCustom, FieldKind::kAlias, 19, "vol_ref", "GetVolRef", "gps2"},
    // clang-format on
};
inline constexpr std::size_t kSensorFieldCount = std::size(kSensorFields);

// Not constexpr: a name that is not in the table reaches this call and does not compile.
void NoSuchSensorField();

// The index of the field named `name`, or read by the getter `getter`, at compile time.
consteval std::size_t FieldIndex(std::string_view name) {
  for (std::size_t i = 0; i < kSensorFieldCount; ++i)
    if (kSensorFields[i].name == name) return i;
  NoSuchSensorField();
  return 0;
}
consteval std::size_t GetterIndex(std::string_view getter) {
  for (std::size_t i = 0; i < kSensorFieldCount; ++i)
    if (kSensorFields[i].getter == getter) return i;
  NoSuchSensorField();
  return 0;
}

// The field a getter reads, by the getter's name (nullptr for a method that reads no field).
const SensorField* FieldOfGetter(std::string_view getter);
// The field channel `channel` of a channel getter reads (nullptr for another channel or name).
const SensorField* FieldOfChannel(std::string_view channel_getter, int channel);
// The field named `name` (nullptr for none).
const SensorField* FieldNamed(std::string_view name);

// The value of a field in a record of `size` bytes, as the getters return it: bytes past the end of
// a short record read as zeros.
int16_t ReadField(const SensorField& field, const uint8_t* record, std::size_t size);
// Writes a field of its own (a byte or a word) into a record buffer of at least the record's size.
void WriteField(const SensorField& field, uint8_t* record, int value);

}  // namespace exchange
