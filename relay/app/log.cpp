#include "relay/app/log.h"

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/program.h"

namespace relay {
namespace {

// Read by every thread that logs, set once at start-up: relaxed is enough, it orders nothing.
std::atomic<int> g_threshold{static_cast<int>(LogLevel::kInfo)};
std::mutex g_mutex;
// Standard output may be a pipe whose reader has gone: the relay goes on (it ignores SIGPIPE) and
// writes every line to standard error from then on. Under g_mutex.
bool g_stdout_gone = false;

const char* LevelName(LogLevel level) {
  switch (level) {
    case LogLevel::kError:
      return "error";
    case LogLevel::kWarning:
      return "warning";
    case LogLevel::kNotice:
      return "notice";
    case LogLevel::kInfo:
      return "info";
    default:
      return "debug";
  }
}

// True when `stream` is the journal's: JOURNAL_STREAM holds "device:inode" of the stream systemd
// connected, which a redirected stream no longer matches.
bool IsJournal(FILE* stream) {
  const char* journal = std::getenv("JOURNAL_STREAM");
  if (journal == nullptr) return false;
  struct stat st {};
  if (fstat(fileno(stream), &st) != 0) return false;
  unsigned long long device = 0, inode = 0;
  if (std::sscanf(journal, "%llu:%llu", &device, &inode) != 2) return false;
  return device == static_cast<unsigned long long>(st.st_dev) &&
         inode == static_cast<unsigned long long>(st.st_ino);
}

}  // namespace

void SetLogThreshold(LogLevel threshold) {
  g_threshold.store(static_cast<int>(threshold), std::memory_order_relaxed);
}

bool LogEnabled(LogLevel level) {
  return static_cast<int>(level) <= g_threshold.load(std::memory_order_relaxed);
}

std::string FormatLogLine(LogLevel level, const std::string& text, bool for_journal) {
  if (for_journal) return "<" + std::to_string(static_cast<int>(level)) + ">" + text;
  const auto now = std::chrono::system_clock::now();
  const std::tm local = platform::LocalTime(std::chrono::system_clock::to_time_t(now));
  const long ms = static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  char stamp[40];
  const std::size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  std::snprintf(stamp + n, sizeof stamp - n, ".%03ld", ms);
  char level_text[12];
  std::snprintf(level_text, sizeof level_text, "%-7s", LevelName(level));
  return std::string(stamp) + " " + level_text + " " + text;
}

void Log(LogLevel level, const std::string& text) {
  if (!LogEnabled(level)) return;
  static const bool journal_out = IsJournal(stdout), journal_err = IsJournal(stderr);
  std::lock_guard<std::mutex> guard(g_mutex);
  FILE* stream = level <= LogLevel::kWarning || g_stdout_gone ? stderr : stdout;
  const bool journal = stream == stderr ? journal_err : journal_out;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() || end < text.size()) {
      if (!line.empty()) std::fprintf(stream, "%s\n", FormatLogLine(level, line, journal).c_str());
    }
    start = end + 1;
  }
  if (std::fflush(stream) != 0 && stream == stdout) {
    g_stdout_gone = true;
    std::fprintf(
        stderr, "%s\n",
        FormatLogLine(LogLevel::kWarning, "standard output is closed; the log goes on here", journal_err)
            .c_str());
    std::fflush(stderr);
  }
}

std::string OneLogLine(const std::string& text) {
  std::string line = text;
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  std::string out;
  out.reserve(line.size());
  for (unsigned char c : line) {
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20 && c != '\t') {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

}  // namespace relay
