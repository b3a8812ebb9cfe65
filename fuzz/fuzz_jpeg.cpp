// The camera decoder on arbitrary streams: a complete picture or a refusal, never a read past the
// input. One decoder serves every run, as it serves every frame of a control; inputs are bounded by
// what an image record can hold, so the time goes into decoding, not into giant inputs.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "control/media/jpeg_decoder.h"

namespace {
constexpr std::size_t kLargestStream = 20000 - 7;  // an image record's capacity less its header
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size > kLargestStream) return -1;  // not added to the corpus
  static std::vector<uint8_t> rgb(176 * 144 * 3), luma(176 * 144);
  static media::CJpegImageDecoder decoder;
  decoder.Reset(70);
  // A copy of exactly `size` bytes, so that any read past the stream is caught.
  std::vector<uint8_t> stream(data, data + size);
  decoder.DecodeToRgb(stream.data(), static_cast<int>(stream.size()), rgb.data(), 144, 176, luma.data());
  decoder.Release();
  return 0;
}
