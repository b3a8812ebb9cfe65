// The relay without a window: the user's choices come from the command line and the configuration
// file, every status text is a log line, message boxes are logged (and count as closed at once), and
// the link's state and its keep-alive answers are logged as they change.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "relay/link/link_events.h"

namespace relay {

class CLinkManager;

class HeadlessUi : public LinkEvents {
 public:
  explicit HeadlessUi(LinkConfig config) : config_(std::move(config)) {}
  void Attach(CLinkManager* manager) { manager_ = manager; }

  LinkConfig Config() override { return config_; }
  void Status(LinkMoment moment, const std::string& text) override;
  void PortOpened() override { AnswersMissed(0); }
  void AnswersMissed(int missed) override;
  void LinkChanged(bool up, bool first) override;
  void GaveUp() override;
  void Message(MessageKind kind, const std::string& text) override;
  void Progress(int sent, int total) override;
  // True once the robot has answered a keep-alive in this run.
  bool connected_seen() const { return connected_seen_.load(std::memory_order_acquire); }

  // Logs a block of lines (the link statistics) without interleaving with other lines.
  void Print(const std::string& block);

 private:
  const LinkConfig config_;
  CLinkManager* manager_ = nullptr;
  std::mutex mutex_;
  std::string last_status_;
  int last_link_ = -1;  // -1 unknown, 0 down, 1 up
  int last_missed_ = -1;
  // Set by the receive thread, read by the main thread's loop.
  std::atomic<bool> connected_seen_{false};
};

}  // namespace relay
