// Recordings as --replay reads them: any bytes. Never a crash or a read past the data, and every
// packet read lies inside the input.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "relay/link/recording.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  std::vector<relay::RecordedFrame> frames;
  const platform::Result parsed = relay::ParseRecording(data, size, "fuzz", frames);
  if (parsed.ok()) {
    std::size_t bytes = 0;
    for (const auto& f : frames) bytes += f.bytes.size();
    if (bytes > size) __builtin_trap();
  } else if (parsed.message.empty()) {
    __builtin_trap();  // a refusal always says why
  }
  return 0;
}
