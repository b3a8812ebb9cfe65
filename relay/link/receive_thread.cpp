// The receive thread: reads what the transport has, feeds it to the receive path (or, during a
// firmware upload, to the upload), and sleeps on the transport's descriptor while nothing comes.
#include <poll.h>
#include <unistd.h>

#include "platform/clock.h"
#include "relay/link/link_manager.h"

namespace relay {
namespace {

constexpr std::size_t kSerialReadMax = 1024;

}  // namespace

void CLinkManager::Wake() {
  const uint64_t one = 1;
  if (wake_) {
    [[maybe_unused]] const ssize_t written = ::write(wake_.get(), &one, sizeof one);
  }
}

void CLinkManager::WaitForInput() {
  // The transport's descriptor and the wake-up: nothing else can end the wait early. The limit is a
  // safety net, not a poll: an idle link wakes this thread twice a second at most.
  constexpr int kIdleLimitMs = 500;
  pollfd fds[2] = {{ActiveTransport().WaitDescriptor(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
  const int r = ::poll(fds, 2, kIdleLimitMs);
  // A line whose other end hung up stays "ready" without data: back off as an idle read would.
  if (r > 0 && (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) platform::Sleep(1);
}

int CLinkManager::ReadTransport() {
  if (link_kind_.load() == LinkKindChoice::kWifi && replacement_ == nullptr) {
    const uint64_t foreign = udp_.foreign_datagrams();
    const int n = udp_.ReadAvailable(chunk_, static_cast<int>(sizeof chunk_));
    if (udp_.foreign_datagrams() != foreign) stats_.AddForeignDatagrams(udp_.foreign_datagrams() - foreign);
    return n;
  }
  return ActiveTransport().ReadAvailable(chunk_, static_cast<int>(kSerialReadMax));
}

void CLinkManager::ReceiveThread() {
  if (StopRequested()) return;
  uint64_t drained = 0;  // wake-ups meant for the previous receive thread
  [[maybe_unused]] ssize_t r = ::read(wake_.get(), &drained, sizeof drained);
  while (!receive_stop_.load(std::memory_order_acquire) && !StopRequested()) {
    int n;
    {
      platform::LockGuard guard(writer_.lock());
      n = ReadTransport();
    }
    if (n > 0) {
      stats_.AddBytesIn(static_cast<uint64_t>(n));
      if (upload_mode_.load(std::memory_order_acquire))
        OnFirmwareReply(n);
      else
        FeedBytes(chunk_, static_cast<std::size_t>(n));
    } else {
      WaitForInput();  // outside the lock: senders are never held up by a waiting reader
    }
  }
}

void CLinkManager::FeedBytes(const uint8_t* chunk, std::size_t count) {
  receive_path_.Feed(chunk, count);
}

void CLinkManager::OnAcceptedFrame() {
  // The pending source is written by this thread only (in the read), so it is looked at without the
  // lock; adopting it changes where every sender sends, so that takes the lock.
  if (link_kind_.load() != LinkKindChoice::kWifi || replacement_ != nullptr || !udp_.HasPendingSource())
    return;
  // A frame that passed the check vouches for its datagram's source: the robot is answered there.
  platform::LockGuard guard(writer_.lock());
  const uint64_t before = udp_.peer_changes();
  udp_.AdoptPendingSource();
  if (udp_.peer_changes() != before) stats_.CountPeerChange();
}

}  // namespace relay
