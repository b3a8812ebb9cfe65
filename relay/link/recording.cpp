#include "relay/link/recording.h"

#include <chrono>
#include <cstring>

#include "exchange/little_endian.h"
#include "platform/regular_file.h"

namespace relay {
namespace {

namespace le = exchange::le;

constexpr uint32_t kSectionHeader = 0x0A0D0D0A;
constexpr uint32_t kInterfaceDescription = 1;
constexpr uint32_t kEnhancedPacket = 6;
constexpr uint32_t kByteOrderMagic = 0x1A2B3C4D;
constexpr uint16_t kOptionEnd = 0;
constexpr uint16_t kOptionFlags = 2;  // epb_flags: bits 0-1 the direction
constexpr std::size_t kLargestBlock = 1 << 20;

// A block: type, total length, body (padded to 4 bytes), total length again.
std::vector<uint8_t> Block(uint32_t type, const std::vector<uint8_t>& body) {
  std::vector<uint8_t> out;
  const uint32_t padded = static_cast<uint32_t>((body.size() + 3) & ~std::size_t{3});
  le::Append32(out, type);
  le::Append32(out, padded + 12);
  out.insert(out.end(), body.begin(), body.end());
  out.resize(8 + padded, 0);
  le::Append32(out, padded + 12);
  return out;
}

}  // namespace

platform::Result CLinkRecorder::Open(const std::string& path) {
  std::lock_guard<std::mutex> guard(mutex_);
  block_.reserve(512);
  if (platform::Result created = platform::CreatePrivateFile(path, file_); !created.ok()) return created;
  std::vector<uint8_t> section;
  le::Append32(section, kByteOrderMagic);
  le::Append16(section, 1);  // version 1.0
  le::Append16(section, 0);
  le::Append32(section, 0xFFFFFFFF);  // section length unknown
  le::Append32(section, 0xFFFFFFFF);
  std::vector<uint8_t> interface;
  le::Append16(interface, static_cast<uint16_t>(kLinkTypeUser0));
  le::Append16(interface, 0);
  le::Append32(interface, 0);  // no snapshot limit
  // Timestamps in microseconds: the default resolution, so no option is needed.
  const std::vector<uint8_t> a = Block(kSectionHeader, section), b = Block(kInterfaceDescription, interface);
  if (std::fwrite(a.data(), 1, a.size(), file_.get()) != a.size() ||
      std::fwrite(b.data(), 1, b.size(), file_.get()) != b.size() || std::fflush(file_.get()) != 0) {
    file_.reset();
    return platform::Fail(platform::Status::kWriteFailed, path + ": cannot be written");
  }
  return platform::Ok();
}

void CLinkRecorder::Record(Direction direction, const uint8_t* bytes, std::size_t size) {
  // Captures carry wall-clock time (microseconds since 1970), which tools show as the moment.
  const uint64_t us = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                                std::chrono::system_clock::now().time_since_epoch())
                                                .count());
  std::lock_guard<std::mutex> guard(mutex_);
  if (!file_) return;
  // One buffer for every block, kept between frames: recording allocates nothing per frame.
  const uint32_t padded = static_cast<uint32_t>((size + 3) & ~std::size_t{3});
  const uint32_t total = 12 + 20 + padded + 8 + 4;  // type and lengths, packet fields, data, flags, end
  block_.clear();
  le::Append32(block_, kEnhancedPacket);
  le::Append32(block_, total);
  le::Append32(block_, 0);  // interface 0
  le::Append32(block_, static_cast<uint32_t>(us >> 32));
  le::Append32(block_, static_cast<uint32_t>(us));
  le::Append32(block_, static_cast<uint32_t>(size));
  le::Append32(block_, static_cast<uint32_t>(size));
  block_.insert(block_.end(), bytes, bytes + size);
  block_.resize(28 + padded, 0);
  le::Append16(block_, kOptionFlags);
  le::Append16(block_, 4);
  le::Append32(block_, static_cast<uint32_t>(direction));
  le::Append16(block_, kOptionEnd);
  le::Append16(block_, 0);
  le::Append32(block_, total);
  // Flushed at once: a relay that is killed leaves a recording that ends on a whole block.
  if (std::fwrite(block_.data(), 1, block_.size(), file_.get()) == block_.size()) {
    std::fflush(file_.get());
    ++frames_;
  }
}

platform::Result ParseRecording(const uint8_t* data, std::size_t size, const std::string& name,
                                std::vector<RecordedFrame>& frames) {
  frames.clear();
  std::size_t at = 0;
  bool have_section = false, have_interface = false;
  while (at < size) {
    const std::string where = name + ": at byte " + std::to_string(at) + ": ";
    if (size - at < 12) {
      return platform::Fail(platform::Status::kBadContent, where + "the recording is cut short");
    }
    const uint32_t type = le::Read32(data + at), length = le::Read32(data + at + 4);
    if (!have_section &&
        (type != kSectionHeader || size - at < 16 || le::Read32(data + at + 8) != kByteOrderMagic)) {
      return platform::Fail(platform::Status::kBadContent,
                            name + ": not a pcapng recording of a little-endian machine");
    }
    if (length < 12 || length % 4 != 0 || length > kLargestBlock) {
      return platform::Fail(platform::Status::kBadContent,
                            where + "a block of impossible length " + std::to_string(length));
    }
    if (size - at < length) {
      return platform::Fail(platform::Status::kBadContent, where + "the recording is cut short");
    }
    if (le::Read32(data + at + length - 4) != length) {
      return platform::Fail(platform::Status::kBadContent, where + "a block's two lengths differ");
    }
    const uint8_t* body = data + at + 8;
    const std::size_t body_size = length - 12;
    if (type == kSectionHeader) {
      if (have_section) {
        return platform::Fail(platform::Status::kBadContent,
                              where + "a second section; join recordings with a capture tool first");
      }
      have_section = true;
    } else if (type == kInterfaceDescription) {
      if (body_size < 8 || have_interface || le::Read16(body) != kLinkTypeUser0) {
        return platform::Fail(
            platform::Status::kBadContent,
            where + "not a recording of a robot link (its interface is not of link type 147)");
      }
      // Options of the interface: a timestamp resolution other than microseconds is not taken.
      for (std::size_t o = 8; o + 4 <= body_size;) {
        const uint16_t code = le::Read16(body + o), len = le::Read16(body + o + 2);
        if (code == kOptionEnd) break;
        if (o + 4 + len > body_size) {
          return platform::Fail(platform::Status::kBadContent, where + "an option runs past its block");
        }
        if (code == 9 && (len != 1 || body[o + 4] != 6)) {
          return platform::Fail(platform::Status::kBadContent, where + "timestamps not in microseconds");
        }
        o += 4 + ((len + 3u) & ~3u);
      }
      have_interface = true;
    } else if (type == kEnhancedPacket) {
      if (!have_interface || body_size < 20 || le::Read32(body) != 0) {
        return platform::Fail(platform::Status::kBadContent, where + "a packet without its interface");
      }
      const uint32_t captured = le::Read32(body + 12);
      if (captured > body_size - 20) {
        return platform::Fail(platform::Status::kBadContent, where + "a packet longer than its block");
      }
      if (frames.size() >= kMaxRecordedFrames) {
        return platform::Fail(platform::Status::kTooLarge,
                              name + ": more than " + std::to_string(kMaxRecordedFrames) +
                                  " frames; a replay holds at most that many (cut the recording into parts)");
      }
      RecordedFrame frame;
      frame.time_us = static_cast<uint64_t>(le::Read32(body + 4)) << 32 | le::Read32(body + 8);
      frame.bytes.assign(body + 20, body + 20 + captured);
      frame.direction = Direction::kInbound;
      for (std::size_t o = 20 + ((captured + 3u) & ~3u); o + 4 <= body_size;) {
        const uint16_t code = le::Read16(body + o), len = le::Read16(body + o + 2);
        if (code == kOptionEnd || o + 4 + len > body_size) break;
        if (code == kOptionFlags && len == 4 && (le::Read32(body + o + 4) & 3) == 2)
          frame.direction = Direction::kOutbound;
        o += 4 + ((len + 3u) & ~3u);
      }
      frames.push_back(std::move(frame));
    }
    at += length;
  }
  if (!have_section) {
    return platform::Fail(platform::Status::kBadContent, name + ": an empty file, not a recording");
  }
  return platform::Ok();
}

platform::Result ReadRecording(const std::string& path, std::vector<RecordedFrame>& frames) {
  std::vector<uint8_t> bytes;
  const platform::Status status = platform::ReadRegularFile(path, kMaxRecordingBytes, true, bytes);
  if (status != platform::Status::kOk)
    return platform::Fail(status, path + ": " + platform::StatusText(status));
  return ParseRecording(bytes.data(), bytes.size(), path, frames);
}

}  // namespace relay
