#include "control/media/jpeg_decoder.h"

#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif
#ifdef __x86_64__
#include <immintrin.h>
#endif

#include "exchange/camera_format.h"

// Hot loops get an AVX2 clone picked at load time. Sanitizer runtimes cannot run the loader's
// resolver functions that this relies on, so sanitizer builds keep the one portable version.
#ifdef TREVASK_NO_IFUNC
#define TREVASK_VECTOR_CLONES
#else
#define TREVASK_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#endif

namespace media {

// Derived decoding tables (T.81 Annex C, Figure F.15), plus an 8-bit lookahead: for every 8-bit
// prefix, the length and symbol of the code it starts with when that code is at most 8 bits long.
// AC tables also get a combined lookahead over kFastBits bits: where the code and the value bits that
// follow it both fit, the entry holds the total length, the run and the extended value, so that most
// coefficients take one look; end-of-block has run 64, which ends the block.
constexpr int kFastBits = 10;

struct DerivedTable {
  int32_t maxcode[18];
  int32_t mincode[17];
  int32_t valptr[17];
  uint8_t huffval[256];
  uint8_t look_len[256];  // 0: the code is longer than 8 bits
  uint8_t look_sym[256];
  // Bits 0-15 the value, 16-23 the run, 24-31 the bits taken (0: decode the long way).
  uint32_t fast_ac[1 << kFastBits];
};

namespace {

int Extend(uint32_t v, int s) {
  return v < (1u << (s - 1)) ? static_cast<int>(v) + 1 - (1 << s) : static_cast<int>(v);
}

DerivedTable Derive(const exchange::HuffmanSpec& spec, bool ac) {
  DerivedTable t{};
  std::memcpy(t.huffval, spec.huffval, 256);
  int huffsize[257];
  int k = 0;
  for (int l = 1; l <= 16; ++l)
    for (int i = 0; i < spec.bits[l] && k < 256; ++i) huffsize[k++] = l;
  huffsize[k] = 0;
  int huffcode[257];
  int code = 0, size = huffsize[0];
  for (int p = 0; huffsize[p] != 0;) {
    while (huffsize[p] == size) huffcode[p++] = code++;
    code <<= 1;
    ++size;
  }
  int p = 0;
  for (int l = 1; l <= 16; ++l) {
    if (spec.bits[l] > 0) {
      t.valptr[l] = p;
      t.mincode[l] = huffcode[p];
      p += spec.bits[l];
      t.maxcode[l] = huffcode[p - 1];
    } else {
      t.maxcode[l] = -1;
    }
  }
  t.maxcode[17] = 0xFFFFF;
  for (int prefix = 0; prefix < 256; ++prefix) {
    int c = 0;
    for (int l = 1; l <= 8; ++l) {
      c = (c << 1) | ((prefix >> (8 - l)) & 1);
      if (c <= t.maxcode[l]) {
        int j = t.valptr[l] + c - t.mincode[l];
        t.look_len[prefix] = static_cast<uint8_t>(l);
        t.look_sym[prefix] = (j >= 0 && j <= 255) ? t.huffval[j] : 0;
        break;
      }
    }
  }
  for (uint32_t prefix = 0; ac && prefix < (1u << kFastBits); ++prefix) {
    const int look = static_cast<int>(prefix >> (kFastBits - 8));
    const int len = t.look_len[look];
    t.fast_ac[prefix] = 0;
    if (len == 0) continue;
    const int rs = t.look_sym[look], run = rs >> 4, extra = rs & 15;
    if (extra == 0) {
      if (run == 0) t.fast_ac[prefix] = static_cast<uint32_t>(len) << 24 | 64u << 16;  // end of block
      continue;  // sixteen zeros: rare, the long way
    }
    if (len + extra > kFastBits) continue;
    const uint32_t bits = (prefix >> (kFastBits - len - extra)) & ((1u << extra) - 1);
    const auto value = static_cast<uint16_t>(Extend(bits, extra));
    t.fast_ac[prefix] = static_cast<uint32_t>(len + extra) << 24 | static_cast<uint32_t>(run) << 16 | value;
  }
  return t;
}

const DerivedTable* Tables() {
  static const DerivedTable tables[4] = {
      Derive(exchange::kLumaDcTable, false), Derive(exchange::kChromaDcTable, false),
      Derive(exchange::kLumaAcTable, true), Derive(exchange::kChromaAcTable, true)};
  return tables;
}

// 32-bit wrap-around arithmetic, as the camera's integer code computes.
inline int32_t W(int64_t v) {
  return static_cast<int32_t>(static_cast<uint32_t>(v));
}

// One 1-D pass of the transform on x0..x7 (stride apart); `round` and `shift` descale the outputs.
inline void Idct1D(int16_t* x, int stride, int32_t round, int shift) {
  const int64_t x0 = x[0], x1 = x[stride], x2 = x[2 * stride], x3 = x[3 * stride];
  const int64_t x4 = x[4 * stride], x5 = x[5 * stride], x6 = x[6 * stride], x7 = x[7 * stride];
  const int64_t z1 = (x2 + x6) * 4433;
  const int64_t t2 = z1 - x6 * 15137;
  const int64_t t3 = z1 + x2 * 6270;
  const int64_t t0 = (x0 + x4) * 8192;
  const int64_t t1 = (x0 - x4) * 8192;
  const int64_t e10 = t0 + t3, e13 = t0 - t3, e11 = t1 + t2, e12 = t1 - t2;
  const int64_t a = x7, b = x5, c = x3, d = x1;
  const int64_t oz1 = a + d, oz2 = b + c, oz3 = a + c, oz4 = b + d;
  const int64_t z5 = (oz3 + oz4) * 9633;
  const int64_t q1 = oz1 * -7373, q2 = oz2 * -20995;
  const int64_t q3 = oz3 * -16069 + z5, q4 = oz4 * -3196 + z5;
  const int64_t oa = a * 2446 + q1 + q3, ob = b * 16819 + q2 + q4;
  const int64_t oc = c * 25172 + q2 + q3, od = d * 12299 + q1 + q4;
  auto out = [&](int64_t y) { return static_cast<int16_t>(W(W(y) + static_cast<int64_t>(round)) >> shift); };
  x[0] = out(e10 + od);
  x[7 * stride] = out(e10 - od);
  x[stride] = out(e11 + oc);
  x[6 * stride] = out(e11 - oc);
  x[2 * stride] = out(e12 + ob);
  x[5 * stride] = out(e12 - ob);
  x[3 * stride] = out(e13 + oa);
  x[4 * stride] = out(e13 - oa);
}

}  // namespace

// ---- Quantisation and transform ----------------------------------------------------------------

CJpegQuantIdct::CJpegQuantIdct() {
  std::memcpy(luma_table_, exchange::kLumaQuantBase, sizeof luma_table_);
  std::memcpy(chroma_table_, exchange::kChromaQuantBase, sizeof chroma_table_);
}

int CJpegQuantIdct::QualityScale(int16_t quality) {
  return exchange::QualityScale(quality);
}

void CJpegQuantIdct::SetQuality(int16_t quality) {
  const int scale = QualityScale(quality);
  scale_ = static_cast<int16_t>(scale);
  exchange::ScaleQuantTable(exchange::kLumaQuantBase, scale, luma_table_);
  exchange::ScaleQuantTable(exchange::kChromaQuantBase, scale, chroma_table_);
}

void CJpegQuantIdct::Unzigzag(int16_t block[64]) {
  int16_t coding[64];
  std::memcpy(coding, block, sizeof coding);
  for (int k = 0; k < 64; ++k) block[exchange::kZigzag[k]] = coding[k];
}

void CJpegQuantIdct::DequantizeLuma(int16_t block[64]) const {
  for (int i = 0; i < 64; ++i) block[i] = static_cast<int16_t>(block[i] * luma_table_[i]);
}

void CJpegQuantIdct::DequantizeChroma(int16_t block[64]) const {
  for (int i = 0; i < 64; ++i) block[i] = static_cast<int16_t>(block[i] * chroma_table_[i]);
}

void CJpegQuantIdct::InverseDct(int16_t block[64]) {
  for (int r = 0; r < 8; ++r) {
    int16_t* row = block + 8 * r;
    if ((row[1] | row[2] | row[3] | row[4] | row[5] | row[6] | row[7]) == 0) {
      const int16_t dc = static_cast<int16_t>(row[0] * 4);  // x0 << 2, kept in 16 bits
      for (int i = 0; i < 8; ++i) row[i] = dc;
    } else {
      Idct1D(row, 1, 1024, 11);
    }
  }
  for (int c = 0; c < 8; ++c) {
    int16_t* col = block + c;
    if ((col[8] | col[16] | col[24] | col[32] | col[40] | col[48] | col[56]) == 0) {
      const int16_t dc = static_cast<int16_t>((col[0] + 16) >> 5);
      for (int i = 0; i < 8; ++i) col[8 * i] = dc;
    } else {
      Idct1D(col, 8, 131072, 18);
    }
  }
}

namespace {

#ifndef __SSE2__
// The same transform, eight lanes at a time so that the compiler can use vector instructions: one
// pass runs down all eight columns of `in` in parallel and writes the columns of `out`. The row pass
// is that pass on the transposed block. The DC-only shortcuts of InverseDct give exactly what the
// full arithmetic gives ((x0 * 8192 + 1024) >> 11 = 4 x0 and (x0 * 8192 + 131072) >> 18 =
// (x0 + 16) >> 5, both within 32 bits), so the vector form does without them. Unsigned arithmetic
// wraps at 32 bits exactly as the camera's integer code does.
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
#endif

#ifdef __SSE2__
// The pass with 16-bit multiply-adds, where the machine has them (x86-64 always does): every product
// and sum of the transform (Idct1D above) is exact modulo 2^32, so its constants regroup into pairs, one
// pmaddwd per pair of inputs, with results identical to the arithmetic above (no constant is -32768, so no
// pair of products overflows 32 bits). The even part takes (x0, x4) and (x2, x6); the odd part (x7, x1) and
// (x3, x5). Outputs keep the low 16 bits of the shifted value, as the conversion to int16_t does.
struct MaddPairs {
  __m128i t0, t1, t2, t3, oa71, oa35, ob71, ob35, oc71, oc35, od71, od35;
};

inline __m128i Pair(int16_t a, int16_t b) {
  return _mm_set_epi16(b, a, b, a, b, a, b, a);
}

inline const MaddPairs& Constants() {
  static const MaddPairs k = {Pair(8192, 8192),   Pair(8192, -8192),   Pair(4433, -10704), Pair(10703, 4433),
                              Pair(-11363, 2260), Pair(-6436, 9633),   Pair(9633, 6437),   Pair(-11362, 2261),
                              Pair(-6436, 9633),  Pair(-2259, -11362), Pair(2260, 11363),  Pair(9633, 6437)};
  return k;
}

// Four columns' worth (one half of each interleaved pair of rows) through the pass.
inline void PassHalf(__m128i x04, __m128i x26, __m128i x71, __m128i x35, __m128i round, int shift,
                     __m128i out[8]) {
  const MaddPairs& k = Constants();
  const __m128i t0 = _mm_add_epi32(_mm_madd_epi16(x04, k.t0), round);
  const __m128i t1 = _mm_add_epi32(_mm_madd_epi16(x04, k.t1), round);
  const __m128i t2 = _mm_madd_epi16(x26, k.t2), t3 = _mm_madd_epi16(x26, k.t3);
  const __m128i e10 = _mm_add_epi32(t0, t3), e13 = _mm_sub_epi32(t0, t3);
  const __m128i e11 = _mm_add_epi32(t1, t2), e12 = _mm_sub_epi32(t1, t2);
  const __m128i oa = _mm_add_epi32(_mm_madd_epi16(x71, k.oa71), _mm_madd_epi16(x35, k.oa35));
  const __m128i ob = _mm_add_epi32(_mm_madd_epi16(x71, k.ob71), _mm_madd_epi16(x35, k.ob35));
  const __m128i oc = _mm_add_epi32(_mm_madd_epi16(x71, k.oc71), _mm_madd_epi16(x35, k.oc35));
  const __m128i od = _mm_add_epi32(_mm_madd_epi16(x71, k.od71), _mm_madd_epi16(x35, k.od35));
  const __m128i count = _mm_cvtsi32_si128(shift);
  auto low16 = [&](__m128i v) {  // the shifted value's low 16 bits, sign-extended for the pack
    return _mm_srai_epi32(_mm_slli_epi32(_mm_sra_epi32(v, count), 16), 16);
  };
  out[0] = low16(_mm_add_epi32(e10, od));
  out[7] = low16(_mm_sub_epi32(e10, od));
  out[1] = low16(_mm_add_epi32(e11, oc));
  out[6] = low16(_mm_sub_epi32(e11, oc));
  out[2] = low16(_mm_add_epi32(e12, ob));
  out[5] = low16(_mm_sub_epi32(e12, ob));
  out[3] = low16(_mm_add_epi32(e13, oa));
  out[4] = low16(_mm_sub_epi32(e13, oa));
}

// PassColumns with multiply-adds: all eight columns, four at a time.
inline void PassColumnsMadd(const int16_t* __restrict in, int16_t* __restrict out, int32_t round, int shift) {
  __m128i row[8];
  for (int i = 0; i < 8; ++i) row[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 8 * i));
  const __m128i r = _mm_set1_epi32(round);
  __m128i lo[8], hi[8];
  PassHalf(_mm_unpacklo_epi16(row[0], row[4]), _mm_unpacklo_epi16(row[2], row[6]),
           _mm_unpacklo_epi16(row[7], row[1]), _mm_unpacklo_epi16(row[3], row[5]), r, shift, lo);
  PassHalf(_mm_unpackhi_epi16(row[0], row[4]), _mm_unpackhi_epi16(row[2], row[6]),
           _mm_unpackhi_epi16(row[7], row[1]), _mm_unpackhi_epi16(row[3], row[5]), r, shift, hi);
  for (int i = 0; i < 8; ++i)
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8 * i), _mm_packs_epi32(lo[i], hi[i]));
}
#endif

inline void Transpose(const int16_t* __restrict in, int16_t* __restrict out) {
#ifdef __SSE2__
  // The 8 x 8 transpose of 16-bit values in three rounds of unpacks.
  __m128i r[8], a[8], b[8];
  for (int i = 0; i < 8; ++i) r[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 8 * i));
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
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8 * (2 * i)), _mm_unpacklo_epi64(b[i], b[4 + i]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8 * (2 * i + 1)), _mm_unpackhi_epi64(b[i], b[4 + i]));
  }
#else
  for (int r = 0; r < 8; ++r)
    for (int c = 0; c < 8; ++c) out[8 * c + r] = in[8 * r + c];
#endif
}

// Eight samples of a transformed block row into plane bytes: luminance clamped to -120..120 and
// lifted by 128, chroma as the low eight bits.
inline void StoreRow(const int16_t* samples, uint8_t* out, bool luma) {
#ifdef __SSE2__
  __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(samples));
  if (luma) {
    v = _mm_add_epi16(_mm_min_epi16(_mm_max_epi16(v, _mm_set1_epi16(-120)), _mm_set1_epi16(120)),
                      _mm_set1_epi16(128));
  } else {
    v = _mm_and_si128(v, _mm_set1_epi16(0xFF));
  }
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(v, v));
#else
  for (int x = 0; x < 8; ++x) {
    const int v = samples[x];
    out[x] = luma ? static_cast<uint8_t>((v < -120  ? -120
                                          : v > 120 ? 120
                                                    : v) +
                                         128)
                  : static_cast<uint8_t>(v & 0xFF);
  }
#endif
}

// The inverse transform of a row-major block into `out` (row-major).
void InverseDctFast(const int16_t block[64], int16_t out[64]) {
  int16_t a[64], b[64];
  Transpose(block, a);
#ifdef __SSE2__
  PassColumnsMadd(a, b, 1024, 11);  // the row pass, on the transposed block
  Transpose(b, a);
  PassColumnsMadd(a, out, 131072, 18);
#else
  PassColumns(a, b, 1024, 11);
  Transpose(b, a);
  PassColumns(a, out, 131072, 18);
#endif
}

}  // namespace

// ---- Entropy decoding --------------------------------------------------------------------------

CJpegEntropyDecoder::CJpegEntropyDecoder() {
  bytes_.reserve(kMaxInput + kPadding);
}

bool CJpegEntropyDecoder::Init() {
  window_ = 0;
  window_bits_ = 0;
  predictor_[0] = predictor_[1] = predictor_[2] = 0;
  return Tables() != nullptr;
}

bool CJpegEntropyDecoder::Load(const uint8_t* data, int length) {
  if (length < 1 || length > kMaxInput) return false;
  // Whole runs between 0xFF bytes are copied at once; 0xFF 0x00 is one 0xFF data byte, and 0xFF
  // before anything else (or at the end) is a marker, where the data ends.
  bytes_.resize(static_cast<std::size_t>(length) + kPadding);
  std::size_t out = 0, i = 0;
  const std::size_t n = static_cast<std::size_t>(length);
  while (i < n) {
    const void* found = std::memchr(data + i, 0xFF, n - i);
    const std::size_t run =
        found != nullptr ? static_cast<std::size_t>(static_cast<const uint8_t*>(found) - data) - i : n - i;
    std::memcpy(bytes_.data() + out, data + i, run);
    out += run;
    i += run;
    if (i >= n) break;
    if (i + 1 < n && data[i + 1] == 0x00) {
      bytes_[out++] = 0xFF;
      i += 2;
      continue;
    }
    break;
  }
  // Zero bytes after the data: the reader delivers only 0-bits past the end, and the window is
  // refilled eight bytes at a time without a bounds check as long as eight are there.
  std::memset(bytes_.data() + out, 0, kPadding);
  bytes_.resize(out + kPadding);
  next_ = 0;
  window_ = 0;
  window_bits_ = 0;
  predictor_[0] = predictor_[1] = predictor_[2] = 0;
  return true;
}

void CJpegEntropyDecoder::Fill() {
  if (next_ + 8 <= bytes_.size()) {
    // Eight bytes most significant first, below the bits still in the window. The bits of the
    // byte only partly taken are taken again, identically, by the next fill.
    uint64_t v;
    std::memcpy(&v, bytes_.data() + next_, 8);
    v = __builtin_bswap64(v);
    window_ |= v >> window_bits_;
    const int taken = (63 - window_bits_) >> 3;
    next_ += static_cast<std::size_t>(taken);
    window_bits_ += 8 * taken;
    return;
  }
  while (window_bits_ <= 56) {  // past the padding: zero bits for ever
    ++next_;
    window_bits_ += 8;
  }
}

inline __attribute__((always_inline)) uint32_t CJpegEntropyDecoder::GetBits(int n) {
  if (window_bits_ < n) Fill();
  const uint32_t v = static_cast<uint32_t>(window_ >> (64 - n));
  window_ <<= n;
  window_bits_ -= n;
  return v;
}

inline __attribute__((always_inline)) int CJpegEntropyDecoder::DecodeSymbol(int table) {
  if (window_bits_ < 17) Fill();
  return TakeSymbol(Tables()[table]);
}

// A symbol from bits already in the window (at least 17 of them).
inline __attribute__((always_inline)) int CJpegEntropyDecoder::TakeSymbol(const DerivedTable& t) {
  const unsigned prefix = static_cast<unsigned>(window_ >> 56);
  if (t.look_len[prefix] != 0) {
    const int len = t.look_len[prefix];
    window_ <<= len;
    window_bits_ -= len;
    return t.look_sym[prefix];
  }
  // Longer codes: the bit-serial search of DECODE, on bits already in the window.
  int32_t code = static_cast<int32_t>(window_ >> 55);  // first 9 bits
  int l = 9;
  while (code > t.maxcode[l]) {
    code = (code << 1) | static_cast<int32_t>((window_ >> (63 - l)) & 1);
    ++l;
  }
  window_ <<= l;
  window_bits_ -= l;
  if (l > 16) return 0;
  const int j = t.valptr[l] + code - t.mincode[l];
  return (j < 0 || j > 255) ? 0 : t.huffval[j];
}

// `n` (1..16) bits already in the window.
inline __attribute__((always_inline)) uint32_t CJpegEntropyDecoder::TakeBits(int n) {
  const uint32_t v = static_cast<uint32_t>(window_ >> (64 - n));
  window_ <<= n;
  window_bits_ -= n;
  return v;
}

template <typename Store>
bool CJpegEntropyDecoder::DecodeCoefficients(int component, Store store) {
  // A symbol takes at most 17 bits and its value at most 15: one look at the window per coefficient.
  constexpr int kPerCoefficient = 32;
  const DerivedTable* tables = Tables();
  const DerivedTable& dc = tables[component == 0 ? 0 : 1];
  const DerivedTable& ac = tables[component == 0 ? 2 : 3];
  if (window_bits_ < kPerCoefficient) Fill();
  const int s = TakeSymbol(dc);
  const int v = s > 0 ? Extend(TakeBits(s), s) : 0;
  predictor_[component] = static_cast<int16_t>(predictor_[component] + v);
  store(0, predictor_[component]);
  bool any_ac = false;
  for (int k = 1; k < 64; ++k) {
    if (window_bits_ < kPerCoefficient) Fill();
    const uint32_t fast = ac.fast_ac[window_ >> (64 - kFastBits)];
    if (fast != 0) {
      const int taken = static_cast<int>(fast >> 24);
      window_ <<= taken;
      window_bits_ -= taken;
      k += static_cast<int>((fast >> 16) & 0xFF);
      if (k >= 64) break;  // end of block, or a run past the end
      store(k, static_cast<int16_t>(fast & 0xFFFF));
      any_ac = true;
      continue;
    }
    const int rs = TakeSymbol(ac);
    const int r = rs >> 4, size = rs & 15;
    if (size > 0) {
      k += r;
      const int value = Extend(TakeBits(size), size);
      if (k < 64) store(k, static_cast<int16_t>(value)), any_ac = true;
    } else if (r == 15) {
      k += 15;
    } else {
      break;
    }
  }
  return any_ac;
}

void CJpegEntropyDecoder::DecodeBlock(int16_t block[64], int component) {
  std::memset(block, 0, 64 * sizeof(int16_t));
  DecodeCoefficients(component, [block](int k, int16_t v) { block[k] = v; });
}

bool CJpegEntropyDecoder::DecodeBlockDequantized(int16_t block[64], int component, const int16_t quant[64]) {
  std::memset(block, 0, 64 * sizeof(int16_t));
  return DecodeCoefficients(component, [block, quant](int k, int16_t v) {
    const int pos = exchange::kZigzag[k];
    block[pos] = static_cast<int16_t>(v * quant[pos]);
  });
}

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
void ConvertFrame(const uint8_t* lp, const uint8_t* cp, uint8_t* rgb, std::size_t pixels) {
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

}  // namespace

void TransformBlock(const int16_t block[64], int16_t out[64]) {
  InverseDctFast(block, out);
}

void ConvertPixels(const uint8_t* luma, const uint8_t* chroma, uint8_t* rgb, std::size_t pixels) {
  ConvertFrame(luma, chroma, rgb, pixels);
}

// ---- Frames ------------------------------------------------------------------------------------

CJpegQuantIdct& ModuleQuantIdct() {
  static CJpegQuantIdct instance;
  return instance;
}

CJpegEntropyDecoder& ModuleEntropyDecoder() {
  static CJpegEntropyDecoder instance;
  return instance;
}

bool CJpegImageDecoder::Reset(int16_t quality) {
  ModuleQuantIdct().SetQuality(quality);
  return ModuleEntropyDecoder().Init();
}

void CJpegImageDecoder::Release() {
  ModuleEntropyDecoder().Release();
}

bool CJpegImageDecoder::DecodeToRgb(const uint8_t* data, int length, uint8_t* rgb, int height, int width,
                                    uint8_t* luma) {
  CJpegEntropyDecoder& entropy = ModuleEntropyDecoder();
  const CJpegQuantIdct& quant = ModuleQuantIdct();
  if (height <= 0 || width <= 0 || height % 8 != 0 || width % 8 != 0) return false;
  if (!entropy.Load(data, length)) return false;
  const std::size_t pixels = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  // The luminance goes straight into the caller's area when there is one (nothing can fail from here
  // on, so the area is never left half written).
  uint8_t* luma_plane = luma;
  if (luma_plane == nullptr) {
    luma_plane_.resize(pixels);
    luma_plane = luma_plane_.data();
  }
  chroma_plane_.resize(pixels);

  int16_t block[64];
  for (int component = 0; component < 2; ++component) {
    uint8_t* plane = component == 0 ? luma_plane : chroma_plane_.data();
    const int16_t* table = component == 0 ? quant.luma_table() : quant.chroma_table();
    for (int br = 0; br < height / 8; ++br) {
      for (int bc = 0; bc < width / 8; ++bc) {
        int16_t samples[64];
        if (entropy.DecodeBlockDequantized(block, component, table)) {
          InverseDctFast(block, samples);
        } else {
          // Only a DC coefficient: both passes take their DC-only shortcut, and the block is flat.
          const int16_t flat = static_cast<int16_t>((static_cast<int16_t>(block[0] * 4) + 16) >> 5);
          for (int i = 0; i < 64; ++i) samples[i] = flat;
        }
        uint8_t* out = plane + static_cast<std::size_t>(8 * br) * width + 8 * bc;
        for (int y = 0; y < 8; ++y) StoreRow(samples + 8 * y, out + y * width, component == 0);
      }
    }
  }

  ConvertFrame(luma_plane, chroma_plane_.data(), rgb, pixels);
  return true;
}

}  // namespace media
