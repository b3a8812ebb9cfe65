// What trevask-mqtt is told: the robot, the broker (mqtt://[user[:password]@]host[:port]), the
// credentials, a cap on the sensor rate; from the command line and an optional configuration file
// of "key = value" lines (the command line wins).
#pragma once

#include <string>

#include "platform/status.h"

namespace mqtt_bridge {

struct BridgeOptions {
  std::string robot;
  std::string host = "127.0.0.1";
  int port = 1883;
  std::string username;
  std::string password;
  std::string client_id;  // empty: "trevask-mqtt-<robot>-<16 random hex digits>"
  std::string topic_root = "talvenor";
  double max_sensor_rate = 0;  // records per second and section; 0: every record
  int picture_quality = 80;    // JPEG quality of the pictures published
  std::string files_dir;       // where calls may name sound and LCD files; empty: nowhere
};

// Parses mqtt://[user[:password]@]host[:port] into `options`. kBadArgument with a reason on anything
// else.
platform::Result ParseBrokerUrl(const std::string& url, BridgeOptions& options);
// Reads a configuration file: broker, username, password, client_id, topic_root, max_sensor_rate,
// picture_quality, files_dir; '#' starts a comment. A failure with a reason a person can act on:
// kBadContent for a line, kNoAccess for a file others may change (or read, when it holds a password),
// the file's status when it cannot be read.
platform::Result ReadConfigFile(const std::string& path, BridgeOptions& options);
// The whole command line: `help` set for --help (the caller shows UsageText), else a failure with a
// reason (kBadArgument, or the configuration file's).
platform::Result ParseArguments(int argc, char** argv, BridgeOptions& options, bool& help);

std::string UsageText();

}  // namespace mqtt_bridge
