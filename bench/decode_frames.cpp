// Decodes one picture N times, for counting instructions under callgrind (run it for 1 and for 11
// frames; a tenth of the difference is one frame in the steady state, start-up left out).
//   trevask-decode-frames ours|islow|fast disc|grey N TESTDATA_DIR
// ours: the control's decoder on the camera stream; islow: libjpeg-turbo's slow-integer decoder;
// fast: its fast-integer decoder without fancy upsampling. Both of theirs decode a quality-70 JPEG of
// the same picture with 2x1 chroma. disc: the test vector's picture; grey: the same picture in grey.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench/libjpeg_reference.h"
#include "control/media/jpeg_decoder.h"
#include "sim/camera_encoder.h"

namespace {

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s ours|islow|fast disc|grey FRAMES TESTDATA_DIR\n", argv[0]);
    return 2;
  }
  const std::string decoder = argv[1], picture_name = argv[2], dir = argv[4];
  const int frames = std::atoi(argv[3]);
  std::vector<uint8_t> picture = ReadFile(dir + "/camera/disc.rgb");
  const std::vector<uint8_t> disc_stream = ReadFile(dir + "/camera/disc.stream");
  if (picture.size() != 176u * 144u * 3u || disc_stream.empty() || frames < 1 ||
      (picture_name != "disc" && picture_name != "grey")) {
    std::fprintf(stderr, "%s: cannot read %s/camera/disc.rgb and disc.stream, or a bad argument\n", argv[0],
                 dir.c_str());
    return 2;
  }
  if (picture_name == "grey") libjpeg_reference::MakeGrey(picture);
  std::vector<uint8_t> rgb(picture.size()), luma(176 * 144);
  if (decoder == "ours") {
    const std::vector<uint8_t> stream =
        picture_name == "disc" ? disc_stream : sim::EncodeCameraFrame(picture.data());
    media::CJpegImageDecoder d;
    d.Reset(70);
    for (int i = 0; i < frames; ++i)
      d.DecodeToRgb(stream.data(), static_cast<int>(stream.size()), rgb.data(), 144, 176, luma.data());
  } else if (decoder == "islow" || decoder == "fast") {
    const std::vector<unsigned char> jpeg = libjpeg_reference::Encode(picture, 3, 70);
    for (int i = 0; i < frames; ++i) libjpeg_reference::Decode(jpeg, rgb, 3, decoder == "fast");
  } else {
    std::fprintf(stderr, "%s: the decoder is ours, islow or fast\n", argv[0]);
    return 2;
  }
  std::printf("pixel 1000: %u %u %u\n", rgb[3000], rgb[3001], rgb[3002]);  // keeps the work observable
  return 0;
}
