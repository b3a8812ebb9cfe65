// A transport without sockets or lines, for the link's tests: it opens or refuses as told, plays a
// robot that answers keep-alives (or stays silent), and records what the relay sent and how often
// the link was opened and closed. Thread-safe: the relay's threads and the test use it at once.
#pragma once

#include <atomic>
#include <deque>
#include <mutex>
#include <vector>

#include "exchange/frame.h"
#include "exchange/protocol.h"
#include "platform/waiting.h"
#include "relay/transport/transport.h"

namespace testing_support {

class FakeTransport : public relay::Transport {
 public:
  FakeTransport() = default;

  // What the fake does: refuse the next `n` opens; answer keep-alives or not.
  void RefuseOpens(int n) { refuse_.store(n); }
  void SetAnswering(bool on) { answering_.store(on); }

  bool OpenLink(const relay::LinkTarget&) override {
    std::lock_guard<std::mutex> g(mutex_);
    ++opens_;
    if (refuse_.load() > 0) {
      --refuse_;
      return false;
    }
    open_ = true;
    return true;
  }
  void CloseLink() override {
    std::lock_guard<std::mutex> g(mutex_);
    if (open_) ++closes_;
    open_ = false;
    inbound_.clear();
  }
  bool IsOpen() const override {
    std::lock_guard<std::mutex> g(mutex_);
    return open_;
  }
  std::string LastError() const override { return "the fake refused"; }

  int ReadAvailable(uint8_t* buffer, int max) override {
    std::lock_guard<std::mutex> g(mutex_);
    ready_.Drain();
    int n = 0;
    while (n < max && !inbound_.empty()) {
      buffer[n++] = inbound_.front();
      inbound_.pop_front();
    }
    if (!inbound_.empty()) Signal();
    return n;
  }
  relay::LinkStatus Send(const uint8_t* bytes, int count) override {
    std::lock_guard<std::mutex> g(mutex_);
    if (!open_) return relay::LinkStatus::kNotReady;
    sent_.emplace_back(bytes, bytes + count);
    // A keep-alive to either board: the robot answers it (the relay accepts the first of the pair).
    if (answering_.load() && count >= 7 && bytes[exchange::kOffDataType] == exchange::kTypeLinkStatus &&
        bytes[exchange::kOffPayload] == 0) {
      const uint8_t one = 1;
      exchange::Frame answer =
          exchange::Frame::Make(exchange::kDestComputer, 0, exchange::kTypeLinkStatus, &one, 1);
      inbound_.insert(inbound_.end(), answer.bytes, answer.bytes + answer.size);
      Signal();
    }
    return relay::LinkStatus::kOk;
  }
  platform::WaitHandle WaitHandle() const override { return ready_.handle(); }

  int opens() const {
    std::lock_guard<std::mutex> g(mutex_);
    return opens_;
  }
  int closes() const {
    std::lock_guard<std::mutex> g(mutex_);
    return closes_;
  }
  std::vector<std::vector<uint8_t>> sent() const {
    std::lock_guard<std::mutex> g(mutex_);
    return sent_;
  }
  int keep_alives_sent() const {
    std::lock_guard<std::mutex> g(mutex_);
    int n = 0;
    for (const auto& f : sent_) n += f.size() > 4 && f[exchange::kOffDataType] == exchange::kTypeLinkStatus;
    return n;
  }

 private:
  void Signal() { ready_.Wake(); }

  mutable std::mutex mutex_;
  platform::Waker ready_;  // set while inbound bytes wait
  std::atomic<int> refuse_{0};
  std::atomic<bool> answering_{true};
  bool open_ = false;
  int opens_ = 0, closes_ = 0;
  std::deque<uint8_t> inbound_;
  std::vector<std::vector<uint8_t>> sent_;
};

}  // namespace testing_support
