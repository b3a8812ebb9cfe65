// The receive path: arbitrary bytes from the robot, in arbitrary chunks, through the deframer, the
// acceptance check and the inbound dispatch into real shared-memory sections.
#include <cstddef>
#include <cstdint>

#include "exchange/acceptance.h"
#include "exchange/deframer.h"
#include "relay/link/inbound_dispatch.h"

namespace {

struct Hooks : relay::InboundHooks {
  void OnKeepAliveAnswer() override {}
  void SendAcknowledgement() override {}
  void OnVoiceFlowControl() override {}
};

struct Receiver : exchange::FrameSink {
  Hooks hooks;
  relay::CInboundDispatch dispatch{hooks};
  relay::RelayProducers producers;
  Receiver() {
    producers.standard_sensor.Open("fuzz", exchange::SectionId::kStandardSensor);
    producers.motor_sensor.Open("fuzz", exchange::SectionId::kMotorSensor);
    producers.custom_sensor.Open("fuzz", exchange::SectionId::kCustomSensor);
    producers.image.Open("fuzz", exchange::SectionId::kImage);
    producers.audio.Open("fuzz", exchange::SectionId::kAudio);
    dispatch.SetProducers(&producers);
  }
  void HandleFrame(const uint8_t* frame, std::size_t length) override {
    if (exchange::CheckFrame(frame, length) == exchange::FrameVerdict::kAccepted)
      dispatch.Dispatch(frame, length);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  static Receiver receiver;
  static exchange::CDeframer deframer;
  // The first byte picks the chunk size, so splits fall everywhere; the voice setting varies too.
  if (size < 2) return 0;
  const std::size_t chunk = 1 + data[0] * 17u;
  receiver.dispatch.SetVoiceSegmentLength(static_cast<int8_t>(data[1]));
  for (std::size_t at = 2; at < size; at += chunk)
    deframer.FeedBytes(data + at, at + chunk <= size ? chunk : size - at, receiver);
  return 0;
}
