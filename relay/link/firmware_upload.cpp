#include "relay/link/firmware_upload.h"

#include <cstring>

#include "exchange/frame.h"
#include "exchange/protocol.h"
#include "platform/clock.h"
#include "platform/debug_output.h"
#include "relay/timing.h"

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

// One whole line, however long: an S-record may reach 514 characters, and a longer line is sent
// whole rather than cut into pieces the board would take for records of their own.
bool CFirmwareUpload::ReadLine(std::string& line) {
  line.clear();
  if (!file_) return false;
  int c;
  bool any = false;
  while ((c = std::fgetc(file_.get())) != EOF) {
    any = true;
    if (c == '\n') return true;
    line.push_back(static_cast<char>(c));
  }
  return any;
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
  events_.Progress(lines_sent_, lines_total_);
}

void CFirmwareUpload::Start(const std::string& path) {
  platform::LockGuard guard(writer_.lock());
  const uint8_t one = 1;
  writer_.Send(exchange::kDestMultimediaBoard, exchange::kTypeFirmwareStart, &one, 1);
  platform::Sleep(timing::kFirmwareStartPauseMs);
  Close();
  lines_sent_ = 0;
  lines_total_ = CountLines(path);
  active_.store(true, std::memory_order_release);
  file_ = platform::OpenFile(path, "r");  // a missing file yields no lines, like an empty one
  if (!file_)
    events_.Message(MessageKind::kNotice,
                    path + ": cannot be opened; the upload ends at the board's first OK");
  std::string line;
  if (ReadLine(line)) SendLine(line);
}

void CFirmwareUpload::OnReply(const uint8_t* bytes, int count) {
  bool ok = false;
  for (int i = 0; i + 1 < count && !ok; ++i) ok = bytes[i] == 'O' && bytes[i + 1] == 'K';
  if (!ok) return;
  std::string line;
  bool succeeded = false;
  {
    // The file is shared with Start on the UI thread; the link lock keeps them apart.
    platform::LockGuard guard(writer_.lock());
    if (!ReadLine(line)) {
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
    platform::Sleep(timing::kFirmwareDonePauseMs);
    events_.Message(MessageKind::kSuccess, "Upgrading succeeds!");
    active_.store(false, std::memory_order_release);
  }
}

}  // namespace relay
