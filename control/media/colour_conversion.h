// The camera decoder's colour stage: luminance and interleaved chroma planes into R G B.
#pragma once

#include <cstddef>
#include <cstdint>

namespace media {

// The colour conversion of `pixels` (even) pixels: luminance bytes, and one (Cb, Cr) byte pair, lifted
// by 128, for every two pixels; R G B out, each R = Y + 1.402 Cr, G = Y - 0.3441 Cb - 0.7139 Cr,
// B = Y + 1.7718 Cb - 0.0012 Cr as double arithmetic truncated toward zero, negative results made
// positive, capped at 255. Computed exactly in cheaper arithmetic wherever that gives the same bytes;
// frames are converted by this very code, whole runs at a time.
void ConvertPixels(const uint8_t* luma, const uint8_t* chroma, uint8_t* rgb, std::size_t pixels);

}  // namespace media
