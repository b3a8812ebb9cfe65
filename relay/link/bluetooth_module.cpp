#include "relay/link/bluetooth_module.h"

#include <cstring>

#include "platform/clock.h"
#include "relay/timing.h"

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

// The module's commands are not counted as link traffic.
void Write(Transport& line, const std::string& text) {
  line.Send(reinterpret_cast<const uint8_t*>(text.data()), static_cast<int>(text.size()));
}

}  // namespace

bool CBluetoothModule::WaitForReply(Transport& line, const char* text, uint32_t ms, bool first_poll_only,
                                    const uint32_t* stop_deadline) {
  reply_.clear();
  reply_.reserve(kReplyCapacity);
  const std::size_t length = std::strlen(text);
  const uint32_t deadline = platform::TickCount() + ms;
  uint8_t chunk[1024];
  while (!platform::TickAfter(platform::TickCount(), deadline)) {
    // A stop cuts the handshake's waits short; the release still gives each command one poll, so
    // that it has gone out before the line is closed (closing discards what is still queued).
    if (stop_.Raised()) {
      if (stop_deadline == nullptr) return false;
      platform::Sleep(timing::kModulePollMs);
    } else if (!stop_.Pause(timing::kModulePollMs) && stop_deadline == nullptr) {
      return false;
    }
    // The module's bytes are read here, on the dialogue's own thread and buffer, never into the
    // receive thread's chunk.
    const int read = line.ReadAvailable(chunk, static_cast<int>(sizeof chunk));
    const std::size_t n = read > 0 ? static_cast<std::size_t>(read) : 0;
    stats_.AddBytesIn(n);
    const std::size_t room = kReplyCapacity - reply_.size();
    reply_.insert(reply_.end(), chunk, chunk + (n < room ? n : room));
    // Only more bytes than the text itself count: a bare reply waits for what follows it.
    if (reply_.size() > length && Contains(reply_, text)) return true;
    if (first_poll_only) return false;
    if (stop_deadline != nullptr && stop_.Raised() &&
        platform::TickAfter(platform::TickCount(), *stop_deadline))
      return false;
  }
  return false;
}

void CBluetoothModule::Release(Transport& line) {
  if (!line.IsOpen()) return;
  const uint32_t stop_deadline = platform::TickCount() + timing::kModuleReleaseAtStopMs;
  platform::LockGuard guard(writer_.lock());
  Write(line, "^#^$^%");
  const bool command_mode =
      WaitForReply(line, "CommandMode", timing::kModuleCommandModeMs, false, &stop_deadline);
  Write(line, "AT+ZV SPPDisconnect\r\n");
  WaitForReply(line, "SPPConnectionClosed", timing::kModuleDisconnectMs, command_mode, &stop_deadline);
}

bool CBluetoothModule::Connect(Transport& line, const std::string& address_field) {
  Release(line);
  const std::string address = address_field.substr(0, kAddressMax);
  if (address.empty() || !line.IsOpen()) {
    if (address.empty()) events_.Message(MessageKind::kDetail, "the Bluetooth address field is empty");
    return false;
  }
  platform::LockGuard guard(writer_.lock());
  Write(line, "AT+ZV SPPConnect " + address + "\r\n");
  return WaitForReply(line, "BypassMode", timing::kModuleConnectMs);
}

}  // namespace relay
