// The camera decoder on arbitrary streams: a complete picture or a refusal, never a read past the
// input, and always the very bytes the literal step-by-step decoder of the tests gives, on every
// vector path this processor runs. One decoder serves every run, as it serves every frame of a
// control; inputs are bounded by what an image record can hold, so the time goes into decoding, not
// into giant inputs.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "control/media/jpeg_decoder.h"
#include "control/media/vector_dispatch.h"
#include "tests/jpeg_reference.h"

namespace {
constexpr std::size_t kLargestStream = 20000 - 7;  // an image record's capacity less its header
constexpr int kW = 176, kH = 144;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size > kLargestStream) return -1;  // not added to the corpus
  static std::vector<uint8_t> rgb(kW * kH * 3), luma(kW * kH), ref_rgb(rgb.size()), ref_luma(luma.size());
  static media::CJpegImageDecoder decoder;
  static reference::Decoder ref(70);
  // A copy of exactly `size` bytes, so that any read past the stream is caught.
  std::vector<uint8_t> stream(data, data + size);
  const bool ref_ok = ref.DecodeToRgb(stream.data(), static_cast<int>(stream.size()), ref_rgb.data(), kH, kW,
                                      ref_luma.data());
  for (media::VectorPath path : media::kVectorPaths) {
    if (!media::UseVectorPath(path)) continue;
    decoder.Reset(70);
    const bool ok =
        decoder.DecodeToRgb(stream.data(), static_cast<int>(stream.size()), rgb.data(), kH, kW, luma.data());
    decoder.Release();
    if (ok != ref_ok || (ok && (rgb != ref_rgb || luma != ref_luma))) std::abort();  // a differing byte
  }
  return 0;
}
