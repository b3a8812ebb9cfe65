// Loading new firmware into the multimedia board over the serial line: a start frame, then the
// S-record file line by line, each line after the board's "OK" for the previous one. While it runs
// the link is in upload mode: what the receive thread reads goes to OnReply instead of the frame
// path, and the keep-alive pauses.
//
// The file is read whole before anything is sent (LoadFirmware), off the link lock: only a regular
// file of bounded size is taken, opened without waiting, so a pipe, a device or an endless file
// named as firmware can neither hold the link's lock nor keep its thread busy.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/regular_file.h"
#include "platform/waiting.h"
#include "relay/link/link_events.h"
#include "relay/link/link_writer.h"

namespace relay {

// Far above any image the board's loader takes (a few hundred KiB of S-records).
inline constexpr std::size_t kFirmwareFileMax = 16u * 1024u * 1024u;

// A firmware file as read: its lines without their line feeds, in order.
struct FirmwareImage {
  std::string path;
  bool opened = false;  // false: the file could not be opened, and the upload sends no line
  std::vector<std::string> lines;
};

// Reads the firmware file `path` whole into `out` (path and lines; `opened` when it could be
// opened). kOk; kMissing or kNoAccess (an upload of it sends no line, as of an empty file); or a
// refusal (FirmwareRefused).
platform::Status LoadFirmware(const std::string& path, FirmwareImage& out);
// Statuses that refuse an upload: not a regular file, larger than kFirmwareFileMax, unreadable.
bool FirmwareRefused(platform::Status status);
// "PATH: why", for a person.
std::string FirmwareFileProblem(const std::string& path, platform::Status status);

class CFirmwareUpload {
 public:
  // `wake` is set when the thread that hands the board's replies in (the receive thread) is asked to
  // stop: the pause before the success message ends early then.
  CFirmwareUpload(CLinkWriter& writer, LinkEvents& events, const platform::Waker& wake)
      : writer_(writer), events_(events), wake_(wake) {}
  CFirmwareUpload(const CFirmwareUpload&) = delete;
  CFirmwareUpload& operator=(const CFirmwareUpload&) = delete;

  // Sends the start frame and the image's first line (the caller has made sure a serial line is
  // open). An image of a file that could not be opened sends no line: the upload ends at the board's
  // first "OK".
  void Start(FirmwareImage image);
  // Bytes the board sent while in upload mode (receive thread).
  void OnReply(const uint8_t* bytes, int count);
  bool Active() const { return active_.load(std::memory_order_acquire); }
  // Forgets the image (what is left of it is never sent).
  void Close();

 private:
  bool NextLine(std::string& line);
  void SendLine(const std::string& line);

  CLinkWriter& writer_;
  LinkEvents& events_;
  const platform::Waker& wake_;
  // Set by the UI thread at the start, cleared by the receive thread at the end; the link loop and
  // the receive thread read it on every pass (acquire: the image is set up before it reads true).
  std::atomic<bool> active_{false};
  // The image and progress, used by the UI thread at the start and then by the receive thread,
  // never both at once (both hold the link lock).
  FirmwareImage image_;
  std::size_t next_ = 0;
  int lines_sent_ = 0;
};

}  // namespace relay
