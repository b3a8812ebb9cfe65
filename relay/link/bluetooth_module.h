// The Bluetooth serial module on the COM port: escape to command mode, drop any old connection,
// connect to the robot's address and wait for the transparent bypass mode; at the end of a link,
// back to command mode and the connection dropped. The dialogue runs on the connection thread, with
// the link lock held so that no frame goes out in the middle of it.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/stop_signal.h"
#include "relay/link/link_events.h"
#include "relay/link/link_stats.h"
#include "relay/link/link_writer.h"
#include "relay/transport/transport.h"

namespace relay {

class CBluetoothModule {
 public:
  // `stop` is the link's stop: a dialogue gives up waiting once it is raised.
  CBluetoothModule(CLinkWriter& writer, LinkStats& stats, LinkEvents& events,
                   const platform::StopSignal& stop)
      : writer_(writer), stats_(stats), events_(events), stop_(stop) {}

  // Releases any old connection, then connects to `address` (at most 63 characters are used):
  // true once the module is in bypass mode.
  bool Connect(Transport& line, const std::string& address);
  // Command mode, then the connection dropped; nothing when the line is closed. At a stop the
  // module's replies are awaited for timing::kModuleReleaseAtStopMs in all.
  void Release(Transport& line);

 private:
  // Collects the module's replies for up to `ms`; true once `text` is among more bytes than it has.
  // A raised stop ends the wait at once, or, given `stop_deadline`, at that tick: the release goes
  // on at a stop, as the module must hear it before the line is closed.
  bool WaitForReply(Transport& line, const char* text, uint32_t ms, bool first_poll_only = false,
                    const uint32_t* stop_deadline = nullptr);

  CLinkWriter& writer_;
  LinkStats& stats_;
  LinkEvents& events_;
  const platform::StopSignal& stop_;
  std::vector<uint8_t> reply_;  // replies of one wait, bounded at 64 KiB
};

}  // namespace relay
