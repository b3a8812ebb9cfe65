#include "relay/link/status_texts.h"

#include <cstdio>

#include "relay/timing.h"

namespace relay {

std::string StatusText(LinkMoment moment, LinkKind kind, int number, const std::string& device) {
  const int column = kind == LinkKind::kWifi ? 2 : kind == LinkKind::kBluetooth ? 1 : 0;
  // %d: the port number; the rows that name a COM port take the device after it.
  static const char* const kTexts[6][3] = {
      {"Serial Cable: Connecting...", "Bluetooth Connection: Connecting...",
       "Wi-Fi Connection: Connecting..."},
      {"Serial Cable: Connecting to COM Port: %d", "Wireless Connection: Connecting to COM Port: %d",
       "WiFi Connecting to IP Port: %d"},
      {"Serial Cable: Connected, COM Port: %d", "Wireless Connection: Connected, COM Port: %d",
       "WiFi Connection: Connected, IP Port: %d"},
      {"Serial Cable Connection down, retry %d seconds after!", "BT Connection down, retry %d seconds after!",
       "WiFi Connection down, retry %d seconds after!"},
      {"Serial Cable: Reconnecting...", "BT Connection: Reconnecting...", "WiFi Connection: Reconnecting..."},
      {"Serial Cable: Disconnected", "BT Connection: Disconnected", "WiFi Connection: Disconnected"},
  };
  const bool names_port = moment == LinkMoment::kPortOpen || moment == LinkMoment::kConnected;
  const int shown = moment == LinkMoment::kLost ? static_cast<int>(timing::kRetryAfterLossMs / 1000) : number;
  char text[128];
  std::snprintf(text, sizeof text, kTexts[static_cast<int>(moment)][column], shown);
  std::string out = text;
  if (names_port && kind != LinkKind::kWifi && !device.empty()) out += " (" + device + ")";
  return out;
}

}  // namespace relay
