// What the simulated robot's sensors read: slow waves, a battery that drains, currents and encoders
// that follow the motors. Each record is written field by field through the record table, so it
// always has the layout every reader expects.
#pragma once

#include <cstddef>
#include <cstdint>

#include "exchange/sensor_records.h"

namespace sim {

// The room a record needs here: the longest the robot sends, or the numbered standard record.
inline constexpr std::size_t kSensorRecordRoom = 50;

class SimSensors {
 public:
  // `numbered`: standard records carry a running number in bytes 0..3 and every other byte derived
  // from it, so that a consumer can tell a record that arrived twice, out of order or changed.
  explicit SimSensors(bool numbered) : numbered_(numbered) {}

  // Writes the record `record` as read `t` seconds after power-on, `dt` seconds after the previous
  // motor record, with the motors driven by `velocity` and `pwm` (six channels each); returns its
  // length.
  std::size_t Build(exchange::SensorRecord record, double t, double dt, const int16_t* velocity,
                    const int16_t* pwm, uint8_t (&out)[kSensorRecordRoom]);

  // The number the next numbered standard record will carry.
  uint32_t next_number() const { return number_; }

 private:
  std::size_t Standard(double t, uint8_t* p);
  std::size_t Motor(double t, double dt, const int16_t* velocity, const int16_t* pwm, uint8_t* p);
  std::size_t Custom(double t, uint8_t* p);

  bool numbered_;
  uint32_t number_ = 0;
  int32_t encoder_[2] = {};
};

}  // namespace sim
