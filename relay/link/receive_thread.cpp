// The receive thread: reads what the transport has until it is drained, feeds it to the receive path
// (or, during a firmware upload, to the upload), wakes the clients, and sleeps on the transport's
// descriptor (or in its read, where the transport waits by reading) until more comes.
#include "platform/clock.h"
#include "relay/link/link_manager.h"
#include "relay/timing.h"

namespace relay {
namespace {

constexpr std::size_t kSerialReadMax = 1024;

}  // namespace

void CLinkManager::Wake() {
  wake_.Wake();
}

void CLinkManager::WaitForInput(Transport& line) {
  // A transport that waits by reading takes what came in the same call; the next read hands it out.
  // Its wait ends early only when the thread is told to stop (StopReceiveThread stops it), and an
  // error backs off as a line that hung up does.
  if (line.TakesWhileWaiting()) {
    if (line.WaitAndTake(timing::kReceiveIdleLimitMs) < 0) platform::Sleep(timing::kHangUpBackOffMs);
    return;
  }
  // The transport's handle and the wake-up: nothing else can end the wait early. The limit is a
  // safety net, not a poll: longer than a keep-alive period, so that a robot's answers are all that
  // wakes an idle link's reader. A transport with nothing to wait on is looked at again after a
  // short pause.
  const platform::WaitHandle handle = line.WaitHandle();
  const platform::WaitResult r = platform::WaitForInputOrWake(
      handle, wake_,
      handle == platform::kNoWaitHandle ? timing::kNoHandleLookMs : timing::kReceiveIdleLimitMs);
  // A line whose other end hung up stays "ready" without data: back off as an idle read would.
  if (r == platform::WaitResult::kHungUp) platform::Sleep(timing::kHangUpBackOffMs);
}

int CLinkManager::ReadTransport(Transport& line) {
  const uint64_t foreign = line.DroppedForeign();
  const int n = line.ReadAvailable(
      chunk_, static_cast<int>(link_kind_.load() == LinkKind::kWifi ? sizeof chunk_ : kSerialReadMax));
  if (line.DroppedForeign() != foreign) stats_.AddForeignDatagrams(line.DroppedForeign() - foreign);
  return n;
}

void CLinkManager::ReceiveThread() {
  if (StopRequested()) return;
  Transport& line = ActiveTransport();
  wake_.Drain();  // wake-ups meant for the previous receive thread
  // The line is drained before clients are woken: every record read goes into its section, then
  // each section that got one rings once.
  CInboundDispatch& dispatch = receive_path_.dispatch();
  dispatch.HoldRings(true);
  while (!receive_stop_.load(std::memory_order_acquire) && !StopRequested()) {
    int n;
    bool emptied;
    {
      platform::LockGuard guard(writer_.lock());
      n = ReadTransport(line);
      emptied = line.Emptied();
    }
    if (n > 0) {
      stats_.AddBytesIn(static_cast<uint64_t>(n));
      if (firmware_.Active()) {
        firmware_.OnReply(chunk_, n);
      } else {
        if (line.SourceChanged()) receive_path_.Restart();
        receive_path_.Feed(chunk_, static_cast<std::size_t>(n));
      }
      if (!emptied) continue;
    }
    dispatch.RingHeld();
    WaitForInput(line);  // outside the lock: senders are never held up by a waiting reader
  }
  dispatch.RingHeld();
  dispatch.HoldRings(false);
}

bool CLinkManager::OnAcceptedFrame(uint8_t data_type) {
  // Whether the source is new is known to this thread alone (it did the read), so it is asked
  // without the lock; a new source may change where every sender sends, so that takes the lock.
  Transport& line = ActiveTransport();
  if (!line.PeerPending()) return line.FrameAccepted(data_type) != FrameOrigin::kOther;
  platform::LockGuard guard(writer_.lock());
  const FrameOrigin origin = line.FrameAccepted(data_type);
  if (origin == FrameOrigin::kNewPeer) stats_.CountPeerChange();
  return origin != FrameOrigin::kOther;
}

}  // namespace relay
