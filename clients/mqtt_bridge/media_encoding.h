// Pictures and sound in forms a browser takes: the control's RGB picture as a baseline JPEG, and a
// voice segment (16-bit samples at 8000 Hz, mono) as a WAV file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace mqtt_bridge {

// `rgb` holds width * height * 3 bytes, top row first. False when the encoder fails.
bool EncodeJpeg(const uint8_t* rgb, int width, int height, int quality, std::vector<uint8_t>& out);
// `pcm` holds `size` bytes of 16-bit little-endian samples (an odd last byte is dropped).
std::vector<uint8_t> WavFile(const uint8_t* pcm, std::size_t size, uint32_t sample_rate = 8000);

}  // namespace mqtt_bridge
