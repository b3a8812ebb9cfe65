#include "exchange/frame.h"

#include <cstring>

#include "exchange/crc8.h"

namespace exchange {

std::size_t BuildFrame(uint8_t* out, std::size_t out_size, uint8_t destination, uint8_t sequence,
                       uint8_t data_type, const uint8_t* payload, std::size_t n) {
  if (n > kMaxPayload || out_size < n + kFrameOverhead) return 0;
  out[0] = kFrameStart0;
  out[1] = kFrameStart1;
  out[kOffDestination] = destination;
  out[kOffSequence] = sequence;
  out[kOffDataType] = data_type;
  out[kOffLength] = static_cast<uint8_t>(n);
  if (n > 0) std::memcpy(out + kOffPayload, payload, n);
  out[kOffPayload + n] = Crc8(out + kOffDestination, n + 4);
  out[kOffPayload + n + 1] = kFrameEnd0;
  out[kOffPayload + n + 2] = kFrameEnd1;
  return n + kFrameOverhead;
}

FrameScan ScanForFrame(const uint8_t* bytes, std::size_t count) {
  for (std::size_t at = 0; at < count; ++at) {
    if (bytes[at] != kFrameStart0) continue;
    const std::size_t left = count - at;
    if (left == 1) return {ScanResult::kNeedMore, at, 0};  // the first half of a start marker
    if (bytes[at + 1] != kFrameStart1) continue;
    if (left <= kOffLength) return {ScanResult::kNeedMore, at, 0};
    const std::size_t n = bytes[at + kOffLength], total = n + kFrameOverhead;
    if (left < total) return {ScanResult::kNeedMore, at, 0};
    const uint8_t* f = bytes + at;
    if (f[total - 2] == kFrameEnd0 && f[total - 1] == kFrameEnd1 &&
        Crc8(f + kOffDestination, n + 4) == f[kOffPayload + n])
      return {ScanResult::kWhole, at, total};
  }
  return {ScanResult::kNone, count, 0};
}

}  // namespace exchange
