// The block transform in SSE2 intrinsics, built for x86 only. The AVX2 path runs the very same code
// compiled for AVX2, whose three-operand encoding saves the register copies SSE2 needs.
#include <emmintrin.h>

#include "control/media/vector_kernels.h"

// The code below needs SSE2; the callers' own target (SSE2 or AVX2) includes it.
#define TREVASK_SSE2_INLINE __attribute__((target("sse2"), always_inline)) inline

namespace media {
namespace {

constexpr int32_t kRowRound = 1024, kColumnRound = 131072;
constexpr int kRowShift = 11, kColumnShift = 18;

// One pass with 16-bit multiply-adds: every product and sum of the transform is exact modulo 2^32,
// so its constants regroup into pairs, one pmaddwd per pair of inputs, with results identical to the
// step-by-step arithmetic (no constant is -32768, so no pair of products overflows 32 bits). The even
// part takes (x0, x4) and (x2, x6); the odd part (x7, x1) and (x3, x5).
struct MaddPairs {
  __m128i t0, t1, t2, t3, oa71, oa35, ob71, ob35, oc71, oc35, od71, od35;
};

TREVASK_SSE2_INLINE __m128i Pair(int16_t a, int16_t b) {
  return _mm_set_epi16(b, a, b, a, b, a, b, a);
}

// Filled when the library loads (SSE2 is in the baseline of every x86 build). The pass reads the
// pairs from memory: left to itself the compiler would rebuild some in registers, which then run
// short in the pass.
const MaddPairs kPairs = {Pair(8192, 8192),   Pair(8192, -8192),   Pair(4433, -10704), Pair(10703, 4433),
                          Pair(-11363, 2260), Pair(-6436, 9633),   Pair(9633, 6437),   Pair(-11362, 2261),
                          Pair(-6436, 9633),  Pair(-2259, -11362), Pair(2260, 11363),  Pair(9633, 6437)};

// The shifted value's low 16 bits, sign-extended for the pack that follows. After the column pass's
// shift by 18 every 32-bit value already fits 16 bits; after the row pass's shift by 11 it need not,
// and shifting left first leaves exactly bits 11..26 for the arithmetic shift down.
template <int kShift>
TREVASK_SSE2_INLINE __m128i Descale(__m128i v) {
  if constexpr (kShift >= 16) {
    return _mm_srai_epi32(v, kShift);
  } else {
    return _mm_srai_epi32(_mm_slli_epi32(v, 16 - kShift), 16);
  }
}

// Four lanes (one half of each interleaved pair of inputs) through the pass.
template <int kShift>
TREVASK_SSE2_INLINE void PassHalf(__m128i x04, __m128i x26, __m128i x71, __m128i x35, __m128i round,
                                  __m128i out[8]) {
  const MaddPairs& k = kPairs;
  const __m128i t0 = _mm_add_epi32(_mm_madd_epi16(x04, k.t0), round);
  const __m128i t1 = _mm_add_epi32(_mm_madd_epi16(x04, k.t1), round);
  const __m128i t2 = _mm_madd_epi16(x26, k.t2), t3 = _mm_madd_epi16(x26, k.t3);
  const __m128i e10 = _mm_add_epi32(t0, t3), e13 = _mm_sub_epi32(t0, t3);
  const __m128i e11 = _mm_add_epi32(t1, t2), e12 = _mm_sub_epi32(t1, t2);
  const __m128i oa = _mm_add_epi32(_mm_madd_epi16(x71, k.oa71), _mm_madd_epi16(x35, k.oa35));
  const __m128i ob = _mm_add_epi32(_mm_madd_epi16(x71, k.ob71), _mm_madd_epi16(x35, k.ob35));
  const __m128i oc = _mm_add_epi32(_mm_madd_epi16(x71, k.oc71), _mm_madd_epi16(x35, k.oc35));
  const __m128i od = _mm_add_epi32(_mm_madd_epi16(x71, k.od71), _mm_madd_epi16(x35, k.od35));
  out[0] = Descale<kShift>(_mm_add_epi32(e10, od));
  out[7] = Descale<kShift>(_mm_sub_epi32(e10, od));
  out[1] = Descale<kShift>(_mm_add_epi32(e11, oc));
  out[6] = Descale<kShift>(_mm_sub_epi32(e11, oc));
  out[2] = Descale<kShift>(_mm_add_epi32(e12, ob));
  out[5] = Descale<kShift>(_mm_sub_epi32(e12, ob));
  out[3] = Descale<kShift>(_mm_add_epi32(e13, oa));
  out[4] = Descale<kShift>(_mm_sub_epi32(e13, oa));
}

// The pass down all eight lanes of x[0..7] (x[i] holds input i of every lane), in place.
template <int kShift>
TREVASK_SSE2_INLINE void Pass(__m128i x[8], int32_t round_value) {
  const __m128i round = _mm_set1_epi32(round_value);
  __m128i lo[8], hi[8];
  PassHalf<kShift>(_mm_unpacklo_epi16(x[0], x[4]), _mm_unpacklo_epi16(x[2], x[6]),
                   _mm_unpacklo_epi16(x[7], x[1]), _mm_unpacklo_epi16(x[3], x[5]), round, lo);
  PassHalf<kShift>(_mm_unpackhi_epi16(x[0], x[4]), _mm_unpackhi_epi16(x[2], x[6]),
                   _mm_unpackhi_epi16(x[7], x[1]), _mm_unpackhi_epi16(x[3], x[5]), round, hi);
  for (int i = 0; i < 8; ++i) x[i] = _mm_packs_epi32(lo[i], hi[i]);
}

// The 8 x 8 transpose of 16-bit values in three rounds of unpacks, in registers.
TREVASK_SSE2_INLINE void Transpose(__m128i r[8]) {
  __m128i a[8], b[8];
  for (int i = 0; i < 4; ++i) {
    a[2 * i] = _mm_unpacklo_epi16(r[2 * i], r[2 * i + 1]);
    a[2 * i + 1] = _mm_unpackhi_epi16(r[2 * i], r[2 * i + 1]);
  }
  for (int i = 0; i < 2; ++i) {
    b[4 * i + 0] = _mm_unpacklo_epi32(a[4 * i + 0], a[4 * i + 2]);
    b[4 * i + 1] = _mm_unpackhi_epi32(a[4 * i + 0], a[4 * i + 2]);
    b[4 * i + 2] = _mm_unpacklo_epi32(a[4 * i + 1], a[4 * i + 3]);
    b[4 * i + 3] = _mm_unpackhi_epi32(a[4 * i + 1], a[4 * i + 3]);
  }
  for (int i = 0; i < 4; ++i) {
    r[2 * i] = _mm_unpacklo_epi64(b[i], b[4 + i]);
    r[2 * i + 1] = _mm_unpackhi_epi64(b[i], b[4 + i]);
  }
}

// Column-ordered coefficients in, the rows of samples out. Given column by column, the block's rows
// are the lanes, so the row pass needs no transpose; one transpose in registers turns its results
// for the column pass.
TREVASK_SSE2_INLINE void TransformToRows(const int16_t columns[64], __m128i x[8]) {
  for (int i = 0; i < 8; ++i) x[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(columns + 8 * i));
  Pass<kRowShift>(x, kRowRound);
  Transpose(x);
  Pass<kColumnShift>(x, kColumnRound);
}

// Two rows of samples into two rows of plane bytes.
TREVASK_SSE2_INLINE void StoreTwoRows(__m128i upper, __m128i lower, uint8_t* out, std::size_t stride,
                                      PlaneKind kind) {
  __m128i bytes;
  if (kind == PlaneKind::kLuma) {
    // Signed saturation keeps the order of values, so clamping after it to -120..120 (8..248 once the
    // sign bit is flipped, which adds 128) clamps the samples themselves.
    bytes = _mm_xor_si128(_mm_packs_epi16(upper, lower), _mm_set1_epi8(static_cast<char>(0x80)));
    bytes = _mm_min_epu8(_mm_max_epu8(bytes, _mm_set1_epi8(8)), _mm_set1_epi8(static_cast<char>(248)));
  } else {
    const __m128i low = _mm_set1_epi16(0xFF);
    bytes = _mm_packus_epi16(_mm_and_si128(upper, low), _mm_and_si128(lower, low));
  }
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out), bytes);
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out + stride), _mm_unpackhi_epi64(bytes, bytes));
}

TREVASK_SSE2_INLINE void ToPlane(const int16_t columns[64], uint8_t* out, std::size_t stride,
                                 PlaneKind kind) {
  __m128i rows[8];
  TransformToRows(columns, rows);
  for (int y = 0; y < 8; y += 2) StoreTwoRows(rows[y], rows[y + 1], out + y * stride, stride, kind);
}

TREVASK_SSE2_INLINE void ToSamples(const int16_t columns[64], int16_t samples[64]) {
  __m128i rows[8];
  TransformToRows(columns, rows);
  for (int y = 0; y < 8; ++y) _mm_storeu_si128(reinterpret_cast<__m128i*>(samples + 8 * y), rows[y]);
}

}  // namespace

namespace kernels {

__attribute__((target("sse2"))) void TransformToPlaneSse2(const int16_t columns[64], uint8_t* out,
                                                          std::size_t stride, PlaneKind kind) {
  ToPlane(columns, out, stride, kind);
}

__attribute__((target("sse2"))) void TransformToSamplesSse2(const int16_t columns[64], int16_t samples[64]) {
  ToSamples(columns, samples);
}

__attribute__((target("avx2"))) void TransformToPlaneAvx2(const int16_t columns[64], uint8_t* out,
                                                          std::size_t stride, PlaneKind kind) {
  ToPlane(columns, out, stride, kind);
}

__attribute__((target("avx2"))) void TransformToSamplesAvx2(const int16_t columns[64], int16_t samples[64]) {
  ToSamples(columns, samples);
}

}  // namespace kernels
}  // namespace media
