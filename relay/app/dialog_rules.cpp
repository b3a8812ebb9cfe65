#include "relay/app/dialog_rules.h"

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

const char* ConnectRefusal(const RadioValues& v, const ConnectFields& fields) {
  if (v.wifi == 0) {
    if (fields.ip_address == 0) return "Please Input IP address";
    if (fields.port == 0) return "Please Input IP Port Number";
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

}  // namespace relay
