// The robot's sound: a loudspeaker that decodes the voice packets it is sent, and a microphone that
// records a 440 Hz tone as voice packets while recording is on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "exchange/adpcm.h"

namespace sim {

class SimLoudspeaker {
 public:
  // An upload's announcement: a new sound starts.
  void Announce(int size_class);
  // Decodes one voice packet of `n` bytes; returns how many packets were heard in all.
  int Hear(const uint8_t* payload, std::size_t n, uint32_t now);

  // Callable from any thread: the sound since the last announcement, when each packet arrived
  // (platform ticks), and the announcements' size classes.
  std::vector<int16_t> Heard();
  std::vector<uint32_t> Arrivals();
  std::vector<int> Announcements();

 private:
  std::mutex mutex_;  // guards what tests read from other threads
  exchange::AdpcmState state_;
  std::vector<int16_t> heard_;
  std::vector<uint32_t> arrivals_;
  std::vector<int> announcements_;
  int packets_ = 0;
};

class SimMicrophone {
 public:
  static constexpr std::size_t kPacketBytes = 128;  // 256 samples
  static constexpr uint32_t kPeriodMs = 32;         // 256 samples at 8000 samples per second

  void Start(uint32_t now);
  void Stop() { recording_ = false; }
  // True with `packet` filled when a packet is due at `now`.
  bool Due(uint32_t now, uint8_t (&packet)[kPacketBytes]);

 private:
  bool recording_ = false;
  uint32_t next_ = 0;
  exchange::AdpcmState state_;
  double phase_ = 0.0;
};

}  // namespace sim
