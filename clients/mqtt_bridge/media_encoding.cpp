#include "clients/mqtt_bridge/media_encoding.h"

#include <csetjmp>
#include <cstdio>  // before jpeglib.h, which uses FILE without including it
#include <cstdlib>
#include <cstring>

// clang-format off
#include <jpeglib.h>
// clang-format on

namespace mqtt_bridge {
namespace {

// libjpeg reports errors through a handler that must not return: it jumps back to the encoder.
struct ErrorManager {
  jpeg_error_mgr base;
  std::jmp_buf back;
};

void OnError(j_common_ptr info) {
  std::longjmp(reinterpret_cast<ErrorManager*>(info->err)->back, 1);
}

}  // namespace

bool EncodeJpeg(const uint8_t* rgb, int width, int height, int quality, std::vector<uint8_t>& out) {
  jpeg_compress_struct info{};
  ErrorManager errors{};
  info.err = jpeg_std_error(&errors.base);
  errors.base.error_exit = OnError;
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  if (setjmp(errors.back) != 0) {
    jpeg_destroy_compress(&info);
    std::free(buffer);
    return false;
  }
  jpeg_create_compress(&info);
  jpeg_mem_dest(&info, &buffer, &size);
  info.image_width = static_cast<JDIMENSION>(width);
  info.image_height = static_cast<JDIMENSION>(height);
  info.input_components = 3;
  info.in_color_space = JCS_RGB;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, quality, TRUE);
  jpeg_start_compress(&info, TRUE);
  while (info.next_scanline < info.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(rgb + static_cast<std::size_t>(info.next_scanline) * width * 3);
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  out.assign(buffer, buffer + size);
  jpeg_destroy_compress(&info);
  std::free(buffer);
  return true;
}

}  // namespace mqtt_bridge
