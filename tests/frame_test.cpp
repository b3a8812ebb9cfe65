#include "exchange/frame.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "exchange/acceptance.h"
#include "exchange/crc8.h"
#include "platform/debug_output.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes MakeFrame(uint8_t dest, uint8_t seq, uint8_t type, const Bytes& payload) {
  Bytes out(exchange::kMaxFrame);
  out.resize(exchange::BuildFrame(out.data(), out.size(), dest, seq, type, payload.data(), payload.size()));
  return out;
}

TEST(Crc8, CheckValuesAndTableMatchesBitwiseDefinition) {
  const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(exchange::Crc8(digits, 9), 0xA1);
  EXPECT_EQ(exchange::Crc8(nullptr, 0), 0x00);
  const uint8_t ack[] = {0x08, 0x00, 0x01, 0x01, 0x01};
  EXPECT_EQ(exchange::Crc8(ack, 5), 0x0F);

  // Every single byte, and a long pseudo-random run, agree with the bit-at-a-time definition.
  for (int b = 0; b < 256; ++b) {
    uint8_t one = static_cast<uint8_t>(b);
    ASSERT_EQ(exchange::Crc8(&one, 1), exchange::Crc8Bitwise(&one, 1)) << b;
  }
  Bytes noise(4096);
  uint32_t x = 12345;
  for (auto& v : noise) v = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 16);
  for (std::size_t len = 0; len < noise.size(); len += 97)
    ASSERT_EQ(exchange::Crc8(noise.data(), len), exchange::Crc8Bitwise(noise.data(), len)) << len;
}

TEST(Frame, BuildsAcknowledgementAndKeepAliveByteForByte) {
  EXPECT_EQ(MakeFrame(8, 0, 0x01, {0x01}),
            (Bytes{0x5E, 0x02, 0x08, 0x00, 0x01, 0x01, 0x01, 0x0F, 0x5E, 0x0D}));
  Bytes keep_alive = MakeFrame(8, 0x31, 0xFF, {0x00});
  ASSERT_EQ(keep_alive.size(), 10u);
  const uint8_t covered[] = {0x08, 0x31, 0xFF, 0x01, 0x00};
  EXPECT_EQ(keep_alive[7], exchange::Crc8Bitwise(covered, 5));
}

TEST(Frame, SizesAndRefusals) {
  EXPECT_EQ(MakeFrame(0, 0, 0x7D, {}).size(), 9u);
  EXPECT_EQ(MakeFrame(0, 0, 0x7D, Bytes(255, 0xAA)).size(), 264u);
  uint8_t small[20];
  Bytes payload(12, 1);
  EXPECT_EQ(exchange::BuildFrame(small, sizeof small, 0, 0, 1, payload.data(), payload.size()), 0u);
  Bytes too_long(256, 1);
  Bytes big(300);
  EXPECT_EQ(exchange::BuildFrame(big.data(), big.size(), 0, 0, 1, too_long.data(), too_long.size()), 0u);
}

class DebugCapture {
 public:
  DebugCapture() {
    platform::SetDebugObserver([this](std::string_view line) { lines.emplace_back(line); });
  }
  ~DebugCapture() { platform::SetDebugObserver({}); }
  std::vector<std::string> lines;
};

TEST(Acceptance, AcceptsOnlyWellFormedFramesForTheComputer) {
  DebugCapture debug;
  Bytes good = MakeFrame(0, 7, 0x7D, Bytes(40, 0x11));
  EXPECT_EQ(exchange::CheckFrame(good.data(), good.size()), exchange::FrameVerdict::kAccepted);

  Bytes empty = MakeFrame(0, 7, 0x7D, {});
  EXPECT_EQ(exchange::CheckFrame(empty.data(), empty.size()), exchange::FrameVerdict::kAccepted);

  Bytes other_dest = MakeFrame(8, 7, 0x7D, Bytes(4, 1));
  EXPECT_EQ(exchange::CheckFrame(other_dest.data(), other_dest.size()),
            exchange::FrameVerdict::kNotForComputer);

  Bytes bad_crc = good;
  bad_crc[bad_crc.size() - 3] ^= 0x01;
  EXPECT_EQ(exchange::CheckFrame(bad_crc.data(), bad_crc.size()), exchange::FrameVerdict::kBadCrc);

  Bytes bad_end = good;
  bad_end.back() = 0x0A;
  EXPECT_EQ(exchange::CheckFrame(bad_end.data(), bad_end.size()), exchange::FrameVerdict::kBadEnd);
  EXPECT_TRUE(debug.lines.empty()) << "only a size mismatch is reported";

  Bytes bad_len = good;
  bad_len[5] = 39;
  EXPECT_EQ(exchange::CheckFrame(bad_len.data(), bad_len.size()), exchange::FrameVerdict::kBadSize);
  ASSERT_EQ(debug.lines.size(), 1u);
  EXPECT_EQ(debug.lines[0], "invalid packet size, discard it! whole length: 49, the data length: 39");
}

TEST(Acceptance, ShortestCandidatesAreRefusedWithoutReadingPastThem) {
  DebugCapture debug;
  const uint8_t four[] = {0x5E, 0x02, 0x00, 0x5E};  // a 5E 02 00 candidate whose 0D was cut off
  EXPECT_EQ(exchange::CheckFrame(four, 4), exchange::FrameVerdict::kBadSize);
  EXPECT_EQ(debug.lines.at(0), "invalid packet size, discard it! whole length: 4, the data length: 0");
  const uint8_t markers[] = {0x5E, 0x02, 0x5E, 0x0D};
  EXPECT_EQ(exchange::CheckFrame(markers, 4), exchange::FrameVerdict::kNotForComputer);
  EXPECT_EQ(exchange::CheckFrame(markers, 1), exchange::FrameVerdict::kNotForComputer);
}

// The robot's side reads the length byte: what it finds, and where, in the streams it may receive.
TEST(Frame, TheRobotFindsFramesByTheirLength) {
  const Bytes f = MakeFrame(1, 0, 0x15, {0x5E, 0x0D, 0x01});  // a payload holding an end marker
  Bytes bad_crc = f;
  bad_crc[bad_crc.size() - 3] ^= 1;
  auto cat = [](std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
  };
  const Bytes partial(f.begin(), f.end() - 1);
  struct Case {
    const char* what;
    Bytes bytes;
    exchange::ScanResult result;
    std::size_t start, length;
  } cases[] = {
      {"whole, end marker in the payload", f, exchange::ScanResult::kWhole, 0, f.size()},
      {"after odd garbage", cat({{1, 2, 3}, f}), exchange::ScanResult::kWhole, 3, f.size()},
      {"a bad CRC is skipped", cat({bad_crc, f}), exchange::ScanResult::kWhole, f.size(), f.size()},
      {"not all here", cat({{7}, partial}), exchange::ScanResult::kNeedMore, 1, 0},
      {"a header not all here", {0x5E, 0x02, 1, 0}, exchange::ScanResult::kNeedMore, 0, 0},
      {"half a start marker kept", {9, 9, 0x5E}, exchange::ScanResult::kNeedMore, 2, 0},
      {"nothing", {0x5E, 0x0D, 0x02, 1}, exchange::ScanResult::kNone, 4, 0},
      {"empty", {}, exchange::ScanResult::kNone, 0, 0},
  };
  for (const Case& c : cases) {
    const exchange::FrameScan scan = exchange::ScanForFrame(c.bytes.data(), c.bytes.size());
    EXPECT_EQ(scan.result, c.result) << c.what;
    EXPECT_EQ(scan.start, c.start) << c.what;
    EXPECT_EQ(scan.length, c.length) << c.what;
  }
}

}  // namespace
