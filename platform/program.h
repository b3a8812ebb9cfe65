// What a console program asks of the system around it: the requests a person or the system sends it
// while it runs, where it lies, the folders for its settings, and the local time of day.
#pragma once

#include <ctime>
#include <string>

#include "platform/status.h"

namespace platform {

// The requests a running program takes on one thread: stop (Ctrl-C, SIGINT, SIGTERM; on Windows
// also Ctrl-Break and the console window closing), print statistics (SIGUSR1; Windows has no such
// request), and the program's own news that a thread of it has ended.
enum class ProgramRequest { kNone, kStop, kStatistics, kThreadEnded };

// Starts taking the requests; call before any thread is started (on POSIX systems the threads
// started later leave the signals to the thread that waits for them).
void TakeProgramRequests();
// The next request, waiting at most `limit_ms` real milliseconds (-1: as long as it takes; 0: only
// what has come).
ProgramRequest NextProgramRequest(int limit_ms);
// Callable from any thread: NextProgramRequest answers kThreadEnded.
void PostThreadEnded();

// The full path of the running program; empty when the system does not say.
std::string ProgramPath();
// The program's arguments as UTF-8, as every text in this system: `argv` where the system hands them
// so; on Windows, from the command line as the user typed it (main's are in the ANSI code page).
char** Utf8Arguments(int argc, char** argv);
// Runs `program` in place of this one with `argv`; returns only when it cannot be run.
void RunInstead(const std::string& program, char** argv);

// Where the user's settings live: $HOME/.config on POSIX systems (the home from the user database
// when HOME is unset; empty for a user without a home), %APPDATA% on Windows.
std::string UserConfigFolder();
// Where the user's programs keep their data: $HOME/.local/share on POSIX systems, %APPDATA% on
// Windows; empty when there is no such folder.
std::string UserDataFolder();
// Where programs kept settings files for every user, read when the user has none of their own: the
// Windows directory on Windows; empty elsewhere.
std::string SharedSettingsFolder();
// The line break of the system's text files, as its editors and programs read and write them:
// CR LF on Windows, LF elsewhere.
const char* TextLineBreak();
// Makes `folder` and the folders above it, the new ones for this user alone. kWriteFailed (kNoAccess
// when the system denies it) with a reason.
Result MakeFolders(const std::string& folder);
// True when users other than the owner may change the file (a settings file that says where the
// relay sends a robot's commands must not be).
bool OthersMayWrite(const std::string& path);

// The local calendar time of `t`.
std::tm LocalTime(std::time_t t);

}  // namespace platform
