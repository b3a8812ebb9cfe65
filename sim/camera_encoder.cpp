// Forward DCT after the definition of ITU-T T.81 A.3.3 (computed in double precision), quantisation
// with the camera's row-major tables, and Huffman coding after T.81 Annex F with the Annex K tables.
#include "sim/camera_encoder.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

#include "exchange/camera_format.h"

namespace sim {
namespace {

struct Code {
  uint16_t code = 0;
  uint8_t length = 0;
};

struct EncodeTable {
  Code codes[256];
};

EncodeTable MakeTable(const exchange::HuffmanSpec& spec) {
  EncodeTable t;
  int code = 0, k = 0;
  for (int l = 1; l <= 16; ++l) {
    for (int i = 0; i < spec.bits[l]; ++i) {
      t.codes[spec.huffval[k++]] = Code{static_cast<uint16_t>(code), static_cast<uint8_t>(l)};
      ++code;
    }
    code <<= 1;
  }
  return t;
}

class BitWriter {
 public:
  explicit BitWriter(std::vector<uint8_t>& out) : out_(out) {}
  void Put(uint32_t bits, int count) {
    for (int i = count - 1; i >= 0; --i) {
      acc_ = static_cast<uint8_t>((acc_ << 1) | ((bits >> i) & 1));
      if (++filled_ == 8) Flush();
    }
  }
  void Finish() {
    while (filled_ != 0) Put(1, 1);  // pad the last byte with 1-bits
  }

 private:
  void Flush() {
    out_.push_back(acc_);
    if (acc_ == 0xFF) out_.push_back(0x00);
    acc_ = 0;
    filled_ = 0;
  }
  std::vector<uint8_t>& out_;
  uint8_t acc_ = 0;
  int filled_ = 0;
};

int SizeOf(int v) {
  int a = v < 0 ? -v : v, s = 0;
  while (a > 0) a >>= 1, ++s;
  return s;
}

void PutValue(BitWriter& w, int v, int size) {
  if (size == 0) return;
  const int bits = v < 0 ? v + (1 << size) - 1 : v;
  w.Put(static_cast<uint32_t>(bits), size);
}

void ForwardDct(const double in[64], double out[64]) {
  for (int u = 0; u < 8; ++u)
    for (int v = 0; v < 8; ++v) {
      double sum = 0;
      for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x)
          sum +=
              in[8 * y + x] * std::cos((2 * x + 1) * v * M_PI / 16) * std::cos((2 * y + 1) * u * M_PI / 16);
      const double cu = u == 0 ? M_SQRT1_2 : 1.0, cv = v == 0 ? M_SQRT1_2 : 1.0;
      out[8 * u + v] = 0.25 * cu * cv * sum;
    }
}

void EncodeBlock(BitWriter& w, const double samples[64], const int16_t quant[64], int& predictor,
                 const EncodeTable& dc, const EncodeTable& ac) {
  double coeffs[64];
  ForwardDct(samples, coeffs);
  int zz[64];
  for (int k = 0; k < 64; ++k) {
    const int pos = exchange::kZigzag[k];
    zz[k] = static_cast<int>(std::lround(coeffs[pos] / quant[pos]));
  }
  const int diff = zz[0] - predictor;
  predictor = zz[0];
  const int dc_size = SizeOf(diff);
  w.Put(dc.codes[dc_size].code, dc.codes[dc_size].length);
  PutValue(w, diff, dc_size);
  int run = 0;
  for (int k = 1; k < 64; ++k) {
    if (zz[k] == 0) {
      ++run;
      continue;
    }
    while (run > 15) {
      w.Put(ac.codes[0xF0].code, ac.codes[0xF0].length);
      run -= 16;
    }
    int size = SizeOf(zz[k]);
    if (size > 10) {  // beyond the tables: keep the largest codable magnitude
      zz[k] = zz[k] < 0 ? -1023 : 1023;
      size = 10;
    }
    const int symbol = (run << 4) | size;
    w.Put(ac.codes[symbol].code, ac.codes[symbol].length);
    PutValue(w, zz[k], size);
    run = 0;
  }
  if (run > 0) w.Put(ac.codes[0x00].code, ac.codes[0x00].length);
}

uint8_t Clamp(double v, double lo, double hi) {
  return static_cast<uint8_t>(std::lround(v < lo ? lo : v > hi ? hi : v));
}

}  // namespace

std::vector<uint8_t> EncodeCameraFrame(const uint8_t* rgb, int quality) {
  static const EncodeTable kDc[2] = {MakeTable(exchange::kLumaDcTable), MakeTable(exchange::kChromaDcTable)};
  static const EncodeTable kAc[2] = {MakeTable(exchange::kLumaAcTable), MakeTable(exchange::kChromaAcTable)};
  const int scale = exchange::QualityScale(quality);
  int16_t luma_q[64], chroma_q[64];
  exchange::ScaleQuantTable(exchange::kLumaQuantBase, scale, luma_q);
  exchange::ScaleQuantTable(exchange::kChromaQuantBase, scale, chroma_q);

  // Planes: luminance, and chroma with Cb in even and Cr in odd columns, each pair sharing both.
  std::vector<double> luma(kFrameWidth * kFrameHeight), chroma(kFrameWidth * kFrameHeight);
  for (int y = 0; y < kFrameHeight; ++y) {
    for (int x = 0; x < kFrameWidth; x += 2) {
      double cb = 0, cr = 0;
      for (int k = 0; k < 2; ++k) {
        const uint8_t* p = rgb + 3 * (y * kFrameWidth + x + k);
        const double r = p[0], g = p[1], b = p[2];
        luma[y * kFrameWidth + x + k] = 0.299 * r + 0.587 * g + 0.114 * b;
        cb += -0.168736 * r - 0.331264 * g + 0.5 * b;
        cr += 0.5 * r - 0.418688 * g - 0.081312 * b;
      }
      // The decoder keeps chroma without level shift and wraps it at 8 bits: stay clear of the ends.
      chroma[y * kFrameWidth + x] = Clamp(cb / 2 + 128, 16, 240);
      chroma[y * kFrameWidth + x + 1] = Clamp(cr / 2 + 128, 16, 240);
    }
  }

  std::vector<uint8_t> out;
  out.reserve(8192);
  BitWriter writer(out);
  for (int component = 0; component < 2; ++component) {
    int predictor = 0;
    const std::vector<double>& plane = component == 0 ? luma : chroma;
    for (int br = 0; br < kFrameHeight / 8; ++br)
      for (int bc = 0; bc < kFrameWidth / 8; ++bc) {
        double samples[64];
        for (int y = 0; y < 8; ++y)
          for (int x = 0; x < 8; ++x) {
            const double v = plane[(8 * br + y) * kFrameWidth + 8 * bc + x];
            samples[8 * y + x] = component == 0 ? v - 128.0 : v;
          }
        EncodeBlock(writer, samples, component == 0 ? luma_q : chroma_q, predictor, kDc[component],
                    kAc[component]);
      }
  }
  writer.Finish();
  return out;
}

void RenderScene(uint32_t frame, uint8_t* rgb) {
  const double t = frame * 0.15;
  const int ball_x = static_cast<int>(88 + 70 * std::sin(t));
  const int ball_y = static_cast<int>(100 - 30 * std::fabs(std::sin(t * 1.7)));
  for (int y = 0; y < kFrameHeight; ++y) {
    for (int x = 0; x < kFrameWidth; ++x) {
      uint8_t* p = rgb + 3 * (y * kFrameWidth + x);
      double r, g, b;
      if (y < 90) {  // sky, lighter towards the horizon
        r = 90 + y * 1.2, g = 140 + y * 0.9, b = 230 - y * 0.3;
      } else {  // grass with soft stripes
        const double stripe = 12 * std::sin((x + frame * 2) * 0.12);
        r = 60 + stripe, g = 150 + stripe + (y - 90), b = 50;
      }
      const double sdx = x - 140.0, sdy = y - 25.0;
      if (sdx * sdx + sdy * sdy < 14 * 14) r = 250, g = 220, b = 60;  // the sun
      const double dx = x - ball_x, dy = y - ball_y;
      if (dx * dx + dy * dy < 16 * 16) {
        const double shade = 1.0 - 0.4 * (dx + dy) / 32.0;
        r = 220 * shade, g = 40 * shade, b = 40 * shade;
      }
      p[0] = Clamp(r, 0, 255), p[1] = Clamp(g, 0, 255), p[2] = Clamp(b, 0, 255);
    }
  }
}

platform::Result LoadPicture(const std::string& path, std::vector<uint8_t>& rgb) {
  std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!f) return platform::Fail(platform::Status::kReadFailed, path + ": cannot be opened");
  std::vector<uint8_t> data;
  uint8_t buf[65536];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f.get())) > 0 && data.size() < (64u << 20))
    data.insert(data.end(), buf, buf + n);
  int width = 0, height = 0;
  std::vector<uint8_t> src;  // R G B, top row first
  if (data.size() > 2 && data[0] == 'P' && data[1] == '6') {
    std::size_t pos = 2;
    int fields[3], got = 0;
    while (got < 3 && pos < data.size()) {
      if (data[pos] == '#') {
        while (pos < data.size() && data[pos] != '\n') ++pos;
      } else if (std::isdigit(data[pos])) {
        long v = 0;
        while (pos < data.size() && std::isdigit(data[pos]) && v < 100000) v = v * 10 + (data[pos++] - '0');
        fields[got++] = static_cast<int>(v);
        continue;
      }
      ++pos;
    }
    ++pos;  // the single whitespace byte after the maximum value
    width = fields[0], height = fields[1];
    if (got < 3 || fields[2] != 255 || width <= 0 || height <= 0 ||
        data.size() - pos < static_cast<std::size_t>(width) * height * 3) {
      return platform::Fail(platform::Status::kBadContent, path + ": not an 8-bit binary PPM picture");
    }
    src.assign(
        data.begin() + static_cast<std::ptrdiff_t>(pos),
        data.begin() + static_cast<std::ptrdiff_t>(pos) + static_cast<std::ptrdiff_t>(width) * height * 3);
  } else if (data.size() >= 54 && data[0] == 'B' && data[1] == 'M') {
    auto u32 = [&](std::size_t o) {
      return data[o] | data[o + 1] << 8 | data[o + 2] << 16 | uint32_t(data[o + 3]) << 24;
    };
    const uint32_t offset = u32(10);
    width = static_cast<int32_t>(u32(18));
    const int32_t raw_height = static_cast<int32_t>(u32(22));
    height = raw_height < 0 ? -raw_height : raw_height;
    const int bpp = data[28] | data[29] << 8;
    const std::size_t stride = (static_cast<std::size_t>(width) * 3 + 3) & ~std::size_t{3};
    if (bpp != 24 || u32(30) != 0 || width <= 0 || height <= 0 || width > 20000 || height > 20000 ||
        offset + stride * height > data.size()) {
      return platform::Fail(platform::Status::kBadContent,
                            path + ": only uncompressed 24-bit BMP pictures are read");
    }
    src.resize(static_cast<std::size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y) {
      const int file_row = raw_height < 0 ? y : height - 1 - y;
      const uint8_t* row = data.data() + offset + stride * file_row;
      for (int x = 0; x < width; ++x) {
        uint8_t* p = src.data() + 3 * (static_cast<std::size_t>(y) * width + x);
        p[0] = row[3 * x + 2], p[1] = row[3 * x + 1], p[2] = row[3 * x];
      }
    }
  } else {
    return platform::Fail(platform::Status::kBadContent,
                          path + ": give a binary PPM (P6) or a 24-bit BMP picture");
  }
  rgb.resize(kFrameRgbBytes);
  for (int y = 0; y < kFrameHeight; ++y)
    for (int x = 0; x < kFrameWidth; ++x) {
      const int sx = x * width / kFrameWidth, sy = y * height / kFrameHeight;
      std::memcpy(&rgb[3 * (y * kFrameWidth + x)], &src[3 * (static_cast<std::size_t>(sy) * width + sx)], 3);
    }
  return platform::Ok();
}

}  // namespace sim
