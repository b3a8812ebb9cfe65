// The robot's raw numbers in ROS 2's units (REP 103: metres, radians, seconds, volts, degrees
// Celsius), and ROS 2's commands in the robot's: pure arithmetic, no I/O.
#pragma once

#include <cstdint>
#include <optional>

namespace ros2_bridge {

// Value * factor + offset for the readings that have a unit. A factor of 0 means the unit is not
// known: the reading goes out raw only.
struct Scaling {
  double sonar_m = 0;        // metres per sonar count
  double infrared_m = 0;     // metres per infrared range count
  double temperature_c = 0;  // degrees Celsius per count
  double temperature_offset_c = 0;
  double battery_v = 0;  // volts per battery count

  // The units robot-sim reports in: sonars in cm, the temperature in tenths of a degree, the battery
  // in mV; its infrared range is a raw number.
  static Scaling SimulatedRobot() { return {0.01, 0, 0.1, 0, 0.001}; }
};

// What a range sensor covers, for sensor_msgs/Range (radians, metres).
struct RangeSpec {
  double field_of_view;
  double min_range;
  double max_range;
};

// The two drive wheels: the DC motor channels (counted from 1, as the motor_N topics are) that
// drive them, their radius and the distance between them (metres), and the encoder pulses per turn
// of a wheel, which is also the unit of the robot's velocity commands (pulses per second).
struct DriveGeometry {
  int left_motor = 1;
  int right_motor = 2;
  double wheel_radius = 0.05;
  double wheel_track = 0.30;
  double counts_per_revolution = 360;
};

struct WheelSpeeds {
  double left = 0, right = 0;  // radians per second, forward positive
};

// The wheel speeds a body velocity (linear.x m/s, angular.z rad/s, REP 103: counter-clockwise
// positive) asks of a differential drive.
WheelSpeeds WheelSpeedsFor(double linear_x, double angular_z, const DriveGeometry& drive);

struct WheelCommand {
  int16_t left = 0, right = 0;  // pulses per second
  bool limited = false;         // both were scaled down together to fit the robot's word
};
// The robot's velocity words for the wheel speeds: rounded pulses per second; when one does not fit
// a signed 16-bit word both are scaled by the same factor, so the robot still turns on the same arc.
WheelCommand WheelCommandFor(const WheelSpeeds& speeds, double counts_per_revolution);

// Radians per second as the robot's velocity word, or nothing when it is not finite or does not fit.
std::optional<int16_t> VelocityWord(double radians_per_second, double counts_per_revolution);
// A value for a 16-bit command word: rounded, or nothing when it is not finite or does not fit.
std::optional<int16_t> CommandWord(double value);

// Pulse counts of one encoder as a running total: the robot sends the low 16 bits of its count,
// which wraps; each step is taken as the shortest way round.
class EncoderCount {
 public:
  int64_t Update(int16_t raw);
  int64_t total() const { return total_; }

 private:
  bool seen_ = false;
  uint16_t last_ = 0;
  int64_t total_ = 0;
};

// Pulses (or pulses per second) in radians (or radians per second).
double PulsesToRadians(double pulses, double counts_per_revolution);

// ROS time (builtin_interfaces/Time) of a count of nanoseconds since the epoch.
struct RosTime {
  int32_t sec = 0;
  uint32_t nanosec = 0;
};
RosTime RosTimeOf(int64_t nanoseconds_since_epoch);

}  // namespace ros2_bridge
