#include "relay/link/command_forwarding.h"

#include <cstring>
#include <string>

#include "platform/clock.h"

namespace relay {
namespace {

// At most this many records per pass: one ring's worth, so a pass stays short and the keep-alive
// keeps its rhythm however fast clients write.
constexpr int kRecordsPerPass = 32;
// At most one line a minute about a head moved back.
constexpr uint32_t kHeadWentBackReportMs = 60000;

}  // namespace

LinkStatus CCommandForwarder::Open(const std::string& prefix, platform::Status& status) {
  const bool keep_claim = commands_.HasView() && prefix == claimed_prefix_;
  if (!keep_claim) commands_.Close();
  status = keep_claim ? commands_.Resync() : commands_.Open(prefix);
  if (commands_.HasView() && !commands_.Claim()) {
    // Two relays for one name would mix two robots in one set of rings.
    commands_.Close();
    return LinkStatus::kClaimedElsewhere;
  }
  claimed_prefix_ = prefix;
  commands_.StartForwarding();
  return status == platform::Status::kOk ? LinkStatus::kOk : LinkStatus::kSectionError;
}

CCommandForwarder::PassEnd CCommandForwarder::ForwardPending(bool link_up) {
  // Everything clients have put since the last pass goes out now, in order, so no client that
  // writes faster than one record per pass is robbed. An audio-file request ends the pass: the
  // records behind it wait for the next one, as they would behind the upload's start.
  uint8_t record[exchange::kCommandRecordMax];
  PassEnd end = PassEnd::kHeldBack;  // unless the ring is found empty within the pass's limit
  for (int i = 0; i < kRecordsPerPass; ++i) {
    uint32_t length = 0;
    const uint32_t went_back = commands_.went_back();
    const exchange::CCommandTaker::TakeStatus take = commands_.Take(record, length);
    if (commands_.went_back() != went_back) ReportHeadWentBack();
    if (take == exchange::CCommandTaker::TakeStatus::kNone) end = PassEnd::kDone;
    if (take != exchange::CCommandTaker::TakeStatus::kRecord) break;
    const bool frame =
        length >= 2 && record[0] == exchange::kFrameStart0 && record[1] == exchange::kFrameStart1;
    HandleRecord(record, length, commands_.capacity());
    commands_.PublishMark(++passes_, link_up);  // its slot is free again
    if (!frame) break;
  }
  commands_.PublishMark(++passes_, link_up);
  return end;
}

void CCommandForwarder::ReportHeadWentBack() {
  // Whoever moves the head back can do it thousands of times a second: one line per
  // kHeadWentBackReportMs says so, with how often it happened since the last line.
  const uint32_t now = platform::TickCount();
  if (went_back_reported_ && platform::TickElapsed(now, went_back_at_) < kHeadWentBackReportMs) {
    ++went_back_unsaid_;
    return;
  }
  std::string text =
      "the command ring's head was moved back over commands already sent (something wrote the ring without "
      "claiming its slots); those commands are passed over, nothing is sent twice";
  if (went_back_unsaid_ > 0)
    text += " (" + std::to_string(went_back_unsaid_) + " more times since the last report)";
  events_.Message(MessageKind::kNotice, text);
  went_back_reported_ = true;
  went_back_at_ = now;
  went_back_unsaid_ = 0;
}

void CCommandForwarder::HandleRecord(const uint8_t* data, uint32_t len, uint32_t capacity) {
  // A length word of 100 or more is no record a client writes; lengths beyond the slot are skipped
  // too, so nothing is ever read past it.
  if (len >= 100 || len > capacity) return;
  uint8_t local[100];
  std::memcpy(local, data, len);
  if (len >= 2 && local[0] == exchange::kFrameStart0 && local[1] == exchange::kFrameStart1) {
    if (len > exchange::kOffPayload && local[exchange::kOffDataType] == exchange::kTypeRecordStart)
      dispatch_.SetVoiceSegmentLength(static_cast<int8_t>(local[exchange::kOffPayload]));
    else if (len > exchange::kOffDataType && local[exchange::kOffDataType] == exchange::kTypeAudioStop)
      audio_.RequestStop();
    writer_.SendBytes(local, static_cast<int>(len));
    return;
  }
  const bool continuation = len >= 3 && std::memcmp(local + len - 3, "EOF", 3) == 0;
  const uint32_t path_len = continuation ? len - 3 : len;
  char path[101];
  std::memcpy(path, local, path_len);
  path[path_len] = '\0';
  audio_.Start(path, continuation);
}

}  // namespace relay
