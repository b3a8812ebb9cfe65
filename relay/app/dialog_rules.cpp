#include "relay/app/dialog_rules.h"

#include <algorithm>
#include <cctype>

#include "exchange/sections.h"

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

const char* ConnectRefusal(const RadioValues& v, const ConnectFields& fields) {
  if (v.wifi == 0) {
    if (fields.ip_address == 0) return "Please Input IP address";
    if (fields.port < 1 || fields.port > 65535) return "Please Input IP Port Number";
    return nullptr;
  }
  // The serial cable and the Bluetooth module both sit on the COM port the box names.
  const LinkKind kind = ChosenKind(v);
  if (kind != LinkKind::kSerial && kind != LinkKind::kBluetooth) return nullptr;
  if (!ComPortFromBoxText(fields.com_text)) return "Port Number is Wrong";
  if (kind == LinkKind::kBluetooth && !IsBluetoothAddress(fields.bt_address)) return kBadBluetoothAddress;
  return nullptr;
}

const char* DisconnectingText(const RadioValues& v) {
  if (v.serial == 0) return "Serial Cable: Disconnecting";
  if (v.wifi == 0) return "WiFi Connection: Disconnecting";
  return "Wireless Connection: Disconnecting";
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
