// Link counters for people: accepted frames per data type, refused candidates per reason, bytes in
// and out, keep-alive round trips. Written by the relay's threads, read by any; every counter is an
// independent relaxed atomic (a snapshot may mix moments, which a display does not mind).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "exchange/acceptance.h"

namespace relay {

class LinkStats {
 public:
  void CountCandidate(exchange::FrameVerdict verdict, uint8_t data_type);
  void AddBytesIn(uint64_t n) { bytes_in_.fetch_add(n, std::memory_order_relaxed); }
  void AddBytesOut(uint64_t n) { bytes_out_.fetch_add(n, std::memory_order_relaxed); }
  // A frame the transport could not take (a Wi-Fi socket not writable within 1 ms): it is lost.
  void CountNotSent() { not_sent_.fetch_add(1, std::memory_order_relaxed); }
  uint64_t not_sent() const { return not_sent_.load(std::memory_order_relaxed); }
  void AddRoundTrip(uint32_t ms);
  void CountPeerChange() { peer_changes_.fetch_add(1, std::memory_order_relaxed); }
  uint64_t peer_changes() const { return peer_changes_.load(std::memory_order_relaxed); }
  // A good frame from another port of the robot's address than the one the relay follows: dropped.
  void CountOtherSource() { other_source_.fetch_add(1, std::memory_order_relaxed); }
  uint64_t other_source() const { return other_source_.load(std::memory_order_relaxed); }
  void AddForeignDatagrams(uint64_t n) { foreign_datagrams_.fetch_add(n, std::memory_order_relaxed); }
  uint64_t foreign_datagrams() const { return foreign_datagrams_.load(std::memory_order_relaxed); }

  uint64_t accepted(uint8_t data_type) const { return accepted_[data_type].load(std::memory_order_relaxed); }
  uint64_t rejected(exchange::FrameVerdict v) const {
    return rejected_[static_cast<int>(v)].load(std::memory_order_relaxed);
  }
  uint64_t bytes_in() const { return bytes_in_.load(std::memory_order_relaxed); }
  uint64_t bytes_out() const { return bytes_out_.load(std::memory_order_relaxed); }
  uint64_t round_trips() const { return rtt_count_.load(std::memory_order_relaxed); }

  // A few plain lines for a person.
  std::string Format() const;

 private:
  std::atomic<uint64_t> accepted_[256] = {};
  std::atomic<uint64_t> rejected_[exchange::kVerdictCount] = {};
  std::atomic<uint64_t> bytes_in_{0}, bytes_out_{0}, not_sent_{0};
  std::atomic<uint64_t> peer_changes_{0};
  std::atomic<uint64_t> foreign_datagrams_{0};
  std::atomic<uint64_t> other_source_{0};
  std::atomic<uint64_t> rtt_count_{0}, rtt_sum_{0};
  std::atomic<uint32_t> rtt_last_{0}, rtt_min_{UINT32_MAX}, rtt_max_{0};
};

}  // namespace relay
