// The colour conversion's AVX2 path, built for x86 only.
#include <immintrin.h>

#include "control/media/colour_pairs.h"
#include "control/media/vector_kernels.h"

namespace media {
namespace {

using colour::kInverse10000;
using colour::kInverse500;

#define TREVASK_AVX2 __attribute__((target("avx2"), always_inline)) inline

TREVASK_AVX2 __m256i ChannelAvx2(__m256i num, __m256 inverse, __m256 half) {
  const __m256 a = _mm256_add_ps(_mm256_cvtepi32_ps(_mm256_abs_epi32(num)), half);
  return _mm256_cvttps_epi32(_mm256_mul_ps(a, inverse));
}

// Both pixels' values of one channel as 16-bit lanes in pixel order (all are 0..65535).
TREVASK_AVX2 __m256i PixelOrder(__m256i even, __m256i odd) {
  return _mm256_or_si256(even, _mm256_slli_epi32(odd, 16));
}

}  // namespace

namespace kernels {

// The integer path (colour_conversion.cpp), eight pairs at a time; the last few pairs go the portable way.
// Each 32-bit lane holds one pair: the chroma bytes as (Cb, Cr) 16-bit halves give every chroma term
// by one multiply-add, the two luminance bytes likewise give 500 Y and 10000 Y of either pixel.
__attribute__((target("avx2"))) void ConvertPairsAvx2(const uint8_t* luma, const uint8_t* chroma,
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
  const std::size_t whole = pairs - pairs % 8;
  for (std::size_t i = 0; i < whole; i += 8) {
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
  ConvertPairsPortable(luma + 2 * whole, chroma + 2 * whole, rgb + 6 * whole, pairs - whole);
}

__attribute__((target("avx2"))) bool AnyDoublePairAvx2(const uint8_t* chroma, std::size_t pairs) {
  return colour::ScanForDoublePairs(chroma, pairs);
}

}  // namespace kernels
}  // namespace media
