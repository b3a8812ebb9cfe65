#include "sim/sensors.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace sim {
namespace {

using exchange::FieldIndex;
using exchange::kSensorFields;

int Wave(double t, double period_s, double phase, int centre, int amplitude) {
  return centre + static_cast<int>(amplitude * std::sin(2.0 * M_PI * t / period_s + phase));
}

void Put(uint8_t* record, std::size_t field, int value) {
  exchange::WriteField(kSensorFields[field], record, value);
}

// Field `number` (counted from 1) of a numbered family such as "gps".
void PutNumbered(uint8_t* record, const char* stem, int number, int value) {
  char name[24];
  std::snprintf(name, sizeof name, "%s%d", stem, number);
  if (const exchange::SensorField* f = exchange::FieldNamed(name)) exchange::WriteField(*f, record, value);
}

}  // namespace

std::size_t SimSensors::Build(exchange::SensorRecord record, double t, double dt, const int16_t* velocity,
                              const int16_t* pwm, uint8_t (&out)[kSensorRecordRoom]) {
  std::memset(out, 0, sizeof out);
  switch (record) {
    case exchange::SensorRecord::kStandard:
      return Standard(t, out);
    case exchange::SensorRecord::kMotor:
      return Motor(t, dt, velocity, pwm, out);
    case exchange::SensorRecord::kCustom:
      return Custom(t, out);
  }
  return 0;
}

std::size_t SimSensors::Standard(double t, uint8_t* p) {
  for (int i = 1; i <= 6; ++i) PutNumbered(p, "sonar", i, Wave(t, 5.0 + i, i - 1, 120, 90));  // cm
  Put(p, FieldIndex("human_motion1"), Wave(t, 9.0, 0, 300, 200));
  Put(p, FieldIndex("human_alarm1"), t - std::floor(t / 20) * 20 < 1 ? 1 : 0);  // briefly every 20 s
  Put(p, FieldIndex("human_motion2"), Wave(t, 11.0, 1, 300, 200));
  Put(p, FieldIndex("human_alarm2"), 0);
  Put(p, FieldIndex("tilting_x"), Wave(t, 5.0, 0, 2048, 120));
  Put(p, FieldIndex("tilting_y"), Wave(t, 7.0, 1, 2048, 120));
  Put(p, FieldIndex("overheat_ad1"), Wave(t, 30.0, 0, 1200, 40));
  Put(p, FieldIndex("overheat_ad2"), Wave(t, 31.0, 1, 1180, 40));
  Put(p, FieldIndex("temperature"), Wave(t, 60.0, 0, 245, 10));  // tenths of a degree
  Put(p, FieldIndex("ir_range"), Wave(t, 4.0, 0, 1500, 900));
  Put(p, FieldIndex("ir_code1"), 0x11);
  Put(p, FieldIndex("ir_code2"), 0x22);
  Put(p, FieldIndex("ir_code3"), 0x33);
  Put(p, FieldIndex("ir_code4"), static_cast<int>(t));
  const int drain = static_cast<int>(t / 10);
  Put(p, FieldIndex("battery_ad1"), 3900 - drain);  // mV
  Put(p, FieldIndex("battery_ad2"), 3850 - drain);
  Put(p, FieldIndex("battery_ad3"), 3800 - drain);
  Put(p, FieldIndex("ref_voltage"), 2048);
  Put(p, FieldIndex("pot_voltage"), Wave(t, 8.0, 2, 2048, 1500));
  std::size_t n = exchange::RecordInfo(exchange::SensorRecord::kStandard).size;
  if (numbered_) {
    std::memcpy(p, &number_, 4);
    for (std::size_t k = 4; k < kSensorRecordRoom; ++k)
      p[k] = static_cast<uint8_t>((number_ * 31u + static_cast<uint32_t>(k) * 7u) & 0xFF);
    n = kSensorRecordRoom;
    ++number_;
  }
  return n;
}

std::size_t SimSensors::Motor(double t, double dt, const int16_t* velocity, const int16_t* pwm, uint8_t* p) {
  for (int c = 0; c < 6; ++c) {
    PutNumbered(p, "pot", c + 1, Wave(t, 10.0 + c, c, 2048, 600));
    const int drive = velocity[c] != 0 ? velocity[c] : pwm[c] / 10;
    PutNumbered(p, "current", c + 1, std::abs(drive) * 3 + 20);  // mA
  }
  int directions = 0;
  for (int e = 0; e < 2; ++e) {
    const int speed = velocity[e] != 0 ? velocity[e] : pwm[e] / 10;
    encoder_[e] += static_cast<int32_t>(speed * dt);
    PutNumbered(p, "encoder_pulse", e + 1, encoder_[e] & 0xFFFF);
    PutNumbered(p, "encoder_speed", e + 1, std::abs(speed));
    if (speed > 0) directions |= 1 << e;  // the bit set: turning forward (GetEncoderDir 1)
  }
  Put(p, FieldIndex("encoder_directions"), directions);
  return exchange::RecordInfo(exchange::SensorRecord::kMotor).size;
}

std::size_t SimSensors::Custom(double t, uint8_t* p) {
  for (int c = 1; c <= 8; ++c) PutNumbered(p, "ad", c, Wave(t, 11.0 + c, c - 1, 2000, 300));
  Put(p, FieldIndex("din"), static_cast<int>(t) & 0x0F);
  for (int g = 1; g <= 8; ++g) PutNumbered(p, "gps", g, 1000 * (g - 1) + static_cast<int>(t));
  for (int s = 1; s <= 4; ++s) PutNumbered(p, "sen_id", s, s);
  return exchange::RecordInfo(exchange::SensorRecord::kCustom).size;
}

}  // namespace sim
