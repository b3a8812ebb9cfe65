// What the link tells its front end, as it happens, and where it reads its configuration. The Qt
// dialog renders the events as its widgets, the headless relay and the service log them; the link
// knows no toolkit and no widget.
//
// Every call may come from a worker thread (connection, receive or upload thread); implementations
// marshal to their own thread as they need, and never make the calling thread wait for theirs: the
// front end's thread may be joining that very thread (a disconnect, a close). A box of
// Message(kFailure or kSuccess) is shown by the front end's thread while the link goes on.
#pragma once

#include <atomic>
#include <string>
#include <utility>

#include "relay/link/link_config.h"
#include "relay/link/status_texts.h"

namespace relay {

enum class MessageKind {
  kFailure,  // a box the user must close: something did not work
  kSuccess,  // a box the user must close: something finished well
  kDetail,   // why something failed, for a person who looks (a port that did not open)
  kNotice,   // a refusal a person must see without being stopped by a box (a sound not played)
};

class LinkEvents {
 public:
  virtual ~LinkEvents() = default;
  // The user's choices as they stand: read once when the connection thread starts and once per
  // connect.
  virtual LinkConfig Config() = 0;
  // The link's state, with its status text.
  virtual void Status(LinkMoment moment, const std::string& text) = 0;
  // The port is open (again once a Bluetooth module is in bypass mode).
  virtual void PortOpened() {}
  // Keep-alive answers missed in a row: 0 when a port opens and after each answer.
  virtual void AnswersMissed(int /*missed*/) {}
  // The robot answers (`up`, with each accepted answer; `first` for the first since the connection
  // started or the link was lost), or the link is down.
  virtual void LinkChanged(bool /*up*/, bool /*first*/) {}
  // The link gave up, or another relay serves the robot: the front end disconnects.
  virtual void GaveUp() = 0;
  virtual void Message(MessageKind kind, const std::string& text) = 0;
  // A firmware upload has sent line `sent` of `total`.
  virtual void Progress(int /*sent*/, int /*total*/) {}
};

// Fixed choices and nothing shown: for programs that embed a link without a front end (benchmarks,
// fuzzers).
class NullLinkEvents : public LinkEvents {
 public:
  explicit NullLinkEvents(LinkConfig config = {}) : config_(std::move(config)) {}
  LinkConfig Config() override { return config_; }
  void Status(LinkMoment, const std::string&) override {}
  void LinkChanged(bool up, bool) override {
    if (up) connected_.store(true, std::memory_order_release);
  }
  void GaveUp() override {}
  void Message(MessageKind, const std::string&) override {}
  // True once the link was up (set by the link's threads, read by the owner).
  bool connected() const { return connected_.load(std::memory_order_acquire); }

 private:
  const LinkConfig config_;
  // Written by the receive thread, read by the owner: release/acquire orders nothing else, but the
  // owner reads it while the thread runs.
  std::atomic<bool> connected_{false};
};

}  // namespace relay
