// The robot's end of a link: a UDP socket or the master side of a pseudo-terminal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/status.h"

namespace sim {

class Wire {
 public:
  virtual ~Wire() = default;
  // Bytes that arrived (one datagram for UDP), 0 when nothing waits, -1 on a hard error.
  virtual int Receive(uint8_t* buffer, std::size_t size) = 0;
  // Sends bytes (one datagram for UDP); false when they could not go out.
  virtual bool Send(const uint8_t* bytes, std::size_t count) = 0;
  // A descriptor to poll for input.
  virtual int fd() const = 0;
  // Where the relay reaches us, for people: "udp 127.0.0.1:5000" or "pty /dev/pts/4 at PATH".
  virtual std::string Describe() const = 0;
  // What the robot's end lost, counted so that a test can tell it from what the relay lost: datagrams
  // the socket dropped for want of room (UDP), and frames that could not go out (a line that stopped
  // taking them).
  virtual uint64_t DroppedIn() const { return 0; }
  uint64_t DroppedOut() const { return dropped_out_; }

 protected:
  uint64_t dropped_out_ = 0;
};

// Binds a UDP socket at "ADDRESS:PORT" (port 0 picks a free one) into `out`. Answers whoever spoke
// last. kBadArgument for an address that is no IPv4 ADDRESS:PORT, kStartFailed when the socket
// cannot be made or bound.
platform::Result OpenUdpWire(const std::string& address_port, std::unique_ptr<Wire>& out);

// Creates a pseudo-terminal in raw mode into `out` and links its slave name at `link_path`
// (replacing an earlier link there). The link is removed when the wire goes. kStartFailed when the
// terminal cannot be made, kWriteFailed when the link cannot.
platform::Result OpenPtyWire(const std::string& link_path, std::unique_ptr<Wire>& out);

}  // namespace sim
