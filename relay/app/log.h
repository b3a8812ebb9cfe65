// The headless relay's log: one line per event with a time and a level. Errors and warnings go to
// standard error, the rest to standard output. Under systemd (JOURNAL_STREAM names the stream) a line
// carries its level as the journal's "<N>" prefix and no time of its own, as the journal adds both.
#pragma once

#include <string>

namespace relay {

enum class LogLevel { kError = 3, kWarning = 4, kNotice = 5, kInfo = 6, kDebug = 7 };

// Lines less urgent than `threshold` are dropped: kWarning for -q, kInfo by default, kDebug for -v.
void SetLogThreshold(LogLevel threshold);
bool LogEnabled(LogLevel level);
// One line (a text of several lines is written as several lines of the same level). Thread-safe.
void Log(LogLevel level, const std::string& text);
// A text that must stay one line of the log (it may carry what a client or robot sent, such as a
// file name): trailing line feeds dropped, other control characters shown as \n, \r or \xNN.
std::string OneLogLine(const std::string& text);
// "2026-12-08 17:26:34.123 info  text", as Log writes it to a terminal or file.
std::string FormatLogLine(LogLevel level, const std::string& text, bool for_journal);

}  // namespace relay
