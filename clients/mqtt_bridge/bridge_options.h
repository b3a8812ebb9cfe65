// What trevask-mqtt is told: the robot, the broker (mqtt://[user[:password]@]host[:port]), the
// credentials, a cap on the sensor rate; from the command line and an optional configuration file
// of "key = value" lines (the command line wins).
#pragma once

#include <string>

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

// Parses mqtt://[user[:password]@]host[:port] into `options`. False with a reason on anything else.
bool ParseBrokerUrl(const std::string& url, BridgeOptions& options, std::string& error);
// Reads a configuration file: broker, username, password, client_id, topic_root, max_sensor_rate,
// picture_quality, files_dir; '#' starts a comment. False with a reason a person can act on.
bool ReadConfigFile(const std::string& path, BridgeOptions& options, std::string& error);
// The whole command line. False with a reason (or the usage text, for --help, with `help` set).
bool ParseArguments(int argc, char** argv, BridgeOptions& options, std::string& error, bool& help);

std::string UsageText();

}  // namespace mqtt_bridge
