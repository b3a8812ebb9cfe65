// What the relay's dialog decides, whatever draws it (Qt, or the system's own dialog on Windows):
// which link kind the three radio values choose, which controls that kind enables, what refuses a
// Connect, and the status text of a Disconnect.
#pragma once

#include <cstdint>
#include <optional>
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
  long port = 0;            // the port field as a number (PortFieldValue)
  std::string com_text;     // the COM port box's text
  std::string bt_address;   // the Bluetooth address the handshake would send
};

// The port field's first line as a number, read as atoi reads it (leading blanks, a sign, then
// digits; 0 when it starts with none) but without overflowing: a long run of digits stays large.
long PortFieldValue(const std::string& first_line);

// Why Connect does nothing: with Wi-Fi chosen, a blank address ("Please Input IP address") or a
// port that names no UDP port, 0 as much as 99999, which a socket would take as 34463 ("Please
// Input IP Port Number"); with the serial cable or the Bluetooth module, a COM port box that names
// no port from COM1 to COM255 ("Port Number is Wrong"); with the Bluetooth module, an address that
// is not 12 hexadecimal digits. Null when it may go on.
const char* ConnectRefusal(const RadioValues& v, const ConnectFields& fields);

// The box for a Bluetooth address the module cannot take.
inline constexpr char kBadBluetoothAddress[] =
    "Bluetooth Address is Wrong: give the 12 hexadecimal digits of the robot's module, such as "
    "0012AB34CD56";
// Whether the robot ID field's text names the sections whole (at most 29 bytes), and what the
// dialog says of one that does not ("Robot ID is longer than 29 bytes"): a Connect with it starts
// nothing, since the relay would serve the cut name, which a client that connects with the ID as
// typed never finds.
bool RobotIdFits(const std::string& robot_id);
const char* RobotIdTooLongText();

// What the status field shows: the link's status texts, and the relay's warnings (a sound it
// refused, a file it cannot read), which would otherwise reach only standard error. A warning stays
// until the link's state changes: the robot's answers repeat the same "Connected" text every few
// seconds, and that repetition must not wipe the warning before anyone has read it. Used on the
// dialog's own thread only.
class CStatusLine {
 public:
  // A status text of the link: the text to show, or none while a warning stays.
  std::optional<std::string> OnStatus(const std::string& text);
  // A warning: shown at once.
  std::string OnWarning(const std::string& text);

 private:
  std::string status_;
  bool warning_shown_ = false;
};

// The status text Disconnect shows at once.
const char* DisconnectingText(const RadioValues& v);

}  // namespace relay
