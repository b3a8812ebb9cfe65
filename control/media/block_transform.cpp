#include "control/media/block_transform.h"

#include <cstring>

#include "control/media/vector_dispatch.h"
#include "control/media/vector_kernels.h"

namespace media {
namespace {

// The two passes: the row pass (every row of the block, descaled by 2^11 with rounding, each result
// kept in 16 bits) and the column pass (descaled by 2^18). The DC-only shortcuts of the step-by-step
// transform give exactly what the full arithmetic gives ((x0 * 8192 + 1024) >> 11 = 4 x0 and
// (x0 * 8192 + 131072) >> 18 = (x0 + 16) >> 5, both within 32 bits), so the forms below do without them.
constexpr int32_t kRowRound = 1024, kColumnRound = 131072;
constexpr int kRowShift = 11, kColumnShift = 18;

// One pass, eight lanes at a time in a form the compiler can vectorize: it runs down all eight
// columns of `in` in parallel and writes the columns of `out`. Unsigned arithmetic wraps at 32 bits
// exactly as the step-by-step transform does.
void PassColumns(const int16_t* __restrict in, int16_t* __restrict out, int32_t round, int shift) {
  const uint32_t r = static_cast<uint32_t>(round);
  for (int c = 0; c < 8; ++c) {
    const uint32_t x0 = static_cast<uint32_t>(static_cast<int32_t>(in[c]));
    const uint32_t x1 = static_cast<uint32_t>(static_cast<int32_t>(in[8 + c]));
    const uint32_t x2 = static_cast<uint32_t>(static_cast<int32_t>(in[16 + c]));
    const uint32_t x3 = static_cast<uint32_t>(static_cast<int32_t>(in[24 + c]));
    const uint32_t x4 = static_cast<uint32_t>(static_cast<int32_t>(in[32 + c]));
    const uint32_t x5 = static_cast<uint32_t>(static_cast<int32_t>(in[40 + c]));
    const uint32_t x6 = static_cast<uint32_t>(static_cast<int32_t>(in[48 + c]));
    const uint32_t x7 = static_cast<uint32_t>(static_cast<int32_t>(in[56 + c]));
    const uint32_t z1 = (x2 + x6) * 4433u;
    const uint32_t t2 = z1 - x6 * 15137u, t3 = z1 + x2 * 6270u;
    const uint32_t t0 = (x0 + x4) << 13, t1 = (x0 - x4) << 13;
    const uint32_t e10 = t0 + t3 + r, e13 = t0 - t3 + r, e11 = t1 + t2 + r, e12 = t1 - t2 + r;
    const uint32_t oz1 = x7 + x1, oz2 = x5 + x3, oz3 = x7 + x3, oz4 = x5 + x1;
    const uint32_t z5 = (oz3 + oz4) * 9633u;
    const uint32_t q1 = oz1 * static_cast<uint32_t>(-7373), q2 = oz2 * static_cast<uint32_t>(-20995);
    const uint32_t q3 = oz3 * static_cast<uint32_t>(-16069) + z5,
                   q4 = oz4 * static_cast<uint32_t>(-3196) + z5;
    const uint32_t oa = x7 * 2446u + q1 + q3, ob = x5 * 16819u + q2 + q4;
    const uint32_t oc = x3 * 25172u + q2 + q3, od = x1 * 12299u + q1 + q4;
    out[c] = static_cast<int16_t>(static_cast<int32_t>(e10 + od) >> shift);
    out[56 + c] = static_cast<int16_t>(static_cast<int32_t>(e10 - od) >> shift);
    out[8 + c] = static_cast<int16_t>(static_cast<int32_t>(e11 + oc) >> shift);
    out[48 + c] = static_cast<int16_t>(static_cast<int32_t>(e11 - oc) >> shift);
    out[16 + c] = static_cast<int16_t>(static_cast<int32_t>(e12 + ob) >> shift);
    out[40 + c] = static_cast<int16_t>(static_cast<int32_t>(e12 - ob) >> shift);
    out[24 + c] = static_cast<int16_t>(static_cast<int32_t>(e13 + oa) >> shift);
    out[32 + c] = static_cast<int16_t>(static_cast<int32_t>(e13 - oa) >> shift);
  }
}

inline uint8_t SampleByte(int v, PlaneKind kind) {
  if (kind == PlaneKind::kChroma) return static_cast<uint8_t>(v & 0xFF);
  return static_cast<uint8_t>((v < -120 ? -120 : v > 120 ? 120 : v) + 128);
}

}  // namespace

namespace kernels {

void TransformToSamplesPortable(const int16_t columns[64], int16_t samples[64]) {
  int16_t a[64], b[64];
  PassColumns(columns, b, kRowRound, kRowShift);
  for (int r = 0; r < 8; ++r)
    for (int c = 0; c < 8; ++c) a[8 * c + r] = b[8 * r + c];
  PassColumns(a, samples, kColumnRound, kColumnShift);
}

void TransformToPlanePortable(const int16_t columns[64], uint8_t* out, std::size_t stride, PlaneKind kind) {
  int16_t samples[64];
  TransformToSamplesPortable(columns, samples);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) out[y * stride + x] = SampleByte(samples[8 * y + x], kind);
}

}  // namespace kernels

void TransformColumnsToPlane(const int16_t columns[64], uint8_t* out, std::size_t stride, PlaneKind kind) {
  DecoderKernelsInUse().transform_to_plane(columns, out, stride, kind);
}

void FlatBlockToPlane(int16_t dc, uint8_t* out, std::size_t stride, PlaneKind kind) {
  const int flat = static_cast<int16_t>((static_cast<int16_t>(dc * 4) + 16) >> 5);
  uint8_t row[8];
  std::memset(row, SampleByte(flat, kind), sizeof row);
  for (int y = 0; y < 8; ++y) std::memcpy(out + y * stride, row, sizeof row);
}

void TransformBlock(const int16_t block[64], int16_t out[64]) {
  int16_t columns[64];
  for (int r = 0; r < 8; ++r)
    for (int c = 0; c < 8; ++c) columns[8 * c + r] = block[8 * r + c];
  DecoderKernelsInUse().transform_to_samples(columns, out);
}

}  // namespace media
