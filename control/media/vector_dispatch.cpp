#include "control/media/vector_dispatch.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "control/media/vector_kernels.h"

// The x86 kernels are built into x86 builds only (control/media/CMakeLists.txt).
#if defined(__x86_64__) || defined(__i386__)
#define TREVASK_X86_KERNELS 1
#endif

namespace media {
namespace {

constexpr unsigned Bit(VectorPath path) {
  return 1u << static_cast<unsigned>(path);
}

constexpr DecoderKernels kPortable = {VectorPath::kScalar, kernels::TransformToPlanePortable,
                                      kernels::TransformToSamplesPortable, kernels::ConvertPairsPortable,
                                      kernels::AnyDoublePairPortable};
#ifdef TREVASK_X86_KERNELS
// The SSE2 path's colour steps are the portable code, which the compiler vectorizes for SSE2 itself.
constexpr DecoderKernels kSse2 = {VectorPath::kSse2, kernels::TransformToPlaneSse2,
                                  kernels::TransformToSamplesSse2, kernels::ConvertPairsPortable,
                                  kernels::AnyDoublePairPortable};
constexpr DecoderKernels kAvx2 = {VectorPath::kAvx2, kernels::TransformToPlaneAvx2,
                                  kernels::TransformToSamplesAvx2, kernels::ConvertPairsAvx2,
                                  kernels::AnyDoublePairAvx2};
#endif

const DecoderKernels& KernelsOf(VectorPath path) {
#ifdef TREVASK_X86_KERNELS
  if (path == VectorPath::kSse2) return kSse2;
  if (path == VectorPath::kAvx2) return kAvx2;
#endif
  (void)path;
  return kPortable;
}

// The paths built in that this processor runs, asked once. SSE2 is there whenever the compiler may
// emit it everywhere (every x86-64 build, and the 32-bit Windows build, made for SSE2); otherwise the
// processor is asked. AVX2 is always asked: its kernels carry their own target, and the answer also
// covers the system saving the wide registers.
unsigned AvailablePaths() {
  static const unsigned available = [] {
    unsigned paths = Bit(VectorPath::kScalar);
#ifdef TREVASK_X86_KERNELS
    __builtin_cpu_init();
#ifdef __SSE2__
    paths |= Bit(VectorPath::kSse2);
#else
    if (__builtin_cpu_supports("sse2")) paths |= Bit(VectorPath::kSse2);
#endif
    if (__builtin_cpu_supports("avx2")) paths |= Bit(VectorPath::kAvx2);
#endif
    return paths;
  }();
  return available;
}

// Points at one of the constant tables above. Relaxed is enough: the tables are constant-initialized,
// so a decoder that reads the pointer finds the table complete whatever else it has seen.
std::atomic<const DecoderKernels*> in_use{nullptr};

}  // namespace

const char* VectorPathName(VectorPath path) {
  switch (path) {
    case VectorPath::kScalar:
      return "scalar";
    case VectorPath::kSse2:
      return "sse2";
    case VectorPath::kAvx2:
      return "avx2";
  }
  return "?";
}

VectorPath ChooseVectorPath(const char* requested, unsigned available) {
  if (requested != nullptr)
    for (VectorPath path : kVectorPaths)
      if ((available & Bit(path)) != 0 && std::strcmp(requested, VectorPathName(path)) == 0) return path;
  VectorPath widest = VectorPath::kScalar;
  for (VectorPath path : kVectorPaths)
    if ((available & Bit(path)) != 0) widest = path;
  return widest;
}

const DecoderKernels& DecoderKernelsInUse() {
  static const bool chosen = [] {
    in_use.store(&KernelsOf(ChooseVectorPath(std::getenv("TREVASK_DECODER_PATH"), AvailablePaths())),
                 std::memory_order_relaxed);
    return true;
  }();
  (void)chosen;
  return *in_use.load(std::memory_order_relaxed);
}

bool VectorPathAvailable(VectorPath path) {
  return (AvailablePaths() & Bit(path)) != 0;
}

bool UseVectorPath(VectorPath path) {
  if (!VectorPathAvailable(path)) return false;
  DecoderKernelsInUse();  // the environment's choice is made first, so that it cannot undo this one
  in_use.store(&KernelsOf(path), std::memory_order_relaxed);
  return true;
}

}  // namespace media
