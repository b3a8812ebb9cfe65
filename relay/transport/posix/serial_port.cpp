#include "relay/transport/serial_port.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/clock.h"
#include "platform/debug_output.h"
#include "relay/timing.h"

namespace relay {
namespace {

speed_t SpeedFor(int baud) {
  switch (baud) {
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 230400:
      return B230400;
    default:
      return B115200;
  }
}

}  // namespace

struct CSerialPort::Line {
  int fd = -1;
};

std::string ComDeviceName(int port_number) {
  std::string var = "TREVASK_COM" + std::to_string(port_number);
  if (const char* path = std::getenv(var.c_str()); path != nullptr && *path != '\0') return path;
  return "/dev/ttyS" + std::to_string(port_number - 1);
}

int AssignComNumber(const std::string& device) {
  for (int n = 1; n <= 255; ++n) {
    std::string var = "TREVASK_COM" + std::to_string(n);
    const char* current = std::getenv(var.c_str());
    if (current != nullptr && device == current) return n;
    if (current == nullptr || *current == '\0') {
      // The plain /dev/ttyS<n-1> of an unset number may be a real port; skip numbers whose device exists.
      if (current == nullptr && ::access(ComDeviceName(n).c_str(), F_OK) == 0) continue;
      if (::setenv(var.c_str(), device.c_str(), 1) != 0) return 0;
      return n;
    }
  }
  return 0;
}

// What a person can do about a device they may not open: join the group that owns it (usually
// dialout), which takes effect at their next login.
static std::string PermissionHint(const std::string& device) {
  struct stat st {};
  if (stat(device.c_str(), &st) != 0) return {};
  const group* owner = getgrgid(st.st_gid);
  const std::string name = owner != nullptr ? owner->gr_name : std::to_string(st.st_gid);
  return " (the device belongs to group '" + name + "': add the user to it, e.g. sudo usermod -aG " + name +
         " $USER, and log in again)";
}

CSerialPort::CSerialPort() : line_(std::make_unique<Line>()) {}

CSerialPort::~CSerialPort() {
  // Owners call CloseIfOpen first; this only makes sure no descriptor outlives the object.
  if (line_->fd >= 0) ::close(line_->fd);
}

platform::WaitHandle CSerialPort::WaitHandle() const {
  return line_->fd;
}

bool CSerialPort::OpenPath(const std::string& device) {
  if (open_) CloseIfOpen();
  device_ = device;
  last_error_.clear();
  int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int why = errno;
    last_error_ = device + ": " + std::strerror(why);
    if (why == EACCES) last_error_ += PermissionHint(device);
    return false;
  }
  // No sharing, as a COM port is opened exclusively: a second relay on the same device is refused.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    last_error_ = device + ": in use by another program";
    ::close(fd);
    return false;
  }
  line_->fd = fd;
  if (!Configure()) {
    ::close(line_->fd);
    line_->fd = -1;
    return false;
  }
  open_ = true;
  return true;
}

bool CSerialPort::Configure() {
  termios tio{};
  if (tcgetattr(line_->fd, &tio) != 0) {
    last_error_ = device_ + ": not a serial device (" + std::strerror(errno) + ")";
    return false;
  }
  cfmakeraw(&tio);
  cfsetispeed(&tio, SpeedFor(baud_rate_));
  cfsetospeed(&tio, SpeedFor(baud_rate_));
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB);
  tio.c_cflag |= CS8 | CREAD | CLOCAL;
  if (cts_flow_ & 1) tio.c_cflag |= CRTSCTS;  // ignored by devices without handshake lines
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  if (tcsetattr(line_->fd, TCSANOW, &tio) != 0) {
    last_error_ = device_ + ": cannot be configured (" + std::strerror(errno) + ")";
    return false;
  }
  int dtr = TIOCM_DTR;
  ioctl(line_->fd, TIOCMBIS, &dtr);  // pseudo-terminals have no modem lines; that is fine
  return true;
}

uint32_t CSerialPort::Read(uint8_t* buffer, uint32_t max_bytes) {
  if (!open_ || max_bytes == 0) return 0;
  // The line is non-blocking: one read takes what has arrived, and a read short of `max_bytes`
  // took all of it, so the reader can wait without reading again.
  const ssize_t got = ::read(line_->fd, buffer, max_bytes);
  emptied_ = got < static_cast<ssize_t>(max_bytes);
  return got > 0 ? static_cast<uint32_t>(got) : 0;
}

bool CSerialPort::Write(const uint8_t* data, int length) {
  if (!open_ || length < 0) return false;
  uint32_t budget = 2u * static_cast<uint32_t>(length) + 500u;
  uint32_t start = platform::TickCount();
  long total = 0;
  while (total < length) {
    ssize_t n = ::write(line_->fd, data + total, static_cast<size_t>(length - total));
    if (n > 0) {
      total += n;
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) break;
    uint32_t spent = platform::TickElapsed(platform::TickCount(), start);
    if (spent >= budget) break;
    pollfd p{line_->fd, POLLOUT, 0};
    double wait_ms = static_cast<double>(budget - spent) * platform::TimeScale();
    ::poll(&p, 1, wait_ms < 1.0 ? 1 : static_cast<int>(wait_ms));
  }
  if (total == length) return true;
  platform::DebugOutput("\nProbable Write Timeout: Total of %ld bytes sent\n", total);
  return false;
}

void CSerialPort::Close() {
  if (!open_) return;
  open_ = false;
  int dtr = TIOCM_DTR;
  ioctl(line_->fd, TIOCMBIC, &dtr);
  tcflush(line_->fd, TCIOFLUSH);
  platform::Sleep(timing::kSerialCloseSettleMs);
  ::close(line_->fd);
  line_->fd = -1;
  platform::Sleep(timing::kSerialCloseSettleMs);
}

}  // namespace relay
