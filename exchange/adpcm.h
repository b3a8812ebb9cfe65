// IMA ADPCM as the robot's voice packets carry it: 4 bits per sample, two samples per byte, high
// nibble first, the standard 89-entry step table and 16-entry index table; the state (predicted
// value, step index) runs on from packet to packet.
#pragma once

#include <cstddef>
#include <cstdint>

namespace exchange {

struct AdpcmState {
  int16_t predicted = 0;
  uint8_t index = 0;  // 0..88
};

// Decodes `sample_count` nibbles from `bytes` (two per byte) into `out`, advancing `state`.
void AdpcmDecode(const uint8_t* bytes, std::size_t sample_count, AdpcmState& state, int16_t* out);

// Encodes `sample_count` samples into (sample_count + 1) / 2 bytes, high nibble first; an odd last
// sample leaves the low nibble 0. Advances `state` exactly as the decoder will.
void AdpcmEncode(const int16_t* samples, std::size_t sample_count, AdpcmState& state, uint8_t* out);

}  // namespace exchange
