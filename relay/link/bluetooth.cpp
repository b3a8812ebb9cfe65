// The Bluetooth serial module on the COM port: escape to command mode, drop any old connection,
// connect to the robot's address and wait for the transparent bypass mode.
#include <cstring>

#include "platform/clock.h"
#include "relay/link/link_manager.h"

namespace relay {
namespace {

constexpr std::size_t kReplyCapacity = 64 * 1024;
constexpr std::size_t kAddressMax = 63;

bool Contains(const std::vector<uint8_t>& bytes, const char* text) {
  const std::size_t n = std::strlen(text);
  if (bytes.size() < n) return false;
  for (std::size_t i = 0; i + n <= bytes.size(); ++i)
    if (std::memcmp(bytes.data() + i, text, n) == 0) return true;
  return false;
}

void Write(CSerialPort& port, const char* text) {
  port.Write(reinterpret_cast<const uint8_t*>(text), static_cast<int>(std::strlen(text)));
}

}  // namespace

bool CLinkManager::WaitForModuleReply(const char* text, uint32_t ms, bool first_poll_only) {
  module_reply_.clear();
  module_reply_.reserve(kReplyCapacity);
  const std::size_t length = std::strlen(text);
  const uint32_t deadline = platform::TickCount() + ms;
  uint8_t chunk[1024];
  while (!platform::TickAfter(platform::TickCount(), deadline)) {
    if (StopRequested()) return false;
    platform::Sleep(100);
    // The module's bytes are read here, on the dialogue's own thread and buffer, never into the
    // receive thread's chunk.
    const uint32_t n = serial_.Read(chunk, sizeof chunk);
    stats_.AddBytesIn(n);
    const std::size_t room = kReplyCapacity - module_reply_.size();
    module_reply_.insert(module_reply_.end(), chunk, chunk + (n < room ? n : room));
    // Only more bytes than the text itself count: a bare reply waits for what follows it.
    if (module_reply_.size() > length && Contains(module_reply_, text)) return true;
    if (first_poll_only) return false;
  }
  return false;
}

void CLinkManager::BluetoothRelease() {
  if (!serial_.IsOpen()) return;
  platform::LockGuard guard(writer_.lock());
  Write(serial_, "^#^$^%");
  const bool command_mode = WaitForModuleReply("CommandMode", 2500);
  Write(serial_, "AT+ZV SPPDisconnect\r\n");
  WaitForModuleReply("SPPConnectionClosed", 2000, command_mode);
}

int CLinkManager::BluetoothConnect() {
  BluetoothRelease();
  const std::string address = ui_.Choices().bt_address.substr(0, kAddressMax);
  if (address.empty() || !serial_.IsOpen()) {
    if (address.empty()) ui_.Note("the Bluetooth address field is empty");
    return 0;
  }
  platform::LockGuard guard(writer_.lock());
  const std::string command = "AT+ZV SPPConnect " + address + "\r\n";
  serial_.Write(reinterpret_cast<const uint8_t*>(command.data()), static_cast<int>(command.size()));
  return WaitForModuleReply("BypassMode", 8000) ? 1 : 0;
}

}  // namespace relay
