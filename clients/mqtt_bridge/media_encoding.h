// Pictures in a form a browser takes: the control's RGB picture as a baseline JPEG.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace mqtt_bridge {

// `rgb` holds width * height * 3 bytes, top row first. False when the encoder fails.
bool EncodeJpeg(const uint8_t* rgb, int width, int height, int quality, std::vector<uint8_t>& out);

}  // namespace mqtt_bridge
