// A sound file loaded the way a client's request loads it: read from disk, checked, refused with a
// reason or turned into the samples the upload encodes. Never a crash, never a read past the file.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "relay/link/audio_upload.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  static const std::string path = "/tmp/trevask-fuzz-sound-" + std::to_string(getpid()) + ".wav";
  static relay::NullLinkEvents ui;
  static relay::LinkStats stats;
  static relay::CLinkWriter writer(stats);
  static relay::CAudioUpload upload(writer, ui);
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return 0;
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  int size_class = 0;
  if (upload.Load(path.c_str(), size_class) && (size_class < 1 || size_class > 4)) __builtin_trap();
  return 0;
}
