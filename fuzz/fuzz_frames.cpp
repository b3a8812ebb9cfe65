// The receive path: arbitrary bytes from the robot, in arbitrary chunks, through the deframer, the
// acceptance check and the inbound dispatch into real shared-memory sections.
#include <cstddef>
#include <cstdint>

#include "relay/link/receive_path.h"

namespace {

struct Hooks : relay::InboundHooks {
  void OnKeepAliveAnswer() override {}
  void SendAcknowledgement() override {}
  void OnVoiceFlowControl() override {}
};

// The relay's own receive path, into real sections.
struct Receiver {
  Hooks hooks;
  relay::LinkStats stats;
  relay::CReceivePath path{hooks, stats};
  relay::RelayProducers producers;
  Receiver() {
    producers.standard_sensor.Open("fuzz", exchange::SectionId::kStandardSensor);
    producers.motor_sensor.Open("fuzz", exchange::SectionId::kMotorSensor);
    producers.custom_sensor.Open("fuzz", exchange::SectionId::kCustomSensor);
    producers.image.Open("fuzz", exchange::SectionId::kImage);
    producers.audio.Open("fuzz", exchange::SectionId::kAudio);
    path.dispatch().SetProducers(&producers);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  static Receiver receiver;
  // The first byte picks the chunk size, so splits fall everywhere; the voice setting varies too.
  if (size < 2) return 0;
  const std::size_t chunk = 1 + data[0] * 17u;
  receiver.path.dispatch().SetVoiceSegmentLength(static_cast<int8_t>(data[1]));
  for (std::size_t at = 2; at < size; at += chunk)
    receiver.path.Feed(data + at, at + chunk <= size ? chunk : size - at);
  return 0;
}
