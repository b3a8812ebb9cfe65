#include "clients/ros2/bridge_options.h"

#include <getopt.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/key_value_file.h"
#include "platform/program.h"

namespace ros2_bridge {
namespace {

// The highest domain id ROS 2 takes on Linux: ports above it leave the range a port may have.
constexpr int kMaxDomainId = 232;

bool ParseNumber(const std::string& text, double low, double high, double& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(v) || v < low || v > high) return false;
  value = v;
  return true;
}

std::string Shown(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", v);
  return text;
}

platform::Result ParseDomain(const std::string& text, int& domain) {
  double v = 0;
  if (!ParseNumber(text, 0, kMaxDomainId, v) || v != std::floor(v)) {
    return platform::Fail(
        platform::Status::kBadArgument,
        "the domain id '" + text + "' is not a whole number from 0 to " + std::to_string(kMaxDomainId));
  }
  domain = static_cast<int>(v);
  return platform::Ok();
}

platform::Result ParseDistro(const std::string& text, ros2::Distribution& distro) {
  if (ros2::ParseDistribution(text, distro)) return platform::Ok();
  return platform::Fail(
      platform::Status::kBadArgument,
      "the ROS 2 distribution '" + text + "' is not humble or jazzy (iron and later count as jazzy)");
}

bool ParseSwitch(const std::string& text, bool& value) {
  if (text == "true" || text == "yes" || text == "1") return value = true, true;
  if (text == "false" || text == "no" || text == "0") return value = false, true;
  return false;
}

// A ROS 2 namespace: "/" and names of letters, digits and '_' between single slashes, none starting
// with a digit ("/" alone is the root).
bool ValidNamespace(const std::string& ns) {
  if (ns.empty() || ns[0] != '/') return false;
  if (ns == "/") return true;
  if (ns.back() == '/') return false;
  bool start = true;
  for (std::size_t i = 1; i < ns.size(); ++i) {
    const char c = ns[i];
    if (c == '/') {
      if (start) return false;
      start = true;
      continue;
    }
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
    const bool digit = c >= '0' && c <= '9';
    if (!letter && !(digit && !start)) return false;
    start = false;
  }
  return true;
}

struct NumberKey {
  const char* key;
  double BridgeOptions::*plain;  // or, for the nested ones, a getter below
  double* (*nested)(BridgeOptions&);
  double low, high;
  const char* what;
};

// Every numeric key: its place in the options, its range and the words a refusal uses.
const std::vector<NumberKey>& NumberKeys() {
  static const std::vector<NumberKey> keys = {
      {"camera_rate", &BridgeOptions::camera_rate, nullptr, 0, 30, "pictures per second"},
      {"cmd_vel_timeout", &BridgeOptions::cmd_vel_timeout, nullptr, 0.01, 60, "seconds"},
      {"sonar_field_of_view", nullptr, [](BridgeOptions& o) { return &o.sonar.field_of_view; }, 0, 3.15,
       "radians"},
      {"sonar_min_range", nullptr, [](BridgeOptions& o) { return &o.sonar.min_range; }, 0, 1000, "metres"},
      {"sonar_max_range", nullptr, [](BridgeOptions& o) { return &o.sonar.max_range; }, 0, 1000, "metres"},
      {"infrared_field_of_view", nullptr, [](BridgeOptions& o) { return &o.infrared.field_of_view; }, 0, 3.15,
       "radians"},
      {"infrared_min_range", nullptr, [](BridgeOptions& o) { return &o.infrared.min_range; }, 0, 1000,
       "metres"},
      {"infrared_max_range", nullptr, [](BridgeOptions& o) { return &o.infrared.max_range; }, 0, 1000,
       "metres"},
      {"sonar_scale", nullptr, [](BridgeOptions& o) { return &o.scaling.sonar_m; }, 0, 1000,
       "metres per count"},
      {"infrared_scale", nullptr, [](BridgeOptions& o) { return &o.scaling.infrared_m; }, 0, 1000,
       "metres per count (0: not known)"},
      {"temperature_scale", nullptr, [](BridgeOptions& o) { return &o.scaling.temperature_c; }, 0, 1000,
       "degrees Celsius per count (0: not known)"},
      {"temperature_offset", nullptr, [](BridgeOptions& o) { return &o.scaling.temperature_offset_c; }, -1000,
       1000, "degrees Celsius"},
      {"battery_scale", nullptr, [](BridgeOptions& o) { return &o.scaling.battery_v; }, 0, 1000,
       "volts per count (0: not known)"},
      {"wheel_radius", nullptr, [](BridgeOptions& o) { return &o.drive.wheel_radius; }, 0.001, 100, "metres"},
      {"wheel_track", nullptr, [](BridgeOptions& o) { return &o.drive.wheel_track; }, 0.001, 100, "metres"},
      {"counts_per_revolution", nullptr, [](BridgeOptions& o) { return &o.drive.counts_per_revolution; }, 1,
       1e6, "encoder pulses per wheel turn"},
  };
  return keys;
}

// One "key = value" of the file, or of an option that names a key. kBadArgument with a reason (the
// file's reader makes it kBadContent).
platform::Result Take(const std::string& key, const std::string& value, BridgeOptions& options) {
  for (const NumberKey& k : NumberKeys()) {
    if (key != k.key) continue;
    double* target = k.plain != nullptr ? &(options.*k.plain) : k.nested(options);
    if (!ParseNumber(value, k.low, k.high, *target)) {
      return platform::Fail(platform::Status::kBadArgument, key + " must be a number from " + Shown(k.low) +
                                                                " to " + Shown(k.high) + " (" + k.what +
                                                                "), not '" + value + "'");
    }
    return platform::Ok();
  }
  double n = 0;
  if (key == "namespace") {
    if (!ValidNamespace(value)) {
      return platform::Fail(platform::Status::kBadArgument,
                            "the namespace '" + value +
                                "' is not a ROS 2 namespace (\"/\" and names of letters, digits and _)");
    }
    options.ros_namespace = value;
  } else if (key == "domain_id") {
    return ParseDomain(value, options.domain_id);
  } else if (key == "ros_distro") {
    return ParseDistro(value, options.distro);
  } else if (key == "camera_quality") {
    if (!ParseNumber(value, 1, 100, n) || n != std::floor(n)) {
      return platform::Fail(platform::Status::kBadArgument,
                            "camera_quality must be a whole number from 1 to 100, not '" + value + "'");
    }
    options.camera_quality = static_cast<int>(n);
  } else if (key == "raw_image" || key == "request_sensors") {
    if (!ParseSwitch(value, key == "raw_image" ? options.raw_image : options.request_sensors)) {
      return platform::Fail(platform::Status::kBadArgument,
                            key + " must be true or false, not '" + value + "'");
    }
  } else if (key == "left_wheel_motor" || key == "right_wheel_motor") {
    if (!ParseNumber(value, 1, 6, n) || n != std::floor(n)) {
      return platform::Fail(platform::Status::kBadArgument,
                            key + " must be a DC motor channel from 1 to 6, not '" + value + "'");
    }
    (key == "left_wheel_motor" ? options.drive.left_motor : options.drive.right_motor) = static_cast<int>(n);
  } else {
    return platform::Fail(platform::Status::kBadArgument, "unknown key '" + key + "'");
  }
  return platform::Ok();
}

// Keys that only the file sets and that contradict each other: kBadContent.
platform::Result Consistent(const BridgeOptions& options) {
  if (options.drive.left_motor == options.drive.right_motor) {
    return platform::Fail(platform::Status::kBadContent,
                          "left_wheel_motor and right_wheel_motor name the same channel");
  }
  for (const auto& [name, spec] :
       {std::pair{"sonar", options.sonar}, std::pair{"infrared", options.infrared}}) {
    if (spec.min_range > spec.max_range) {
      return platform::Fail(platform::Status::kBadContent,
                            std::string(name) + "_min_range is above " + name + "_max_range");
    }
  }
  return platform::Ok();
}

}  // namespace

std::string UsageText() {
  return "usage: trevask-ros2 ROBOT [-c FILE] [--namespace NS] [--domain-id N] [--ros-distro humble|jazzy]\n"
         "Publishes robot ROBOT's readings and pictures as ROS 2 topics under NS (default /ROBOT) and\n"
         "takes cmd_vel and motor and servo targets from ROS 2, on DDS domain N (default ROS_DOMAIN_ID,\n"
         "else 0). The configuration file's keys (key = value):\n"
         "  namespace, domain_id, ros_distro      as the options\n"
         "  camera_rate (2), camera_quality (80), raw_image (false), request_sensors (true)\n"
         "  cmd_vel_timeout (0.5 s), left_wheel_motor (1), right_wheel_motor (2), wheel_radius (0.05 m),\n"
         "  wheel_track (0.30 m), counts_per_revolution (360)\n"
         "  sonar_field_of_view (0.52 rad), sonar_min_range (0.02 m), sonar_max_range (2.55 m),\n"
         "  infrared_field_of_view (0.05 rad), infrared_min_range (0.10 m), infrared_max_range (0.80 m)\n"
         "  sonar_scale (0.01 m), infrared_scale (0: raw), temperature_scale (0.1 degC),\n"
         "  temperature_offset (0), battery_scale (0.001 V)   per count of the robot's readings\n";
}

platform::Result ReadConfigFile(const std::string& path, BridgeOptions& options) {
  if (platform::OthersMayWrite(path)) {
    return platform::Fail(
        platform::Status::kNoAccess,
        path + ": anyone may change this file; let only its owner write it (chmod o-w " + path + ")");
  }
  return platform::ReadKeyValueFile(path, [&options](const std::string& key, const std::string& value) {
    // A line of the file, not an argument.
    platform::Result taken = Take(key, value, options);
    if (!taken.ok()) taken.status = platform::Status::kBadContent;
    return taken;
  });
}

platform::Result ParseArguments(int argc, char** argv, const char* domain_env, BridgeOptions& options,
                                bool& help) {
  help = false;
  static const option kLong[] = {{"config", required_argument, nullptr, 'c'},
                                 {"namespace", required_argument, nullptr, 'n'},
                                 {"domain-id", required_argument, nullptr, 'd'},
                                 {"ros-distro", required_argument, nullptr, 'r'},
                                 {"help", no_argument, nullptr, 'h'},
                                 {nullptr, 0, nullptr, 0}};
  std::string config;
  std::vector<std::pair<std::string, std::string>> given;  // keys from the command line, taken last
  optind = 1;
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, "c:n:d:r:h", kLong, nullptr)) != -1) {
    switch (c) {
      case 'c':
        config = optarg;
        break;
      case 'n':
        given.emplace_back("namespace", optarg);
        break;
      case 'd':
        given.emplace_back("domain_id", optarg);
        break;
      case 'r':
        given.emplace_back("ros_distro", optarg);
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
  if (options.robot.empty()) return platform::Fail(platform::Status::kBadArgument, "the robot name is empty");
  // The environment first, then the file, then the command line: each overrides the one before.
  if (domain_env != nullptr && *domain_env != '\0') {
    if (platform::Result domain = ParseDomain(domain_env, options.domain_id); !domain.ok()) {
      domain.message.insert(0, "ROS_DOMAIN_ID: ");
      return domain;
    }
  }
  if (!config.empty()) {
    if (platform::Result read = ReadConfigFile(config, options); !read.ok()) return read;
  }
  for (const auto& [key, value] : given) {
    if (platform::Result taken = Take(key, value, options); !taken.ok()) return taken;
  }
  if (options.ros_namespace.empty()) {
    options.ros_namespace = "/" + options.robot;
    if (!ValidNamespace(options.ros_namespace)) {
      return platform::Fail(platform::Status::kBadArgument,
                            "the robot name '" + options.robot +
                                "' is no ROS 2 name (letters, digits and _, not starting with a digit): give "
                                "--namespace");
    }
  }
  return Consistent(options);
}

}  // namespace ros2_bridge
