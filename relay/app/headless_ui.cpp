#include "relay/app/headless_ui.h"

#include <cstdio>

#include "relay/link/link_manager.h"

namespace relay {
namespace {

// Message texts end in line feeds of their own; one line each on the terminal.
std::string OneLine(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

}  // namespace

void HeadlessUi::ShowStatus(const std::string& text) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (text == last_status_) return;  // a status field showing the same text again changes nothing
  last_status_ = text;
  std::printf("%s\n", text.c_str());
  std::fflush(stdout);
}

void HeadlessUi::SetLinkIcon(int icon_resource) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (icon_resource == last_icon_) return;
  last_icon_ = icon_resource;
  std::printf("link icon: %d (%s)\n", icon_resource, icon_resource == kIconLinkUp ? "link up" : "link down");
  std::fflush(stdout);
}

void HeadlessUi::SetQualityBar(int value) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (value == last_bar_) return;
  last_bar_ = value;
  std::printf("link quality: %d\n", value);
  std::fflush(stdout);
}

void HeadlessUi::MinimizeWindow() {
  std::lock_guard<std::mutex> guard(mutex_);
  std::printf("window minimized\n");
  std::fflush(stdout);
}

void HeadlessUi::Disconnect() {
  if (manager_ != nullptr) manager_->RequestStop();
}

void HeadlessUi::MessageBox(const std::string& text) {
  std::lock_guard<std::mutex> guard(mutex_);
  std::fprintf(stderr, "message: %s\n", OneLine(text).c_str());
  std::fflush(stderr);
}

void HeadlessUi::Note(const std::string& text) {
  std::lock_guard<std::mutex> guard(mutex_);
  std::fprintf(stderr, "trevask: %s\n", OneLine(text).c_str());
  std::fflush(stderr);
}

void HeadlessUi::Print(const std::string& block) {
  std::lock_guard<std::mutex> guard(mutex_);
  std::fputs(block.c_str(), stdout);
  std::fflush(stdout);
}

void HeadlessUi::FirmwareProgress(int sent, int total) {
  std::lock_guard<std::mutex> guard(mutex_);
  std::printf("firmware: line %d of %d\n", sent, total);
  std::fflush(stdout);
}

}  // namespace relay
