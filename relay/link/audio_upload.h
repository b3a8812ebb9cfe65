// Streaming a WAV file to the robot's loudspeaker: an announcement of its size class, then voice
// packets of up to 128 ADPCM bytes on a thread of their own, paced for the robot's buffer, slowed
// after a flow-control frame and stopped by a stop command. One upload runs at a time.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "exchange/adpcm.h"
#include "platform/thread.h"
#include "relay/link/link_events.h"
#include "relay/link/link_writer.h"

namespace relay {

class CAudioUpload {
 public:
  CAudioUpload(CLinkWriter& writer, LinkEvents& events) : writer_(writer), events_(events) {}
  ~CAudioUpload() { Stop(); }
  CAudioUpload(const CAudioUpload&) = delete;
  CAudioUpload& operator=(const CAudioUpload&) = delete;

  // A client's request: ends the running upload, loads `path` and streams it. A continuation
  // ("EOF" after the name) carries the encoder state over and sends no announcement.
  void Start(const char* path, bool continuation);
  // Loads `path` into the sample buffer; false (with a notice naming the reason) when it is not
  // played. `size_class` is the announcement's 1..4.
  bool Load(const char* path, int& size_class);
  // A client's stop command: the upload ends at its next check.
  void RequestStop() { stop_.store(true, std::memory_order_release); }
  // Ends a running upload and waits for its thread.
  void Stop();
  // The robot's flow-control frame: pause, then go on slowly.
  void Pause() { flow_.store(false, std::memory_order_release); }
  bool Running() const { return !stop_.load(std::memory_order_acquire); }

 private:
  void Run();
  bool Stopped() const { return stop_.load(std::memory_order_acquire); }

  CLinkWriter& writer_;
  LinkEvents& events_;
  // Written by the clients' stop (link loop) and Stop, read by the upload thread on every packet;
  // release/acquire orders the sample buffer's hand-over with the start.
  std::atomic<bool> stop_{true};
  // Cleared by the receive thread on a flow-control frame, set again by the upload after its pause.
  std::atomic<bool> flow_{true};
  // The sample buffer and send position belong to the upload thread while it runs; the encoder
  // state carries over to a continuation.
  std::vector<int16_t> samples_;
  std::size_t count_ = 0;
  std::size_t position_ = 0;
  exchange::AdpcmState encoder_;
  platform::Thread thread_;
};

}  // namespace relay
