#include "relay/link/status_texts.h"

#include <cstdio>

namespace relay {

std::string StatusText(LinkMoment moment, LinkKindChoice kind, int number) {
  const int column = kind == LinkKindChoice::kWifi ? 2 : kind == LinkKindChoice::kBluetooth ? 1 : 0;
  static const char* const kTexts[6][3] = {
      {"Serial Cable: Connecting...", "Bluetooth Connection: Connecting...",
       "Wi-Fi Connection: Connecting..."},
      {"Serial Cable: Connecting to COM Port: %d", "Wireless Connection: Connecting to COM Port: %d",
       "WiFi Connecting to IP Port: %d"},
      {"Serial Cable: Connected, COM Port: %d", "Wireless Connection: Connected, COM Port: %d",
       "WiFi Connection: Connected, IP Port: %d"},
      {"Serial Cable Connection down, retry 2 seconds after!", "BT Connection down, retry 2 seconds after!",
       "WiFi Connection down, retry 2 seconds after!"},
      {"Serial Cable: Reconnecting...", "BT Connection: Reconnecting...", "WiFi Connection: Reconnecting..."},
      {"Serial Cable: Disconnected", "BT Connection: Disconnected", "WiFi Connection: Disconnected"},
  };
  char text[128];
  std::snprintf(text, sizeof text, kTexts[static_cast<int>(moment)][column], number);
  return text;
}

}  // namespace relay
