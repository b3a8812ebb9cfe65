// The camera decoder's block stage: the integer inverse transform of a dequantized 8 x 8 block and the
// block's samples written into a plane. The arithmetic is CJpegQuantIdct::InverseDct's, 32-bit
// wrap-around included; only the order of work differs.
#pragma once

#include <cstddef>
#include <cstdint>

namespace media {

// Eight rows of a block's samples into plane bytes at `out`, `stride` apart: luminance clamped to
// -120..120 and lifted by 128, chroma as the low eight bits of each sample.
enum class PlaneKind { kLuma, kChroma };

// A dequantized block given column by column (columns[8 * c + r] is row r, column c) through the
// transform into the plane.
void TransformColumnsToPlane(const int16_t columns[64], uint8_t* out, std::size_t stride, PlaneKind kind);

// A block with only a DC coefficient (dequantized): both passes of the transform keep it flat.
void FlatBlockToPlane(int16_t dc, uint8_t* out, std::size_t stride, PlaneKind kind);

// A row-major block through the very transform frames use, into `out` (row-major samples).
void TransformBlock(const int16_t block[64], int16_t out[64]);

}  // namespace media
