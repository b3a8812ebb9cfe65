// The robot's sections and the command ring: opened (and the ring claimed) at each connect, and
// every record clients put forwarded to the robot, frames unchanged, sound requests to the upload.
#include <cstring>

#include "relay/link/link_manager.h"

namespace relay {
namespace {

constexpr std::size_t kRobotIdMax = 29;
// At most this many records per pass: one ring's worth, so a pass stays short and the keep-alive
// keeps its rhythm however fast clients write.
constexpr int kRecordsPerPass = 32;

}  // namespace

// The dialog's robot ID field as a section prefix: its first line, at most 29 bytes, cut before a
// UTF-8 character rather than inside it.
std::string RobotPrefix(const std::string& field, bool& shortened) {
  std::string first = field.substr(0, field.find_first_of("\r\n"));
  shortened = first.size() > kRobotIdMax;
  return exchange::Utf8Prefix(first, kRobotIdMax);
}

bool CLinkManager::OpenSections(const std::string& robot_field) {
  bool shortened = false;
  const std::string prefix = RobotPrefix(robot_field, shortened);
  receive_path_.dispatch().SetProducers(nullptr);
  producers_.reset();
  // The same name again keeps its claim (no other relay can slip in between two connects); the
  // command ring still starts over at its head, so records put while the link was down are dropped.
  const bool keep_claim = commands_.HasView() && prefix == claimed_prefix_;
  if (!keep_claim) commands_.Close();
  if (shortened && noted_name_ != robot_field) {
    noted_name_ = robot_field;
    ui_.Note("the robot name is cut to " + std::to_string(kRobotIdMax) + " bytes: '" + prefix + "'");
  }
  auto producers = std::make_unique<RelayProducers>();
  // Standard sensor, motor sensor, image, audio, command, custom sensor: the order in which clients
  // that watch the objects appear see them made.
  platform::ShmStatus st[6] = {
      producers->standard_sensor.Open(prefix, exchange::SectionId::kStandardSensor),
      producers->motor_sensor.Open(prefix, exchange::SectionId::kMotorSensor),
      producers->image.Open(prefix, exchange::SectionId::kImage),
      producers->audio.Open(prefix, exchange::SectionId::kAudio),
      keep_claim ? commands_.Resync() : commands_.Open(prefix, exchange::SectionId::kCommand),
      producers->custom_sensor.Open(prefix, exchange::SectionId::kCustomSensor),
  };
  for (platform::ShmStatus s : st) {
    if (s != platform::ShmStatus::kOk) {
      ui_.Note("sections of robot '" + prefix + "': " + platform::ShmStatusText(s));
      break;
    }
  }
  if (commands_.HasView() && !commands_.Claim()) {
    // Two relays for one name would mix two robots in one set of rings.
    commands_.Close();
    ui_.MessageBox("Robot '" + prefix + "' is already served by another relay.\n");
    ui_.Disconnect();
    gave_up_.store(true, std::memory_order_release);
    stop_.store(true, std::memory_order_release);
    return false;
  }
  claimed_prefix_ = prefix;
  producers_ = std::move(producers);
  receive_path_.dispatch().SetProducers(producers_.get());
  return true;
}

void CLinkManager::ForwardCommand() {
  // Everything clients have put since the last pass goes out now, in order, so no client that
  // writes faster than one record per pass is robbed. An audio-file request ends the pass: the
  // records behind it wait for the next one, as they would behind the upload's start.
  for (int i = 0; i < kRecordsPerPass; ++i) {
    exchange::RingRecord record = commands_.Take();
    if (!record) break;
    const bool frame = record.size() >= 2 && record.data()[0] == exchange::kFrameStart0 &&
                       record.data()[1] == exchange::kFrameStart1;
    HandleCommandRecord(record.data(), record.length, record.capacity);
    commands_.PublishMark(++passes_, link_up_.load(std::memory_order_acquire));  // its slot is free again
    if (!frame && record.length <= record.capacity) break;
  }
  commands_.PublishMark(++passes_, link_up_.load(std::memory_order_acquire));
}

void CLinkManager::HandleCommandRecord(const uint8_t* data, uint32_t len, uint32_t capacity) {
  // A length word of 100 or more is no record a client writes; lengths beyond the slot are skipped
  // too, so nothing is ever read past it.
  if (len >= 100 || len > capacity) return;
  uint8_t local[100];
  std::memcpy(local, data, len);
  if (len >= 2 && local[0] == exchange::kFrameStart0 && local[1] == exchange::kFrameStart1) {
    if (len > exchange::kOffPayload && local[exchange::kOffDataType] == exchange::kTypeRecordStart)
      receive_path_.dispatch().SetVoiceSegmentLength(static_cast<int8_t>(local[exchange::kOffPayload]));
    else if (len > exchange::kOffDataType && local[exchange::kOffDataType] == exchange::kTypeAudioStop)
      voice_stop_.store(true, std::memory_order_release);
    platform::LockGuard guard(writer_.lock());
    SendFrame(local, static_cast<int>(len));
    return;
  }
  const bool continuation = len >= 3 && std::memcmp(local + len - 3, "EOF", 3) == 0;
  const uint32_t path_len = continuation ? len - 3 : len;
  char path[101];
  std::memcpy(path, local, path_len);
  path[path_len] = '\0';
  StartAudioUpload(path, continuation);
}

}  // namespace relay
