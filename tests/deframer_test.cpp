#include "exchange/deframer.h"

#include <gtest/gtest.h>

#include <vector>

#include "exchange/frame.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Recorder : exchange::FrameSink {
  std::vector<Bytes> frames;
  void HandleFrame(const uint8_t* frame, std::size_t length) override {
    frames.emplace_back(frame, frame + length);
  }
};

Bytes MakeFrame(uint8_t seq, const Bytes& payload, uint8_t type = 0x7D) {
  Bytes out(exchange::kMaxFrame);
  out.resize(exchange::BuildFrame(out.data(), out.size(), 0, seq, type, payload.data(), payload.size()));
  return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

void Feed(exchange::CDeframer& d, Recorder& r, const Bytes& bytes) {
  d.FeedBytes(bytes.data(), bytes.size(), r);
}

TEST(Deframer, FrameSplitAtEveryPositionIsDeliveredOnceAndWhole) {
  Bytes frame = MakeFrame(3, {1, 2, 3, 4, 5, 6, 7, 8});
  for (std::size_t cut = 0; cut <= frame.size(); ++cut) {
    exchange::CDeframer d;
    Recorder r;
    Feed(d, r, Bytes(frame.begin(), frame.begin() + cut));
    Feed(d, r, Bytes(frame.begin() + cut, frame.end()));
    ASSERT_EQ(r.frames.size(), 1u) << "cut at " << cut;
    EXPECT_EQ(r.frames[0], frame);
    EXPECT_EQ(d.fill(), 0u);
  }
}

TEST(Deframer, BackToBackFramesInOrderAndGarbageBeforeTheFirstSkipped) {
  Bytes a = MakeFrame(1, {0xAA}), b = MakeFrame(2, {0xBB, 0xBC}), c = MakeFrame(3, {});
  exchange::CDeframer d;
  Recorder r;
  Feed(d, r, Cat({Bytes{0x01, 0x02, 0x03}, a, b, c}));
  ASSERT_EQ(r.frames.size(), 3u);
  EXPECT_EQ(r.frames[0], a);
  EXPECT_EQ(r.frames[1], b);
  EXPECT_EQ(r.frames[2], c);
  EXPECT_EQ(d.fill(), 0u);
}

TEST(Deframer, LoneFinalMarkerIsKeptOtherwiseTheBufferEmpties) {
  exchange::CDeframer d;
  Recorder r;
  Feed(d, r, {0x10, 0x20, 0x5E});
  EXPECT_EQ(d.fill(), 1u);
  EXPECT_EQ(d.buffer()[0], 0x5E);
  Bytes frame = MakeFrame(9, {4, 5});
  Feed(d, r, Bytes(frame.begin() + 1, frame.end()));  // the rest of a frame whose 5E came earlier
  ASSERT_EQ(r.frames.size(), 1u);
  EXPECT_EQ(r.frames[0], frame);

  Feed(d, r, {0x10, 0x20, 0x30});
  EXPECT_EQ(d.fill(), 0u);
}

TEST(Deframer, StartMarkerAloneAtTheEndLeavesEverythingInPlace) {
  exchange::CDeframer d;
  Recorder r;
  Feed(d, r, {0x44, 0x45, 0x5E, 0x02});
  EXPECT_EQ(d.fill(), 4u) << "not even the bytes in front of the marker are dropped";
  Bytes frame = MakeFrame(1, {7});
  Feed(d, r, Bytes(frame.begin() + 2, frame.end()));
  ASSERT_EQ(r.frames.size(), 1u);
  EXPECT_EQ(r.frames[0], frame);
}

TEST(Deframer, OddGapBetweenFramesLosesTheSecondEvenGapDoesNot) {
  Bytes a = MakeFrame(1, {1}), b = MakeFrame(2, {2});
  {
    exchange::CDeframer d;
    Recorder r;
    Feed(d, r, Cat({a, Bytes{0x77}, b}));
    ASSERT_EQ(r.frames.size(), 1u);
    EXPECT_EQ(r.frames[0], a);
    EXPECT_EQ(d.fill(), 0u);
  }
  {
    exchange::CDeframer d;
    Recorder r;
    Feed(d, r, Cat({a, Bytes{0x77}, b, Bytes{0x33, 0x5E}}));
    EXPECT_EQ(r.frames.size(), 1u);
    EXPECT_EQ(d.fill(), 1u) << "a final 5E is still kept";
  }
  {
    exchange::CDeframer d;
    Recorder r;
    Feed(d, r, Cat({a, Bytes{0x77, 0x78}, b}));
    ASSERT_EQ(r.frames.size(), 2u);
    EXPECT_EQ(r.frames[1], b);
  }
}

TEST(Deframer, PayloadHoldingEndMarkerIsCutShortAndTheRestSkipped) {
  Bytes bad = MakeFrame(1, {0x01, 0x5E, 0x0D, 0x02, 0x03});
  Bytes next = MakeFrame(2, {0x09});
  exchange::CDeframer d;
  Recorder r;
  Feed(d, r, Cat({bad, next}));
  ASSERT_GE(r.frames.size(), 1u);
  EXPECT_EQ(r.frames[0], Bytes(bad.begin(), bad.begin() + 9)) << "cut at the 5E 0D inside the payload";
  // The remainder (02 03 crc 5E 0D: five bytes, odd) is treated as bytes between frames.
  EXPECT_EQ(r.frames.size(), 1u);
}

TEST(Deframer, OverflowDropsTheBufferedBytes) {
  exchange::CDeframer d;
  Recorder r;
  Bytes unfinished = Cat({Bytes{0x5E, 0x02}, Bytes(2998, 0x11)});
  Feed(d, r, unfinished);
  EXPECT_EQ(d.fill(), 3000u);
  Bytes frame = MakeFrame(5, Bytes(91, 0x22));
  ASSERT_EQ(frame.size(), 100u);
  Feed(d, r, frame);
  ASSERT_EQ(r.frames.size(), 1u);
  EXPECT_EQ(r.frames[0], frame) << "the 100 bytes start the buffer afresh";
  EXPECT_EQ(d.fill(), 0u);
}

TEST(Deframer, ChunkLargerThanTheBufferNeverOverrunsItAndKeepsWholeFrames) {
  Bytes datagram;
  std::vector<Bytes> sent;
  for (uint8_t seq = 0; datagram.size() + 60 <= 4096; ++seq) {
    sent.push_back(MakeFrame(seq, Bytes(50, seq)));
    datagram.insert(datagram.end(), sent.back().begin(), sent.back().end());
  }
  datagram.resize(4096, 0x00);
  exchange::CDeframer d;
  Recorder r;
  Feed(d, r, datagram);
  EXPECT_EQ(r.frames, sent);
  EXPECT_LT(d.fill(), exchange::CDeframer::kBufferSize);

  // Arbitrary bytes of any size never write outside the buffer (the sanitizer build checks).
  Bytes noise(10000);
  uint32_t x = 99;
  for (auto& v : noise) v = ((x = x * 1664525u + 1013904223u) >> 24) % 3 == 0 ? 0x5E : (x >> 8) & 0xFF;
  for (std::size_t step : {1u, 7u, 263u, 3071u, 3072u, 10000u}) {
    for (std::size_t at = 0; at < noise.size(); at += step)
      d.FeedBytes(noise.data() + at, std::min(step, noise.size() - at), r);
    EXPECT_LT(d.fill(), exchange::CDeframer::kBufferSize);
  }
}

}  // namespace
