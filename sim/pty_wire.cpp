#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/clock.h"
#include "sim/wire.h"

namespace sim {
namespace {

class PtyWire : public Wire {
 public:
  PtyWire(int master, int slave, std::string slave_name, std::string link)
      : master_(master), slave_(slave), slave_name_(std::move(slave_name)), link_(std::move(link)) {}
  ~PtyWire() override {
    // Only our own link: a reopened terminal may already have put its link at the same path.
    char target[256] = {};
    const ssize_t n = ::readlink(link_.c_str(), target, sizeof target - 1);
    if (n > 0 && slave_name_ == std::string(target, static_cast<std::size_t>(n))) ::unlink(link_.c_str());
    ::close(slave_);
    ::close(master_);
  }

  int Receive(uint8_t* buffer, std::size_t size) override {
    ssize_t n = ::read(master_, buffer, size);
    if (n < 0) return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == EIO) ? 0 : -1;
    return static_cast<int>(n);
  }

  bool Send(const uint8_t* bytes, std::size_t count) override {
    // A robot on a serial line waits while the line is full (flow control holds it back), so a
    // reader that is merely slow loses nothing. A line whose other end has not read for kStalledMs
    // is taken as closed: what does not fit is lost until the line has room again, and the robot
    // never stalls for long waiting for a reader that is gone.
    std::size_t done = 0;
    while (done < count) {
      const ssize_t n = ::write(master_, bytes + done, count - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
        stalled_ = false;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN && !stalled_) {
        pollfd room{master_, POLLOUT, 0};
        const int wait_ms = static_cast<int>(kStalledMs * platform::TimeScale()) + 1;
        if (::poll(&room, 1, wait_ms) > 0) continue;
        stalled_ = true;
      }
      ++dropped_out_;
      return false;
    }
    return true;
  }

  int fd() const override { return master_; }
  std::string Describe() const override { return "pty " + slave_name_ + " at " + link_; }

 private:
  static constexpr uint32_t kStalledMs = 500;
  int master_;
  bool stalled_ = false;
  int slave_;  // kept open so the master never sees a hang-up while the relay reconnects
  std::string slave_name_;
  std::string link_;
};

}  // namespace

platform::Result OpenPtyWire(const std::string& link_path, std::unique_ptr<Wire>& out) {
  out.reset();
  int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
    platform::Result failed = platform::Fail(platform::Status::kStartFailed,
                                             std::string("pseudo-terminal: ") + std::strerror(errno));
    if (master >= 0) ::close(master);
    return failed;
  }
  const char* name = ::ptsname(master);
  std::string slave_name = name != nullptr ? name : "";
  int slave = ::open(slave_name.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) {
    platform::Result failed =
        platform::Fail(platform::Status::kStartFailed, slave_name + ": " + std::strerror(errno));
    ::close(master);
    return failed;
  }
  // Raw from the start: no echo of the relay's frames back to it, no line editing of binary data.
  termios tio{};
  tcgetattr(slave, &tio);
  cfmakeraw(&tio);
  tcsetattr(slave, TCSANOW, &tio);
  ::unlink(link_path.c_str());
  if (::symlink(slave_name.c_str(), link_path.c_str()) != 0) {
    platform::Result failed =
        platform::Fail(platform::Status::kWriteFailed, link_path + ": " + std::strerror(errno));
    ::close(slave);
    ::close(master);
    return failed;
  }
  out = std::make_unique<PtyWire>(master, slave, slave_name, link_path);
  return platform::Ok();
}

}  // namespace sim
