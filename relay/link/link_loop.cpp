// The link loop of the connection thread: on the 20 ms rhythm, passes for the keep-alive's step (a
// pair of keep-alives when one is due, the quality bar, the loss after five missed answers) when it
// has something to do, and the clients' commands, which go out between passes as soon as a client
// rings; and the robot's answers to the keep-alives, taken on the receive thread.
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
    // A section another process shrank or grew shuts out every client that opens it afterwards,
    // and a shrink within a page never faults here: its size is looked at on every pass.
    if (platform::SectionsCanBeCutShort()) platform::RestoreSharedSizes();
    ForwardUntilNextPass();
  }
  return RunEnd::kStopped;
}

bool CLinkManager::LinkFreshForClients() {
  // Clients are told the link is up only while the robot's answers are fresh: after two missed
  // answers in a row (about 4 s) it says "not answering" long before the link counts as lost.
  std::lock_guard<std::mutex> guard(keep_alive_mutex_);
  return link_up_.load(std::memory_order_acquire) && keep_alive_.missed() < timing::kMissedForStale;
}

platform::Doorbell CLinkManager::LoopBell() const {
  // Acquire: a stop raised before the word moved is seen by whoever read the moved word.
  return {&loop_bell_, std::atomic_ref<const uint32_t>(loop_bell_).load(std::memory_order_acquire)};
}

void CLinkManager::WakeLinkLoop() {
  std::atomic_ref<uint32_t>(loop_bell_).fetch_add(1, std::memory_order_release);
  platform::RingDoorbell(&loop_bell_);
}

uint32_t CLinkManager::NextPass(uint32_t start, bool held_back) {
  // Passes keep the 20 ms rhythm they always had; a pass with nothing to do is left out. Records
  // held back, and a firmware upload (whose end brings the keep-alive back), take the next pass.
  if (held_back || firmware_.Active()) return start + timing::kLinkLoopMs;
  uint32_t at = 0;
  {
    std::lock_guard<std::mutex> guard(keep_alive_mutex_);
    at = keep_alive_.NextAction(start);
  }
  const uint32_t passes = (platform::TickElapsed(at, start) + timing::kLinkLoopMs - 1) / timing::kLinkLoopMs;
  return start + timing::kLinkLoopMs * (passes == 0 ? 1 : passes);
}

void CLinkManager::ForwardUntilNextPass() {
  // Between two passes the loop sleeps on the command ring's doorbell and its own rather than the
  // clock: a client's put wakes it and goes out at once, a tenth of a millisecond after it was made
  // instead of at the next pass; a stop, or an answer that changes what clients are told of the
  // link, wakes it too. Passes come when the keep-alive has something to do, or every 20 ms while
  // records wait for one, so an idle link costs a wake-up or two per keep-alive.
  const uint32_t start = platform::TickCount();
  // The command ring's bell first: a put, the common wake, is then told from the first word.
  platform::Doorbell bells[2] = {forwarder_.Doorbell(), LoopBell()};
  bool held_back = forwarder_.ForwardPending(LinkFreshForClients()) == CCommandForwarder::PassEnd::kHeldBack;
  uint32_t pass_end = NextPass(start, held_back);
  for (;;) {
    if (StopRequested()) return;
    const uint32_t now = platform::TickCount();
    if (!platform::TickAfter(pass_end, now)) return;
    // Records held back wait for the pass: meanwhile only the loop's own bell is heard.
    const bool own_only = held_back || bells[0].word == nullptr;
    if (platform::WaitForDoorbells(own_only ? bells + 1 : bells, own_only ? 1 : 2, pass_end - now) !=
        platform::DoorbellWait::kRung)
      continue;
    if (StopRequested()) return;
    bells[0] = forwarder_.Doorbell();
    bells[1] = LoopBell();
    if (held_back) continue;
    held_back = forwarder_.ForwardPending(LinkFreshForClients()) == CCommandForwarder::PassEnd::kHeldBack;
    if (!held_back) continue;
    // What is held back goes at the next pass of the rhythm, if that comes before the planned one.
    const uint32_t woke = platform::TickCount();
    const uint32_t next =
        start + timing::kLinkLoopMs * (platform::TickElapsed(woke, start) / timing::kLinkLoopMs + 1);
    if (platform::TickAfter(pass_end, next)) pass_end = next;
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
  bool was_fresh = false;
  {
    std::lock_guard<std::mutex> guard(keep_alive_mutex_);
    was_fresh = link_up_.load(std::memory_order_acquire) && keep_alive_.missed() < timing::kMissedForStale;
    if (!keep_alive_.OnAnswer(platform::TickCount(), round_trip)) return;
  }
  stats_.AddRoundTrip(round_trip);
  link_up_.store(true, std::memory_order_release);
  // Clients learn from the loop's mark that the link is up (again) now, not at its next keep-alive.
  if (!was_fresh) WakeLinkLoop();
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
