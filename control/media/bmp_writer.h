// The 24-bit BMP file of a camera picture: 54 header bytes and 144 rows of 528 bytes, bottom row
// first, each pixel as B G R.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace media {

inline constexpr std::size_t kPhotoBmpBytes = 76086;

// Fills `out` (kPhotoBmpBytes) from a 176 x 144 R G B picture, top row first.
void BuildPhotoBmp(const uint8_t* rgb, uint8_t* out);

// Writes the picture to `path`, replacing an existing file. False, with nothing written, when the file
// cannot be created; a failed write leaves no partial file behind.
bool SavePhotoBmp(const uint8_t* rgb, const std::string& path);

}  // namespace media
