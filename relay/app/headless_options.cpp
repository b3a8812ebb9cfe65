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

platform::Result ReadConfig(const std::string& path, Raw& raw) {
  if (platform::OthersMayWrite(path)) {
    return platform::Fail(
        platform::Status::kNoAccess,
        path + ": anyone may change this file; let only its owner write it (chmod o-w " + path + ")");
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
  if (!read.ok()) return read;
  if (raw.link == "wifi" && !raw.have_address)
    return platform::Fail(platform::Status::kBadContent, path + ": link = wifi needs an address");
  if ((raw.link == "serial" || raw.link == "bluetooth") && raw.device.empty())
    return platform::Fail(platform::Status::kBadContent, path + ": link = " + raw.link + " needs a device");
  return platform::Ok();
}

}  // namespace

const char* RelayVersion() {
  return TREVASK_VERSION;
}

const char* HeadlessUsage() {
  return kUsageText;  // this system's paths and signals, chosen by the build
}

platform::Result ParseHeadlessOptions(int argc, const char* const* argv, const RelaySettings& saved,
                                      HeadlessOptions& out) {
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
        return platform::Ok();
      case 'h':
        out.help = true;
        return platform::Ok();
      case ':':
        return platform::Fail(platform::Status::kBadArgument,
                              std::string(args[optind - 1]) + " needs a value");
      default:
        return platform::Fail(platform::Status::kBadArgument,
                              "unknown argument '" + std::string(args[optind - 1]) + "'");
    }
  }
  if (optind < argc) {
    return platform::Fail(platform::Status::kBadArgument,
                          "unknown argument '" + std::string(argv[optind]) + "'");
  }
  if (link_options > 1) {
    return platform::Fail(platform::Status::kBadArgument, "choose one link: --serial, --bluetooth or --wifi");
  }
  Raw raw;
  if (!out.config_path.empty()) {
    if (platform::Result read = ReadConfig(out.config_path, raw); !read.ok()) return read;
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
      return platform::Fail(
          platform::Status::kBadArgument,
          "--speed must be a number above 0 (1: as recorded, 2: twice as fast), not '" + speed_text + "'");
    }
    if (out.replay.empty()) {
      return platform::Fail(platform::Status::kBadArgument, "--speed is the speed of a --replay");
    }
  }
  if (!out.replay.empty()) {
    if (link_options > 0 || !out.record.empty() || !out.firmware.empty()) {
      return platform::Fail(
          platform::Status::kBadArgument,
          "--replay plays a recording instead of a link: give no link, --record or --firmware with it");
    }
    out.headless = true;
    return platform::Ok();
  }
  if (!out.headless) return platform::Ok();
  if (raw.link == "wifi" && !out.firmware.empty()) {
    return platform::Fail(platform::Status::kBadArgument,
                          "a firmware upload needs a serial or Bluetooth link");
  }
  if (raw.link == "wifi") {
    const std::string& wifi = raw.address;
    if (wifi.empty()) {
      return platform::Fail(platform::Status::kBadArgument, "Please Input IP address");
    }
    if (!ParseIpv4(wifi.c_str(), out.config.ip_address)) {
      return platform::Fail(platform::Status::kBadArgument,
                            "'" + wifi + "' is not an IPv4 address (for example 192.168.0.20)");
    }
    const std::string port = raw.have_port ? raw.port : saved.wifi_port;
    if (std::atoi(port.c_str()) == 0) {
      return platform::Fail(platform::Status::kBadArgument, "Please Input IP Port Number");
    }
    // A UDP port is 1..65535; a larger number would wrap to another port, or to none.
    char* end = nullptr;
    errno = 0;
    const long number = std::strtol(port.c_str(), &end, 10);
    if (errno != 0 || end == port.c_str() || *end != '\0' || number < 1 || number > 65535) {
      return platform::Fail(platform::Status::kBadArgument,
                            "the port '" + port + "' is not a UDP port (1 to 65535)");
    }
    out.config.kind = LinkKind::kWifi;
    out.config.udp_port = static_cast<int>(number);
    out.settings.wifi_ip = wifi;
    out.settings.wifi_port = port;
    return platform::Ok();
  }
  if (raw.link == "serial" || raw.link == "bluetooth") {
    out.config.kind = raw.link == "serial" ? LinkKind::kSerial : LinkKind::kBluetooth;
    const std::string& port_text = raw.device;
    if (port_text.empty()) {
      return platform::Fail(platform::Status::kBadArgument,
                            "--" + raw.link + " needs a port (COMn) or a device path");
    }
    if (port_text[0] == '/') {
      int n = AssignComNumber(port_text);
      if (n == 0) {
        return platform::Fail(platform::Status::kBadArgument, "no free COM number for " + port_text);
      }
      out.config.com_port = n;
      out.config.device = port_text;
    } else {
      // Read as the dialog reads its port box.
      out.config.com_port = ComPortFromBoxText(port_text);
      if (!out.config.com_port) {
        return platform::Fail(platform::Status::kBadArgument,
                              "'" + port_text + "' is not a COM port: COM1 to COM" +
                                  std::to_string(kComPortMax) + ", or a device path such as /dev/ttyUSB0");
      }
    }
    if (raw.link == "bluetooth" && out.config.bt_address.empty()) {
      return platform::Fail(platform::Status::kBadArgument,
                            "give the robot's Bluetooth address with --bt-address");
    }
    // The address the module is told to connect to (and that is saved): refused here rather than
    // sent, when it is given or when this link uses it.
    if ((raw.link == "bluetooth" || raw.have_bt_address) && !IsBluetoothAddress(out.config.bt_address)) {
      return platform::Fail(
          platform::Status::kBadArgument,
          "'" + out.config.bt_address +
              "' is not a Bluetooth address: 12 hexadecimal digits, such as 0012AB34CD56" +
              (raw.have_bt_address ? "" : " (the one saved in Trevask.ini; give one with --bt-address)"));
    }
    out.settings.bt_address = out.config.bt_address;
    return platform::Ok();
  }
  return platform::Fail(
      platform::Status::kBadArgument,
      "choose a link: --serial PORT, --bluetooth PORT --bt-address ADDRESS, or --wifi ADDRESS --port N");
}

}  // namespace relay
