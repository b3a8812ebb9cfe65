// libjpeg-turbo as the independent anchor of the camera decoder: encodes and decodes 176 x 144 pictures
// for the cross-check test and the benchmark. Test and benchmark code only.
#pragma once

#include <jpeglib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace libjpeg_reference {

inline constexpr int kW = 176, kH = 144;

// A baseline JPEG of an R G B picture at `quality` with 2x1 chroma, or of a grey picture (`components`
// 1) whose quantisation table is `table` (row-major) with the Annex K Huffman tables.
inline std::vector<unsigned char> Encode(const std::vector<uint8_t>& pixels, int components, int quality,
                                         const int16_t* table = nullptr) {
  jpeg_compress_struct c{};
  jpeg_error_mgr err{};
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  unsigned char* out = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &out, &size);
  c.image_width = kW;
  c.image_height = kH;
  c.input_components = components;
  c.in_color_space = components == 3 ? JCS_RGB : JCS_GRAYSCALE;
  jpeg_set_defaults(&c);
  if (table != nullptr) {
    unsigned int basic[64];
    for (int i = 0; i < 64; ++i) basic[i] = static_cast<unsigned>(table[i]);
    jpeg_add_quant_table(&c, 0, basic, 100, TRUE);
  } else {
    jpeg_set_quality(&c, quality, TRUE);
  }
  if (components == 3) {
    c.comp_info[0].h_samp_factor = 2;  // one Cb and one Cr block per two luminance blocks
    c.comp_info[0].v_samp_factor = 1;
  }
  jpeg_start_compress(&c, TRUE);
  for (int y = 0; y < kH; ++y) {
    JSAMPROW row = const_cast<JSAMPLE*>(pixels.data() + components * y * kW);
    jpeg_write_scanlines(&c, &row, 1);
  }
  jpeg_finish_compress(&c);
  std::vector<unsigned char> jpeg(out, out + size);
  jpeg_destroy_compress(&c);
  std::free(out);
  return jpeg;
}

// An R G B picture made grey in place (every channel the luminance), for the grey comparisons.
inline void MakeGrey(std::vector<uint8_t>& rgb) {
  for (std::size_t i = 0; i + 2 < rgb.size(); i += 3) {
    const auto grey = static_cast<uint8_t>((299 * rgb[i] + 587 * rgb[i + 1] + 114 * rgb[i + 2]) / 1000);
    rgb[i] = rgb[i + 1] = rgb[i + 2] = grey;
  }
}

// Decodes with the slow-integer transform into R G B (`components` 3) or grey (1); `fast`: with the
// fast-integer transform and without fancy upsampling, libjpeg-turbo's quickest settings.
inline void Decode(const std::vector<unsigned char>& jpeg, std::vector<uint8_t>& pixels, int components,
                   bool fast = false) {
  jpeg_decompress_struct d{};
  jpeg_error_mgr err{};
  d.err = jpeg_std_error(&err);
  jpeg_create_decompress(&d);
  jpeg_mem_src(&d, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
  jpeg_read_header(&d, TRUE);
  d.dct_method = fast ? JDCT_IFAST : JDCT_ISLOW;
  if (fast) d.do_fancy_upsampling = FALSE;
  d.out_color_space = components == 3 ? JCS_RGB : JCS_GRAYSCALE;
  jpeg_start_decompress(&d);
  pixels.resize(static_cast<std::size_t>(kW * kH * components));
  while (d.output_scanline < d.output_height) {
    JSAMPROW row = pixels.data() + components * d.output_scanline * kW;
    jpeg_read_scanlines(&d, &row, 1);
  }
  jpeg_finish_decompress(&d);
  jpeg_destroy_decompress(&d);
}

}  // namespace libjpeg_reference
