// WAV files: the samples of one for the loudspeaker, and the one form the project writes.
//
// A RIFF/WAVE file is read by its chunks: only 16-bit mono PCM is taken, its samples from the "data"
// chunk. Anything else is refused: a file without a RIFF/WAVE header is no sound file. What is
// written is always a 44-byte header and 16-bit mono PCM, the form the robot's voice has and every
// player reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/status.h"

namespace exchange {

struct WaveSamples {
  std::vector<int16_t> samples;
};

// A failure with a reason a person can act on: the file's status when it cannot be read (file
// missing, too large), kBadContent when it is no 16-bit mono PCM WAV file with samples.
platform::Result ReadWaveSamples(const std::string& path, WaveSamples& out);

// As ReadWaveSamples, and refused with "no samples to play" when the file holds two samples or fewer:
// the upload sends a packet for every two samples beyond the first two.
platform::Result ReadPlayableSound(const std::string& path, WaveSamples& out);

// The announcement's size class of `count` samples: 1 below 16000, 2 below 320000, 3 below 512000,
// else 4.
int SizeClass(std::size_t count);

// A whole WAV file of `size` bytes of 16-bit little-endian samples (the voice segment's form; an odd
// last byte is dropped).
std::vector<uint8_t> WaveFileBytes(const uint8_t* pcm, std::size_t size, uint32_t sample_rate = 8000);
// Writes WaveFileBytes to `path`; false when the file cannot be written whole.
bool WriteWaveFile(const std::string& path, const uint8_t* pcm, std::size_t size,
                   uint32_t sample_rate = 8000);
// The samples of this machine (little-endian on every target the project builds for).
bool WriteWaveFile(const std::string& path, const std::vector<int16_t>& samples, uint32_t sample_rate = 8000);

}  // namespace exchange
