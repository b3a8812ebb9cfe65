// The one place that decides which implementation of each vector-capable step of the camera decoder
// runs: the block transform and the colour conversion, as the portable code (`scalar`), SSE2
// intrinsics or AVX2 intrinsics. Every path gives the same bytes; they differ only in speed.
//
// The choice is made once per process, from the paths this build holds (the x86 ones exist only in
// x86 builds) and the instruction sets the processor offers, widest first. TREVASK_DECODER_PATH
// (scalar, sse2 or avx2), read at that moment, asks for another one; a path the build or the
// processor lacks is not taken. Tests and benchmarks may switch paths later through UseVectorPath.
#pragma once

#include <cstddef>
#include <cstdint>

#include "control/media/block_transform.h"

namespace media {

enum class VectorPath : uint8_t { kScalar, kSse2, kAvx2 };
inline constexpr VectorPath kVectorPaths[] = {VectorPath::kScalar, VectorPath::kSse2, VectorPath::kAvx2};

// One implementation of every step, all of one path.
struct DecoderKernels {
  VectorPath path;
  // A dequantized block, column by column, through both passes of the transform into plane bytes.
  void (*transform_to_plane)(const int16_t columns[64], uint8_t* out, std::size_t stride, PlaneKind kind);
  // The same transform into samples, row-major.
  void (*transform_to_samples)(const int16_t columns[64], int16_t samples[64]);
  // The integer colour conversion of `pairs` pixel pairs (colour_conversion.h).
  void (*convert_pairs)(const uint8_t* luma, const uint8_t* chroma, uint8_t* rgb, std::size_t pairs);
  // Whether any of `pairs` chroma pairs needs the double-precision fix-up.
  bool (*any_double_pair)(const uint8_t* chroma, std::size_t pairs);
};

// The kernels every decoder in this process uses now; the first call makes the choice.
const DecoderKernels& DecoderKernelsInUse();

// Whether this build holds `path` and this processor can run it.
bool VectorPathAvailable(VectorPath path);

// Every later step runs `path` (all decoders of the process, so not while one decodes); false, and
// nothing changed, when the path is not available.
bool UseVectorPath(VectorPath path);

const char* VectorPathName(VectorPath path);

// The path `requested` names (TREVASK_DECODER_PATH's value, or null) when it is among `available`
// (a bit per path, 1 << path), otherwise the widest available one.
VectorPath ChooseVectorPath(const char* requested, unsigned available);

}  // namespace media
