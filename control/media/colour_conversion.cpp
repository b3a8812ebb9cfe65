#include "control/media/colour_conversion.h"

#include "control/media/vector_clones.h"

#ifdef __x86_64__
#include <immintrin.h>
#endif

namespace media {
namespace {

// The only pairs (Cb, Cr) for which the double arithmetic truncates differently from the exact value
// for some Y: there a product such as 0.3441 * -44 lands a hair off the integer the exact value is,
// and truncation toward zero takes it to the next one. Found by trying all 16.7 million inputs (426
// of them differ, all with one of these pairs); the colour test tries them all again.
constexpr int kDoublePairs[][2] = {{-110, 85}, {-88, 68}, {-66, 51}, {-46, 74},
                                   {-44, 34},  {-22, 17}, {91, 71}};

// A pair as its two chroma bytes read as one little-endian word.
constexpr uint16_t PairKey(int cb, int cr) {
  return static_cast<uint16_t>((cb + 128) | (cr + 128) << 8);
}

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

constexpr float kInverse500 = 1.0f / 500.0f, kInverse10000 = 1.0f / 10000.0f;

// The integer path for pairs [from, pairs): R = (500 Y + 701 Cr) / 500,
// G = (10000 Y - 3441 Cb - 7139 Cr) / 10000 and B = (10000 Y + 17718 Cb - 12 Cr) / 10000, truncated
// toward zero as the conversion does. 1.402 Cr is never within rounding distance of an integer
// unless Cr = 0, where both forms are exact.
void ConvertPairsPortable(const uint8_t* luma, const uint8_t* chroma, uint8_t* rgb, std::size_t from,
                          std::size_t pairs) {
  for (std::size_t i = from; i < pairs; ++i) {
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

#if defined(__x86_64__) && !defined(TREVASK_NO_IFUNC)
#define TREVASK_AVX2_COLOUR 1

#define TREVASK_AVX2 __attribute__((target("avx2"), always_inline)) inline

TREVASK_AVX2 __m256i ChannelAvx2(__m256i num, __m256 inverse, __m256 half) {
  const __m256 a = _mm256_add_ps(_mm256_cvtepi32_ps(_mm256_abs_epi32(num)), half);
  return _mm256_cvttps_epi32(_mm256_mul_ps(a, inverse));
}

// Both pixels' values of one channel as 16-bit lanes in pixel order (all are 0..65535).
TREVASK_AVX2 __m256i PixelOrder(__m256i even, __m256i odd) {
  return _mm256_or_si256(even, _mm256_slli_epi32(odd, 16));
}

// The same, eight pairs at a time with AVX2; returns how many pairs it converted (a multiple of 8).
// Each 32-bit lane holds one pair: the chroma bytes as (Cb, Cr) 16-bit halves give every chroma term
// by one multiply-add, the two luminance bytes likewise give 500 Y and 10000 Y of either pixel.
__attribute__((target("avx2"))) std::size_t ConvertPairsAvx2(const uint8_t* luma, const uint8_t* chroma,
                                                             uint8_t* rgb, std::size_t pairs) {
  const __m256i k128 = _mm256_set1_epi16(128);
  const __m256i r_terms = _mm256_set1_epi32(701 << 16);  // (Cb, Cr) -> 701 Cr
  const __m256i g_terms = _mm256_set1_epi32(
      static_cast<int32_t>((static_cast<uint32_t>(-7139) << 16) | (0xFFFFu & static_cast<uint32_t>(-3441))));
  const __m256i b_terms =
      _mm256_set1_epi32(static_cast<int32_t>((static_cast<uint32_t>(-12) << 16) | 17718u));
  const __m256i r_y0 = _mm256_set1_epi32(500), r_y1 = _mm256_set1_epi32(500 << 16);
  const __m256i gb_y0 = _mm256_set1_epi32(10000), gb_y1 = _mm256_set1_epi32(10000 << 16);
  const __m256 inv_r = _mm256_set1_ps(kInverse500), inv_gb = _mm256_set1_ps(kInverse10000);
  // Bytes of R0..R7 G0..G7 and of B0..B7 into R G B order: the first 16 output bytes, then 8 more.
  const __m256i rg_lo = _mm256_setr_epi8(0, 8, -1, 1, 9, -1, 2, 10, -1, 3, 11, -1, 4, 12, -1, 5, 0, 8, -1, 1,
                                         9, -1, 2, 10, -1, 3, 11, -1, 4, 12, -1, 5);
  const __m256i b_lo = _mm256_setr_epi8(-1, -1, 0, -1, -1, 1, -1, -1, 2, -1, -1, 3, -1, -1, 4, -1, -1, -1, 0,
                                        -1, -1, 1, -1, -1, 2, -1, -1, 3, -1, -1, 4, -1);
  const __m256i rg_hi = _mm256_setr_epi8(13, -1, 6, 14, -1, 7, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1, 13, -1,
                                         6, 14, -1, 7, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m256i b_hi = _mm256_setr_epi8(-1, 5, -1, -1, 6, -1, -1, 7, -1, -1, -1, -1, -1, -1, -1, -1, -1, 5,
                                        -1, -1, 6, -1, -1, 7, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m256 half = _mm256_set1_ps(0.5f);
  std::size_t i = 0;
  for (; i + 8 <= pairs; i += 8) {
    const __m256i c = _mm256_sub_epi16(
        _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(chroma + 2 * i))), k128);
    const __m256i y = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(luma + 2 * i)));
    const __m256i rt = _mm256_madd_epi16(c, r_terms), gt = _mm256_madd_epi16(c, g_terms);
    const __m256i bt = _mm256_madd_epi16(c, b_terms);
    const __m256i ry0 = _mm256_madd_epi16(y, r_y0), ry1 = _mm256_madd_epi16(y, r_y1);
    const __m256i gby0 = _mm256_madd_epi16(y, gb_y0), gby1 = _mm256_madd_epi16(y, gb_y1);
    const __m256i r = PixelOrder(ChannelAvx2(_mm256_add_epi32(ry0, rt), inv_r, half),
                                 ChannelAvx2(_mm256_add_epi32(ry1, rt), inv_r, half));
    const __m256i g = PixelOrder(ChannelAvx2(_mm256_add_epi32(gby0, gt), inv_gb, half),
                                 ChannelAvx2(_mm256_add_epi32(gby1, gt), inv_gb, half));
    const __m256i b = PixelOrder(ChannelAvx2(_mm256_add_epi32(gby0, bt), inv_gb, half),
                                 ChannelAvx2(_mm256_add_epi32(gby1, bt), inv_gb, half));
    // Unsigned saturation caps every channel at 255; each 128-bit lane then holds eight pixels.
    const __m256i rg = _mm256_packus_epi16(r, g), bb = _mm256_packus_epi16(b, b);
    const __m256i first = _mm256_or_si256(_mm256_shuffle_epi8(rg, rg_lo), _mm256_shuffle_epi8(bb, b_lo));
    const __m256i rest = _mm256_or_si256(_mm256_shuffle_epi8(rg, rg_hi), _mm256_shuffle_epi8(bb, b_hi));
    uint8_t* out = rgb + 6 * i;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(first));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 16), _mm256_castsi256_si128(rest));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 24), _mm256_extracti128_si256(first, 1));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 40), _mm256_extracti128_si256(rest, 1));
  }
  return i;
}
#endif

void ConvertPairs(const uint8_t* luma, const uint8_t* chroma, uint8_t* rgb, std::size_t pairs) {
  std::size_t done = 0;
#ifdef TREVASK_AVX2_COLOUR
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2) done = ConvertPairsAvx2(luma, chroma, rgb, pairs);
#endif
  ConvertPairsPortable(luma, chroma, rgb, done, pairs);
}

inline bool IsDoublePair(uint16_t key) {
  bool hit = false;
  for (const auto& p : kDoublePairs) hit |= key == PairKey(p[0], p[1]);
  return hit;
}

// Whether any of `pairs` chroma pairs is one of the double pairs: a branch-free scan the compiler
// turns into 16-bit vector compares, so the rare fix-up costs almost nothing where it is not needed.
TREVASK_VECTOR_CLONES bool AnyDoublePair(const uint8_t* __restrict chroma, std::size_t pairs) {
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

// Both planes into R G B: the integer path for every pair, then the double path again for the pixels
// of the few pairs where the two differ. Pairs are looked at in chunks, without a branch, as they
// are almost never there.
}  // namespace

void ConvertPixels(const uint8_t* lp, const uint8_t* cp, uint8_t* rgb, std::size_t pixels) {
  const std::size_t pairs = pixels / 2;
  ConvertPairs(lp, cp, rgb, pairs);
  constexpr std::size_t kChunk = 256;
  for (std::size_t start = 0; start < pairs; start += kChunk) {
    const std::size_t end = start + kChunk < pairs ? start + kChunk : pairs;
    if (!AnyDoublePair(cp + 2 * start, end - start)) continue;
    for (std::size_t i = start; i < end; ++i) {
      if (!IsDoublePair(static_cast<uint16_t>(cp[2 * i] | cp[2 * i + 1] << 8))) continue;
      const int cb = static_cast<int>(cp[2 * i]) - 128, cr = static_cast<int>(cp[2 * i + 1]) - 128;
      ConvertWithDoubles(lp[2 * i], cb, cr, rgb + 6 * i);
      ConvertWithDoubles(lp[2 * i + 1], cb, cr, rgb + 6 * i + 3);
    }
  }
}

}  // namespace media
