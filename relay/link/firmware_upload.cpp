// Loading new firmware into the multimedia board: a start frame, then the S-record file line by
// line, each line after the board's "OK" for the previous one. While it runs the link is in upload
// mode: received bytes go to OnFirmwareReply, and the keep-alive pauses.
#include <cstring>

#include "exchange/frame.h"
#include "platform/clock.h"
#include "platform/debug_output.h"
#include "relay/link/link_manager.h"

namespace relay {
namespace {

int CountLines(const std::string& path) {
  platform::UniqueFile f = platform::OpenFile(path, "r");
  if (!f) return 0;
  int lines = 0, last = '\n', c;
  while ((c = std::fgetc(f.get())) != EOF) {
    if (c == '\n') ++lines;
    last = c;
  }
  if (last != '\n') ++lines;
  return lines;
}

}  // namespace

void CLinkManager::CloseFirmwareFile() {
  firmware_file_.reset();
}

// One whole line, however long: an S-record may reach 514 characters, and a longer line is sent
// whole rather than cut into pieces the board would take for records of their own.
bool CLinkManager::ReadFirmwareLine(std::string& line) {
  line.clear();
  if (!firmware_file_) return false;
  int c;
  bool any = false;
  while ((c = std::fgetc(firmware_file_.get())) != EOF) {
    any = true;
    if (c == '\n') return true;
    line.push_back(static_cast<char>(c));
  }
  return any;
}

void CLinkManager::SendFirmwareLine(const std::string& line) {
  std::string text = line;
  while (!text.empty() &&
         (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' || text.back() == '\n'))
    text.pop_back();
  if (text.size() > 510)
    platform::DebugOutput("firmware line %d has %zu characters", firmware_lines_sent_ + 1, text.size());
  text.push_back('\n');
  {
    platform::LockGuard guard(writer_.lock());
    if (serial_.Write(reinterpret_cast<const uint8_t*>(text.data()), static_cast<int>(text.size())) == 1)
      stats_.AddBytesOut(text.size());
  }
  ++firmware_lines_sent_;
  ui_.FirmwareProgress(firmware_lines_sent_, firmware_lines_total_);
}

void CLinkManager::StartFirmwareUpload(const std::string& path) {
  if (!serial_.IsOpen()) {
    ui_.MessageBox("Please make sure that the PC's Trevask has connected to the robot.");
    return;
  }
  platform::LockGuard guard(writer_.lock());
  const uint8_t one = 1;
  exchange::Frame start = exchange::Frame::Make(exchange::kDestMultimediaBoard, NextSequence(),
                                                exchange::kTypeFirmwareStart, &one, 1);
  serial_.Write(start.bytes, static_cast<int>(start.size));
  platform::Sleep(108);
  CloseFirmwareFile();
  firmware_lines_sent_ = 0;
  firmware_lines_total_ = CountLines(path);
  upload_mode_.store(true, std::memory_order_release);
  firmware_file_ = platform::OpenFile(path, "r");  // a missing file yields no lines, like an empty one
  if (!firmware_file_) ui_.Note(path + ": cannot be opened; the upload ends at the board's first OK");
  std::string line;
  if (ReadFirmwareLine(line)) SendFirmwareLine(line);
}

void CLinkManager::OnFirmwareReply(int count) {
  bool ok = false;
  for (int i = 0; i + 1 < count && !ok; ++i) ok = chunk_[i] == 'O' && chunk_[i + 1] == 'K';
  if (!ok) return;
  std::string line;
  bool succeeded = false;
  {
    // The file is shared with StartFirmwareUpload on the UI thread; the link lock keeps them apart.
    platform::LockGuard guard(writer_.lock());
    if (!ReadFirmwareLine(line)) {
      upload_mode_.store(false, std::memory_order_release);
      CloseFirmwareFile();
      return;
    }
    SendFirmwareLine(line);
    if (line.size() >= 2 && line[0] == 'S' && line[1] == '9') {
      CloseFirmwareFile();
      succeeded = true;
    }
  }
  if (succeeded) {
    platform::Sleep(3000);
    ui_.MessageBox("Upgrading succeeds!");
    upload_mode_.store(false, std::memory_order_release);
  }
}

}  // namespace relay
