// Monochrome 128 x 64 BMP pictures for the robot's LCDs: header checks and the conversion into the
// LCD's 16 half-pages of column bytes (page p = rows 8p..8p+7, bit c of a column byte = row 8p + c).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/status.h"

namespace media {

inline constexpr std::size_t kLcdPixelBytes = 1024;  // 64 rows of 16 bytes, bottom row first
inline constexpr int kLcdParts = 16;
inline constexpr int kLcdPartBytes = 64;

struct BmpHeader {
  uint16_t type = 0;
  uint32_t pixel_offset = 0;
  int32_t width = 0;
  int32_t height = 0;
  uint16_t bits_per_pixel = 0;
};

// Reads the fields of the 14 + 40 header bytes.
BmpHeader ParseBmpHeader(const uint8_t header[54]);

// The warnings the header earns, in the order they are shown: "Not a BMP file.", "Image Size is not
// correct.", "Only Mono image can be supported.". They only warn; the picture is sent regardless.
std::vector<std::string> BmpWarnings(const BmpHeader& header);

// Converts 1024 pixel bytes (bottom row first, most significant bit leftmost) into the 16 parts.
void BuildLcdParts(const uint8_t pixels[kLcdPixelBytes], uint8_t parts[kLcdParts][kLcdPartBytes]);

struct LcdPicture {
  BmpHeader header;
  uint8_t pixels[kLcdPixelBytes] = {};
};

// Reads a BMP file's header and its 1024 pixel bytes from the stated offset. A failure with a message:
// the file's status when it cannot be opened, kBadContent when it ends before those bytes.
platform::Result ReadLcdBmp(const std::string& path, LcdPicture& out);

}  // namespace media
