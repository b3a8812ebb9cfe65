#include "relay/app/dialog_rules.h"

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

const char* ConnectRefusal(const RadioValues& v, uint32_t ip_address, int port) {
  if (v.wifi != 0) return nullptr;
  if (ip_address == 0) return "Please Input IP address";
  if (port == 0) return "Please Input IP Port Number";
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

}  // namespace relay
