#include "relay/transport/serial_port.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "platform/clock.h"
#include "platform/debug_output.h"
#include "platform/win32/wide_text.h"
#include "relay/timing.h"

namespace relay {

// The port's handle, opened for overlapped I/O, and the wait for characters to arrive: armed when a
// read finds nothing, its event is what the receive thread waits on.
struct CSerialPort::Line {
  HANDLE handle = INVALID_HANDLE_VALUE;
  OVERLAPPED wait{};
  DWORD mask = 0;
  bool waiting = false;

  Line() { wait.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr); }
  ~Line() {
    CloseHandleIfOpen();
    if (wait.hEvent != nullptr) ::CloseHandle(wait.hEvent);
  }
  void CloseHandleIfOpen() {
    if (handle == INVALID_HANDLE_VALUE) return;
    ::CancelIo(handle);
    if (waiting) {
      DWORD ignored = 0;
      ::GetOverlappedResult(handle, &wait, &ignored, TRUE);
      waiting = false;
    }
    ::CloseHandle(handle);
    handle = INVALID_HANDLE_VALUE;
  }
  // Completes a one-byte-or-more I/O on this handle, bounded by the port's timeouts.
  bool Transfer(bool write, void* bytes, DWORD count, DWORD& done) {
    OVERLAPPED io{};
    io.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (io.hEvent == nullptr) return false;
    const BOOL started =
        write ? ::WriteFile(handle, bytes, count, &done, &io) : ::ReadFile(handle, bytes, count, &done, &io);
    bool ok = started != FALSE;
    if (!ok && ::GetLastError() == ERROR_IO_PENDING)
      ok = ::GetOverlappedResult(handle, &io, &done, TRUE) != FALSE;
    ::CloseHandle(io.hEvent);
    return ok;
  }
};

namespace {

std::string WindowsMessage(DWORD code) {
  wchar_t text[256] = {};
  const DWORD n = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                   0, text, 256, nullptr);
  std::string message = platform::Utf8(text, n);  // shown in the dialog as the UTF-8 it is
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.'))
    message.pop_back();
  return message.empty() ? "error " + std::to_string(code) : message;
}

// "COM12" or "\\.\COM12" as a port number; 0 for anything else.
int ComNumberOf(const std::string& device) {
  std::string name = device;
  if (name.rfind("\\\\.\\", 0) == 0) name = name.substr(4);
  if (name.size() < 4 || (name[0] != 'C' && name[0] != 'c') || (name[1] != 'O' && name[1] != 'o') ||
      (name[2] != 'M' && name[2] != 'm'))
    return 0;
  char* end = nullptr;
  const long n = std::strtol(name.c_str() + 3, &end, 10);
  return *end == '\0' && n >= 1 && n <= 255 ? static_cast<int>(n) : 0;
}

}  // namespace

std::string ComDeviceName(int port_number) {
  std::string var = "TREVASK_COM" + std::to_string(port_number);
  if (const char* path = std::getenv(var.c_str()); path != nullptr && *path != '\0') return path;
  // The device namespace reaches every COM port; the plain name works only for COM1 to COM9.
  return "\\\\.\\COM" + std::to_string(port_number);
}

int AssignComNumber(const std::string& device) {
  if (const int n = ComNumberOf(device); n > 0) return n;
  for (int n = 1; n <= 255; ++n) {
    std::string var = "TREVASK_COM" + std::to_string(n);
    const char* current = std::getenv(var.c_str());
    if (current != nullptr && device == current) return n;
    if (current == nullptr || *current == '\0') {
      // A real port of that number would be hidden: skip numbers whose port exists.
      char target[256];
      if (::QueryDosDeviceA(("COM" + std::to_string(n)).c_str(), target, sizeof target) != 0) continue;
      if (::_putenv_s(var.c_str(), device.c_str()) != 0) return 0;
      return n;
    }
  }
  return 0;
}

CSerialPort::CSerialPort() : line_(std::make_unique<Line>()) {}

CSerialPort::~CSerialPort() = default;

platform::WaitHandle CSerialPort::WaitHandle() const {
  return open_ ? reinterpret_cast<platform::WaitHandle>(line_->wait.hEvent) : platform::kNoWaitHandle;
}

bool CSerialPort::OpenPath(const std::string& device) {
  if (open_) CloseIfOpen();
  device_ = device;
  last_error_.clear();
  // No sharing: a second program on the same port is refused.
  HANDLE h = ::CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD why = ::GetLastError();
    if (why == ERROR_FILE_NOT_FOUND || why == ERROR_PATH_NOT_FOUND)
      last_error_ = device + ": no such port";
    else if (why == ERROR_ACCESS_DENIED || why == ERROR_SHARING_VIOLATION)
      last_error_ = device + ": in use by another program";
    else
      last_error_ = device + ": " + WindowsMessage(why);
    return false;
  }
  line_->handle = h;
  if (!Configure()) {
    line_->CloseHandleIfOpen();
    return false;
  }
  open_ = true;
  return true;
}

bool CSerialPort::Configure() {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!::GetCommState(line_->handle, &dcb)) {
    last_error_ = device_ + ": not a serial device (" + WindowsMessage(::GetLastError()) + ")";
    return false;
  }
  dcb.BaudRate = static_cast<DWORD>(baud_rate_);
  dcb.fBinary = TRUE;
  dcb.fParity = FALSE;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fOutxCtsFlow = (cts_flow_ & 1) ? TRUE : FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fRtsControl = (cts_flow_ & 1) ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;  // DTR raised while open
  dcb.fOutX = dcb.fInX = FALSE;
  dcb.fAbortOnError = FALSE;
  if (!::SetCommState(line_->handle, &dcb)) {
    last_error_ = device_ + ": cannot be configured (" + WindowsMessage(::GetLastError()) + ")";
    return false;
  }
  // Reads return at once with what has arrived; a write may take 2 ms per byte plus 500 ms.
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.WriteTotalTimeoutMultiplier = 2;
  timeouts.WriteTotalTimeoutConstant = 500;
  ::SetCommTimeouts(line_->handle, &timeouts);
  ::SetCommMask(line_->handle, EV_RXCHAR);
  ::PurgeComm(line_->handle, PURGE_RXCLEAR | PURGE_TXCLEAR);
  return true;
}

uint32_t CSerialPort::Read(uint8_t* buffer, uint32_t max_bytes) {
  if (!open_ || max_bytes == 0) return 0;
  Line& line = *line_;
  if (line.waiting) {
    DWORD ignored = 0;
    if (::GetOverlappedResult(line.handle, &line.wait, &ignored, FALSE) ||
        ::GetLastError() != ERROR_IO_INCOMPLETE)
      line.waiting = false;
  }
  // The queue is looked at whether or not the wait has ended: characters that arrived just before it
  // was armed do not end it, and must not wait for the next ones.
  DWORD errors = 0;
  COMSTAT status{};
  ::ClearCommError(line.handle, &errors, &status);
  if (status.cbInQue == 0) {
    if (line.waiting) return 0;
    // Nothing here: arm the wait for the next character before the reader sleeps on its event.
    ::ResetEvent(line.wait.hEvent);
    if (::WaitCommEvent(line.handle, &line.mask, &line.wait))
      ::SetEvent(line.wait.hEvent);  // already happened: the reader looks again at once
    else if (::GetLastError() == ERROR_IO_PENDING)
      line.waiting = true;
    return 0;
  }
  DWORD got = 0;
  const DWORD count = status.cbInQue < max_bytes ? status.cbInQue : max_bytes;
  return line.Transfer(false, buffer, count, got) ? got : 0;
}

bool CSerialPort::Write(const uint8_t* data, int length) {
  if (!open_ || length < 0) return false;
  if (length == 0) return true;
  DWORD sent = 0;
  const bool ok = line_->Transfer(true, const_cast<uint8_t*>(data), static_cast<DWORD>(length), sent);
  if (ok && sent == static_cast<DWORD>(length)) return true;
  platform::DebugOutput("\nProbable Write Timeout: Total of %ld bytes sent\n", static_cast<long>(sent));
  return false;
}

void CSerialPort::Close() {
  if (!open_) return;
  open_ = false;
  ::EscapeCommFunction(line_->handle, CLRDTR);
  ::PurgeComm(line_->handle, PURGE_RXABORT | PURGE_TXABORT | PURGE_RXCLEAR | PURGE_TXCLEAR);
  platform::Sleep(timing::kSerialCloseSettleMs);
  line_->CloseHandleIfOpen();
  platform::Sleep(timing::kSerialCloseSettleMs);
}

}  // namespace relay
