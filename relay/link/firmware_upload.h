// Loading new firmware into the multimedia board over the serial line: a start frame, then the
// S-record file line by line, each line after the board's "OK" for the previous one. While it runs
// the link is in upload mode: what the receive thread reads goes to OnReply instead of the frame
// path, and the keep-alive pauses.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/unique_file.h"
#include "relay/link/link_events.h"
#include "relay/link/link_writer.h"

namespace relay {

class CFirmwareUpload {
 public:
  CFirmwareUpload(CLinkWriter& writer, LinkEvents& events) : writer_(writer), events_(events) {}
  CFirmwareUpload(const CFirmwareUpload&) = delete;
  CFirmwareUpload& operator=(const CFirmwareUpload&) = delete;

  // Sends the start frame and the file's first line (the caller has made sure a serial line is
  // open). A file that cannot be opened sends no line: the upload ends at the board's first "OK".
  void Start(const std::string& path);
  // Bytes the board sent while in upload mode (receive thread).
  void OnReply(const uint8_t* bytes, int count);
  bool Active() const { return active_.load(std::memory_order_acquire); }
  void Close() { file_.reset(); }

 private:
  bool ReadLine(std::string& line);
  void SendLine(const std::string& line);

  CLinkWriter& writer_;
  LinkEvents& events_;
  // Set by the UI thread at the start, cleared by the receive thread at the end; the link loop and
  // the receive thread read it on every pass (acquire: the file is set up before it reads true).
  std::atomic<bool> active_{false};
  // The file and progress, used by the UI thread at the start and then by the receive thread, never
  // both at once (both hold the link lock).
  platform::UniqueFile file_;
  int lines_sent_ = 0;
  int lines_total_ = 0;
};

}  // namespace relay
