// Time of one camera frame through the control's decoder, against libjpeg-turbo decoding a 176 x 144
// quality-70 JPEG of the same picture with 2x1 chroma subsampling (the same 396 + 396 blocks), in one
// run. Prints both medians and their ratio; run it on a quiet machine.
//
//   build/bench/camera_decode_bench [rounds]
#include <cstddef>
#include <cstdio>

#include <jpeglib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "control/media/jpeg_decoder.h"
#include "sim/camera_encoder.h"

namespace {

constexpr int kW = 176, kH = 144;

std::vector<unsigned char> LibjpegEncode(const std::vector<uint8_t>& rgb) {
  jpeg_compress_struct c{};
  jpeg_error_mgr err{};
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  unsigned char* out = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &out, &size);
  c.image_width = kW;
  c.image_height = kH;
  c.input_components = 3;
  c.in_color_space = JCS_RGB;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, 70, TRUE);
  c.comp_info[0].h_samp_factor = 2;  // 2x1: one Cb and one Cr block per two luminance blocks
  c.comp_info[0].v_samp_factor = 1;
  jpeg_start_compress(&c, TRUE);
  for (int y = 0; y < kH; ++y) {
    JSAMPROW row = const_cast<JSAMPLE*>(rgb.data() + 3 * y * kW);
    jpeg_write_scanlines(&c, &row, 1);
  }
  jpeg_finish_compress(&c);
  std::vector<unsigned char> jpeg(out, out + size);
  jpeg_destroy_compress(&c);
  free(out);
  return jpeg;
}

void LibjpegDecode(const std::vector<unsigned char>& jpeg, std::vector<uint8_t>& rgb) {
  jpeg_decompress_struct d{};
  jpeg_error_mgr err{};
  d.err = jpeg_std_error(&err);
  jpeg_create_decompress(&d);
  jpeg_mem_src(&d, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
  jpeg_read_header(&d, TRUE);
  d.dct_method = JDCT_ISLOW;
  d.out_color_space = JCS_RGB;
  jpeg_start_decompress(&d);
  while (d.output_scanline < d.output_height) {
    JSAMPROW row = rgb.data() + 3 * d.output_scanline * kW;
    jpeg_read_scanlines(&d, &row, 1);
  }
  jpeg_finish_decompress(&d);
  jpeg_destroy_decompress(&d);
}

template <typename F>
double MedianMicroseconds(F&& body, int rounds, int per_round) {
  std::vector<double> samples;
  for (int r = 0; r < rounds; ++r) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < per_round; ++i) body();
    auto end = std::chrono::steady_clock::now();
    samples.push_back(std::chrono::duration<double, std::micro>(end - start).count() / per_round);
  }
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(3, std::atoi(argv[1])) : 31;
  std::vector<uint8_t> picture(sim::kFrameRgbBytes);
  sim::RenderScene(12, picture.data());
  const std::vector<uint8_t> stream = sim::EncodeCameraFrame(picture.data());
  const std::vector<unsigned char> jpeg = LibjpegEncode(picture);

  std::vector<uint8_t> rgb(sim::kFrameRgbBytes), luma(kW * kH);
  media::CJpegImageDecoder decoder;
  auto ours = [&] {
    decoder.Reset(70);
    decoder.DecodeToRgb(stream.data(), static_cast<int>(stream.size()), rgb.data(), kH, kW, luma.data());
    decoder.Release();
  };
  std::vector<uint8_t> theirs_rgb(sim::kFrameRgbBytes);
  auto theirs = [&] { LibjpegDecode(jpeg, theirs_rgb); };
  ours();
  theirs();  // warm both up

  double t_ours = 0, t_theirs = 0;
  // Interleave the two so that a change in machine load hits both alike.
  std::vector<double> a, b;
  for (int r = 0; r < rounds; ++r) {
    a.push_back(MedianMicroseconds(ours, 1, 50));
    b.push_back(MedianMicroseconds(theirs, 1, 50));
  }
  std::sort(a.begin(), a.end());
  std::sort(b.begin(), b.end());
  t_ours = a[a.size() / 2];
  t_theirs = b[b.size() / 2];
  std::printf("camera stream: %zu bytes; libjpeg-turbo JPEG: %zu bytes\n", stream.size(), jpeg.size());
  std::printf("DecodeToRgb (camera decoder):        %8.1f us per frame\n", t_ours);
  std::printf("libjpeg-turbo, islow, 2x1 chroma:    %8.1f us per frame\n", t_theirs);
  std::printf("ratio (camera / libjpeg-turbo):      %8.2f\n", t_ours / t_theirs);
  return 0;
}
