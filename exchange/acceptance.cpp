#include "exchange/acceptance.h"

#include "exchange/crc8.h"
#include "exchange/frame.h"
#include "platform/debug_output.h"

namespace exchange {

FrameVerdict CheckFrame(const uint8_t* frame, std::size_t length) {
  if (length < 3 || frame[0] != kFrameStart0 || frame[1] != kFrameStart1 ||
      frame[kOffDestination] != kDestComputer)
    return FrameVerdict::kNotForComputer;
  // The deframer's shortest candidate is 5E 02 5E 0D: its length byte lies outside it. Such a
  // candidate can never match n + 9; report it with n = 0 rather than read a byte it does not own.
  std::size_t n = length > kOffLength ? frame[kOffLength] : 0;
  if (length != n + kFrameOverhead) {
    platform::DebugOutput("invalid packet size, discard it! whole length: %d, the data length: %d\n",
                          static_cast<int>(length), static_cast<int>(n));
    return FrameVerdict::kBadSize;
  }
  if (frame[length - 2] != kFrameEnd0 || frame[length - 1] != kFrameEnd1) return FrameVerdict::kBadEnd;
  if (Crc8(frame + kOffDestination, n + 4) != frame[kOffPayload + n]) return FrameVerdict::kBadCrc;
  return FrameVerdict::kAccepted;
}

const char* FrameVerdictName(FrameVerdict verdict) {
  switch (verdict) {
    case FrameVerdict::kAccepted:
      return "accepted";
    case FrameVerdict::kNotForComputer:
      return "destination";
    case FrameVerdict::kBadSize:
      return "size";
    case FrameVerdict::kBadEnd:
      return "end bytes";
    case FrameVerdict::kBadCrc:
      return "crc";
  }
  return "unknown";
}

}  // namespace exchange
