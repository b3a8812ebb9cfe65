// The acceptance check every candidate frame passes before it is dispatched.
#pragma once

#include <cstddef>
#include <cstdint>

namespace exchange {

enum class FrameVerdict {
  kAccepted,
  kNotForComputer,  // bad start bytes or a destination other than 0; ignored silently
  kBadSize,         // length differs from n + 9; the only rejection that is reported
  kBadEnd,          // last two bytes are not 5E 0D
  kBadCrc,
};

inline constexpr int kVerdictCount = 5;

// Checks a candidate of `length` bytes. A size mismatch writes "invalid packet size, discard it!
// whole length: L, the data length: n" to the debugger output; n is 0 when the candidate is too short
// to hold a length byte.
FrameVerdict CheckFrame(const uint8_t* frame, std::size_t length);

const char* FrameVerdictName(FrameVerdict verdict);

}  // namespace exchange
