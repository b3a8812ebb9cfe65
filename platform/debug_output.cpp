#include "platform/debug_output.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace platform {
namespace {

std::mutex& ObserverMutex() {
  static std::mutex m;
  return m;
}

std::function<void(std::string_view)>& Observer() {
  static std::function<void(std::string_view)> observer;
  return observer;
}

}  // namespace

bool DebugOutputEnabled() {
  static const bool enabled = [] {
    const char* v = std::getenv("TREVASK_DEBUG");
    return v != nullptr && std::strcmp(v, "1") == 0;
  }();
  return enabled;
}

void DebugOutput(const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);

  std::string_view line(text);
  while (!line.empty() && (line.front() == '\n' || line.front() == '\r')) line.remove_prefix(1);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  std::string one(line);
  for (char& c : one)
    if (c == '\n' || c == '\r') c = ' ';

  std::lock_guard<std::mutex> guard(ObserverMutex());
  if (Observer()) Observer()(one);
  if (DebugOutputEnabled()) std::fprintf(stderr, "%s\n", one.c_str());
}

void SetDebugObserver(std::function<void(std::string_view)> observer) {
  std::lock_guard<std::mutex> guard(ObserverMutex());
  Observer() = std::move(observer);
}

}  // namespace platform
