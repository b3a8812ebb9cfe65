// The robot's sending side: frames numbered in turn and put on the wire, some of them dropped,
// corrupted, preceded by garbage or sent twice on request, to exercise the relay's fault handling.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <random>

#include "sim/wire.h"

namespace sim {

// Shares of outgoing frames, in percent.
struct FaultRates {
  int drop = 0;       // not sent
  int corrupt = 0;    // sent with a wrong CRC
  int garbage = 0;    // preceded by 1..7 garbage bytes
  int duplicate = 0;  // sent twice
};

class FaultyWire {
 public:
  FaultyWire(Wire& wire, FaultRates rates, uint32_t seed);

  // Callable from any thread while the robot runs.
  void SetRates(FaultRates rates);
  int frames_sent() const { return sent_.load(std::memory_order_relaxed); }

  // The robot's thread only.
  void SetWire(Wire& wire) { wire_ = &wire; }
  Wire& wire() { return *wire_; }
  // False when the frame's own bytes carry the end marker (5E 0D) before its end: the link has no
  // escaping, so the relay cuts such a frame short and refuses it, as it would from the real robot.
  bool SendFrame(uint8_t type, const uint8_t* payload, std::size_t n);
  bool SendRaw(const uint8_t* bytes, std::size_t n) { return wire_->Send(bytes, n); }

 private:
  Wire* wire_;
  // Relaxed: each rate is a share read on its own; a frame sent while the rates change may see some
  // old and some new, which is as good as either.
  std::atomic<int> drop_, corrupt_, garbage_, duplicate_;
  std::atomic<int> sent_{0};  // relaxed: a count for reports, ordering nothing
  std::mt19937 random_;
  uint8_t sequence_ = 0;
};

}  // namespace sim
