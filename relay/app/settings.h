// The relay's settings file, Trevask.ini: the robot's Wi-Fi address and port and the Bluetooth
// address of its module, remembered between runs.
//
//   WiFiIP=192.168.1.20
//   WiFiPort=5000
//   BTAddress=0012AB34CD56
//
// It lives in $TREVASK_CONFIG_DIR, else $XDG_CONFIG_HOME/trevask, else ~/.config/trevask (the home
// from $HOME, else from the user database; %APPDATA%\trevask on Windows); with no home at all
// there is none (an empty path). On Windows a user without a file of their own reads the one in the
// Windows directory, which earlier relays wrote and a user may not write there any more.
#pragma once

#include <string>

#include "platform/status.h"

namespace relay {

struct RelaySettings {
  std::string wifi_ip = "0.0.0.0";
  std::string wifi_port = "00000";
  std::string bt_address = "000000000000";
};

std::string SettingsDirectory();
std::string SettingsPath();

// Reads the file at `path` (at most its first 4096 characters, either line end). A key that is
// missing, or whose address or port does not start with a digit, keeps its default. A missing or
// unreadable file gives the defaults.
RelaySettings LoadSettings(const std::string& path);

// Writes all three keys (creating the folder when needed). A failure with a message a person can act
// on: kMissing when there is no place for the file, else MakeFolders's or kWriteFailed.
platform::Result SaveSettings(const std::string& path, const RelaySettings& settings);

}  // namespace relay
