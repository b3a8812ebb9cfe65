// What the relay's dialog decides, whatever draws it (Qt, or the system's own dialog on Windows):
// which link kind the three radio values choose, which controls that kind enables, what refuses a
// Connect, and the status text of a Disconnect.
#pragma once

#include <cstdint>

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

// Why Connect does nothing: with Wi-Fi chosen, a blank address or port 0 ("Please Input IP
// address", "Please Input IP Port Number"); null when it may go on.
const char* ConnectRefusal(const RadioValues& v, uint32_t ip_address, int port);

// The status text Disconnect shows at once.
const char* DisconnectingText(const RadioValues& v);

// How long Disconnect waits before the controls come back (Wi-Fi's link ends sooner).
uint32_t DisconnectPauseMs(const RadioValues& v);

}  // namespace relay
