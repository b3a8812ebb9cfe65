// Reading the samples of a WAV file for the loudspeaker.
//
// A RIFF/WAVE file is read by its chunks: only 16-bit mono PCM is taken, its samples from the "data"
// chunk. A file without a RIFF header is read as the robot's tools write it: a 46-byte header, not
// looked at, followed by 16-bit little-endian samples. A file shorter than its header has no samples.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace relay {

struct WaveSamples {
  std::vector<int16_t> samples;
};

// False with a reason a person can act on (file missing, not 16-bit mono PCM, no data chunk).
bool ReadWaveSamples(const std::string& path, WaveSamples& out, std::string& error);

// The announcement's size class of `count` samples: 1 below 16000, 2 below 320000, 3 below 512000,
// else 4.
int SizeClass(std::size_t count);

}  // namespace relay
