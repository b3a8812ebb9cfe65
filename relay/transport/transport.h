// The one small face every link transport shows the link manager: read what has arrived without
// waiting, send a frame by the transport's own rule, and a descriptor to wait on. Tests may fake it.
#pragma once

#include <cstdint>

namespace relay {

class Transport {
 public:
  virtual ~Transport() = default;
  // Bytes now available, at most `max`, copied into `buffer`; 0 when nothing is waiting, -1 on an
  // error. Never waits for data.
  virtual int ReadAvailable(uint8_t* buffer, int max) = 0;
  // Sends one frame by the transport's rule; returns true when all of it went out.
  virtual bool SendFrameBytes(const uint8_t* bytes, int count) = 0;
  // A descriptor that becomes readable when data arrives, to wait on between reads; -1 when closed.
  virtual int WaitDescriptor() const = 0;
};

}  // namespace relay
