#include "exchange/deframer.h"

#include <cstring>

namespace exchange {

void CDeframer::FeedBytes(const uint8_t* chunk, std::size_t count, FrameSink& sink) {
  if (count < kBufferSize) {
    FeedPiece(chunk, count, sink);
    return;
  }
  for (std::size_t done = 0; done < count; done += kLargeChunkPiece) {
    std::size_t piece = count - done < kLargeChunkPiece ? count - done : kLargeChunkPiece;
    FeedPiece(chunk + done, piece, sink);
  }
}

void CDeframer::KeepFinalMarkerOnly() {
  if (fill_ > 0 && buffer_[fill_ - 1] == 0x5E) {
    buffer_[0] = 0x5E;
    fill_ = 1;
  } else {
    fill_ = 0;
  }
}

void CDeframer::FeedPiece(const uint8_t* chunk, std::size_t count, FrameSink& sink) {
  if (count == 0 && fill_ == 0) return;
  // 1. Append, dropping the old contents when they and the chunk would not fit.
  if (fill_ + count >= kBufferSize) {
    std::memcpy(buffer_, chunk, count);
    fill_ = count;
  } else {
    if (count > 0) std::memcpy(buffer_ + fill_, chunk, count);
    fill_ += count;
  }
  if (fill_ == 0) return;

  // 2. First start marker.
  std::size_t s = 0;
  bool found = false;
  for (std::size_t i = 0; i + 1 < fill_; ++i) {
    if (IsStart(i)) {
      s = i;
      found = true;
      break;
    }
  }
  if (!found) {
    KeepFinalMarkerOnly();
    return;
  }
  if (s == fill_ - 2) return;  // only the marker so far: leave everything as it is

  for (;;) {
    // 3. End marker at or after s + 2.
    std::size_t e = s + 2;
    bool ended = false;
    for (; e + 1 < fill_; ++e) {
      if (buffer_[e] == 0x5E && buffer_[e + 1] == 0x0D) {
        ended = true;
        break;
      }
    }
    if (!ended) {
      std::memmove(buffer_, buffer_ + s, fill_ - s);
      fill_ -= s;
      return;
    }
    sink.HandleFrame(buffer_ + s, e - s + 2);

    // 4. Next start, in steps of two bytes from just behind the candidate.
    std::size_t p = e + 2;
    if (p == fill_) {
      fill_ = 0;
      return;
    }
    bool next = false;
    for (std::size_t q = p; q + 1 < fill_; q += 2) {
      if (IsStart(q)) {
        s = q;
        next = true;
        break;
      }
    }
    if (!next) {
      KeepFinalMarkerOnly();
      return;
    }
  }
}

}  // namespace exchange
