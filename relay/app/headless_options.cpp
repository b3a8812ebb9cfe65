#include "relay/app/headless_options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "relay/transport/serial_port.h"
#include "relay/transport/udp_endpoint.h"

namespace relay {

const char* HeadlessUsage() {
  return "usage: trevask --headless (--serial PORT | --bluetooth PORT --bt-address ADDRESS |\n"
         "                            --wifi ADDRESS --port N) [--robot NAME] [--firmware FILE]\n"
         "  --serial PORT    COMn (device $TREVASK_COMn, else /dev/ttyS<n-1>) or a device path such as\n"
         "                   /dev/ttyUSB0 or /dev/rfcomm0\n"
         "  --bluetooth PORT the COM port (or device path) of the Bluetooth serial module\n"
         "  --bt-address ADDRESS  the robot's Bluetooth address, as the module expects it (default: the\n"
         "                   one saved in Trevask.ini)\n"
         "  --wifi ADDRESS   the robot's IPv4 address (0.0.0.0: wait for the robot to speak first)\n"
         "  --port N         the robot's UDP port (default: the one saved in Trevask.ini)\n"
         "  --robot NAME     robot name; the sections are named after it (default: empty)\n"
         "  --firmware FILE  upload FILE (S-records) to the multimedia board once the robot answers,\n"
         "                   print the progress, and exit when it is done (serial and Bluetooth)\n"
         "The address, port and Bluetooth address used are saved in Trevask.ini ($TREVASK_CONFIG_DIR,\n"
         "else $XDG_CONFIG_HOME/trevask, else ~/.config/trevask) at exit.\n"
         "Status texts go to standard output, message boxes to standard error. SIGINT or SIGTERM\n"
         "disconnects and exits 0; exit status 1 when the relay gave up connecting, 2 on bad arguments.\n"
         "SIGUSR1 prints the link statistics.\n";
}

bool ParseHeadlessOptions(int argc, const char* const* argv, const RelaySettings& saved, HeadlessOptions& out,
                          std::string& error) {
  out = HeadlessOptions{};
  out.settings = saved;
  out.choices.bt_address = saved.bt_address;
  std::string wifi, port, serial, bluetooth;
  bool have_wifi = false, have_port = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::string& into) {
      if (i + 1 >= argc) {
        error = arg + " needs a value";
        return false;
      }
      into = argv[++i];
      return true;
    };
    if (arg == "--headless") {
      out.headless = true;
    } else if (arg == "--help" || arg == "-h") {
      out.help = true;
      return true;
    } else if (arg == "--serial") {
      if (!value(serial)) return false;
    } else if (arg == "--bluetooth") {
      if (!value(bluetooth)) return false;
    } else if (arg == "--bt-address") {
      if (!value(out.choices.bt_address)) return false;
    } else if (arg == "--firmware") {
      if (!value(out.firmware)) return false;
    } else if (arg == "--wifi") {
      if (!value(wifi)) return false;
      have_wifi = true;
    } else if (arg == "--port") {
      if (!value(port)) return false;
      have_port = true;
    } else if (arg == "--robot") {
      if (!value(out.choices.robot_id)) return false;
    } else {
      error = "unknown argument '" + arg + "'";
      return false;
    }
  }
  if (!out.headless) return true;
  if ((!serial.empty()) + (!bluetooth.empty()) + have_wifi > 1) {
    error = "choose one link: --serial, --bluetooth or --wifi";
    return false;
  }
  if (have_wifi && !out.firmware.empty()) {
    error = "a firmware upload needs a serial or Bluetooth link";
    return false;
  }
  if (have_wifi) {
    if (wifi.empty()) {
      error = "Please Input IP address";
      return false;
    }
    if (!ParseIpv4(wifi.c_str(), out.choices.ip_address)) {
      error = "'" + wifi + "' is not an IPv4 address (for example 192.168.0.20)";
      return false;
    }
    if (!have_port) port = saved.wifi_port;
    if (std::atoi(port.c_str()) == 0) {
      error = "Please Input IP Port Number";
      return false;
    }
    // A UDP port is 1..65535; a larger number would wrap to another port, or to none.
    char* end = nullptr;
    errno = 0;
    const long number = std::strtol(port.c_str(), &end, 10);
    if (errno != 0 || end == port.c_str() || *end != '\0' || number < 1 || number > 65535) {
      error = "the port '" + port + "' is not a UDP port (1 to 65535)";
      return false;
    }
    out.choices.kind = LinkKindChoice::kWifi;
    out.choices.port_text = port;
    out.settings.wifi_ip = wifi;
    out.settings.wifi_port = port;
    return true;
  }
  if (!serial.empty() || !bluetooth.empty()) {
    out.choices.kind = serial.empty() ? LinkKindChoice::kBluetooth : LinkKindChoice::kSerial;
    const std::string& port_text = serial.empty() ? bluetooth : serial;
    if (port_text[0] == '/') {
      int n = AssignComNumber(port_text);
      if (n == 0) {
        error = "no free COM number for " + port_text;
        return false;
      }
      out.choices.com_text = "COM" + std::to_string(n);
    } else {
      out.choices.com_text = port_text;  // checked by the link manager as the dialog's text would be
    }
    if (!bluetooth.empty() && out.choices.bt_address.empty()) {
      error = "give the robot's Bluetooth address with --bt-address";
      return false;
    }
    out.settings.bt_address = out.choices.bt_address;
    return true;
  }
  error = "choose a link: --serial PORT, --bluetooth PORT --bt-address ADDRESS, or --wifi ADDRESS --port N";
  return false;
}

}  // namespace relay
