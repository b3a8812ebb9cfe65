// The simulated camera against the decoder: round trips with a quality bound, the picture through the
// real relay into a control, and an independent cross-check of the entropy decoding and inverse DCT
// with libjpeg-turbo's slow integer decoder.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <vector>

#include "bench/libjpeg_reference.h"
#include "control/control.h"
#include "control/headless_host.h"
#include "control/media/jpeg_decoder.h"
#include "exchange/camera_format.h"
#include "link_test_support.h"
#include "sim/camera_encoder.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr int kW = 176, kH = 144;

double Psnr(const uint8_t* a, const uint8_t* b, std::size_t n) {
  double se = 0;
  for (std::size_t i = 0; i < n; ++i) se += (a[i] - b[i]) * double(a[i] - b[i]);
  return se == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 * static_cast<double>(n) / se);
}

Bytes DecodeStream(const Bytes& stream, Bytes* luma = nullptr) {
  Bytes rgb(kW * kH * 3);
  Bytes y(kW * kH);
  media::CJpegImageDecoder d;
  d.Reset(70);
  EXPECT_TRUE(d.DecodeToRgb(stream.data(), static_cast<int>(stream.size()), rgb.data(), kH, kW, y.data()));
  d.Release();
  if (luma != nullptr) *luma = y;
  return rgb;
}

TEST(SimulatedCamera, EncodedScenesDecodeCloseToThePicture) {
  for (uint32_t frame : {0u, 7u, 40u}) {
    Bytes picture(sim::kFrameRgbBytes);
    sim::RenderScene(frame, picture.data());
    Bytes stream = sim::EncodeCameraFrame(picture.data());
    EXPECT_LT(stream.size(), 18000u) << "fits the relay's image assembly";
    Bytes decoded = DecodeStream(stream);
    EXPECT_GT(Psnr(picture.data(), decoded.data(), picture.size()), 28.0) << "frame " << frame;
  }
  Bytes a(sim::kFrameRgbBytes), b(sim::kFrameRgbBytes);
  sim::RenderScene(1, a.data());
  sim::RenderScene(2, b.data());
  EXPECT_NE(a, b) << "the scene moves";
}

TEST(SimulatedCamera, PicturesFromFilesAreScaled) {
  const std::string ppm = "/tmp/cam-" + std::to_string(getpid()) + ".ppm";
  {
    std::ofstream out(ppm, std::ios::binary);
    out << "P6\n# two by two\n2 2\n255\n";
    const uint8_t px[12] = {255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 255};
    out.write(reinterpret_cast<const char*>(px), 12);
  }
  Bytes rgb;
  const platform::Result loaded = sim::LoadPicture(ppm, rgb);
  ASSERT_TRUE(loaded.ok()) << loaded.message;
  ASSERT_EQ(rgb.size(), sim::kFrameRgbBytes);
  EXPECT_EQ(rgb[0], 255);                        // top-left quarter red
  EXPECT_EQ(rgb[3 * (kW - 1) + 1], 255);         // top-right quarter green
  EXPECT_EQ(rgb[3 * ((kH - 1) * kW) + 2], 255);  // bottom-left quarter blue
  std::remove(ppm.c_str());
  const platform::Result missing = sim::LoadPicture("/nonexistent.ppm", rgb);
  EXPECT_EQ(missing.status, platform::Status::kReadFailed);
  EXPECT_NE(missing.message.find("cannot be opened"), std::string::npos);
  EXPECT_EQ(sim::LoadPicture("/dev/null", rgb).status, platform::Status::kBadContent);
}

TEST(SimulatedCamera, PhotoThroughTheRelayIntoTheControl) {
  auto sim = testing_support::StartUdpSim();
  ASSERT_TRUE(sim);
  const std::string robot = "Cam" + std::to_string(getpid());
  testing_support::RecordingUi ui(testing_support::WifiConfig(sim->UdpPort(), robot));
  relay::CLinkManager link(ui);
  ui.Attach(&link);
  ASSERT_TRUE(link.StartConnection());
  ASSERT_TRUE(testing_support::WaitUntil([&] { return ui.Has("minimize"); }));

  control::CHeadlessHost host;
  control::CZembrinSDKControlCtrl ctl;
  ctl.AttachHost(&host);
  int images = 0;
  ctl.SetEventSink([&](int id) { images += id == control::kImageEvent; });
  ctl.connectRobot(robot);
  ctl.TakePhoto();
  // Encoding and sending the photo take real time, which the tests' time scale does not shorten (an
  // emulated processor needs more than a second).
  ASSERT_TRUE(host.RunUntil([&] { return images == 1; }, 60000));
  Bytes sent = sim->robot().LastPhoto();
  ASSERT_EQ(sent.size(), sim::kFrameRgbBytes);
  EXPECT_GT(Psnr(sent.data(), control::ModuleImageBuffer(), sent.size()), 28.0);
  link.RequestStop();
  link.WaitForConnectionThread();
}

// libjpeg-turbo as an independent decoder: a grey baseline JPEG made with the camera's luminance
// table and the Annex K tables, stripped to its entropy-coded data.
Bytes EntropyData(const Bytes& jpeg) {
  for (std::size_t i = 0; i + 3 < jpeg.size(); ++i) {
    if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xDA) {
      const std::size_t header = static_cast<std::size_t>(jpeg[i + 2] << 8 | jpeg[i + 3]);
      return Bytes(jpeg.begin() + static_cast<std::ptrdiff_t>(i + 2 + header), jpeg.end());
    }
  }
  return {};
}

TEST(JpegCrossCheck, LuminanceMatchesLibjpegSlowIntegerDecoder) {
  media::CJpegQuantIdct q;
  q.SetQuality(70);
  Bytes picture(sim::kFrameRgbBytes);
  for (uint32_t frame : {3u, 25u}) {
    sim::RenderScene(frame, picture.data());
    Bytes grey(kW * kH);
    for (int i = 0; i < kW * kH; ++i)
      grey[i] = static_cast<uint8_t>(
          (77 * picture[3 * i] + 150 * picture[3 * i + 1] + 29 * picture[3 * i + 2]) >> 8);
    Bytes jpeg = libjpeg_reference::Encode(grey, 1, 0, q.luma_table());
    Bytes expected;
    libjpeg_reference::Decode(jpeg, expected, 1);
    Bytes ours;
    DecodeStream(EntropyData(jpeg), &ours);
    int compared = 0;
    for (int i = 0; i < kW * kH; ++i) {
      if (expected[i] <= 8 || expected[i] >= 248) continue;  // our clamp is 8..248, libjpeg's 0..255
      ASSERT_LE(std::abs(expected[i] - ours[i]), 1) << "sample " << i;
      ++compared;
    }
    EXPECT_GT(compared, kW * kH / 2);
  }
}

}  // namespace
