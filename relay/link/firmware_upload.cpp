#include "relay/link/firmware_upload.h"

#include <utility>

#include "exchange/frame.h"
#include "exchange/protocol.h"
#include "platform/clock.h"
#include "platform/debug_output.h"
#include "platform/stop_signal.h"
#include "relay/timing.h"

namespace relay {

platform::Status LoadFirmware(const std::string& path, FirmwareImage& out) {
  out = FirmwareImage{};
  out.path = path;
  std::vector<uint8_t> bytes;
  const platform::Status status = platform::ReadRegularFile(path, kFirmwareFileMax, true, bytes);
  if (status != platform::Status::kOk) return status;
  out.opened = true;
  // One line per line feed, and the text after the last one when there is any. A line is kept
  // whole however long: an S-record may reach 514 characters, and a longer line is sent whole rather
  // than cut into pieces the board would take for records of their own.
  std::string line;
  for (const uint8_t b : bytes) {
    if (b == '\n') {
      out.lines.push_back(std::move(line));
      line.clear();
    } else {
      line.push_back(static_cast<char>(b));
    }
  }
  if (!line.empty()) out.lines.push_back(std::move(line));
  return status;
}

bool FirmwareRefused(platform::Status status) {
  return status == platform::Status::kNotRegular || status == platform::Status::kTooLarge ||
         status == platform::Status::kReadFailed || status == platform::Status::kNotShared;
}

std::string FirmwareFileProblem(const std::string& path, platform::Status status) {
  if (status == platform::Status::kTooLarge)
    return path + ": larger than " + std::to_string(kFirmwareFileMax / (1024 * 1024)) +
           " MiB, far more than a firmware image";
  if (status == platform::Status::kNotRegular)
    return path + ": not a regular file (a firmware image is a file of S-records)";
  return path + ": " + platform::StatusText(status);
}

void CFirmwareUpload::Close() {
  image_ = FirmwareImage{};
  next_ = 0;
}

bool CFirmwareUpload::NextLine(std::string& line) {
  if (next_ >= image_.lines.size()) return false;
  line = image_.lines[next_++];
  return true;
}

void CFirmwareUpload::SendLine(const std::string& line) {
  std::string text = line;
  while (!text.empty() &&
         (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' || text.back() == '\n'))
    text.pop_back();
  if (text.size() > 510)
    platform::DebugOutput("firmware line %d has %zu characters", lines_sent_ + 1, text.size());
  text.push_back('\n');
  writer_.SendBytes(reinterpret_cast<const uint8_t*>(text.data()), static_cast<int>(text.size()));
  ++lines_sent_;
  events_.Progress(lines_sent_, static_cast<int>(image_.lines.size()));
}

void CFirmwareUpload::Start(FirmwareImage image) {
  // Nothing here waits on the file: it was read whole before the lock was taken.
  platform::LockGuard guard(writer_.lock());
  const uint8_t one = 1;
  writer_.Send(exchange::kDestMultimediaBoard, exchange::kTypeFirmwareStart, &one, 1);
  platform::Sleep(timing::kFirmwareStartPauseMs);
  Close();
  image_ = std::move(image);
  lines_sent_ = 0;
  active_.store(true, std::memory_order_release);
  if (!image_.opened)
    events_.Message(MessageKind::kNotice,
                    image_.path + ": cannot be opened; the upload ends at the board's first OK");
  std::string line;
  if (NextLine(line)) SendLine(line);
}

void CFirmwareUpload::OnReply(const uint8_t* bytes, int count) {
  bool ok = false;
  for (int i = 0; i + 1 < count && !ok; ++i) ok = bytes[i] == 'O' && bytes[i + 1] == 'K';
  if (!ok) return;
  std::string line;
  bool succeeded = false;
  {
    // The image is shared with Start on the UI thread; the link lock keeps them apart.
    platform::LockGuard guard(writer_.lock());
    if (!NextLine(line)) {
      active_.store(false, std::memory_order_release);
      Close();
      return;
    }
    SendLine(line);
    if (line.size() >= 2 && line[0] == 'S' && line[1] == '9') {
      Close();
      succeeded = true;
    }
  }
  if (succeeded) {
    // The board writes its flash meanwhile; a link that stops does not wait for it.
    platform::PauseUnlessWoken(wake_, timing::kFirmwareDonePauseMs);
    events_.Message(MessageKind::kSuccess, "Upgrading succeeds!");
    active_.store(false, std::memory_order_release);
  }
}

}  // namespace relay
