#include "relay/app/replay.h"

#include <cstdio>
#include <memory>
#include <vector>

#include "exchange/command_ring.h"
#include "exchange/section_lifetime.h"
#include "platform/clock.h"
#include "platform/program.h"
#include "platform/shared_memory.h"
#include "relay/app/log.h"
#include "relay/link/inbound_dispatch.h"
#include "relay/link/link_manager.h"
#include "relay/link/link_stats.h"
#include "relay/link/receive_path.h"
#include "relay/link/recording.h"

namespace relay {
namespace {

// The robot's answers to keep-alives and its flow control need no reply in a replay.
struct ReplayHooks : InboundHooks {
  void OnKeepAliveAnswer() override {}
  void SendAcknowledgement() override {}
  void OnVoiceFlowControl() override {}
};

constexpr uint32_t kPassMs = 20;  // how often the command ring is looked at, as a relay's link loop does

std::string Hex(const uint8_t* bytes, std::size_t n) {
  std::string out;
  char b[4];
  for (std::size_t i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, i == 0 ? "%02X" : " %02X", bytes[i]);
    out += b;
  }
  return out;
}

}  // namespace

int RunReplay(const std::string& path, double speed, const std::string& robot) {
  std::vector<RecordedFrame> frames;
  if (const platform::Result read = ReadRecording(path, frames); !read.ok()) {
    Log(LogLevel::kError, read.message);
    return 2;
  }
  bool shortened = false;
  const std::string prefix = RobotPrefix(robot, shortened);
  exchange::ReclaimLeftoverSections();
  auto producers = std::make_unique<RelayProducers>();
  exchange::CCommandTaker commands;
  std::string failed;
  const platform::Status status = producers->Open(
      prefix, [&] { return commands.Open(prefix); }, &failed);
  if (status != platform::Status::kOk) {
    Log(LogLevel::kError, RelayProducers::Problem(prefix, status, failed));
    return 1;
  }
  if (!commands.Claim()) {
    Log(LogLevel::kError, "Robot '" + prefix + "' is already served by another relay.");
    return 1;
  }
  commands.StartForwarding();
  platform::SetSharedDamageObserver([](const std::string& name) {
    Log(LogLevel::kWarning, "section " + name + " damaged by another process; reopened");
  });
  ReplayHooks hooks;
  LinkStats stats;
  CReceivePath path_in(hooks, stats);
  path_in.dispatch().SetProducers(producers.get());

  std::size_t inbound = 0;
  for (const RecordedFrame& f : frames) inbound += f.direction == Direction::kInbound;
  Log(LogLevel::kInfo, "replaying " + std::to_string(inbound) + " received frames of " + path +
                           " into robot '" + prefix + "'" +
                           (speed != 1.0 ? " at " + std::to_string(speed) + " times their speed" : ""));
  const uint64_t first_us = frames.empty() ? 0 : frames.front().time_us;
  uint64_t latest_us = first_us;  // time never runs back: a frame stamped earlier plays at once
  const uint32_t start = platform::TickCount();
  uint32_t passes = 0, last_pass = start;
  std::size_t played = 0, commands_logged = 0;
  auto look_at_commands = [&] {
    uint8_t record[exchange::kCommandRecordMax];
    uint32_t n = 0;
    while (commands.Take(record, n) == exchange::CCommandTaker::TakeStatus::kRecord) {
      ++commands_logged;
      Log(LogLevel::kInfo, "command not sent (replay): " + Hex(record, n));
    }
    commands.PublishMark(++passes, true);
    if (platform::SectionsCanBeCutShort()) platform::RestoreSharedSizes();
  };
  for (const RecordedFrame& f : frames) {
    if (f.direction != Direction::kInbound) continue;
    // The frame's moment, in the clock's milliseconds from the start of the replay.
    if (f.time_us > latest_us) latest_us = f.time_us;
    const double offset_ms = static_cast<double>(latest_us - first_us) / 1000.0 / speed;
    for (;;) {
      const uint32_t now = platform::TickCount();
      if (platform::NextProgramRequest(0) == platform::ProgramRequest::kStop) {
        Log(LogLevel::kInfo, "replay stopped after " + std::to_string(played) + " frames");
        commands.WithdrawMark();
        return 0;
      }
      if (platform::TickElapsed(now, last_pass) >= kPassMs) {
        look_at_commands();
        last_pass = now;
      }
      const double elapsed = static_cast<double>(platform::TickElapsed(now, start));
      if (elapsed >= offset_ms) break;
      const double left = offset_ms - elapsed;
      platform::Sleep(static_cast<uint32_t>(left < kPassMs ? (left < 1 ? 1 : left) : kPassMs));
    }
    path_in.Feed(f.bytes.data(), f.bytes.size());
    ++played;
  }
  look_at_commands();
  commands.WithdrawMark();
  Log(LogLevel::kInfo, "replay finished: " + std::to_string(played) + " frames, " +
                           std::to_string(commands_logged) + " client commands logged, not sent");
  return 0;
}

}  // namespace relay
