#include "control/media/colour_conversion.h"

#include "control/media/colour_pairs.h"
#include "control/media/vector_dispatch.h"
#include "control/media/vector_kernels.h"

namespace media {
namespace {

using colour::kDoublePairs;
using colour::kInverse10000;
using colour::kInverse500;
using colour::PairKey;

inline uint8_t Channel(int v) {
  if (v < 0) v = -v;
  return static_cast<uint8_t>(v > 255 ? 255 : v);
}

inline uint8_t ChannelOf(double v) {
  return Channel(static_cast<int>(v));
}

inline void ConvertWithDoubles(int y, int cb, int cr, uint8_t out[3]) {
  const double yd = y;
  out[0] = ChannelOf(yd + 1.402 * cr);
  out[1] = ChannelOf(yd - 0.3441 * cb - 0.7139 * cr);
  out[2] = ChannelOf(yd + 1.7718 * cb - 0.0012 * cr);
}

// One channel of the integer path: trunc(num / den) made positive and capped at 255, computed as the
// single-precision product (|num| + 0.5) * (1 / den). That quotient lies at least 1 / (2 den) from
// every integer, and below 256 (above, the channel is capped anyway) the float result is off by less
// than 256 * 2^-23 < 1 / (2 * 10000), so truncating it gives the exact quotient. |num| + 0.5 stays
// below 2^23, where floats hold it exactly. Vector and scalar forms round identically.
inline int ChannelOfQuotient(int num, float inverse) {
  const float a = static_cast<float>(num < 0 ? -num : num) + 0.5f;
  const int q = static_cast<int>(a * inverse);
  return q > 255 ? 255 : q;
}

inline bool IsDoublePair(uint16_t key) {
  bool hit = false;
  for (const auto& p : kDoublePairs) hit |= key == PairKey(p[0], p[1]);
  return hit;
}

}  // namespace

namespace kernels {

// The integer path: R = (500 Y + 701 Cr) / 500, G = (10000 Y - 3441 Cb - 7139 Cr) / 10000 and
// B = (10000 Y + 17718 Cb - 12 Cr) / 10000, truncated toward zero as the conversion does. 1.402 Cr is
// never within rounding distance of an integer unless Cr = 0, where both forms are exact.
void ConvertPairsPortable(const uint8_t* luma, const uint8_t* chroma, uint8_t* rgb, std::size_t pairs) {
  for (std::size_t i = 0; i < pairs; ++i) {
    const int cb = chroma[2 * i] - 128;
    const int cr = chroma[2 * i + 1] - 128;
    const int rt = 701 * cr, gt = -3441 * cb - 7139 * cr, bt = 17718 * cb - 12 * cr;
    for (int half = 0; half < 2; ++half) {
      const int y = luma[2 * i + half];
      uint8_t* out = rgb + 6 * i + 3 * half;
      out[0] = static_cast<uint8_t>(ChannelOfQuotient(500 * y + rt, kInverse500));
      out[1] = static_cast<uint8_t>(ChannelOfQuotient(10000 * y + gt, kInverse10000));
      out[2] = static_cast<uint8_t>(ChannelOfQuotient(10000 * y + bt, kInverse10000));
    }
  }
}

bool AnyDoublePairPortable(const uint8_t* chroma, std::size_t pairs) {
  return colour::ScanForDoublePairs(chroma, pairs);
}

}  // namespace kernels

// Both planes into R G B: the integer path for every pair, then the double path again for the pixels
// of the few pairs where the two differ. Pairs are looked at in chunks, without a branch, as they
// are almost never there.
void ConvertPixels(const uint8_t* lp, const uint8_t* cp, uint8_t* rgb, std::size_t pixels) {
  const DecoderKernels& kernels = DecoderKernelsInUse();
  const std::size_t pairs = pixels / 2;
  kernels.convert_pairs(lp, cp, rgb, pairs);
  constexpr std::size_t kChunk = 256;
  for (std::size_t start = 0; start < pairs; start += kChunk) {
    const std::size_t end = start + kChunk < pairs ? start + kChunk : pairs;
    if (!kernels.any_double_pair(cp + 2 * start, end - start)) continue;
    for (std::size_t i = start; i < end; ++i) {
      if (!IsDoublePair(static_cast<uint16_t>(cp[2 * i] | cp[2 * i + 1] << 8))) continue;
      const int cb = static_cast<int>(cp[2 * i]) - 128, cr = static_cast<int>(cp[2 * i + 1]) - 128;
      ConvertWithDoubles(lp[2 * i], cb, cr, rgb + 6 * i);
      ConvertWithDoubles(lp[2 * i + 1], cb, cr, rgb + 6 * i + 3);
    }
  }
}

}  // namespace media
