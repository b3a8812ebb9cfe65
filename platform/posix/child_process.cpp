#include "platform/child_process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace platform {

int ChildProcess::Stop() {
  if (native_ == 0) return -1;
  const auto pid = static_cast<pid_t>(native_);
  ::kill(pid, SIGTERM);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  native_ = 0;
  id_ = 0;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

Result StartChildProcess(const std::vector<std::string>& argv, ChildProcess& out) {
  out.Stop();
  if (argv.empty()) return Fail(Status::kStartFailed, "no program to start");
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  const int r = ::posix_spawn(&pid, argv[0].c_str(), nullptr, nullptr, args.data(), environ);
  if (r != 0) return Fail(Status::kStartFailed, argv[0] + ": " + std::strerror(r));
  out.native_ = static_cast<uintptr_t>(pid);
  out.id_ = static_cast<uint32_t>(pid);
  return Ok();
}

}  // namespace platform
