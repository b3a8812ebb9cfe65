// What a connect needs to know, as the front end took it from its user: the link kind, the COM port
// (serial cable and Bluetooth module) or the robot's address and port (Wi-Fi), the robot's name and
// its module's Bluetooth address. The link reads one whole LinkConfig at the start of each connect.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace relay {

enum class LinkKind { kNone, kSerial, kBluetooth, kWifi };

struct LinkConfig {
  LinkKind kind = LinkKind::kNone;
  // The COM port number; none when the port box held too little to name one (the link refuses with
  // "Port Number is Wrong").
  std::optional<int> com_port;
  std::string device;       // the device path behind the COM number, when one was given by path
  uint32_t ip_address = 0;  // network byte order; 0 when empty
  int udp_port = 0;
  std::string robot_id;    // the Robot ID field (the link uses its first line)
  std::string bt_address;  // the Bluetooth address field
};

// The COM port numbers a port box may name: the system numbers its COM ports from 1 to 255.
inline constexpr int kComPortMin = 1;
inline constexpr int kComPortMax = 255;

// The COM port box's text as a port number: the number after its first three characters ("COM7" is
// 7, "COM12" is 12). None when the text is shorter than four characters or the rest is not a number
// from 1 to 255 ("COM0", "COM256" and "COMx" name no port; the link says "Port Number is Wrong").
std::optional<int> ComPortFromBoxText(const std::string& text);

// A Bluetooth address as the module takes it: exactly 12 hexadecimal digits, as 0012AB34CD56.
bool IsBluetoothAddress(const std::string& text);

}  // namespace relay
