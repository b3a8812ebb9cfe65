#include "clients/ros2/conversions.h"

#include <cmath>
#include <numbers>

namespace ros2_bridge {

WheelSpeeds WheelSpeedsFor(double linear_x, double angular_z, const DriveGeometry& drive) {
  const double half_track = drive.wheel_track / 2;
  return {(linear_x - angular_z * half_track) / drive.wheel_radius,
          (linear_x + angular_z * half_track) / drive.wheel_radius};
}

WheelCommand WheelCommandFor(const WheelSpeeds& speeds, double counts_per_revolution) {
  const double per_radian = counts_per_revolution / (2 * std::numbers::pi);
  double left = speeds.left * per_radian;
  double right = speeds.right * per_radian;
  WheelCommand out;
  const double largest = std::fmax(std::fabs(left), std::fabs(right));
  if (largest > INT16_MAX) {
    left = left * INT16_MAX / largest;
    right = right * INT16_MAX / largest;
    out.limited = true;
  }
  out.left = static_cast<int16_t>(std::lround(left));
  out.right = static_cast<int16_t>(std::lround(right));
  return out;
}

std::optional<int16_t> CommandWord(double value) {
  if (!std::isfinite(value)) return std::nullopt;
  const double rounded = std::round(value);
  if (rounded < INT16_MIN || rounded > INT16_MAX) return std::nullopt;
  return static_cast<int16_t>(rounded);
}

std::optional<int16_t> VelocityWord(double radians_per_second, double counts_per_revolution) {
  return CommandWord(radians_per_second * counts_per_revolution / (2 * std::numbers::pi));
}

int64_t EncoderCount::Update(int16_t raw) {
  const uint16_t now = static_cast<uint16_t>(raw);
  if (seen_)
    total_ += static_cast<int16_t>(static_cast<uint16_t>(now - last_));
  else
    total_ = raw;
  seen_ = true;
  last_ = now;
  return total_;
}

double PulsesToRadians(double pulses, double counts_per_revolution) {
  return pulses * 2 * std::numbers::pi / counts_per_revolution;
}

RosTime RosTimeOf(int64_t nanoseconds_since_epoch) {
  int64_t sec = nanoseconds_since_epoch / 1000000000;
  int64_t nanosec = nanoseconds_since_epoch % 1000000000;
  if (nanosec < 0) nanosec += 1000000000, sec -= 1;
  return {static_cast<int32_t>(sec), static_cast<uint32_t>(nanosec)};
}

}  // namespace ros2_bridge
