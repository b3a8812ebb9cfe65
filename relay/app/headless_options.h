// The headless relay's command line and configuration file, read as a user who chose a link kind,
// filled the fields and pressed Connect. A configuration file (-c, trevask.conf(5)) gives the same
// settings as "key = value" lines; the command line overrides it, and a link named on the command
// line replaces the file's link. Any link option implies --headless.
#pragma once

#include <string>

#include "platform/status.h"
#include "relay/app/log.h"
#include "relay/app/settings.h"
#include "relay/link/link_events.h"

namespace relay {

struct HeadlessOptions {
  bool headless = false;
  bool help = false;
  bool version = false;
  LinkConfig config;
  std::string firmware;     // a firmware file to upload once the robot answers; empty: none
  std::string config_path;  // the configuration file read, if any
  std::string group;        // the group the robot's sections are shared with; empty: none
  std::string record;       // record the link into this pcapng file; empty: no recording
  std::string replay;       // play this recording instead of linking to a robot; empty: link
  double speed = 1.0;       // the replay's speed
  LogLevel log_level = LogLevel::kInfo;
  // Trevask.ini is the interactive user's memory of the last link; a relay run from a configuration
  // file neither needs nor changes it.
  bool save_settings = true;
  RelaySettings settings;  // as read, with the values this run uses; written back at exit
};

// A failure with a message a person can act on (naming the option, or the file and line) when the
// arguments or the file do not describe a connection: kBadArgument for the command line, kBadContent
// for the file's lines, kNoAccess for a file others may change, the file's status when it cannot be
// read. Values neither gives (the Wi-Fi port, the Bluetooth address) come from `saved`.
platform::Result ParseHeadlessOptions(int argc, const char* const* argv, const RelaySettings& saved,
                                      HeadlessOptions& out);

const char* HeadlessUsage();
const char* RelayVersion();

}  // namespace relay
