#include "control/media/block_transform.h"

#include <cstring>

#include "control/media/vector_clones.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace media {
namespace {

// The two passes: the row pass (every row of the block, descaled by 2^11 with rounding, each result
// kept in 16 bits) and the column pass (descaled by 2^18). The DC-only shortcuts of the step-by-step
// transform give exactly what the full arithmetic gives ((x0 * 8192 + 1024) >> 11 = 4 x0 and
// (x0 * 8192 + 131072) >> 18 = (x0 + 16) >> 5, both within 32 bits), so the forms below do without them.
constexpr int32_t kRowRound = 1024, kColumnRound = 131072;
constexpr int kRowShift = 11, kColumnShift = 18;

#ifdef __SSE2__
// One pass with 16-bit multiply-adds (x86-64 always has them): every product and sum of the transform
// is exact modulo 2^32, so its constants regroup into pairs, one pmaddwd per pair of inputs, with
// results identical to the step-by-step arithmetic (no constant is -32768, so no pair of products
// overflows 32 bits). The even part takes (x0, x4) and (x2, x6); the odd part (x7, x1) and (x3, x5).
struct MaddPairs {
  __m128i t0, t1, t2, t3, oa71, oa35, ob71, ob35, oc71, oc35, od71, od35;
};

inline __m128i Pair(int16_t a, int16_t b) {
  return _mm_set_epi16(b, a, b, a, b, a, b, a);
}

const MaddPairs kPairs = {Pair(8192, 8192),   Pair(8192, -8192),   Pair(4433, -10704), Pair(10703, 4433),
                          Pair(-11363, 2260), Pair(-6436, 9633),   Pair(9633, 6437),   Pair(-11362, 2261),
                          Pair(-6436, 9633),  Pair(-2259, -11362), Pair(2260, 11363),  Pair(9633, 6437)};

// The shifted value's low 16 bits, sign-extended for the pack that follows. After the column pass's
// shift by 18 every 32-bit value already fits 16 bits; after the row pass's shift by 11 it need not,
// and shifting left first leaves exactly bits 11..26 for the arithmetic shift down.
template <int kShift>
__attribute__((always_inline)) inline __m128i Descale(__m128i v) {
  if constexpr (kShift >= 16) {
    return _mm_srai_epi32(v, kShift);
  } else {
    return _mm_srai_epi32(_mm_slli_epi32(v, 16 - kShift), 16);
  }
}

// Four lanes (one half of each interleaved pair of inputs) through the pass.
template <int kShift>
__attribute__((always_inline)) inline void PassHalf(__m128i x04, __m128i x26, __m128i x71, __m128i x35,
                                                    __m128i round, __m128i out[8]) {
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
__attribute__((always_inline)) inline void Pass(__m128i x[8], int32_t round_value) {
  const __m128i round = _mm_set1_epi32(round_value);
  __m128i lo[8], hi[8];
  PassHalf<kShift>(_mm_unpacklo_epi16(x[0], x[4]), _mm_unpacklo_epi16(x[2], x[6]),
                   _mm_unpacklo_epi16(x[7], x[1]), _mm_unpacklo_epi16(x[3], x[5]), round, lo);
  PassHalf<kShift>(_mm_unpackhi_epi16(x[0], x[4]), _mm_unpackhi_epi16(x[2], x[6]),
                   _mm_unpackhi_epi16(x[7], x[1]), _mm_unpackhi_epi16(x[3], x[5]), round, hi);
  for (int i = 0; i < 8; ++i) x[i] = _mm_packs_epi32(lo[i], hi[i]);
}

// The 8 x 8 transpose of 16-bit values in three rounds of unpacks, in registers.
__attribute__((always_inline)) inline void Transpose(__m128i r[8]) {
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
__attribute__((always_inline)) inline void TransformToRows(const int16_t columns[64], __m128i x[8]) {
  for (int i = 0; i < 8; ++i) x[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(columns + 8 * i));
  Pass<kRowShift>(x, kRowRound);
  Transpose(x);
  Pass<kColumnShift>(x, kColumnRound);
}

// Two rows of samples into two rows of plane bytes.
__attribute__((always_inline)) inline void StoreTwoRows(__m128i upper, __m128i lower, uint8_t* out,
                                                        std::size_t stride, PlaneKind kind) {
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
#else
// One pass, eight lanes at a time in a form the compiler can vectorize: it runs down all eight
// columns of `in` in parallel and writes the columns of `out`. Unsigned arithmetic wraps at 32 bits
// exactly as the step-by-step transform does.
TREVASK_VECTOR_CLONES void PassColumns(const int16_t* __restrict in, int16_t* __restrict out, int32_t round,
                                       int shift) {
  const uint32_t r = static_cast<uint32_t>(round);
  for (int c = 0; c < 8; ++c) {
    const uint32_t x0 = static_cast<uint32_t>(static_cast<int32_t>(in[c]));
    const uint32_t x1 = static_cast<uint32_t>(static_cast<int32_t>(in[8 + c]));
    const uint32_t x2 = static_cast<uint32_t>(static_cast<int32_t>(in[16 + c]));
    const uint32_t x3 = static_cast<uint32_t>(static_cast<int32_t>(in[24 + c]));
    const uint32_t x4 = static_cast<uint32_t>(static_cast<int32_t>(in[32 + c]));
    const uint32_t x5 = static_cast<uint32_t>(static_cast<int32_t>(in[40 + c]));
    const uint32_t x6 = static_cast<uint32_t>(static_cast<int32_t>(in[48 + c]));
    const uint32_t x7 = static_cast<uint32_t>(static_cast<int32_t>(in[56 + c]));
    const uint32_t z1 = (x2 + x6) * 4433u;
    const uint32_t t2 = z1 - x6 * 15137u, t3 = z1 + x2 * 6270u;
    const uint32_t t0 = (x0 + x4) << 13, t1 = (x0 - x4) << 13;
    const uint32_t e10 = t0 + t3 + r, e13 = t0 - t3 + r, e11 = t1 + t2 + r, e12 = t1 - t2 + r;
    const uint32_t oz1 = x7 + x1, oz2 = x5 + x3, oz3 = x7 + x3, oz4 = x5 + x1;
    const uint32_t z5 = (oz3 + oz4) * 9633u;
    const uint32_t q1 = oz1 * static_cast<uint32_t>(-7373), q2 = oz2 * static_cast<uint32_t>(-20995);
    const uint32_t q3 = oz3 * static_cast<uint32_t>(-16069) + z5,
                   q4 = oz4 * static_cast<uint32_t>(-3196) + z5;
    const uint32_t oa = x7 * 2446u + q1 + q3, ob = x5 * 16819u + q2 + q4;
    const uint32_t oc = x3 * 25172u + q2 + q3, od = x1 * 12299u + q1 + q4;
    out[c] = static_cast<int16_t>(static_cast<int32_t>(e10 + od) >> shift);
    out[56 + c] = static_cast<int16_t>(static_cast<int32_t>(e10 - od) >> shift);
    out[8 + c] = static_cast<int16_t>(static_cast<int32_t>(e11 + oc) >> shift);
    out[48 + c] = static_cast<int16_t>(static_cast<int32_t>(e11 - oc) >> shift);
    out[16 + c] = static_cast<int16_t>(static_cast<int32_t>(e12 + ob) >> shift);
    out[40 + c] = static_cast<int16_t>(static_cast<int32_t>(e12 - ob) >> shift);
    out[24 + c] = static_cast<int16_t>(static_cast<int32_t>(e13 + oa) >> shift);
    out[32 + c] = static_cast<int16_t>(static_cast<int32_t>(e13 - oa) >> shift);
  }
}

void TransformToSamples(const int16_t columns[64], int16_t samples[64]) {
  int16_t a[64], b[64];
  PassColumns(columns, b, kRowRound, kRowShift);
  for (int r = 0; r < 8; ++r)
    for (int c = 0; c < 8; ++c) a[8 * c + r] = b[8 * r + c];
  PassColumns(a, samples, kColumnRound, kColumnShift);
}
#endif

inline uint8_t SampleByte(int v, PlaneKind kind) {
  if (kind == PlaneKind::kChroma) return static_cast<uint8_t>(v & 0xFF);
  return static_cast<uint8_t>((v < -120 ? -120 : v > 120 ? 120 : v) + 128);
}

}  // namespace

TREVASK_VECTOR_CLONES void TransformColumnsToPlane(const int16_t columns[64], uint8_t* out,
                                                   std::size_t stride, PlaneKind kind) {
#ifdef __SSE2__
  __m128i rows[8];
  TransformToRows(columns, rows);
  for (int y = 0; y < 8; y += 2) StoreTwoRows(rows[y], rows[y + 1], out + y * stride, stride, kind);
#else
  int16_t samples[64];
  TransformToSamples(columns, samples);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) out[y * stride + x] = SampleByte(samples[8 * y + x], kind);
#endif
}

void FlatBlockToPlane(int16_t dc, uint8_t* out, std::size_t stride, PlaneKind kind) {
  const int flat = static_cast<int16_t>((static_cast<int16_t>(dc * 4) + 16) >> 5);
  uint8_t row[8];
  std::memset(row, SampleByte(flat, kind), sizeof row);
  for (int y = 0; y < 8; ++y) std::memcpy(out + y * stride, row, sizeof row);
}

void TransformBlock(const int16_t block[64], int16_t out[64]) {
  int16_t columns[64];
  for (int r = 0; r < 8; ++r)
    for (int c = 0; c < 8; ++c) columns[8 * c + r] = block[8 * r + c];
#ifdef __SSE2__
  __m128i rows[8];
  TransformToRows(columns, rows);
  for (int y = 0; y < 8; ++y) _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8 * y), rows[y]);
#else
  TransformToSamples(columns, out);
#endif
}

}  // namespace media
