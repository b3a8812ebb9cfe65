// The readers of files that users hand to the system: LCD pictures, WAV files, the settings file.
// The first byte picks the reader.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "control/media/lcd_bitmap.h"
#include "exchange/wave_file.h"
#include "relay/app/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  static const std::string path = "/tmp/trevask-fuzz-file-" + std::to_string(getpid());
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return 0;
  std::fwrite(data + 1, 1, size - 1, f);
  std::fclose(f);
  switch (data[0] % 3) {
    case 0: {
      media::LcdPicture picture;
      if (media::ReadLcdBmp(path, picture).ok()) {
        media::BmpWarnings(picture.header);
        uint8_t parts[media::kLcdParts][media::kLcdPartBytes];
        media::BuildLcdParts(picture.pixels, parts);
      }
      break;
    }
    case 1: {
      exchange::WaveSamples wave;
      (void)exchange::ReadWaveSamples(path, wave);  // refused or read, never past the file
      break;
    }
    default:
      relay::LoadSettings(path);
      break;
  }
  return 0;
}
