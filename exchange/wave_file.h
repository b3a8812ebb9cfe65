// Reading the samples of a WAV file for the loudspeaker.
//
// A RIFF/WAVE file is read by its chunks: only 16-bit mono PCM is taken, its samples from the "data"
// chunk. Anything else is refused: a file without a RIFF/WAVE header is no sound file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace exchange {

struct WaveSamples {
  std::vector<int16_t> samples;
};

// False with a reason a person can act on (file missing, not 16-bit mono PCM, no data chunk).
bool ReadWaveSamples(const std::string& path, WaveSamples& out, std::string& error);

// As ReadWaveSamples, and refused with "no samples to play" when the file holds two samples or fewer:
// the upload sends a packet for every two samples beyond the first two.
bool ReadPlayableSound(const std::string& path, WaveSamples& out, std::string& error);

// The announcement's size class of `count` samples: 1 below 16000, 2 below 320000, 3 below 512000,
// else 4.
int SizeClass(std::size_t count);

}  // namespace exchange
