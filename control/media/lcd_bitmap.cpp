#include "control/media/lcd_bitmap.h"

#include <cstring>

#include "exchange/little_endian.h"
#include "platform/regular_file.h"

namespace media {
namespace {}  // namespace

BmpHeader ParseBmpHeader(const uint8_t header[54]) {
  BmpHeader h;
  h.type = exchange::le::Read16(header);
  h.pixel_offset = exchange::le::Read32(header + 10);
  h.width = static_cast<int32_t>(exchange::le::Read32(header + 18));
  h.height = static_cast<int32_t>(exchange::le::Read32(header + 22));
  h.bits_per_pixel = exchange::le::Read16(header + 28);
  return h;
}

std::vector<std::string> BmpWarnings(const BmpHeader& header) {
  std::vector<std::string> out;
  if (header.type != 0x4D42) out.emplace_back("Not a BMP file.");
  if (header.height != 64 || header.width != 128) out.emplace_back("Image Size is not correct.");
  if (header.bits_per_pixel != 1) out.emplace_back("Only Mono image can be supported.");
  return out;
}

void BuildLcdParts(const uint8_t pixels[kLcdPixelBytes], uint8_t parts[kLcdParts][kLcdPartBytes]) {
  for (int i = 0; i < kLcdParts; ++i) {
    const int page = i / 2, half = i % 2;
    for (int j = 0; j < kLcdPartBytes; ++j) {
      const int x = 64 * half + j;
      uint8_t column = 0;
      for (int c = 0; c < 8; ++c) {
        const int y = 8 * page + c;
        const uint8_t byte = pixels[(63 - y) * 16 + x / 8];
        if (byte & (0x80 >> (x % 8))) column = static_cast<uint8_t>(column | (1 << c));
      }
      parts[i][j] = column;
    }
  }
}

platform::Result ReadLcdBmp(const std::string& path, LcdPicture& out) {
  // A regular file only, opened without waiting: a pipe or a device named in its place would hang
  // the caller or feed it endless bytes. Nothing beyond a header and a far pixel offset is read.
  constexpr std::size_t kMostRead = 65536 + kLcdPixelBytes;
  std::vector<uint8_t> bytes;
  const platform::Status status = platform::ReadRegularFile(path, kMostRead, false, bytes);
  if (status != platform::Status::kOk)
    return platform::Fail(
        status, "Cannot open the BMP file \"" + path + "\" (" + platform::StatusText(status) + ").");
  const std::string too_short = "The BMP file \"" + path + "\" is too short.";
  if (bytes.size() < 54) return platform::Fail(platform::Status::kBadContent, too_short);
  out.header = ParseBmpHeader(bytes.data());
  if (out.header.pixel_offset > bytes.size() || bytes.size() - out.header.pixel_offset < kLcdPixelBytes)
    return platform::Fail(platform::Status::kBadContent, too_short);
  std::memcpy(out.pixels, bytes.data() + out.header.pixel_offset, kLcdPixelBytes);
  return platform::Ok();
}

}  // namespace media
