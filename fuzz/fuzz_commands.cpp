// Command records as the relay takes them from the command section: frames, audio-file requests,
// any length word.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "relay/link/command_forwarding.h"

namespace {

struct NoHooks : relay::InboundHooks {
  void OnKeepAliveAnswer() override {}
  void SendAcknowledgement() override {}
  void OnVoiceFlowControl() override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  static relay::NullLinkEvents ui;
  static relay::LinkStats stats;
  static relay::CLinkWriter writer(stats);  // no transport: frames are dropped
  static NoHooks hooks;
  static relay::CInboundDispatch dispatch(hooks);
  static relay::CAudioUpload audio(writer, ui);
  static relay::CCommandForwarder forwarder(writer, dispatch, audio, ui);
  if (size < 1) return 0;
  uint8_t slot[80] = {};
  const std::size_t n = size - 1 < sizeof slot ? size - 1 : sizeof slot;
  std::memcpy(slot, data + 1, n);
  // The first byte is the length word's low byte: lengths beyond the record and the slot included.
  forwarder.HandleRecord(slot, data[0], sizeof slot);
  audio.Stop();
  return 0;
}
