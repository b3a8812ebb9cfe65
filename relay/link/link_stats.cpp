#include "relay/link/link_stats.h"

#include <cstdio>

#include "exchange/protocol.h"

namespace relay {

void LinkStats::CountCandidate(exchange::FrameVerdict verdict, uint8_t data_type) {
  if (verdict == exchange::FrameVerdict::kAccepted)
    accepted_[data_type].fetch_add(1, std::memory_order_relaxed);
  else
    rejected_[static_cast<int>(verdict)].fetch_add(1, std::memory_order_relaxed);
}

void LinkStats::AddRoundTrip(uint32_t ms) {
  rtt_last_.store(ms, std::memory_order_relaxed);
  rtt_sum_.fetch_add(ms, std::memory_order_relaxed);
  rtt_count_.fetch_add(1, std::memory_order_relaxed);
  uint32_t cur = rtt_min_.load(std::memory_order_relaxed);
  while (ms < cur && !rtt_min_.compare_exchange_weak(cur, ms, std::memory_order_relaxed)) {
  }
  cur = rtt_max_.load(std::memory_order_relaxed);
  while (ms > cur && !rtt_max_.compare_exchange_weak(cur, ms, std::memory_order_relaxed)) {
  }
}

std::string LinkStats::Format() const {
  std::string out;
  char line[160];
  std::snprintf(line, sizeof line, "bytes in: %llu, bytes out: %llu\n",
                static_cast<unsigned long long>(bytes_in()), static_cast<unsigned long long>(bytes_out()));
  out += line;
  if (not_sent() > 0) {
    std::snprintf(line, sizeof line, "frames not sent (the link could not take them): %llu\n",
                  static_cast<unsigned long long>(not_sent()));
    out += line;
  }
  out += "frames accepted:";
  bool any = false;
  for (int t = 0; t < 256; ++t) {
    uint64_t n = accepted(static_cast<uint8_t>(t));
    if (n == 0) continue;
    const char* name = exchange::DataTypeNameOf(static_cast<uint8_t>(t));
    std::snprintf(line, sizeof line, "%s type 0x%02X (%s): %llu", any ? "," : "", t,
                  name != nullptr ? name : "other", static_cast<unsigned long long>(n));
    out += line;
    any = true;
  }
  out += any ? "\n" : " none\n";
  out += "candidates refused:";
  for (int v = 1; v < exchange::kVerdictCount; ++v) {
    std::snprintf(line, sizeof line, "%s %s: %llu", v == 1 ? "" : ",",
                  exchange::FrameVerdictName(static_cast<exchange::FrameVerdict>(v)),
                  static_cast<unsigned long long>(rejected(static_cast<exchange::FrameVerdict>(v))));
    out += line;
  }
  if (other_source() > 0) {
    std::snprintf(line, sizeof line, ", from another port of the robot's address: %llu",
                  static_cast<unsigned long long>(other_source()));
    out += line;
  }
  out += "\n";
  if (peer_changes() > 0) {
    std::snprintf(line, sizeof line,
                  "the robot's UDP port changed %llu time(s): the relay follows a port that answers\n",
                  static_cast<unsigned long long>(peer_changes()));
    out += line;
  }
  if (foreign_datagrams() > 0) {
    std::snprintf(line, sizeof line, "datagrams from other addresses than the robot's, dropped: %llu\n",
                  static_cast<unsigned long long>(foreign_datagrams()));
    out += line;
  }
  uint64_t n = round_trips();
  if (n == 0) {
    out += "keep-alive round trip: no answer yet\n";
  } else {
    std::snprintf(line, sizeof line,
                  "keep-alive round trip (ms): last %u, min %u, mean %llu, max %u, answers %llu\n",
                  rtt_last_.load(std::memory_order_relaxed), rtt_min_.load(std::memory_order_relaxed),
                  static_cast<unsigned long long>(rtt_sum_.load(std::memory_order_relaxed) / n),
                  rtt_max_.load(std::memory_order_relaxed), static_cast<unsigned long long>(n));
    out += line;
  }
  return out;
}

}  // namespace relay
