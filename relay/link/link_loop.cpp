// The link loop of the connection thread: every 20 ms the keep-alive's step (a pair of keep-alives
// when one is due, the quality bar, the loss after five missed answers) and the clients' commands,
// which also go out between passes as soon as a client rings; and the robot's answers to the
// keep-alives, taken on the receive thread.
#include "exchange/frame.h"
#include "exchange/protocol.h"
#include "platform/clock.h"
#include "platform/doorbell.h"
#include "platform/shared_memory.h"
#include "relay/link/link_manager.h"
#include "relay/timing.h"

namespace relay {

CLinkManager::RunEnd CLinkManager::RunLink() {
  {
    std::lock_guard<std::mutex> guard(keep_alive_mutex_);
    keep_alive_.StartRun();
  }
  uint8_t keep_alive_sequence = 0x30;
  if (StopRequested()) return RunEnd::kStopped;
  // Clients wait for this loop only while it forwards; after it, their records go nowhere anyway.
  struct MarkWithdrawal {
    CCommandForwarder& forwarder;
    std::atomic<bool>& link_up;
    ~MarkWithdrawal() {
      link_up.store(false, std::memory_order_release);
      forwarder.WithdrawMark();
    }
  } withdrawal{forwarder_, link_up_};
  while (!StopRequested()) {
    const bool uploading = firmware_.Active();
    KeepAliveStep step;
    {
      std::lock_guard<std::mutex> guard(keep_alive_mutex_);
      step = keep_alive_.Tick(platform::TickCount(), uploading);
    }
    if (step.send_pair) SendKeepAlivePair(++keep_alive_sequence);
    if (step.missed) events_.AnswersMissed(step.missed_count);
    if (step.lost) {
      link_up_.store(false, std::memory_order_release);
      events_.LinkChanged(false, false);
      return RunEnd::kLost;
    }
    // Clients are told the link is up only while the robot's answers are fresh: after two missed
    // answers in a row (about 4 s) it says "not answering" long before the link counts as lost.
    int missed = 0;
    {
      std::lock_guard<std::mutex> guard(keep_alive_mutex_);
      missed = keep_alive_.missed();
    }
    // A section another process shrank or grew shuts out every client that opens it afterwards,
    // and a shrink within a page never faults here: its size is looked at on every pass.
    if (platform::SectionsCanBeCutShort()) platform::RestoreSharedSizes();
    ForwardUntilNextPass(link_up_.load(std::memory_order_acquire) && missed < timing::kMissedForStale);
  }
  return RunEnd::kStopped;
}

void CLinkManager::ForwardUntilNextPass(bool link_up) {
  // Between two passes the loop sleeps on the command ring's doorbell rather than the clock: a
  // client's put wakes it and goes out at once, a tenth of a millisecond after it was made instead of
  // at the next pass. Clients that do not ring are still forwarded at every pass, and the pass keeps
  // its 20 ms rhythm whatever the clients do.
  const uint32_t pass_end = platform::TickCount() + timing::kLinkLoopMs;
  platform::Doorbell bell = forwarder_.Doorbell();
  bool more = forwarder_.ForwardPending(link_up);
  for (;;) {
    const uint32_t now = platform::TickCount();
    if (!platform::TickAfter(pass_end, now)) return;
    const uint32_t left = pass_end - now;
    if (!more || bell.word == nullptr) {  // a sound-file request holds the rest back until the next pass
      stop_.Pause(left);
      return;
    }
    if (platform::WaitForDoorbells(&bell, 1, left) != platform::DoorbellWait::kRung || StopRequested())
      return;
    bell = forwarder_.Doorbell();
    more = forwarder_.ForwardPending(link_up);
  }
}

void CLinkManager::SendKeepAlivePair(uint8_t sequence) {
  // Both boards get the same sequence number; the pair goes out under one hold of the lock.
  platform::LockGuard guard(writer_.lock());
  const uint8_t keep_alive = exchange::kLinkStatusKeepAlive;
  exchange::Frame to_media = exchange::Frame::Make(exchange::kDestMultimediaBoard, sequence,
                                                   exchange::kTypeLinkStatus, &keep_alive, 1);
  exchange::Frame to_motion =
      exchange::Frame::Make(exchange::kDestMotionBoard, sequence, exchange::kTypeLinkStatus, &keep_alive, 1);
  writer_.SendBytes(to_media.bytes, static_cast<int>(to_media.size));
  writer_.SendBytes(to_motion.bytes, static_cast<int>(to_motion.size));
  std::lock_guard<std::mutex> machine(keep_alive_mutex_);
  keep_alive_.Sent(platform::TickCount());
}

void CLinkManager::OnKeepAliveAnswer() {
  uint32_t round_trip = 0;
  {
    std::lock_guard<std::mutex> guard(keep_alive_mutex_);
    if (!keep_alive_.OnAnswer(platform::TickCount(), round_trip)) return;
  }
  stats_.AddRoundTrip(round_trip);
  link_up_.store(true, std::memory_order_release);
  events_.LinkChanged(true, !answered_once_.exchange(true));
  ShowStatus(LinkMoment::kConnected);
  events_.AnswersMissed(0);
  SendAcknowledgement();
}

void CLinkManager::SendAcknowledgement() {
  const uint8_t one = 1;
  writer_.Send(exchange::kDestMultimediaBoard, exchange::kTypeAcknowledgement, &one, 1);
}

}  // namespace relay
