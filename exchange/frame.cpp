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

}  // namespace exchange
