// Recordings of a link: every frame, both directions, with its time, in a pcapng file (link type
// USER0, 147, the one set aside for private protocols), so that the usual capture tools open it and
// tools/wireshark/trevask.lua decodes the frames. Received frames are recorded as the deframer cut
// them, before the check, so a recording also shows what was refused; sent frames as they went out.
// The direction is in each packet's flags (inbound 1, outbound 2).
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/status.h"
#include "platform/unique_file.h"

namespace relay {

inline constexpr uint32_t kLinkTypeUser0 = 147;

enum class Direction : uint32_t { kInbound = 1, kOutbound = 2 };

class CLinkRecorder {
 public:
  CLinkRecorder() = default;
  // Creates (or replaces) `path` and writes the file's header; CreatePrivateFile's failures, or
  // kWriteFailed.
  platform::Result Open(const std::string& path);
  bool IsOpen() const { return file_ != nullptr; }
  // One frame; thread-safe (the receive thread and every sender record).
  void Record(Direction direction, const uint8_t* bytes, std::size_t size);
  uint64_t frames() const { return frames_; }

 private:
  std::mutex mutex_;
  platform::UniqueFile file_;
  std::vector<uint8_t> block_;  // the block being written, under mutex_
  uint64_t frames_ = 0;
};

struct RecordedFrame {
  uint64_t time_us = 0;  // microseconds since 1970
  Direction direction = Direction::kInbound;
  std::vector<uint8_t> bytes;
};

// What a replay holds at most, so that a recording of countless tiny frames cannot take the
// machine's memory: the file, and the frames in it (about 100 bytes each in memory).
inline constexpr std::size_t kMaxRecordingBytes = std::size_t{256} << 20;
inline constexpr std::size_t kMaxRecordedFrames = 1000000;

// Reads a whole recording. A failure with a reason a person can act on (the file, and where it went
// wrong): the file's status when it cannot be read, kBadContent for anything that is not a complete
// pcapng file of link type 147 in microseconds, kTooLarge beyond kMaxRecordedFrames. Blocks other
// than packets (comments, statistics, names) are skipped.
platform::Result ReadRecording(const std::string& path, std::vector<RecordedFrame>& frames);
// The same from bytes already in memory; `name` is used in the messages.
platform::Result ParseRecording(const uint8_t* data, std::size_t size, const std::string& name,
                                std::vector<RecordedFrame>& frames);

}  // namespace relay
