#include "relay/app/headless_ui.h"

#include "relay/app/log.h"
#include "relay/app/service_notify.h"
#include "relay/link/link_manager.h"

namespace relay {
namespace {

// Message texts end in line feeds of their own; one line each on the terminal.
std::string OneLine(const std::string& text) {
  return OneLogLine(text);
}

}  // namespace

void HeadlessUi::ShowStatus(const std::string& text) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (text == last_status_) return;  // a status field showing the same text again changes nothing
  last_status_ = text;
  Log(LogLevel::kInfo, text);
  NotifyStatus(text);
}

void HeadlessUi::LinkUp() {
  connected_seen_.store(true, std::memory_order_release);
  NotifyReady();  // a service is ready once the robot first answers
}

void HeadlessUi::SetLinkIcon(int icon_resource) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (icon_resource == last_icon_) return;
  last_icon_ = icon_resource;
  Log(LogLevel::kDebug, icon_resource == kIconLinkUp ? "link: up" : "link: down");
}

void HeadlessUi::SetQualityBar(int value) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (value == last_bar_) return;
  const bool was_known = last_bar_ >= 0;
  last_bar_ = value;
  // The bar shows five minus the keep-alive answers missed in a row; at five missed the link is lost.
  const int missed = 5 - value;
  if (missed <= 0 && last_icon_ != kIconLinkUp)  // the bar starts full on a link nothing has answered yet
    Log(LogLevel::kDebug, "link quality: waiting for the robot's first answer");
  else if (missed <= 0)
    Log(was_known ? LogLevel::kNotice : LogLevel::kDebug, "link quality: every keep-alive answered");
  else
    Log(LogLevel::kNotice, "link quality: " + std::to_string(missed) + " keep-alive answer" +
                               (missed == 1 ? "" : "s") + " missed in a row (the link is lost at 5)");
}

void HeadlessUi::Disconnect() {
  if (manager_ != nullptr) manager_->RequestStop();
}

void HeadlessUi::MessageBox(const std::string& text) {
  const std::string line = OneLine(text);
  // The relay's boxes report failures, but for the end of a firmware upload.
  Log(line.find("succeeds") != std::string::npos ? LogLevel::kNotice : LogLevel::kError, "message: " + line);
}

void HeadlessUi::Note(const std::string& text) {
  Log(LogLevel::kWarning, OneLine(text));
}

void HeadlessUi::Print(const std::string& block) {
  Log(LogLevel::kInfo, block);
}

void HeadlessUi::FirmwareProgress(int sent, int total) {
  Log(LogLevel::kInfo, "firmware: line " + std::to_string(sent) + " of " + std::to_string(total));
}

}  // namespace relay
