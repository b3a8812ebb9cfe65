#include "clients/mqtt_bridge/bridge_options.h"

#include <getopt.h>
#include <sys/random.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/key_value_file.h"

namespace mqtt_bridge {
namespace {

bool ParseInt(const std::string& text, long low, long high, long& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < low || v > high) return false;
  value = v;
  return true;
}

bool ParseRate(const std::string& text, double& rate) {
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !(v >= 0) || v > 1000) return false;
  rate = v;
  return true;
}

}  // namespace

std::string UsageText() {
  return "usage: trevask-mqtt ROBOT [--broker mqtt://[user[:password]@]host[:port]] [-c FILE]\n"
         "                    [--max-sensor-rate N] [--client-id ID] [--files-dir DIR]\n"
         "Publishes robot ROBOT's readings, pictures, voice and link state under talvenor/ROBOT/ and\n"
         "takes calls of the control's methods on talvenor/ROBOT/call.\n";
}

platform::Result ParseBrokerUrl(const std::string& url, BridgeOptions& options) {
  const std::string scheme = "mqtt://";
  if (url.compare(0, scheme.size(), scheme) != 0) {
    return platform::Fail(platform::Status::kBadArgument,
                          "the broker address '" + url + "' does not start with mqtt://");
  }
  std::string rest = url.substr(scheme.size());
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  const auto at = rest.rfind('@');
  if (at != std::string::npos) {
    const std::string credentials = rest.substr(0, at);
    rest = rest.substr(at + 1);
    const auto colon = credentials.find(':');
    options.username = credentials.substr(0, colon);
    if (colon != std::string::npos) options.password = credentials.substr(colon + 1);
  }
  const auto colon = rest.rfind(':');
  std::string host = rest;
  if (colon != std::string::npos) {
    long port = 0;
    if (!ParseInt(rest.substr(colon + 1), 1, 65535, port)) {
      return platform::Fail(platform::Status::kBadArgument,
                            "the broker port in '" + url + "' is not a number from 1 to 65535");
    }
    options.port = static_cast<int>(port);
    host = rest.substr(0, colon);
  }
  if (host.empty() || host.find('/') != std::string::npos) {
    return platform::Fail(platform::Status::kBadArgument, "the broker address '" + url + "' names no host");
  }
  options.host = host;
  return platform::Ok();
}

platform::Result ReadConfigFile(const std::string& path, BridgeOptions& options) {
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && (st.st_mode & S_IWOTH) != 0) {
    return platform::Fail(
        platform::Status::kNoAccess,
        path + ": anyone may change this file; let only its owner write it (chmod o-w " + path + ")");
  }
  bool has_password = false;
  const platform::Result read = platform::ReadKeyValueFile(
      path, [&options, &has_password](const std::string& key, const std::string& value) {
        long n = 0;
        if (key == "broker") {
          // The broker's address is a line of the file here, not an argument.
          if (platform::Result url = ParseBrokerUrl(value, options); !url.ok())
            return platform::Fail(platform::Status::kBadContent, std::move(url.message));
        } else if (key == "username") {
          options.username = value;
        } else if (key == "password") {
          options.password = value;
          has_password = !value.empty();
        } else if (key == "client_id") {
          options.client_id = value;
        } else if (key == "topic_root") {
          if (value.empty() || value.find_first_of("#+") != std::string::npos)
            return platform::Fail(platform::Status::kBadContent,
                                  "topic_root must be a topic without wildcards");
          options.topic_root = value;
        } else if (key == "max_sensor_rate") {
          if (!ParseRate(value, options.max_sensor_rate))
            return platform::Fail(platform::Status::kBadContent,
                                  "max_sensor_rate must be a number from 0 to 1000");
        } else if (key == "files_dir") {
          options.files_dir = value;
        } else if (key == "picture_quality") {
          if (!ParseInt(value, 1, 100, n))
            return platform::Fail(platform::Status::kBadContent,
                                  "picture_quality must be a number from 1 to 100");
          options.picture_quality = static_cast<int>(n);
        } else {
          return platform::Fail(platform::Status::kBadContent, "unknown key '" + key + "'");
        }
        return platform::Ok();
      });
  if (!read.ok()) return read;
  // The broker's password, in the password key or in the broker's address.
  has_password = has_password || !options.password.empty();
  if (has_password && (st.st_mode & S_IROTH) != 0) {
    return platform::Fail(platform::Status::kNoAccess,
                          path + ": anyone may read the broker's password in this file; chmod o-r " + path);
  }
  return platform::Ok();
}

platform::Result ParseArguments(int argc, char** argv, BridgeOptions& options, bool& help) {
  help = false;
  static const option kLong[] = {{"broker", required_argument, nullptr, 'b'},
                                 {"config", required_argument, nullptr, 'c'},
                                 {"max-sensor-rate", required_argument, nullptr, 'r'},
                                 {"client-id", required_argument, nullptr, 'i'},
                                 {"files-dir", required_argument, nullptr, 'f'},
                                 {"help", no_argument, nullptr, 'h'},
                                 {nullptr, 0, nullptr, 0}};
  std::string broker, config, rate, client_id, files_dir;
  optind = 1;
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, "b:c:r:i:f:h", kLong, nullptr)) != -1) {
    switch (c) {
      case 'b':
        broker = optarg;
        break;
      case 'c':
        config = optarg;
        break;
      case 'r':
        rate = optarg;
        break;
      case 'i':
        client_id = optarg;
        break;
      case 'f':
        files_dir = optarg;
        break;
      case 'h':
        help = true;
        return platform::Ok();
      default:
        return platform::Fail(platform::Status::kBadArgument, std::string("unknown or incomplete option '") +
                                                                  argv[optind - 1] + "'\n" + UsageText());
    }
  }
  if (optind != argc - 1) {
    return platform::Fail(platform::Status::kBadArgument, "name exactly one robot\n" + UsageText());
  }
  options.robot = argv[optind];
  if (options.robot.empty() || options.robot.find_first_of("#+/") != std::string::npos) {
    return platform::Fail(
        platform::Status::kBadArgument,
        "the robot name '" + options.robot + "' cannot be part of a topic (no '/', '#' or '+')");
  }
  // The file first, so that the command line overrides it.
  if (!config.empty()) {
    if (platform::Result read = ReadConfigFile(config, options); !read.ok()) return read;
  }
  if (!broker.empty()) {
    if (platform::Result url = ParseBrokerUrl(broker, options); !url.ok()) return url;
  }
  if (!rate.empty() && !ParseRate(rate, options.max_sensor_rate)) {
    return platform::Fail(platform::Status::kBadArgument,
                          "--max-sensor-rate must be a number from 0 to 1000");
  }
  if (!client_id.empty()) options.client_id = client_id;
  if (!files_dir.empty()) options.files_dir = files_dir;
  if (!options.files_dir.empty()) {
    // Absolute, so that the relay (another process, maybe another working folder) finds the files.
    char* real = realpath(options.files_dir.c_str(), nullptr);
    if (real == nullptr) {
      return platform::Fail(platform::Status::kBadArgument,
                            "the files folder '" + options.files_dir + "' does not exist");
    }
    options.files_dir = real;
    std::free(real);
  }
  // A client id others could guess lets anyone with an account knock the bridge off the broker by
  // connecting with it (the broker drops the older of two clients of one id): the default one ends in
  // 64 random bits.
  if (options.client_id.empty()) {
    uint8_t random[8] = {};
    if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
      return platform::Fail(platform::Status::kBadArgument,
                            "no random numbers for the bridge's client id; give one with --client-id");
    }
    char hex[17];
    for (int i = 0; i < 8; ++i) std::snprintf(hex + 2 * i, 3, "%02x", random[i]);
    options.client_id = "trevask-mqtt-" + options.robot + "-" + hex;
  }
  return platform::Ok();
}

}  // namespace mqtt_bridge
