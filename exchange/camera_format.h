// The robot camera's stream format: bare baseline-JPEG entropy-coded data of a 176 x 144 picture with
// everything a JPEG header would carry fixed here: the four Huffman tables of ITU-T T.81 Annex K, the
// two quantisation base tables (Tables K.1 and K.2 written out in zig-zag sequence and applied, as the
// camera does, to row-major positions), the zig-zag order and the quality scaling. The camera encodes
// the luminance blocks of the whole picture, then the blocks of one full-size chroma plane whose even
// columns hold Cb and odd columns Cr.
#pragma once

#include <cstdint>

namespace exchange {

inline constexpr int kCameraWidth = 176;
inline constexpr int kCameraHeight = 144;
inline constexpr int kCameraQuality = 70;
inline constexpr int kMaxCameraStream = 20480;

struct HuffmanSpec {
  uint8_t bits[17];  // entry l = number of codes of length l; entry 0 unused
  uint8_t huffval[256];
};

extern const HuffmanSpec kLumaDcTable;    // T.81 Table K.3
extern const HuffmanSpec kChromaDcTable;  // T.81 Table K.4
extern const HuffmanSpec kLumaAcTable;    // T.81 Table K.5
extern const HuffmanSpec kChromaAcTable;  // T.81 Table K.6

extern const int16_t kLumaQuantBase[64];
extern const int16_t kChromaQuantBase[64];
// Entry k: the row-major position of the k-th coefficient in coding order (T.81 Figure A.6).
extern const uint8_t kZigzag[64];

// The scale a quality gives: <= 0 as 1 (5000), > 100 as 100 (0), 50..100: 200 - 2q, else 5000 / q.
int QualityScale(int quality);
// A base table scaled: (e * scale + 50) / 100, kept within 1..32767.
void ScaleQuantTable(const int16_t base[64], int scale, int16_t out[64]);

}  // namespace exchange
