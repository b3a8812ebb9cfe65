// The simulated robot's camera: renders a picture (a moving scene, or a still image from a file) and
// encodes it in the camera's stream format: baseline JPEG entropy-coded data without headers, the
// 396 luminance blocks first, then the 396 blocks of the full-size chroma plane whose even columns
// hold Cb and odd columns Cr, quality 70, the Annex K Huffman tables, 0xFF bytes stuffed with 0x00.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/status.h"

namespace sim {

inline constexpr int kFrameWidth = 176;
inline constexpr int kFrameHeight = 144;
inline constexpr std::size_t kFrameRgbBytes = kFrameWidth * kFrameHeight * 3;

// A generated scene at time step `frame`: sky, ground, a sun, a ball rolling across.
void RenderScene(uint32_t frame, uint8_t* rgb);

// Reads a binary PPM (P6) or an uncompressed 24-bit BMP and scales it to 176 x 144 (nearest pixel).
// kReadFailed when the file cannot be opened, kBadContent when it is no such picture.
platform::Result LoadPicture(const std::string& path, std::vector<uint8_t>& rgb);

// Encodes a 176 x 144 R G B picture (top row first) into the camera's stream format.
std::vector<uint8_t> EncodeCameraFrame(const uint8_t* rgb, int quality = 70);

}  // namespace sim
