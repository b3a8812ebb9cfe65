// What the serial line does the same on every system.
#include "relay/transport/serial_port.h"

namespace relay {

bool CSerialPort::Open(int port_number) {
  port_number_ = port_number;
  return OpenPath(ComDeviceName(port_number));
}

int CSerialPort::ReadAvailable(uint8_t* buffer, int max) {
  return max > 0 ? static_cast<int>(Read(buffer, static_cast<uint32_t>(max))) : 0;
}

bool CSerialPort::CloseIfOpen() {
  if (!open_) return false;
  Close();
  return true;
}

}  // namespace relay
