// What the relay's dialog decides, whatever draws it (Qt, or the system's own dialog on Windows):
// which link kind the three radio values choose, which controls that kind enables, what refuses a
// Connect, and the status text of a Disconnect.
#pragma once

#include <cstdint>
#include <string>

#include "relay/link/link_config.h"

namespace relay {

// The three radio values: 0 for the chosen one, -1 for the others (all -1 until a choice).
struct RadioValues {
  int serial = -1, bluetooth = -1, wifi = -1;
};

LinkKind ChosenKind(const RadioValues& v);

// The controls a chosen kind enables (the Bluetooth kind's module sits on a COM port too, but its
// box stays disabled).
struct KindControls {
  bool com_port, bt_address, ip_address, ip_port;
};
KindControls ControlsFor(const RadioValues& v);

// What the dialog's fields hold when Connect is clicked.
struct ConnectFields {
  uint32_t ip_address = 0;  // the IP address field, first part in the highest byte; 0 when blank
  int port = 0;             // the port field as a number
  std::string com_text;     // the COM port box's text
  std::string bt_address;   // the Bluetooth address the handshake would send
};

// Why Connect does nothing: with Wi-Fi chosen, a blank address or port 0 ("Please Input IP
// address", "Please Input IP Port Number"); with the serial cable or the Bluetooth module, a COM
// port box that names no port from COM1 to COM255 ("Port Number is Wrong"); with the Bluetooth
// module, an address that is not 12 hexadecimal digits. Null when it may go on.
const char* ConnectRefusal(const RadioValues& v, const ConnectFields& fields);

// The box for a Bluetooth address the module cannot take.
inline constexpr char kBadBluetoothAddress[] =
    "Bluetooth Address is Wrong: give the 12 hexadecimal digits of the robot's module, such as "
    "0012AB34CD56";

// The status text Disconnect shows at once.
const char* DisconnectingText(const RadioValues& v);

}  // namespace relay
