// The relay's receive-side frame cutter.
//
// Bytes accumulate in a fixed 3072-byte buffer; every stretch from a 5E 02 start marker to the next
// 5E 0D end marker is handed, in place and whatever its content, to the sink. The cutting rules are
// the robot link's own and are kept exactly, quirks included, because the robot's firmware was tuned
// against them:
//  - a chunk that would fill the buffer to 3072 bytes or more drops everything buffered before it;
//  - after a candidate the next start marker is looked for in steps of two bytes, so frames sent back
//    to back are all found but an odd number of stray bytes between two frames loses the second;
//  - when no start marker is left, a final 0x5E is kept as the possible first half of the next one.
// No marker escaping exists, so a payload containing 5E 0D is cut short (the acceptance check then
// refuses it). A chunk of 3072 bytes or more (a 4096-byte datagram) is fed in 1024-byte pieces so the
// buffer is never overrun and frames inside it still come out whole.
#pragma once

#include <cstddef>
#include <cstdint>

namespace exchange {

class FrameSink {
 public:
  virtual ~FrameSink() = default;
  // `frame` points into the deframer's buffer and is valid only during the call.
  virtual void HandleFrame(const uint8_t* frame, std::size_t length) = 0;
};

class CDeframer {
 public:
  static constexpr std::size_t kBufferSize = 3072;
  static constexpr std::size_t kLargeChunkPiece = 1024;

  void FeedBytes(const uint8_t* chunk, std::size_t count, FrameSink& sink);
  // Forgets what is buffered: the next bytes come from another sender, which must not complete
  // a frame begun by the last one.
  void Reset() { fill_ = 0; }

  std::size_t fill() const { return fill_; }
  const uint8_t* buffer() const { return buffer_; }

 private:
  void FeedPiece(const uint8_t* chunk, std::size_t count, FrameSink& sink);
  void KeepFinalMarkerOnly();
  bool IsStart(std::size_t pos) const { return buffer_[pos] == 0x5E && buffer_[pos + 1] == 0x02; }

  uint8_t buffer_[kBufferSize] = {};
  std::size_t fill_ = 0;
};

}  // namespace exchange
