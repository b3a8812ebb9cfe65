// The robot's camera: a photo on request, or one every period, sent as image packets. The picture is
// a fixed one when given, else a generated moving scene.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "sim/faulty_wire.h"

namespace sim {

class SimCamera {
 public:
  // `picture`: 176 x 144 R G B, or empty for the scene; `period_ms` 0: photos on request only.
  SimCamera(std::vector<uint8_t> picture, uint32_t period_ms);

  void SendPhoto(FaultyWire& out);
  // Sends a photo when the period has come round.
  void Poll(uint32_t now, FaultyWire& out);

  // Callable from any thread: the picture of the last photo sent, and how many were sent.
  std::vector<uint8_t> LastPhoto();
  int photos_sent();

 private:
  const std::vector<uint8_t> picture_;
  const uint32_t period_ms_;
  uint32_t frame_ = 0;
  uint32_t next_ = 0;
  std::mutex mutex_;  // guards what tests read from other threads
  std::vector<uint8_t> last_;
  int sent_ = 0;
};

}  // namespace sim
