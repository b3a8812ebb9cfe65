#include "control/media/jpeg_decoder.h"

#include <cstring>

#include "control/media/block_transform.h"
#include "control/media/colour_conversion.h"
#include "control/media/vector_dispatch.h"
#include "exchange/camera_format.h"

namespace media {

// Derived decoding tables (T.81 Annex C, Figure F.15), plus a lookahead: for every kLookBits-bit
// prefix, the length and symbol of the code it starts with when that code is at most kLookBits long.
// AC tables also get a combined lookahead over kFastBits bits: where the code and the value bits that
// follow it both fit, the entry holds the total length, the run and the extended value, so that most
// coefficients take one look; end-of-block has run 64, which ends the block.
constexpr int kLookBits = 10;
constexpr int kFastBits = kLookBits;

struct DerivedTable {
  int32_t maxcode[18];
  int32_t mincode[17];
  int32_t valptr[17];
  uint8_t huffval[256];
  uint8_t look_len[1 << kLookBits];  // 0: the code is longer than kLookBits bits
  uint8_t look_sym[1 << kLookBits];
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
  for (int prefix = 0; prefix < (1 << kLookBits); ++prefix) {
    int c = 0;
    for (int l = 1; l <= kLookBits; ++l) {
      c = (c << 1) | ((prefix >> (kLookBits - l)) & 1);
      if (c <= t.maxcode[l]) {
        int j = t.valptr[l] + c - t.mincode[l];
        t.look_len[prefix] = static_cast<uint8_t>(l);
        t.look_sym[prefix] = (j >= 0 && j <= 255) ? t.huffval[j] : 0;
        break;
      }
    }
  }
  for (uint32_t prefix = 0; ac && prefix < (1u << kFastBits); ++prefix) {
    const int look = static_cast<int>(prefix >> (kFastBits - kLookBits));
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
  TransposeTables();
}

int CJpegQuantIdct::QualityScale(int16_t quality) {
  return exchange::QualityScale(quality);
}

void CJpegQuantIdct::SetQuality(int16_t quality) {
  const int scale = QualityScale(quality);
  scale_ = static_cast<int16_t>(scale);
  exchange::ScaleQuantTable(exchange::kLumaQuantBase, scale, luma_table_);
  exchange::ScaleQuantTable(exchange::kChromaQuantBase, scale, chroma_table_);
  TransposeTables();
}

void CJpegQuantIdct::TransposeTables() {
  for (int r = 0; r < 8; ++r)
    for (int c = 0; c < 8; ++c) {
      luma_columns_[8 * c + r] = luma_table_[8 * r + c];
      chroma_columns_[8 * c + r] = chroma_table_[8 * r + c];
    }
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

// ---- Entropy decoding --------------------------------------------------------------------------

namespace {

// Where the k-th coefficient in coding order goes in a block stored column by column.
constexpr int Transposed(int pos) {
  return (pos & 7) << 3 | pos >> 3;
}

struct ColumnOrder {
  uint8_t pos[64];
};

const ColumnOrder kColumnOrder = [] {
  ColumnOrder order{};
  for (int k = 0; k < 64; ++k) order.pos[k] = static_cast<uint8_t>(Transposed(exchange::kZigzag[k]));
  return order;
}();

const uint8_t* const kZigzagColumns = kColumnOrder.pos;

}  // namespace

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

// A symbol from bits already in the window (at least 17 of them).
inline __attribute__((always_inline)) int CJpegEntropyDecoder::TakeSymbol(const DerivedTable& t) {
  const unsigned prefix = static_cast<unsigned>(window_ >> (64 - kLookBits));
  if (t.look_len[prefix] != 0) {
    const int len = t.look_len[prefix];
    window_ <<= len;
    window_bits_ -= len;
    return t.look_sym[prefix];
  }
  // Longer codes: the bit-serial search of DECODE, on bits already in the window.
  int l = kLookBits + 1;
  int32_t code = static_cast<int32_t>(window_ >> (64 - l));
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
    // The lookahead needs kFastBits; only the long way needs a whole coefficient's worth, and refilling
    // below the bits already looked at leaves them as they are.
    if (window_bits_ < kFastBits) Fill();
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
    if (window_bits_ < kPerCoefficient) Fill();
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

bool CJpegEntropyDecoder::DecodeBlockColumns(int16_t block[64], int component,
                                             const int16_t quant_columns[64]) {
  std::memset(block, 0, 64 * sizeof(int16_t));
  return DecodeCoefficients(component, [block, quant_columns](int k, int16_t v) {
    const int pos = kZigzagColumns[k];
    block[pos] = static_cast<int16_t>(v * quant_columns[pos]);
  });
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

  const std::size_t stride = static_cast<std::size_t>(width);
  const auto transform_to_plane = DecoderKernelsInUse().transform_to_plane;
  int16_t block[64];
  for (int component = 0; component < 2; ++component) {
    uint8_t* plane = component == 0 ? luma_plane : chroma_plane_.data();
    const int16_t* table = component == 0 ? quant.luma_columns() : quant.chroma_columns();
    const PlaneKind kind = component == 0 ? PlaneKind::kLuma : PlaneKind::kChroma;
    for (int br = 0; br < height / 8; ++br) {
      for (int bc = 0; bc < width / 8; ++bc) {
        uint8_t* out = plane + 8 * static_cast<std::size_t>(br) * stride + 8 * static_cast<std::size_t>(bc);
        if (entropy.DecodeBlockColumns(block, component, table)) {
          transform_to_plane(block, out, stride, kind);
        } else {
          FlatBlockToPlane(block[0], out, stride, kind);
        }
      }
    }
  }

  ConvertPixels(luma_plane, chroma_plane_.data(), rgb, pixels);
  return true;
}

}  // namespace media
