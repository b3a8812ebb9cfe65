#include "platform/program.h"

#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace platform {
namespace {

sigset_t RequestSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGUSR1);
  sigaddset(&set, SIGUSR2);  // a thread of the program has ended
  return set;
}

}  // namespace

void TakeProgramRequests() {
  // Signals are taken synchronously by the waiting thread; every thread started later inherits the mask.
  const sigset_t set = RequestSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  // A log read through a pipe whose reader went away must not end the program (and leave its
  // sections behind): writes then fail instead.
  signal(SIGPIPE, SIG_IGN);
}

ProgramRequest NextProgramRequest(int limit_ms) {
  const sigset_t set = RequestSignals();
  int sig;
  if (limit_ms < 0) {
    sig = sigwaitinfo(&set, nullptr);
  } else {
    const timespec limit{limit_ms / 1000, static_cast<long>(limit_ms % 1000) * 1000000L};
    sig = sigtimedwait(&set, nullptr, &limit);
  }
  switch (sig) {
    case SIGINT:
    case SIGTERM:
      return ProgramRequest::kStop;
    case SIGUSR1:
      return ProgramRequest::kStatistics;
    case SIGUSR2:
      return ProgramRequest::kThreadEnded;
    default:
      return ProgramRequest::kNone;
  }
}

void PostThreadEnded() {
  kill(getpid(), SIGUSR2);
}

std::string ProgramPath() {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  return n > 0 ? std::string(self, static_cast<std::size_t>(n)) : std::string();
}

char** Utf8Arguments(int /*argc*/, char** argv) {
  return argv;
}

void RunInstead(const std::string& program, char** argv) {
  execv(program.c_str(), argv);
}

std::string UserConfigFolder() {
  if (const char* h = std::getenv("HOME"); h != nullptr && *h != '\0') return std::string(h) + "/.config";
  // A service started without HOME: the user database's home, unless the user has none (a system
  // user's "/nonexistent", or "/"); then no folder at all, rather than whatever folder the program
  // was started in.
  const passwd* user = getpwuid(getuid());
  const std::string home = user != nullptr && user->pw_dir != nullptr ? user->pw_dir : "";
  struct stat st {};
  if (home.empty() || home == "/" || stat(home.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return {};
  return home + "/.config";
}

std::string UserDataFolder() {
  if (const char* h = std::getenv("HOME"); h != nullptr && *h != '\0')
    return std::string(h) + "/.local/share";
  return {};
}

std::string SharedSettingsFolder() {
  return {};
}

const char* TextLineBreak() {
  return "\n";
}

Result MakeFolders(const std::string& folder) {
  if (folder.empty()) return Ok();
  struct stat st {};
  if (stat(folder.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return Ok();
    return Fail(Status::kWriteFailed, folder + " is not a folder");
  }
  const std::size_t slash = folder.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    if (Result above = MakeFolders(folder.substr(0, slash)); !above.ok()) return above;
  }
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    const int e = errno;
    return Fail(e == EACCES || e == EPERM ? Status::kNoAccess : Status::kWriteFailed,
                folder + ": " + std::strerror(e));
  }
  return Ok();
}

bool OthersMayWrite(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && (st.st_mode & S_IWOTH) != 0;
}

std::tm LocalTime(std::time_t t) {
  std::tm local{};
  localtime_r(&t, &local);
  return local;
}

}  // namespace platform
