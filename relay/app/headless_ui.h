// The relay without a window: the user's choices come from the command line and the configuration
// file, every status text is a log line, message boxes are logged (and count as closed at once), and
// nothing of a window (its icon, its minimizing) is shown but as debug lines.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "relay/link/link_ui.h"

namespace relay {

class CLinkManager;

class HeadlessUi : public LinkUi {
 public:
  explicit HeadlessUi(LinkChoices choices) : choices_(std::move(choices)) {}
  void Attach(CLinkManager* manager) { manager_ = manager; }

  LinkChoices Choices() override { return choices_; }
  void ShowStatus(const std::string& text) override;
  void SetLinkIcon(int icon_resource) override;
  void SetQualityBar(int value) override;
  void MinimizeWindow() override {}
  void EnableConnectButton() override {}
  void SetControlsForConnected() override {}
  void Disconnect() override;
  void MessageBox(const std::string& text) override;
  void Note(const std::string& text) override;
  void FirmwareProgress(int sent, int total) override;
  // True once the robot has answered a keep-alive in this run.
  bool connected_seen() const { return connected_seen_.load(std::memory_order_acquire); }
  void LinkUp() override;

  // Logs a block of lines (the link statistics) without interleaving with other lines.
  void Print(const std::string& block);

 private:
  const LinkChoices choices_;
  CLinkManager* manager_ = nullptr;
  std::mutex mutex_;
  std::string last_status_;
  int last_icon_ = -1;
  int last_bar_ = -1;
  std::atomic<bool> connected_seen_{false};
};

}  // namespace relay
