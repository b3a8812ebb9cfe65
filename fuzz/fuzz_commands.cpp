// Command records as the relay takes them from the command section: frames, audio-file requests,
// any length word.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "relay/link/link_manager.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  static relay::NullLinkUi ui;
  static relay::CLinkManager link(ui);
  if (size < 1) return 0;
  uint8_t slot[80] = {};
  const std::size_t n = size - 1 < sizeof slot ? size - 1 : sizeof slot;
  std::memcpy(slot, data + 1, n);
  // The first byte is the length word's low byte: lengths beyond the record and the slot included.
  link.HandleCommandRecord(slot, data[0], sizeof slot);
  link.StopAudioUpload();
  return 0;
}
