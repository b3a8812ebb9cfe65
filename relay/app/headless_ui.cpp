#include "relay/app/headless_ui.h"

#include "platform/service_manager.h"
#include "relay/app/log.h"
#include "relay/link/link_manager.h"
#include "relay/timing.h"

namespace relay {

void HeadlessUi::Status(LinkMoment, const std::string& text) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (text == last_status_) return;  // a status field showing the same text again changes nothing
  last_status_ = text;
  Log(LogLevel::kInfo, text);
  platform::NotifyStatus(text);
}

void HeadlessUi::LinkChanged(bool up, bool) {
  if (up) {
    connected_seen_.store(true, std::memory_order_release);
    platform::NotifyReady();  // a service is ready once the robot first answers
  }
  std::lock_guard<std::mutex> guard(mutex_);
  if (static_cast<int>(up) == last_link_) return;
  last_link_ = up ? 1 : 0;
  Log(LogLevel::kDebug, up ? "link: up" : "link: down");
}

void HeadlessUi::AnswersMissed(int missed) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (missed == last_missed_) return;
  const bool was_known = last_missed_ >= 0;
  last_missed_ = missed;
  if (missed == 0 && last_link_ != 1)  // a port opened: nothing has answered yet
    Log(LogLevel::kDebug, "link quality: waiting for the robot's first answer");
  else if (missed == 0)
    Log(was_known ? LogLevel::kNotice : LogLevel::kDebug, "link quality: every keep-alive answered");
  else
    Log(LogLevel::kNotice, "link quality: " + std::to_string(missed) + " keep-alive answer" +
                               (missed == 1 ? "" : "s") + " missed in a row (the link is lost at " +
                               std::to_string(timing::kMissedForLoss) + ")");
}

void HeadlessUi::GaveUp() {
  if (manager_ != nullptr) manager_->RequestStop();
}

void HeadlessUi::Message(MessageKind kind, const std::string& text) {
  // Message texts end in line feeds of their own; one line each in the log.
  const std::string line = OneLogLine(text);
  switch (kind) {
    case MessageKind::kFailure:
      Log(LogLevel::kError, "message: " + line);
      break;
    case MessageKind::kSuccess:
      Log(LogLevel::kNotice, "message: " + line);
      break;
    case MessageKind::kDetail:
    case MessageKind::kNotice:
      Log(LogLevel::kWarning, line);
      break;
  }
}

void HeadlessUi::Print(const std::string& block) {
  Log(LogLevel::kInfo, block);
}

void HeadlessUi::Progress(int sent, int total) {
  Log(LogLevel::kInfo, "firmware: line " + std::to_string(sent) + " of " + std::to_string(total));
}

}  // namespace relay
