// IMA ADPCM (Interactive Multimedia Association, "Recommended Practices for Enhancing Digital Audio
// Compatibility in Multimedia Systems", 1992): the standard step and index tables and the integer
// reconstruction d = step/8 + step*(bits)/4 with the sign bit, clamped to 16 bits.
#include "exchange/adpcm.h"

namespace exchange {
namespace {

constexpr int16_t kStepTable[89] = {
    7,    8,     9,     10,    11,    12,    13,    14,    16,    17,    19,    21,    23,    25,   28,
    31,   34,    37,    41,    45,    50,    55,    60,    66,    73,    80,    88,    97,    107,  118,
    130,  143,   157,   173,   190,   209,   230,   253,   279,   307,   337,   371,   408,   449,  494,
    544,  598,   658,   724,   796,   876,   963,   1060,  1166,  1282,  1411,  1552,  1707,  1878, 2066,
    2272, 2499,  2749,  3024,  3327,  3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845, 8630,
    9493, 10442, 11487, 12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};

constexpr int8_t kIndexTable[16] = {-1, -1, -1, -1, 2, 4, 6, 8, -1, -1, -1, -1, 2, 4, 6, 8};

int16_t DecodeNibble(uint8_t code, AdpcmState& s) {
  int step = kStepTable[s.index];
  int d = step >> 3;
  if (code & 4) d += step;
  if (code & 2) d += step >> 1;
  if (code & 1) d += step >> 2;
  int predicted = s.predicted + ((code & 8) ? -d : d);
  if (predicted > 32767) predicted = 32767;
  if (predicted < -32768) predicted = -32768;
  int index = s.index + kIndexTable[code & 0xF];
  if (index < 0) index = 0;
  if (index > 88) index = 88;
  s.predicted = static_cast<int16_t>(predicted);
  s.index = static_cast<uint8_t>(index);
  return s.predicted;
}

uint8_t EncodeSample(int16_t sample, AdpcmState& s) {
  int step = kStepTable[s.index];
  int diff = sample - s.predicted;
  uint8_t code = 0;
  if (diff < 0) {
    code = 8;
    diff = -diff;
  }
  if (diff >= step) {
    code |= 4;
    diff -= step;
  }
  if (diff >= step >> 1) {
    code |= 2;
    diff -= step >> 1;
  }
  if (diff >= step >> 2) code |= 1;
  DecodeNibble(code, s);  // the encoder tracks exactly what the decoder will reconstruct
  return code;
}

}  // namespace

void AdpcmDecode(const uint8_t* bytes, std::size_t sample_count, AdpcmState& state, int16_t* out) {
  if (state.index > 88) state.index = 88;
  for (std::size_t i = 0; i < sample_count; ++i) {
    uint8_t b = bytes[i / 2];
    uint8_t code = (i % 2 == 0) ? static_cast<uint8_t>(b >> 4) : static_cast<uint8_t>(b & 0x0F);
    out[i] = DecodeNibble(code, state);
  }
}

void AdpcmEncode(const int16_t* samples, std::size_t sample_count, AdpcmState& state, uint8_t* out) {
  if (state.index > 88) state.index = 88;
  for (std::size_t i = 0; i < sample_count; ++i) {
    uint8_t code = EncodeSample(samples[i], state);
    if (i % 2 == 0)
      out[i / 2] = static_cast<uint8_t>(code << 4);
    else
      out[i / 2] = static_cast<uint8_t>(out[i / 2] | code);
  }
}

}  // namespace exchange
