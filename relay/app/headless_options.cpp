#include "relay/app/headless_options.h"

#include <getopt.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/key_value_file.h"
#include "platform/program.h"
#include "relay/app/usage_text.h"
#include "relay/transport/serial_port.h"
#include "relay/transport/udp_endpoint.h"

namespace relay {
namespace {

// The settings of one run, as text, before they are checked: from the file, then the command line.
struct Raw {
  std::string link;  // "", "wifi", "serial" or "bluetooth"
  std::string address, port, device, bt_address, robot, firmware, group, record;
  bool have_address = false, have_port = false, have_bt_address = false, have_robot = false;
  std::string log_level;
};

bool ParseLogLevel(const std::string& text, LogLevel& level) {
  static const struct {
    const char* name;
    LogLevel level;
  } kLevels[] = {{"error", LogLevel::kError},
                 {"warning", LogLevel::kWarning},
                 {"notice", LogLevel::kNotice},
                 {"info", LogLevel::kInfo},
                 {"debug", LogLevel::kDebug}};
  for (const auto& l : kLevels)
    if (text == l.name) return level = l.level, true;
  return false;
}

bool ReadConfig(const std::string& path, Raw& raw, std::string& error) {
  if (platform::OthersMayWrite(path)) {
    error = path + ": anyone may change this file; let only its owner write it (chmod o-w " + path + ")";
    return false;
  }
  const platform::Result read =
      platform::ReadKeyValueFile(path, [&raw](const std::string& key, const std::string& value) {
        if (key == "link") {
          if (value != "wifi" && value != "serial" && value != "bluetooth")
            return platform::Fail(platform::Status::kBadContent,
                                  "link is wifi, serial or bluetooth, not '" + value + "'");
          raw.link = value;
        } else if (key == "address") {
          raw.address = value, raw.have_address = true;
        } else if (key == "port") {
          raw.port = value, raw.have_port = true;
        } else if (key == "device") {
          raw.device = value;
        } else if (key == "bt_address") {
          raw.bt_address = value, raw.have_bt_address = true;
        } else if (key == "robot") {
          raw.robot = value, raw.have_robot = true;
        } else if (key == "group") {
          raw.group = value;
        } else if (key == "record") {
          raw.record = value;
        } else if (key == "log_level") {
          LogLevel level;
          if (!ParseLogLevel(value, level))
            return platform::Fail(platform::Status::kBadContent,
                                  "log_level is error, warning, notice, info or debug, not '" + value + "'");
          raw.log_level = value;
        } else {
          return platform::Fail(platform::Status::kBadContent, "unknown key '" + key + "'");
        }
        return platform::Ok();
      });
  if (!read.ok()) {
    error = read.message;
    return false;
  }
  if (raw.link == "wifi" && !raw.have_address) {
    error = path + ": link = wifi needs an address";
    return false;
  }
  if ((raw.link == "serial" || raw.link == "bluetooth") && raw.device.empty()) {
    error = path + ": link = " + raw.link + " needs a device";
    return false;
  }
  return true;
}

}  // namespace

const char* RelayVersion() {
  return TREVASK_VERSION;
}

const char* HeadlessUsage() {
  return kUsageText;  // this system's paths and signals, chosen by the build
}

bool ParseHeadlessOptions(int argc, const char* const* argv, const RelaySettings& saved, HeadlessOptions& out,
                          std::string& error) {
  out = HeadlessOptions{};
  out.settings = saved;
  enum {
    kSerial = 1000,
    kBluetooth,
    kBtAddress,
    kWifi,
    kPort,
    kRobot,
    kFirmware,
    kGroup,
    kVersion,
    kHeadless,
    kRecord,
    kReplay,
    kSpeed
  };
  static const option kLong[] = {{"headless", no_argument, nullptr, kHeadless},
                                 {"serial", required_argument, nullptr, kSerial},
                                 {"bluetooth", required_argument, nullptr, kBluetooth},
                                 {"bt-address", required_argument, nullptr, kBtAddress},
                                 {"wifi", required_argument, nullptr, kWifi},
                                 {"port", required_argument, nullptr, kPort},
                                 {"robot", required_argument, nullptr, kRobot},
                                 {"firmware", required_argument, nullptr, kFirmware},
                                 {"group", required_argument, nullptr, kGroup},
                                 {"record", required_argument, nullptr, kRecord},
                                 {"replay", required_argument, nullptr, kReplay},
                                 {"speed", required_argument, nullptr, kSpeed},
                                 {"config", required_argument, nullptr, 'c'},
                                 {"verbose", no_argument, nullptr, 'v'},
                                 {"quiet", no_argument, nullptr, 'q'},
                                 {"version", no_argument, nullptr, kVersion},
                                 {"help", no_argument, nullptr, 'h'},
                                 {nullptr, 0, nullptr, 0}};
  Raw cli;
  int link_options = 0;
  bool verbose = false, quiet = false;
  std::string speed_text;
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) args.push_back(const_cast<char*>(argv[i]));
  args.push_back(nullptr);
  optind = 0;  // a full reset, so that the parser can run more than once in a process
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, args.data(), ":c:vqh", kLong, nullptr)) != -1) {
    const std::string value = optarg != nullptr ? optarg : "";
    switch (c) {
      case kHeadless:
        out.headless = true;
        break;
      case kSerial:
        cli.link = "serial", cli.device = value, ++link_options;
        break;
      case kBluetooth:
        cli.link = "bluetooth", cli.device = value, ++link_options;
        break;
      case kWifi:
        cli.link = "wifi", cli.address = value, cli.have_address = true, ++link_options;
        break;
      case kBtAddress:
        cli.bt_address = value, cli.have_bt_address = true;
        break;
      case kPort:
        cli.port = value, cli.have_port = true;
        break;
      case kRobot:
        cli.robot = value, cli.have_robot = true;
        break;
      case kFirmware:
        cli.firmware = value;
        break;
      case kGroup:
        cli.group = value;
        break;
      case 'c':
        out.config_path = value;
        break;
      case kRecord:
        cli.record = value;
        break;
      case kReplay:
        out.replay = value;
        break;
      case kSpeed:
        speed_text = value;
        break;
      case 'v':
        verbose = true;
        break;
      case 'q':
        quiet = true;
        break;
      case kVersion:
        out.version = true;
        return true;
      case 'h':
        out.help = true;
        return true;
      case ':':
        error = std::string(args[optind - 1]) + " needs a value";
        return false;
      default:
        error = "unknown argument '" + std::string(args[optind - 1]) + "'";
        return false;
    }
  }
  if (optind < argc) {
    error = "unknown argument '" + std::string(argv[optind]) + "'";
    return false;
  }
  if (link_options > 1) {
    error = "choose one link: --serial, --bluetooth or --wifi";
    return false;
  }
  Raw raw;
  if (!out.config_path.empty()) {
    if (!ReadConfig(out.config_path, raw, error)) return false;
    out.save_settings = false;
  }
  // The command line over the file; a link it names replaces the file's link whole.
  if (link_options == 1) {
    raw.link = cli.link, raw.device = cli.device, raw.address = cli.address,
    raw.have_address = cli.have_address;
    if (raw.link != "wifi") raw.have_port = false;
  }
  if (cli.have_port) raw.port = cli.port, raw.have_port = true;
  if (cli.have_bt_address) raw.bt_address = cli.bt_address, raw.have_bt_address = true;
  if (cli.have_robot) raw.robot = cli.robot, raw.have_robot = true;
  if (!cli.firmware.empty()) raw.firmware = cli.firmware;
  if (!cli.group.empty()) raw.group = cli.group;
  if (!cli.record.empty()) raw.record = cli.record;
  if (!raw.log_level.empty()) ParseLogLevel(raw.log_level, out.log_level);
  if (verbose) out.log_level = LogLevel::kDebug;
  if (quiet) out.log_level = LogLevel::kWarning;
  // A link from the command line or the file means a relay without its window.
  if (!raw.link.empty()) out.headless = true;

  out.config.bt_address = raw.have_bt_address ? raw.bt_address : saved.bt_address;
  out.config.robot_id = raw.robot;
  out.firmware = raw.firmware;
  out.group = raw.group;
  out.record = raw.record;
  if (!speed_text.empty()) {
    char* end = nullptr;
    out.speed = std::strtod(speed_text.c_str(), &end);
    if (end == speed_text.c_str() || *end != '\0' || !(out.speed > 0) || out.speed > 1000) {
      error = "--speed must be a number above 0 (1: as recorded, 2: twice as fast), not '" + speed_text + "'";
      return false;
    }
    if (out.replay.empty()) {
      error = "--speed is the speed of a --replay";
      return false;
    }
  }
  if (!out.replay.empty()) {
    if (link_options > 0 || !out.record.empty() || !out.firmware.empty()) {
      error = "--replay plays a recording instead of a link: give no link, --record or --firmware with it";
      return false;
    }
    out.headless = true;
    return true;
  }
  if (!out.headless) return true;
  if (raw.link == "wifi" && !out.firmware.empty()) {
    error = "a firmware upload needs a serial or Bluetooth link";
    return false;
  }
  if (raw.link == "wifi") {
    const std::string& wifi = raw.address;
    if (wifi.empty()) {
      error = "Please Input IP address";
      return false;
    }
    if (!ParseIpv4(wifi.c_str(), out.config.ip_address)) {
      error = "'" + wifi + "' is not an IPv4 address (for example 192.168.0.20)";
      return false;
    }
    const std::string port = raw.have_port ? raw.port : saved.wifi_port;
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
    out.config.kind = LinkKind::kWifi;
    out.config.udp_port = static_cast<int>(number);
    out.settings.wifi_ip = wifi;
    out.settings.wifi_port = port;
    return true;
  }
  if (raw.link == "serial" || raw.link == "bluetooth") {
    out.config.kind = raw.link == "serial" ? LinkKind::kSerial : LinkKind::kBluetooth;
    const std::string& port_text = raw.device;
    if (port_text.empty()) {
      error = "--" + raw.link + " needs a port (COMn) or a device path";
      return false;
    }
    if (port_text[0] == '/') {
      int n = AssignComNumber(port_text);
      if (n == 0) {
        error = "no free COM number for " + port_text;
        return false;
      }
      out.config.com_port = n;
      out.config.device = port_text;
    } else {
      // Read as the dialog reads its port box.
      out.config.com_port = ComPortFromBoxText(port_text);
      if (!out.config.com_port) {
        error = "'" + port_text + "' is not a COM port: COM1 to COM" + std::to_string(kComPortMax) +
                ", or a device path such as /dev/ttyUSB0";
        return false;
      }
    }
    if (raw.link == "bluetooth" && out.config.bt_address.empty()) {
      error = "give the robot's Bluetooth address with --bt-address";
      return false;
    }
    // The address the module is told to connect to (and that is saved): refused here rather than
    // sent, when it is given or when this link uses it.
    if ((raw.link == "bluetooth" || raw.have_bt_address) && !IsBluetoothAddress(out.config.bt_address)) {
      error = "'" + out.config.bt_address +
              "' is not a Bluetooth address: 12 hexadecimal digits, such as 0012AB34CD56" +
              (raw.have_bt_address ? "" : " (the one saved in Trevask.ini; give one with --bt-address)");
      return false;
    }
    out.settings.bt_address = out.config.bt_address;
    return true;
  }
  error = "choose a link: --serial PORT, --bluetooth PORT --bt-address ADDRESS, or --wifi ADDRESS --port N";
  return false;
}

}  // namespace relay
