#include "relay/app/dialog_rules.h"

#include <algorithm>
#include <cctype>

#include "exchange/sections.h"
#include "relay/timing.h"

namespace relay {

LinkKind ChosenKind(const RadioValues& v) {
  if (v.serial == 0) return LinkKind::kSerial;
  if (v.bluetooth == 0) return LinkKind::kBluetooth;
  if (v.wifi == 0) return LinkKind::kWifi;
  return LinkKind::kNone;
}

KindControls ControlsFor(const RadioValues& v) {
  return {v.serial == 0, v.bluetooth == 0, v.wifi == 0, v.wifi == 0};
}

long PortFieldValue(const std::string& first_line) {
  std::size_t i = 0;
  while (i < first_line.size() && std::isspace(static_cast<unsigned char>(first_line[i]))) ++i;
  bool negative = false;
  if (i < first_line.size() && (first_line[i] == '+' || first_line[i] == '-'))
    negative = first_line[i++] == '-';
  long value = 0;
  for (; i < first_line.size() && std::isdigit(static_cast<unsigned char>(first_line[i])); ++i)
    value = std::min(value * 10 + (first_line[i] - '0'), 999999L);  // past any port, never overflowing
  return negative ? -value : value;
}

bool RobotIdFits(const std::string& robot_id) {
  return robot_id.size() <= exchange::kRobotNameMax;
}

const char* RobotIdTooLongText() {
  static const std::string text =
      "Robot ID is longer than " + std::to_string(exchange::kRobotNameMax) + " bytes";
  return text.c_str();
}

const char* ConnectRefusal(const RadioValues& v, uint32_t ip_address, long port) {
  if (v.wifi != 0) return nullptr;
  if (ip_address == 0) return "Please Input IP address";
  if (port < 1 || port > 65535) return "Please Input IP Port Number";
  return nullptr;
}

const char* DisconnectingText(const RadioValues& v) {
  if (v.serial == 0) return "Serial Cable: Disconnecting";
  if (v.wifi == 0) return "WiFi Connection: Disconnecting";
  return "Wireless Connection: Disconnecting";
}

uint32_t DisconnectPauseMs(const RadioValues& v) {
  return v.wifi == 0 && v.bluetooth != 0 ? timing::kDisconnectPauseWifiMs : timing::kDisconnectPauseMs;
}

std::optional<std::string> CStatusLine::OnStatus(const std::string& text) {
  if (warning_shown_ && text == status_) return std::nullopt;
  status_ = text;
  warning_shown_ = false;
  return text;
}

std::string CStatusLine::OnWarning(const std::string& text) {
  warning_shown_ = true;
  return text;
}

}  // namespace relay
