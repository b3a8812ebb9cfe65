// What the colour conversion's paths share: the chroma pairs that need the double-precision
// fix-up, and the scan that finds them, compiled into each path's own code.
#pragma once

#include <cstddef>
#include <cstdint>

namespace media::colour {

// The only pairs (Cb, Cr) for which the double arithmetic truncates differently from the exact value
// for some Y: there a product such as 0.3441 * -44 lands a hair off the integer the exact value is,
// and truncation toward zero takes it to the next one. Found by trying all 16.7 million inputs (426
// of them differ, all with one of these pairs); the colour test tries them all again.
inline constexpr int kDoublePairs[][2] = {{-110, 85}, {-88, 68}, {-66, 51}, {-46, 74},
                                          {-44, 34},  {-22, 17}, {91, 71}};

// A pair as its two chroma bytes read as one little-endian word.
constexpr uint16_t PairKey(int cb, int cr) {
  return static_cast<uint16_t>((cb + 128) | (cr + 128) << 8);
}

// Whether any of `pairs` chroma pairs is one of the double pairs: a branch-free scan the compiler
// turns into 16-bit vector compares, so the rare fix-up costs almost nothing where it is not needed.
// Always inlined, so that each path's caller vectorizes it for its own instruction set.
__attribute__((always_inline)) inline bool ScanForDoublePairs(const uint8_t* __restrict chroma,
                                                              std::size_t pairs) {
  constexpr uint16_t k0 = PairKey(kDoublePairs[0][0], kDoublePairs[0][1]);
  constexpr uint16_t k1 = PairKey(kDoublePairs[1][0], kDoublePairs[1][1]);
  constexpr uint16_t k2 = PairKey(kDoublePairs[2][0], kDoublePairs[2][1]);
  constexpr uint16_t k3 = PairKey(kDoublePairs[3][0], kDoublePairs[3][1]);
  constexpr uint16_t k4 = PairKey(kDoublePairs[4][0], kDoublePairs[4][1]);
  constexpr uint16_t k5 = PairKey(kDoublePairs[5][0], kDoublePairs[5][1]);
  constexpr uint16_t k6 = PairKey(kDoublePairs[6][0], kDoublePairs[6][1]);
  uint16_t hit = 0;
  for (std::size_t i = 0; i < pairs; ++i) {
    const uint16_t k = static_cast<uint16_t>(chroma[2 * i] | chroma[2 * i + 1] << 8);
    hit |= static_cast<uint16_t>((k == k0) | (k == k1) | (k == k2) | (k == k3) | (k == k4) | (k == k5) |
                                 (k == k6));
  }
  return hit != 0;
}

// The reciprocals of the integer path's denominators (colour_conversion.cpp says why single
// precision is exact there).
inline constexpr float kInverse500 = 1.0f / 500.0f, kInverse10000 = 1.0f / 10000.0f;

}  // namespace media::colour
