// The link writer: the one link lock, the transport in use, and everything the relay sends to the
// robot (keep-alives, acknowledgements, forwarded commands, announcements, voice packets, firmware
// lines), each under the lock so that frames of different threads never interleave, counted as
// bytes out.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/lock.h"
#include "relay/link/link_stats.h"
#include "relay/link/recording.h"
#include "relay/transport/transport.h"

namespace relay {

class CLinkWriter {
 public:
  explicit CLinkWriter(LinkStats& stats) : stats_(stats) {}

  // The lock around every use of a transport: reads, writes, the module's dialogue.
  platform::RecursiveLock& lock() { return lock_; }
  // The transport frames go to, chosen at each connect (null: frames are dropped).
  void Use(Transport* transport) {
    platform::LockGuard guard(lock_);
    transport_ = transport;
  }
  // Sends one whole frame (or firmware line) by the transport's rule; counts it when all of it went
  // out.
  LinkStatus SendBytes(const uint8_t* bytes, int count);
  // Builds a frame with the next sequence number and sends it.
  LinkStatus Send(uint8_t destination, uint8_t data_type, const uint8_t* payload, std::size_t n);
  uint8_t NextSequence() { return sequence_.fetch_add(1, std::memory_order_relaxed); }
  // Everything that goes out is also recorded (null: nothing). Set before any thread sends.
  void SetRecorder(CLinkRecorder* recorder) { recorder_ = recorder; }

 private:
  LinkStats& stats_;
  platform::RecursiveLock lock_;
  Transport* transport_ = nullptr;  // guarded by lock_
  CLinkRecorder* recorder_ = nullptr;
  // Advanced by every sender thread; relaxed: the numbers only have to differ.
  std::atomic<uint8_t> sequence_{0};
};

}  // namespace relay
