// The robot frame: 5E 02, destination, sequence, data type, length n, n payload bytes, CRC-8 over
// destination..payload, 5E 0D. n + 9 bytes, no escaping.
#pragma once

#include <cstddef>
#include <cstdint>

namespace exchange {

inline constexpr uint8_t kFrameStart0 = 0x5E;
inline constexpr uint8_t kFrameStart1 = 0x02;
inline constexpr uint8_t kFrameEnd0 = 0x5E;
inline constexpr uint8_t kFrameEnd1 = 0x0D;
inline constexpr std::size_t kFrameOverhead = 9;
inline constexpr std::size_t kMaxPayload = 255;
inline constexpr std::size_t kMaxFrame = kMaxPayload + kFrameOverhead;  // 264

// Offsets of the header fields.
inline constexpr std::size_t kOffDestination = 2;
inline constexpr std::size_t kOffSequence = 3;
inline constexpr std::size_t kOffDataType = 4;
inline constexpr std::size_t kOffLength = 5;
inline constexpr std::size_t kOffPayload = 6;

// Destinations.
inline constexpr uint8_t kDestComputer = 0;
inline constexpr uint8_t kDestMotionBoard = 1;
inline constexpr uint8_t kDestMultimediaBoard = 8;

// Writes a whole frame into `out` (room for `out_size` bytes) and returns its length, n + 9, or 0
// when it does not fit or n exceeds 255. The CRC is computed after every other byte is final.
std::size_t BuildFrame(uint8_t* out, std::size_t out_size, uint8_t destination, uint8_t sequence,
                       uint8_t data_type, const uint8_t* payload, std::size_t n);

// The robot's way of finding frames in what it receives: from a start marker it reads the length
// byte, so a payload holding 5E 0D is taken whole, and a frame counts only with both end markers and
// a right CRC; anything else is skipped a byte at a time.
enum class ScanResult {
  kWhole,     // a frame of `length` bytes begins at `start`
  kNeedMore,  // what begins at `start` may be a frame whose rest has not arrived
  kNone,      // no frame begins before `start`, which is `count`
};
struct FrameScan {
  ScanResult result = ScanResult::kNone;
  std::size_t start = 0;
  std::size_t length = 0;
};
FrameScan ScanForFrame(const uint8_t* bytes, std::size_t count);

// A frame in its own storage, for senders that build one on their stack.
struct Frame {
  uint8_t bytes[kMaxFrame];
  std::size_t size = 0;

  static Frame Make(uint8_t destination, uint8_t sequence, uint8_t data_type, const uint8_t* payload,
                    std::size_t n) {
    Frame f;
    f.size = BuildFrame(f.bytes, sizeof f.bytes, destination, sequence, data_type, payload, n);
    return f;
  }
};

}  // namespace exchange
