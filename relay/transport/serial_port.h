// The serial link: 115200 8N1 with RTS/CTS where the device supports it, DTR raised while open,
// reads of only what has arrived, writes bounded by 2 ms per byte + 500 ms. A tty on POSIX systems,
// a COM port opened for overlapped I/O on Windows (posix/, win32/).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "relay/transport/transport.h"

namespace relay {

// The device for COM port `n`: $TREVASK_COM<n> when set, else /dev/ttyS<n-1> (\\.\COMn on Windows).
std::string ComDeviceName(int port_number);

// Gives a device path a COM port number for this process: the lowest n whose TREVASK_COM<n> is unset
// or already names `device`, which is then set to it. Returns n (1..255), or 0 when none is free.
int AssignComNumber(const std::string& device);

class CSerialPort : public Transport {
 public:
  CSerialPort();
  ~CSerialPort() override;
  CSerialPort(const CSerialPort&) = delete;
  CSerialPort& operator=(const CSerialPort&) = delete;

  // Opens COM port `port_number` through ComDeviceName; false on failure (nothing stays open).
  bool Open(int port_number);
  // Opens a device by path (/dev/ttyUSB0, /dev/rfcomm0, a pty; \\.\COM12 on Windows).
  bool OpenPath(const std::string& device);
  uint32_t Read(uint8_t* buffer, uint32_t max_bytes);
  // Writes all of `data` within 2 ms per byte plus 500 ms; false when it could not.
  bool Write(const uint8_t* data, int length);
  // Drops DTR, discards both queues, waits 500 ms, closes, waits 500 ms; nothing when closed.
  void Close();
  // Close, when open; true when there was something to close.
  bool CloseIfOpen();
  bool IsOpen() const override { return open_; }
  bool OpenLink(const LinkTarget& target) override { return Open(target.com_port); }
  void CloseLink() override { Close(); }
  std::string LastError() const override { return last_error_; }
  int port_number() const { return port_number_; }
  const std::string& device() const { return device_; }
  // Why the last Open failed, for a message a person can act on.
  const std::string& last_error() const { return last_error_; }

  int ReadAvailable(uint8_t* buffer, int max) override;
  bool Emptied() const override { return emptied_; }
  platform::WaitHandle WaitHandle() const override;
  LinkStatus Send(const uint8_t* bytes, int count) override {
    if (!IsOpen()) return LinkStatus::kNotReady;
    return Write(bytes, count) ? LinkStatus::kOk : LinkStatus::kSendFailed;
  }

 private:
  bool Configure();

  int port_number_ = 3;
  int baud_rate_ = 115200;
  int cts_flow_ = 1;
  // The system's side of the open line (a descriptor, or a handle with its overlapped state).
  struct Line;
  std::unique_ptr<Line> line_;
  bool open_ = false;
  bool emptied_ = false;  // the last read took everything that had arrived (where the system tells)
  std::string device_;
  std::string last_error_;
};

}  // namespace relay
