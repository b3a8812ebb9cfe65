// Each path's implementations of the decoder's vector-capable steps; only vector_dispatch.cpp puts
// them to use (the x86 ones are built for x86 only). Signatures are DecoderKernels'.
#pragma once

#include <cstddef>
#include <cstdint>

#include "control/media/block_transform.h"

namespace media::kernels {

void TransformToPlanePortable(const int16_t columns[64], uint8_t* out, std::size_t stride, PlaneKind kind);
void TransformToSamplesPortable(const int16_t columns[64], int16_t samples[64]);
void ConvertPairsPortable(const uint8_t* luma, const uint8_t* chroma, uint8_t* rgb, std::size_t pairs);
bool AnyDoublePairPortable(const uint8_t* chroma, std::size_t pairs);

void TransformToPlaneSse2(const int16_t columns[64], uint8_t* out, std::size_t stride, PlaneKind kind);
void TransformToSamplesSse2(const int16_t columns[64], int16_t samples[64]);

void TransformToPlaneAvx2(const int16_t columns[64], uint8_t* out, std::size_t stride, PlaneKind kind);
void TransformToSamplesAvx2(const int16_t columns[64], int16_t samples[64]);
void ConvertPairsAvx2(const uint8_t* luma, const uint8_t* chroma, uint8_t* rgb, std::size_t pairs);
bool AnyDoublePairAvx2(const uint8_t* chroma, std::size_t pairs);

}  // namespace media::kernels
