// Runs the project's programs as real child processes and reads their output line by line.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace testing_support {

// Where a program comes from: in a cross build the programs built here are another processor's and
// run in the emulator the build names; the system's (the broker, tshark) run as they are.
enum class Origin { kBuiltHere, kSystem };

class ChildProcess {
 public:
  // Starts `argv[0]` with `argv` and extra environment entries "NAME=value".
  ChildProcess(const std::vector<std::string>& program_argv, const std::vector<std::string>& env = {},
               Origin origin = Origin::kBuiltHere) {
    std::vector<std::string> argv;
#ifdef TREVASK_TEST_EMULATOR
    std::istringstream words(TREVASK_TEST_EMULATOR);
    if (origin == Origin::kBuiltHere)
      for (std::string w; words >> w;) argv.push_back(w);
#else
    (void)origin;
#endif
    argv.insert(argv.end(), program_argv.begin(), program_argv.end());
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      dup2(err[1], 2);
      close(out[0]);
      close(err[0]);
      for (const auto& e : env) putenv(const_cast<char*>(e.c_str()));
      std::vector<char*> args;
      for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
    close(out[1]);
    close(err[1]);
    out_ = out[0];
    err_ = err[0];
    fcntl(out_, F_SETFL, O_NONBLOCK);
    fcntl(err_, F_SETFL, O_NONBLOCK);
  }
  ~ChildProcess() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
    if (err_ >= 0) close(err_);
  }

  void Signal(int sig) {
    kill(pid_, sig);
  }
  pid_t pid() const {
    return pid_;
  }
  // Closes the reading end of its standard output, as a reader that went away does.
  void CloseOutput() {
    if (out_ >= 0) ::close(out_);
    out_ = -1;
  }

  // Waits up to `limit_ms` for the process to end; returns its exit status, or -1 on a time-out
  // (or 128 + signal when a signal ended it). Once it has ended, the same status at once.
  int Wait(int limit_ms = 20000) {
    if (exited_) return status_;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    while (std::chrono::steady_clock::now() < end) {
      Drain(10);
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        Drain(0);
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return status_;
      }
    }
    return -1;
  }

  // Waits until a line of standard output contains `text`.
  bool WaitForLine(const std::string& text, int limit_ms = 20000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    while (std::chrono::steady_clock::now() < end) {
      if (HasLine(text)) return true;
      Drain(10);
    }
    return HasLine(text);
  }

  // Waits until standard error holds `text`.
  bool WaitForError(const std::string& text, int limit_ms = 20000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    while (err_text_.find(text) == std::string::npos && std::chrono::steady_clock::now() < end) Drain(10);
    return err_text_.find(text) != std::string::npos;
  }

  // True when the process has a file whose path holds `path` mapped: a program that opened a shared
  // section has mapped its file in /dev/shm.
  bool Maps(const std::string& path) const {
    std::ifstream maps("/proc/" + std::to_string(pid_) + "/maps");
    for (std::string line; std::getline(maps, line);)
      if (line.find(path) != std::string::npos) return true;
    return false;
  }

  bool HasLine(const std::string& text) const {
    for (const auto& l : lines_)
      if (l.find(text) != std::string::npos) return true;
    return false;
  }
  const std::vector<std::string>& lines() const {
    return lines_;
  }
  const std::string& err() const {
    return err_text_;
  }

 private:
  void Drain(int wait_ms) {
    pollfd p[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
    poll(p, 2, wait_ms);
    char buf[4096];
    ssize_t n;
    while (out_ >= 0 && (n = read(out_, buf, sizeof buf)) > 0) {
      partial_.append(buf, static_cast<std::size_t>(n));
      std::size_t nl;
      while ((nl = partial_.find('\n')) != std::string::npos) {
        lines_.push_back(partial_.substr(0, nl));
        partial_.erase(0, nl + 1);
      }
    }
    while ((n = read(err_, buf, sizeof buf)) > 0) err_text_.append(buf, static_cast<std::size_t>(n));
  }

  pid_t pid_ = -1;
  int out_ = -1, err_ = -1;
  bool exited_ = false;
  int status_ = -1;
  std::string partial_;
  std::vector<std::string> lines_;
  std::string err_text_;
};

}  // namespace testing_support
