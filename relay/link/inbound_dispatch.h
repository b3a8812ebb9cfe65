// What the relay does with each accepted frame from the robot: sensor payloads into their sections,
// camera packets reassembled into one image record, voice packets decoded and published in segments,
// link status frames handed to the keep-alive logic. Runs on the receive thread only.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "exchange/adpcm.h"
#include "exchange/protocol.h"
#include "exchange/sections.h"

namespace relay {

// The relay's producers, opened together at each connect.
struct RelayProducers {
  exchange::CRingProducer standard_sensor, motor_sensor, image, audio, custom_sensor;

  // Opens all five under robot name `prefix`, and the command ring with `open_commands` in its
  // place: standard sensor, motor sensor, image, audio, command, custom sensor is the order in which
  // clients that watch the objects see them made. The first status that is not kOk, else kOk;
  // `failed` then names that section's object.
  platform::Status Open(const std::string& prefix, const std::function<platform::Status()>& open_commands,
                        std::string* failed = nullptr);
  // A sentence for a person about a section that did not open: why, and for another user's object,
  // whose it is.
  static std::string Problem(const std::string& prefix, platform::Status status, const std::string& failed);
};

class InboundHooks {
 public:
  virtual ~InboundHooks() = default;
  virtual void OnKeepAliveAnswer() = 0;
  virtual void SendAcknowledgement() = 0;
  virtual void OnVoiceFlowControl() = 0;
};

class CInboundDispatch {
 public:
  static constexpr std::size_t kImageBufferSize = 18000;
  static constexpr std::size_t kVoiceBufferSize = 1024000;
  static constexpr std::size_t kSamplesKeptPerPacket = 256;

  explicit CInboundDispatch(InboundHooks& hooks);

  // Where records go. Changed only while no receive thread runs.
  void SetProducers(RelayProducers* producers) {
    producers_ = producers;
    held_ = 0;
  }
  // While rings are held, records go into their sections without waking the clients; RingHeld then
  // rings each section that got one, once. A reader that drains the line publishes all it read
  // before any client wakes, and wakes each once however many records it read.
  void HoldRings(bool hold) { hold_rings_ = hold; }
  void RingHeld();

  // An accepted frame (the acceptance check has passed).
  void Dispatch(const uint8_t* frame, std::size_t length);

  void OnImagePacket(const uint8_t* payload, std::size_t n);
  void OnVoicePacket(const uint8_t* payload, std::size_t n);

  // Set by the connection thread from a record command, read here: one word, relaxed (it orders
  // nothing else).
  void SetVoiceSegmentLength(int8_t value) { voice_segment_length_.store(value, std::memory_order_relaxed); }
  int voice_segment_length() const { return voice_segment_length_.load(std::memory_order_relaxed); }
  const exchange::AdpcmState& decoder_state() const { return decoder_; }

 private:
  InboundHooks& hooks_;
  RelayProducers* producers_ = nullptr;
  bool hold_rings_ = false;
  uint32_t held_ = 0;  // one bit per producer (its place in kProducers) that got a record unrung
  void Put(exchange::CRingProducer RelayProducers::*which, const uint8_t* bytes, uint32_t len);

  uint8_t image_[kImageBufferSize];
  std::size_t image_pos_ = 0;
  bool image_receiving_ = false;
  uint8_t image_last_index_ = 0;
  bool image_gap_ = false;
  uint8_t image_record_[kImageBufferSize + 7];

  exchange::AdpcmState decoder_;
  std::unique_ptr<uint8_t[]> voice_;
  std::size_t voice_fill_ = 0;
  std::atomic<int> voice_segment_length_{1};
};

}  // namespace relay
