// Recordings of the link: what the recorder writes is what the reader (and the capture tools) read
// back, and every malformed file is refused with the place it went wrong.
#include "relay/link/recording.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "exchange/frame.h"
#include "exchange/protocol.h"

namespace {

using relay::Direction;
using relay::RecordedFrame;

std::string Temp(const std::string& tag) {
  return "/tmp/trevask-recording-" + std::to_string(getpid()) + "-" + tag;
}

std::vector<uint8_t> FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<uint8_t> Frame(uint8_t dest, uint8_t type, std::vector<uint8_t> payload) {
  exchange::Frame f = exchange::Frame::Make(dest, 7, type, payload.data(), payload.size());
  return std::vector<uint8_t>(f.bytes, f.bytes + f.size);
}

// A recording of three frames, both directions, one of an odd length (padding), one empty.
std::string WriteSample(std::vector<std::vector<uint8_t>>& written) {
  const std::string path = Temp("sample.pcapng");
  relay::CLinkRecorder recorder;
  const platform::Result opened = recorder.Open(path);
  EXPECT_TRUE(opened.ok()) << opened.message;
  written = {Frame(exchange::kDestMultimediaBoard, exchange::kTypeLinkStatus, {0}),
             Frame(exchange::kDestComputer, exchange::kTypeStandardSensor, std::vector<uint8_t>(40, 0x33)),
             {0x5E, 0x02, 0x00}};
  recorder.Record(Direction::kOutbound, written[0].data(), written[0].size());
  recorder.Record(Direction::kInbound, written[1].data(), written[1].size());
  recorder.Record(Direction::kInbound, written[2].data(), written[2].size());
  EXPECT_EQ(recorder.frames(), 3u);
  return path;
}

TEST(Recording, WhatIsRecordedIsReadBackInOrderWithDirectionAndTime) {
  std::vector<std::vector<uint8_t>> written;
  const std::string path = WriteSample(written);
  std::vector<RecordedFrame> frames;
  const platform::Result read = relay::ReadRecording(path, frames);
  ASSERT_TRUE(read.ok()) << read.message;
  ASSERT_EQ(frames.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(frames[i].bytes, written[i]);
  EXPECT_EQ(frames[0].direction, Direction::kOutbound);
  EXPECT_EQ(frames[1].direction, Direction::kInbound);
  EXPECT_LE(frames[0].time_us, frames[2].time_us);
  EXPECT_GT(frames[0].time_us, 1700000000ull * 1000000) << "microseconds since 1970";
  std::remove(path.c_str());
}

TEST(Recording, MalformedFilesAreRefusedWithTheirPlace) {
  std::vector<std::vector<uint8_t>> written;
  const std::string path = WriteSample(written);
  const std::vector<uint8_t> good = FileBytes(path);
  std::vector<RecordedFrame> frames;
  // Cut anywhere: refused as cut short, or (cut between blocks) read as the frames before the cut.
  std::size_t whole = 0;
  for (std::size_t cut = 0; cut < good.size(); ++cut) {
    const platform::Result parsed = relay::ParseRecording(good.data(), cut, "cut", frames);
    if (parsed.ok()) {
      ++whole;
      EXPECT_LT(frames.size(), 3u);
    } else {
      const std::string& why = parsed.message;
      EXPECT_EQ(parsed.status, platform::Status::kBadContent) << cut;
      EXPECT_TRUE(why.find("cut short") != std::string::npos || why.find("empty file") != std::string::npos ||
                  why.find("not a pcapng") != std::string::npos)
          << cut << ": " << why;
    }
  }
  EXPECT_EQ(whole, 4u) << "after the section header, the interface and each of the first two packets";

  auto refused = [&](std::vector<uint8_t> bytes, const std::string& why) {
    const platform::Result parsed = relay::ParseRecording(bytes.data(), bytes.size(), "f", frames);
    EXPECT_EQ(parsed.status, platform::Status::kBadContent) << why;
    EXPECT_NE(parsed.message.find(why), std::string::npos) << parsed.message;
  };
  refused({}, "an empty file");
  const std::string text = "this is a text file, not a recording\n";
  refused(std::vector<uint8_t>(text.begin(), text.end()), "not a pcapng recording");
  std::vector<uint8_t> big_endian = good;
  std::swap(big_endian[8], big_endian[11]), std::swap(big_endian[9], big_endian[10]);
  refused(big_endian, "not a pcapng recording of a little-endian machine");
  std::vector<uint8_t> ethernet = good;
  ethernet[28 + 8] = 1;  // the interface's link type: Ethernet
  ethernet[28 + 9] = 0;
  refused(ethernet, "not of link type 147");
  std::vector<uint8_t> lengths = good;
  lengths[lengths.size() - 1] ^= 0x01;  // the last block's closing length
  refused(lengths, "two lengths differ");
  std::vector<uint8_t> huge = good;
  huge[good.size() - 4 - 40 + 4 + 3] = 0x7F;  // somewhere in a packet's length field or data
  (void)relay::ParseRecording(huge.data(), huge.size(), "f", frames);  // refused or read, never past

  const platform::Result missing = relay::ReadRecording(Temp("missing.pcapng"), frames);
  EXPECT_EQ(missing.status, platform::Status::kMissing);
  EXPECT_NE(missing.message.find("missing.pcapng: "), std::string::npos);
  const std::string fifo = Temp("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(relay::ReadRecording(fifo, frames).status, platform::Status::kNotRegular)
      << "a pipe is not read (it could block for ever)";
  std::remove(fifo.c_str());
  std::remove(path.c_str());
}

// A recording holds everything the robot and its clients said: its owner's alone, and never written
// through a link planted where it is to go. A replay holds a bounded number of frames.
TEST(Recording, RecordingsArePrivateNeverWrittenThroughALinkAndBoundedWhenRead) {
  std::vector<std::vector<uint8_t>> written;
  const std::string path = WriteSample(written);
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  const std::string target = Temp("target"), link = Temp("link.pcapng");
  std::ofstream(target) << "precious";
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  relay::CLinkRecorder recorder;
  const platform::Result opened = recorder.Open(link);
  EXPECT_EQ(opened.status, platform::Status::kLink);
  EXPECT_EQ(opened.message, link + ": a link; it is not followed");
  EXPECT_EQ(FileBytes(target).size(), 8u) << "the link's target is untouched";

  // Many tiny packets: more than a replay holds.
  std::vector<uint8_t> many = FileBytes(path);
  const std::size_t last = many[many.size() - 4] | many[many.size() - 3] << 8;  // the last block's length
  const std::vector<uint8_t> packet(many.end() - static_cast<long>(last), many.end());
  ASSERT_EQ(packet[0], 6) << "an enhanced packet block";
  many.reserve(many.size() + packet.size() * relay::kMaxRecordedFrames);
  for (std::size_t i = 0; i < relay::kMaxRecordedFrames; ++i)
    many.insert(many.end(), packet.begin(), packet.end());
  std::vector<RecordedFrame> frames;
  const platform::Result parsed = relay::ParseRecording(many.data(), many.size(), "many", frames);
  EXPECT_EQ(parsed.status, platform::Status::kTooLarge);
  EXPECT_NE(parsed.message.find("a replay holds at most"), std::string::npos) << parsed.message;
  for (const std::string& p : {path, target, link}) std::remove(p.c_str());
}

// The dissector names every data type the system knows, with the system's own value and name, and no
// other.
TEST(Recording, TheWiresharkDissectorKnowsEveryDataType) {
  std::ifstream lua(SOURCE_DIR "/tools/wireshark/trevask.lua");
  ASSERT_TRUE(lua);
  std::stringstream l;
  l << lua.rdbuf();
  const std::string lua_text = l.str();
  for (const exchange::DataTypeName& t : exchange::kDataTypeNames) {
    char entry[64];
    std::snprintf(entry, sizeof entry, "[0x%02X] = \"%s\"", t.value, t.name);
    EXPECT_NE(lua_text.find(entry), std::string::npos) << entry;
  }
  std::size_t entries = 0;
  for (std::size_t at = lua_text.find("\n  [0x"); at != std::string::npos;
       at = lua_text.find("\n  [0x", at + 1))
    ++entries;
  EXPECT_EQ(entries, std::size(exchange::kDataTypeNames));
}

}  // namespace
