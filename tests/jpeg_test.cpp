#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "control/media/block_transform.h"
#include "control/media/colour_conversion.h"
#include "control/media/jpeg_decoder.h"
#include "control/media/vector_dispatch.h"
#include "exchange/camera_format.h"
#include "jpeg_reference.h"

namespace media {
// Test names and messages show the path by its name.
void PrintTo(VectorPath path, std::ostream* os) {
  *os << VectorPathName(path);
}
}  // namespace media

namespace {

using Bytes = std::vector<uint8_t>;
constexpr int kW = 176, kH = 144;

Bytes ReadFile(const std::string& name) {
  std::ifstream in(std::string(TEST_DATA_DIR) + "/camera/" + name, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// FNV-1a, 64 bits: pins decoder output without storing whole pictures.
uint64_t Fnv(const Bytes& b) {
  uint64_t h = 1469598103934665603ull;
  for (uint8_t c : b) h = (h ^ c) * 1099511628211ull;
  return h;
}

struct Output {
  Bytes rgb = Bytes(kW * kH * 3, 0x5A);
  Bytes luma = Bytes(kW * kH, 0x5A);
  bool ok = false;
};

Output Decode(const Bytes& stream) {
  Output out;
  media::CJpegImageDecoder decoder;
  EXPECT_TRUE(decoder.Reset(70));
  out.ok = decoder.DecodeToRgb(stream.data(), static_cast<int>(stream.size()), out.rgb.data(), kH, kW,
                               out.luma.data());
  decoder.Release();
  return out;
}

Output DecodeReference(const Bytes& stream) {
  Output out;
  static reference::Decoder ref(70);
  out.ok = ref.DecodeToRgb(stream.data(), static_cast<int>(stream.size()), out.rgb.data(), kH, kW,
                           out.luma.data());
  return out;
}

// Every decoder test below runs once on each path the build holds and this processor runs (the
// others are skipped), and each must give the very bytes of the step-by-step reference, the pinned
// golden outputs and the scalar path.
class DecoderPath : public ::testing::TestWithParam<media::VectorPath> {
 protected:
  void SetUp() override {
    if (!media::VectorPathAvailable(GetParam())) GTEST_SKIP() << "not on this processor or build";
    ASSERT_TRUE(media::UseVectorPath(GetParam()));
  }
  void TearDown() override { media::UseVectorPath(before_); }

 private:
  media::VectorPath before_ = media::DecoderKernelsInUse().path;
};

INSTANTIATE_TEST_SUITE_P(Paths, DecoderPath, ::testing::ValuesIn(media::kVectorPaths),
                         [](const auto& path) { return std::string(media::VectorPathName(path.param)); });

// The path a process starts with: the one TREVASK_DECODER_PATH names when the build and processor
// have it, otherwise the widest they have. (ctest runs this test once more naming the scalar path.)
TEST(VectorDispatch, ChoosesTheRequestedPathOrTheWidestAvailable) {
  using media::VectorPath;
  constexpr unsigned kScalar = 1u << 0, kSse2 = 1u << 1, kAvx2 = 1u << 2, kAll = kScalar | kSse2 | kAvx2;
  const struct {
    const char* requested;
    unsigned available;
    VectorPath chosen;
  } cases[] = {
      {nullptr, kAll, VectorPath::kAvx2},
      {nullptr, kScalar | kSse2, VectorPath::kSse2},
      {nullptr, kScalar, VectorPath::kScalar},
      {"scalar", kAll, VectorPath::kScalar},
      {"sse2", kAll, VectorPath::kSse2},
      {"avx2", kAll, VectorPath::kAvx2},
      {"avx2", kScalar | kSse2, VectorPath::kSse2},
      {"sse2", kScalar, VectorPath::kScalar},
      {"AVX2", kAll, VectorPath::kAvx2},
      {"neon", kScalar, VectorPath::kScalar},
      {"", kScalar | kSse2, VectorPath::kSse2},
  };
  for (const auto& c : cases)
    EXPECT_EQ(media::ChooseVectorPath(c.requested, c.available), c.chosen)
        << (c.requested ? c.requested : "(unset)") << " of " << c.available;

  unsigned available = 0;
  for (media::VectorPath path : media::kVectorPaths)
    if (media::VectorPathAvailable(path)) available |= 1u << static_cast<unsigned>(path);
  EXPECT_TRUE(available & kScalar);
  EXPECT_EQ(media::DecoderKernelsInUse().path,
            media::ChooseVectorPath(std::getenv("TREVASK_DECODER_PATH"), available));
}

TEST(CameraTables, AnnexKTablesAndQualityScaling) {
  auto count = [](const exchange::HuffmanSpec& t) {
    int n = 0;
    for (int l = 1; l <= 16; ++l) n += t.bits[l];
    return n;
  };
  EXPECT_EQ(count(exchange::kLumaDcTable), 12);
  EXPECT_EQ(count(exchange::kChromaDcTable), 12);
  EXPECT_EQ(count(exchange::kLumaAcTable), 162);
  EXPECT_EQ(count(exchange::kChromaAcTable), 162);

  media::CJpegQuantIdct q;
  EXPECT_EQ(q.scale(), 100);
  q.SetQuality(70);
  EXPECT_EQ(q.scale(), 60);
  EXPECT_EQ(q.luma_table()[0], 10);
  EXPECT_EQ(q.chroma_table()[63], 59);
  EXPECT_EQ(q.luma_table()[56], 73);
  for (int quality : {0, -5}) {
    q.SetQuality(static_cast<int16_t>(quality));
    EXPECT_EQ(q.scale(), 5000);
    EXPECT_EQ(q.luma_table()[0], 800);
  }
  q.SetQuality(101);
  for (int i = 0; i < 64; ++i) ASSERT_EQ(q.luma_table()[i], 1);
  EXPECT_EQ(media::CJpegQuantIdct::QualityScale(49), 102);
}

TEST(InverseDct, DcOnlyBlocksAreFlatAndChromaKeepsItsLowByte) {
  int16_t block[64] = {};
  block[0] = 80;
  media::CJpegQuantIdct::InverseDct(block);
  for (int i = 0; i < 64; ++i) ASSERT_EQ(block[i], 10);  // ((80 << 2) + 16) >> 5
  int16_t minus[64] = {};
  minus[0] = -8;
  media::CJpegQuantIdct::InverseDct(minus);
  EXPECT_EQ(minus[0], -1);
  EXPECT_EQ(static_cast<uint8_t>(minus[0] & 0xFF), 255) << "a chroma -1 is stored as 255";
}

// The frames' transform (16-bit multiply-adds) against the step-by-step one, on random blocks of the
// whole 16-bit range and on the extremes, where every sum wraps.
TEST_P(DecoderPath, TheFramesTransformEqualsTheReferenceOnEveryKindOfBlock) {
  uint64_t state = 0x9E3779B97F4A7C15ull;
  auto next = [&] {
    state ^= state << 13, state ^= state >> 7, state ^= state << 17;
    return state;
  };
  int16_t block[64], fast[64], reference[64];
  for (int n = 0; n < 200000; ++n) {
    const int kind = n % 4;
    for (int i = 0; i < 64; ++i) {
      const uint64_t r = next();
      if (kind == 0)
        block[i] = static_cast<int16_t>(r);  // anything
      else if (kind == 1)
        block[i] = static_cast<int16_t>(static_cast<int>(r % 2048) - 1024);  // typical
      else if (kind == 2)
        block[i] = (r & 1) ? int16_t{-32768} : int16_t{32767};  // extremes
      else
        block[i] = (r % 8 == 0) ? static_cast<int16_t>(r >> 8) : int16_t{0};  // sparse
    }
    std::memcpy(reference, block, sizeof block);
    media::CJpegQuantIdct::InverseDct(reference);
    media::TransformBlock(block, fast);
    ASSERT_EQ(0, std::memcmp(fast, reference, sizeof fast)) << "block " << n;
  }
}

TEST_P(DecoderPath, ColourConversionEqualsTheDoubleFormulaEverywhere) {
  auto channel = [](double v) {
    int i = static_cast<int>(v);
    if (i < 0) i = -i;
    return static_cast<uint8_t>(i > 255 ? 255 : i);
  };
  // Every (Cb, Cr) with every Y, converted as runs the way frames are: 129 pairs, so that the wide
  // path takes the first 128 and the one-pair path the last (whose Y moves with the chroma).
  constexpr int kPixels = 258;
  uint8_t luma[kPixels], chroma[kPixels], rgb[3 * kPixels];
  for (int cb = -128; cb < 128; ++cb)
    for (int cr = -128; cr < 128; ++cr) {
      for (int i = 0; i < kPixels; ++i) luma[i] = static_cast<uint8_t>(i + 7 * cb + 13 * cr);
      for (int i = 0; i < kPixels; i += 2)
        chroma[i] = static_cast<uint8_t>(cb + 128), chroma[i + 1] = static_cast<uint8_t>(cr + 128);
      media::ConvertPixels(luma, chroma, rgb, kPixels);
      for (int i = 0; i < kPixels; ++i) {
        const double yd = luma[i];
        const uint8_t want[3] = {channel(yd + 1.402 * cr), channel(yd - 0.3441 * cb - 0.7139 * cr),
                                 channel(yd + 1.7718 * cb - 0.0012 * cr)};
        ASSERT_TRUE(rgb[3 * i] == want[0] && rgb[3 * i + 1] == want[1] && rgb[3 * i + 2] == want[2])
            << "Y " << int{luma[i]} << " Cb " << cb << " Cr " << cr << " pixel " << i;
      }
    }
}

TEST(JpegDecoder, FusedBlockDecodingEqualsTheStepByStepDecoding) {
  Bytes disc = ReadFile("disc.stream");
  media::CJpegQuantIdct q;
  q.SetQuality(70);
  media::CJpegEntropyDecoder a, b;
  ASSERT_TRUE(a.Init() && b.Init());
  ASSERT_TRUE(a.Load(disc.data(), static_cast<int>(disc.size())));
  ASSERT_TRUE(b.Load(disc.data(), static_cast<int>(disc.size())));
  for (int n = 0; n < 792; ++n) {
    const int component = n < 396 ? 0 : 1;
    int16_t stepwise[64], fused[64];
    a.DecodeBlock(stepwise, component);
    media::CJpegQuantIdct::Unzigzag(stepwise);
    component == 0 ? q.DequantizeLuma(stepwise) : q.DequantizeChroma(stepwise);
    int16_t columns[64];
    b.DecodeBlockColumns(columns, component, component == 0 ? q.luma_columns() : q.chroma_columns());
    for (int i = 0; i < 64; ++i) fused[8 * (i % 8) + i / 8] = columns[i];
    ASSERT_EQ(0, std::memcmp(stepwise, fused, sizeof fused)) << "block " << n;
  }
}

TEST_P(DecoderPath, IndependentReferenceVectors) {
  Bytes stream = ReadFile("disc.stream");
  ASSERT_FALSE(stream.empty());
  Output out = Decode(stream);
  ASSERT_TRUE(out.ok);
  EXPECT_TRUE(out.rgb == ReadFile("disc.rgb"));
  EXPECT_TRUE(out.luma == ReadFile("disc.luma"));
  for (uint8_t y : out.luma) ASSERT_TRUE(y >= 8 && y <= 248);
}

TEST(JpegDecoder, InputLengthLimits) {
  Bytes max(20480, 0x00);
  EXPECT_TRUE(Decode(max).ok);
  Bytes over(20481, 0x00);
  Output refused = Decode(over);
  EXPECT_FALSE(refused.ok);
  EXPECT_EQ(refused.rgb, Bytes(kW * kH * 3, 0x5A)) << "a refused stream leaves the picture as it was";
  media::CJpegImageDecoder decoder;
  uint8_t rgb[3] = {1, 2, 3};
  EXPECT_FALSE(decoder.DecodeToRgb(max.data(), 0, rgb, kH, kW));
  EXPECT_EQ(rgb[0], 1);
}

TEST_P(DecoderPath, AgreesWithTheLiteralReferenceOnCorruptAndShortStreams) {
  Bytes disc = ReadFile("disc.stream");
  std::vector<Bytes> inputs;
  for (std::size_t cut : {1u, 2u, 100u, 1023u, 1024u, 1025u, 3000u})
    inputs.emplace_back(disc.begin(), disc.begin() + cut);
  Bytes marker = disc;
  marker[2000] = 0xFF, marker[2001] = 0xD9;  // a marker in the middle ends the data
  inputs.push_back(marker);
  Bytes stuffed = disc;
  stuffed[1023] = 0xFF, stuffed[1024] = 0x00;  // stuffing across the reader's chunk boundary
  inputs.push_back(stuffed);
  Bytes trailing_ff = disc;
  trailing_ff.back() = 0xFF;
  inputs.push_back(trailing_ff);
  inputs.push_back(Bytes(20480, 0xFF));
  inputs.push_back(Bytes(5000, 0x00));
  std::mt19937 random(7);
  for (int i = 0; i < 40; ++i) {
    Bytes noisy = disc;
    for (int flips = 0; flips < 1 + i % 5; ++flips)
      noisy[random() % noisy.size()] ^= static_cast<uint8_t>(1 << (random() % 8));
    inputs.push_back(noisy);
    Bytes junk(1 + random() % 20480);
    for (auto& b : junk) b = static_cast<uint8_t>(random() % 7 == 0 ? 0xFF : random());
    inputs.push_back(junk);
  }
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    Output fast = Decode(inputs[i]);
    Output ref = DecodeReference(inputs[i]);
    ASSERT_EQ(fast.ok, ref.ok) << i;
    ASSERT_TRUE(fast.rgb == ref.rgb) << "input " << i << " of " << inputs[i].size() << " bytes";
    ASSERT_TRUE(fast.luma == ref.luma) << "input " << i;
  }
}

// Pinned from a build that matched both the independent vectors and the literal reference above;
// every path also gives the scalar path's bytes, luminance included.
TEST_P(DecoderPath, GoldenOutputsAndTheScalarPathsBytes) {
  Bytes disc = ReadFile("disc.stream");
  const struct {
    Bytes stream;
    uint64_t rgb_hash;
  } golden[] = {{Bytes(disc.begin(), disc.begin() + 1000), 0x3e538b55786a4e3full},
                {Bytes(20480, 0xAA), 0x22c93673a4592f0aull},
                {Bytes(1, 0x00), 0x3f473d48f3a7b1dbull}};
  for (const auto& g : golden) {
    const Output out = Decode(g.stream);
    EXPECT_EQ(Fnv(out.rgb), g.rgb_hash) << g.stream.size() << " bytes";
    ASSERT_TRUE(media::UseVectorPath(media::VectorPath::kScalar));
    const Output scalar = Decode(g.stream);
    ASSERT_TRUE(media::UseVectorPath(GetParam()));
    EXPECT_TRUE(out.rgb == scalar.rgb && out.luma == scalar.luma) << g.stream.size() << " bytes";
  }
}

}  // namespace
