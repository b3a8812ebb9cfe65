#include "sim/audio.h"

#include <cmath>

#include "exchange/frame.h"
#include "platform/clock.h"

namespace sim {
namespace {

constexpr double kToneHz = 440.0;
constexpr double kSampleRate = 8000.0;

}  // namespace

void SimLoudspeaker::Announce(int size_class) {
  std::lock_guard<std::mutex> guard(mutex_);
  state_ = exchange::AdpcmState{};
  heard_.clear();
  announcements_.push_back(size_class);
}

int SimLoudspeaker::Hear(const uint8_t* payload, std::size_t n, uint32_t now) {
  int16_t samples[2 * exchange::kMaxPayload];
  if (n > exchange::kMaxPayload) n = exchange::kMaxPayload;
  std::lock_guard<std::mutex> guard(mutex_);
  exchange::AdpcmDecode(payload, 2 * n, state_, samples);
  heard_.insert(heard_.end(), samples, samples + 2 * n);
  arrivals_.push_back(now);
  return ++packets_;
}

std::vector<int16_t> SimLoudspeaker::Heard() {
  std::lock_guard<std::mutex> guard(mutex_);
  return heard_;
}

std::vector<uint32_t> SimLoudspeaker::Arrivals() {
  std::lock_guard<std::mutex> guard(mutex_);
  return arrivals_;
}

std::vector<int> SimLoudspeaker::Announcements() {
  std::lock_guard<std::mutex> guard(mutex_);
  return announcements_;
}

void SimMicrophone::Start(uint32_t now) {
  recording_ = true;
  next_ = now;
}

bool SimMicrophone::Due(uint32_t now, uint8_t (&packet)[kPacketBytes]) {
  if (!recording_ || platform::TickAfter(next_, now)) return false;
  int16_t samples[2 * kPacketBytes];
  for (int16_t& s : samples) {
    s = static_cast<int16_t>(8000.0 * std::sin(phase_));
    phase_ += 2.0 * M_PI * kToneHz / kSampleRate;
    if (phase_ > 2.0 * M_PI) phase_ -= 2.0 * M_PI;
  }
  exchange::AdpcmEncode(samples, 2 * kPacketBytes, state_, packet);
  next_ += kPeriodMs;
  if (platform::TickAfter(now, next_ + 10 * kPeriodMs)) next_ = now;  // fell far behind
  return true;
}

}  // namespace sim
