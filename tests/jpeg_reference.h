// A literal, step-by-step camera decoder, kept slow and plain on purpose: the chunked
// byte reader with its marker push-back, the bit-at-a-time DECODE, per-frame planes. The production
// decoder must agree with it byte for byte on every input.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "exchange/camera_format.h"

namespace reference {

struct Huff {
  uint8_t bits[17];
  uint8_t huffval[256];
  uint16_t mincode[17];
  int32_t maxcode[18];
  int16_t valptr[17];
};

class Decoder {
 public:
  explicit Decoder(int quality) {
    int scale = exchange::QualityScale(quality);
    exchange::ScaleQuantTable(exchange::kLumaQuantBase, scale, luma_q_);
    exchange::ScaleQuantTable(exchange::kChromaQuantBase, scale, chroma_q_);
    Build(exchange::kLumaDcTable, dc_[0]);
    Build(exchange::kChromaDcTable, dc_[1]);
    Build(exchange::kLumaAcTable, ac_[0]);
    Build(exchange::kChromaAcTable, ac_[1]);
  }

  bool DecodeToRgb(const uint8_t* data, int length, uint8_t* rgb, int height, int width, uint8_t* luma_out) {
    std::memset(input_, 0, sizeof input_);
    if (length < 1 || length > 20480) return false;
    std::memcpy(input_, data, static_cast<std::size_t>(length));
    input_length_ = length;
    read_pos_ = 0;
    bit_count_ = 0;
    available_ = 0;
    pos_ = chunk_ + 4;
    pred_[0] = pred_[1] = 0;
    std::vector<uint8_t> luma(static_cast<std::size_t>(width * height)), chroma(luma.size());
    int16_t block[64];
    for (int comp = 0; comp < 2; ++comp) {
      for (int br = 0; br < height / 8; ++br) {
        for (int bc = 0; bc < width / 8; ++bc) {
          DecodeBlock(block, comp);
          int16_t tmp[64];
          std::memcpy(tmp, block, sizeof tmp);
          for (int k = 0; k < 64; ++k) block[exchange::kZigzag[k]] = tmp[k];
          for (int i = 0; i < 64; ++i)
            block[i] = static_cast<int16_t>(block[i] * (comp == 0 ? luma_q_ : chroma_q_)[i]);
          Idct(block);
          for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 8; ++x) {
              int v = block[y * 8 + x];
              std::size_t at = static_cast<std::size_t>((8 * br + y) * width + 8 * bc + x);
              if (comp == 0) {
                if (v < -120) v = -120;
                if (v > 120) v = 120;
                luma[at] = static_cast<uint8_t>(v + 128);
              } else {
                chroma[at] = static_cast<uint8_t>(v);
              }
            }
        }
      }
    }
    for (int p = 0; p < width * height - 1; p += 2) {
      double cb = static_cast<int>(chroma[static_cast<std::size_t>(p)]) - 128;
      double cr = static_cast<int>(chroma[static_cast<std::size_t>(p) + 1]) - 128;
      for (int q = p; q <= p + 1; ++q) {
        double y = luma[static_cast<std::size_t>(q)];
        double c[3] = {y + 1.402 * cr, y - 0.3441 * cb - 0.7139 * cr, y + 1.7718 * cb - 0.0012 * cr};
        for (int k = 0; k < 3; ++k) {
          int v = static_cast<int>(c[k]);
          if (v < 0) v = -v;
          if (v > 255) v = 255;
          rgb[3 * q + k] = static_cast<uint8_t>(v);
        }
      }
    }
    if (luma_out != nullptr) std::memcpy(luma_out, luma.data(), luma.size());
    return true;
  }

 private:
  static void Build(const exchange::HuffmanSpec& spec, Huff& t) {
    std::memcpy(t.bits, spec.bits, 17);
    std::memcpy(t.huffval, spec.huffval, 256);
    int sizes[257], codes[257], k = 0;
    for (int l = 1; l <= 16; ++l)
      for (int i = 0; i < t.bits[l]; ++i) sizes[k++] = l;
    sizes[k] = 0;
    int code = 0, si = sizes[0];
    k = 0;
    while (sizes[k]) {
      while (sizes[k] == si) codes[k++] = code++;
      code <<= 1;
      ++si;
    }
    int j = 0;
    for (int l = 1; l <= 16; ++l) {
      if (t.bits[l]) {
        t.valptr[l] = static_cast<int16_t>(j);
        t.mincode[l] = static_cast<uint16_t>(codes[j]);
        j += t.bits[l];
        t.maxcode[l] = codes[j - 1];
      } else {
        t.maxcode[l] = -1;
      }
    }
    t.maxcode[17] = 0xFFFFF;
  }

  uint8_t NextByte() {
    if (--available_ < 0) return Refill();
    return *pos_++;
  }

  uint8_t Refill() {
    pos_ = chunk_ + 4;
    int n = input_length_ - read_pos_;
    if (n > 1024) n = 1024;
    if (n <= 0) {
      pos_[0] = 0xFF;
      pos_[1] = 0xD9;
      available_ = 2;
    } else {
      std::memcpy(pos_, input_ + read_pos_, static_cast<std::size_t>(n));
      read_pos_ += n;
      available_ = n;
    }
    return NextByte();
  }

  uint32_t GetBits(int n) {
    while (bit_count_ < 25) {
      uint32_t c = NextByte();
      if (c == 0xFF) {
        uint8_t d = NextByte();
        if (d != 0) {
          *--pos_ = d;
          *--pos_ = 0xFF;
          available_ += 2;
          if (bit_count_ >= n) break;
          c = 0;
        }
      }
      bit_buffer_ = (bit_buffer_ << 8) | c;
      bit_count_ += 8;
    }
    uint32_t v = (bit_buffer_ >> (bit_count_ - n)) & ((1u << n) - 1);
    bit_count_ -= n;
    return v;
  }

  int Decode(const Huff& t) {
    int32_t code = static_cast<int32_t>(GetBits(1));
    int l = 1;
    while (code > t.maxcode[l]) {
      code = (code << 1) | static_cast<int32_t>(GetBits(1));
      ++l;
    }
    if (l > 16) return 0;
    int j = t.valptr[l] + code - t.mincode[l];
    if (j > 255) return 0;
    return t.huffval[j];
  }

  static int Extend(uint32_t v, int s) {
    return v < (1u << (s - 1)) ? static_cast<int>(v) + 1 - (1 << s) : static_cast<int>(v);
  }

  void DecodeBlock(int16_t* b, int comp) {
    std::memset(b, 0, 128);
    int s = Decode(dc_[comp]);
    int v = s > 0 ? Extend(GetBits(s), s) : 0;
    pred_[comp] = static_cast<int16_t>(pred_[comp] + v);
    b[0] = pred_[comp];
    int k = 1;
    do {
      int rs = Decode(ac_[comp]);
      int r = rs >> 4;
      s = rs & 15;
      if (s > 0) {
        k += r;
        v = Extend(GetBits(s), s);
        if (k < 64) b[k] = static_cast<int16_t>(v);
      } else if (r == 15) {
        k += 15;
      } else {
        break;
      }
      ++k;
    } while (k < 64);
  }

  // 32-bit wrapping integer arithmetic, through unsigned to keep it defined.
  static int32_t M(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
  }
  static int32_t A(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
  }
  static int32_t S(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
  }

  static void Pass(int16_t* x, int st, int32_t round, int shift) {
    int32_t x0 = x[0], x1 = x[st], x2 = x[2 * st], x3 = x[3 * st], x4 = x[4 * st], x5 = x[5 * st],
            x6 = x[6 * st], x7 = x[7 * st];
    int32_t z1 = M(A(x2, x6), 4433), t2 = S(z1, M(x6, 15137)), t3 = A(z1, M(x2, 6270));
    int32_t t0 = M(A(x0, x4), 8192), t1 = M(S(x0, x4), 8192);
    int32_t e10 = A(t0, t3), e13 = S(t0, t3), e11 = A(t1, t2), e12 = S(t1, t2);
    int32_t a = x7, b = x5, c = x3, d = x1;
    int32_t oz1 = A(a, d), oz2 = A(b, c), oz3 = A(a, c), oz4 = A(b, d), z5 = M(A(oz3, oz4), 9633);
    int32_t q1 = M(oz1, -7373), q2 = M(oz2, -20995), q3 = A(M(oz3, -16069), z5), q4 = A(M(oz4, -3196), z5);
    int32_t oa = A(A(M(a, 2446), q1), q3), ob = A(A(M(b, 16819), q2), q4), oc = A(A(M(c, 25172), q2), q3),
            od = A(A(M(d, 12299), q1), q4);
    auto o = [&](int32_t y) { return static_cast<int16_t>(A(y, round) >> shift); };
    x[0] = o(A(e10, od)), x[7 * st] = o(S(e10, od)), x[st] = o(A(e11, oc)), x[6 * st] = o(S(e11, oc));
    x[2 * st] = o(A(e12, ob)), x[5 * st] = o(S(e12, ob)), x[3 * st] = o(A(e13, oa)),
          x[4 * st] = o(S(e13, oa));
  }

  static void Idct(int16_t* b) {
    for (int r = 0; r < 8; ++r) {
      int16_t* x = b + 8 * r;
      bool dc_only = true;
      for (int i = 1; i < 8; ++i) dc_only = dc_only && x[i] == 0;
      if (dc_only) {
        int16_t v = static_cast<int16_t>(x[0] << 2);
        for (int i = 0; i < 8; ++i) x[i] = v;
      } else {
        Pass(x, 1, 1024, 11);
      }
    }
    for (int c = 0; c < 8; ++c) {
      int16_t* x = b + c;
      bool dc_only = true;
      for (int i = 1; i < 8; ++i) dc_only = dc_only && x[8 * i] == 0;
      if (dc_only) {
        int16_t v = static_cast<int16_t>((x[0] + 16) >> 5);
        for (int i = 0; i < 8; ++i) x[8 * i] = v;
      } else {
        Pass(x, 8, 131072, 18);
      }
    }
  }

  int16_t luma_q_[64], chroma_q_[64];
  Huff dc_[2], ac_[2];
  uint8_t input_[20480];
  int input_length_ = 0, read_pos_ = 0;
  uint8_t chunk_[4 + 1024];
  uint8_t* pos_ = chunk_ + 4;
  int available_ = 0;
  uint32_t bit_buffer_ = 0;
  int bit_count_ = 0;
  int16_t pred_[2] = {0, 0};
};

}  // namespace reference
