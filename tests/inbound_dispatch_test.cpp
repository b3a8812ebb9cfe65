#include "relay/link/inbound_dispatch.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "exchange/adpcm.h"
#include "exchange/frame.h"
#include "platform/process.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Hooks : relay::InboundHooks {
  int answers = 0, acks = 0, flow = 0;
  void OnKeepAliveAnswer() override { ++answers; }
  void SendAcknowledgement() override { ++acks; }
  void OnVoiceFlowControl() override { ++flow; }
};

class DispatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    robot_ = "D" + std::to_string(platform::ProcessId()) +
             ::testing::UnitTest::GetInstance()->current_test_info()->name();
    ASSERT_EQ(producers_.standard_sensor.Open(robot_, exchange::SectionId::kStandardSensor),
              platform::Status::kOk);
    ASSERT_EQ(producers_.motor_sensor.Open(robot_, exchange::SectionId::kMotorSensor), platform::Status::kOk);
    ASSERT_EQ(producers_.custom_sensor.Open(robot_, exchange::SectionId::kCustomSensor),
              platform::Status::kOk);
    ASSERT_EQ(producers_.image.Open(robot_, exchange::SectionId::kImage), platform::Status::kOk);
    ASSERT_EQ(producers_.audio.Open(robot_, exchange::SectionId::kAudio), platform::Status::kOk);
    for (auto id :
         {exchange::SectionId::kStandardSensor, exchange::SectionId::kMotorSensor,
          exchange::SectionId::kCustomSensor, exchange::SectionId::kImage, exchange::SectionId::kAudio})
      ASSERT_EQ(consumer(id).Open(robot_, id), platform::Status::kOk);
    dispatch_.SetProducers(&producers_);
  }

  exchange::CRingConsumer& consumer(exchange::SectionId id) { return consumers_[static_cast<int>(id)]; }

  void Send(uint8_t type, const Bytes& payload) {
    Bytes f(exchange::kMaxFrame);
    f.resize(exchange::BuildFrame(f.data(), f.size(), 0, 0, type, payload.data(), payload.size()));
    dispatch_.Dispatch(f.data(), f.size());
  }

  Bytes ImagePacket(uint8_t index, std::size_t n, uint8_t fill) {
    Bytes p(n, fill);
    p[0] = index;
    return p;
  }

  std::string robot_;
  Hooks hooks_;
  relay::CInboundDispatch dispatch_{hooks_};
  relay::RelayProducers producers_;
  exchange::CRingConsumer consumers_[7];
};

TEST_F(DispatchTest, SensorPayloadsLandUnchangedInTheirSections) {
  Bytes standard(40), second(44), motor(33), custom(37);
  for (std::size_t i = 0; i < standard.size(); ++i) standard[i] = static_cast<uint8_t>(i);
  for (std::size_t i = 0; i < second.size(); ++i) second[i] = static_cast<uint8_t>(100 + i);
  for (std::size_t i = 0; i < motor.size(); ++i) motor[i] = static_cast<uint8_t>(200 - i);
  for (std::size_t i = 0; i < custom.size(); ++i) custom[i] = static_cast<uint8_t>(i * 3);
  Send(0x7D, standard);
  Send(0x7F, second);
  Send(0x7B, motor);
  Send(0x7C, custom);
  Send(0x7D, Bytes(51, 1));  // longer than the slot: refused and lost

  auto record = [](exchange::RingRecord r) { return r ? Bytes(r.data(), r.data() + r.size()) : Bytes{0xEE}; };
  EXPECT_EQ(record(consumer(exchange::SectionId::kStandardSensor).Take()), standard);
  EXPECT_EQ(record(consumer(exchange::SectionId::kStandardSensor).Take()), second);
  EXPECT_FALSE(consumer(exchange::SectionId::kStandardSensor).Take());
  EXPECT_EQ(record(consumer(exchange::SectionId::kMotorSensor).Take()), motor);
  EXPECT_EQ(record(consumer(exchange::SectionId::kCustomSensor).Take()), custom);
}

TEST_F(DispatchTest, ImageIsReassembledWithItsHeader) {
  Send(0x09, ImagePacket(0, 10, 0xA0));
  Send(0x09, ImagePacket(1, 20, 0xA1));
  Send(0x09, ImagePacket(2, 30, 0xA2));
  Bytes last = {0xFF, 0x12, 0x34, 0xA3, 0xA3};
  Send(0x09, last);
  exchange::RingRecord r = consumer(exchange::SectionId::kImage).Take();
  ASSERT_TRUE(r);
  ASSERT_EQ(r.length, 7u + 9 + 19 + 29 + 2);
  EXPECT_EQ(r.data()[0], 1);
  EXPECT_EQ(r.data()[1], 0x12);
  EXPECT_EQ(r.data()[2], 0x34);
  uint32_t m;
  std::memcpy(&m, r.data() + 3, 4);
  EXPECT_EQ(m, 59u);
  EXPECT_EQ(r.data()[7], 0xA0);
  EXPECT_EQ(r.data()[7 + 9], 0xA1);
  EXPECT_EQ(r.data()[7 + 28], 0xA2);
  EXPECT_EQ(r.data()[7 + 57], 0xA3);
}

TEST_F(DispatchTest, GapsLateFirstPacketsAndOversizedImagesAreDropped) {
  auto& images = consumer(exchange::SectionId::kImage);
  // A gap: 0, 2, 255 gives nothing; the next clean image is published.
  Send(0x09, ImagePacket(0, 5, 1));
  Send(0x09, ImagePacket(2, 5, 2));
  Send(0x09, ImagePacket(255, 5, 3));
  EXPECT_FALSE(images.Take());
  Send(0x09, ImagePacket(0, 5, 4));
  Send(0x09, ImagePacket(1, 5, 5));
  Send(0x09, ImagePacket(255, 4, 6));
  exchange::RingRecord r = images.Take();
  ASSERT_TRUE(r);
  EXPECT_EQ(r.length, 7u + 4 + 4 + 1);

  // Following and last packets before any first packet are ignored.
  Send(0x09, ImagePacket(1, 5, 7));
  Send(0x09, ImagePacket(255, 5, 7));
  EXPECT_FALSE(images.Take());

  // A first packet whose image never ended: the next first packet starts afresh.
  Send(0x09, ImagePacket(0, 100, 8));
  Send(0x09, ImagePacket(0, 3, 9));
  Send(0x09, ImagePacket(255, 3, 0));
  r = images.Take();
  ASSERT_TRUE(r);
  EXPECT_EQ(r.length, 7u + 2);
  EXPECT_EQ(r.data()[7], 9);

  // 18000 image bytes or more are never published, and the buffer is never overrun.
  Send(0x09, ImagePacket(0, 255, 1));
  for (int i = 1; i <= 80; ++i) Send(0x09, ImagePacket(static_cast<uint8_t>(i), 255, 1));
  Send(0x09, ImagePacket(255, 3, 0));
  EXPECT_FALSE(images.Take());
}

TEST_F(DispatchTest, VoicePacketsAreDecodedIntoSegmentsOfTheSetLength) {
  auto& audio = consumer(exchange::SectionId::kAudio);
  Bytes packets[9];
  exchange::AdpcmState reference;
  std::vector<int16_t> expected;
  for (int k = 0; k < 9; ++k) {
    packets[k].resize(128);
    for (int i = 0; i < 128; ++i) packets[k][i] = static_cast<uint8_t>(k * 37 + i * 11);
    int16_t out[256];
    exchange::AdpcmDecode(packets[k].data(), 256, reference, out);
    expected.insert(expected.end(), out, out + 256);
  }
  for (int k = 0; k < 8; ++k) {
    EXPECT_FALSE(audio.Take()) << "no record before the eighth packet";
    Send(0x0A, packets[k]);
  }
  exchange::RingRecord r = audio.Take();
  ASSERT_TRUE(r);
  ASSERT_EQ(r.length, 4096u);
  EXPECT_EQ(0, std::memcmp(r.data(), expected.data(), 4096));
  Send(0x0A, packets[8]);
  EXPECT_FALSE(audio.Take()) << "the ninth packet starts a new segment";

  dispatch_.SetVoiceSegmentLength(-1);  // 0 or below: every packet is its own record
  Send(0x0A, Bytes(128, 0x00));
  r = audio.Take();
  ASSERT_TRUE(r);
  EXPECT_EQ(r.length, 512u + 512u) << "the half-filled segment is completed first";
  Send(0x0A, Bytes(10, 0x77));  // short packet: 20 samples decoded, the rest of the 256 is silence
  r = audio.Take();
  ASSERT_TRUE(r);
  ASSERT_EQ(r.length, 512u);
  int16_t tail;
  std::memcpy(&tail, r.data() + 510, 2);
  EXPECT_EQ(tail, 0);
}

TEST_F(DispatchTest, DecoderResetRestartsFromZero) {
  Send(0x0A, Bytes(128, 0x77));
  EXPECT_NE(dispatch_.decoder_state().index, 0);
  Send(0x33, {});
  EXPECT_EQ(dispatch_.decoder_state().index, 0);
  EXPECT_EQ(dispatch_.decoder_state().predicted, 0);
}

TEST_F(DispatchTest, LinkStatusCodesAndFlowControl) {
  Send(0xFF, {1});
  EXPECT_EQ(hooks_.answers, 1);
  EXPECT_EQ(hooks_.acks, 0) << "the keep-alive step decides on the acknowledgement itself";
  Send(0xFF, {0});
  Send(0xFF, {2});
  Send(0xFF, {3});
  EXPECT_EQ(hooks_.acks, 3);
  Send(0xFF, {0x90});
  Send(0xFF, {4});
  Send(0xFF, {});
  EXPECT_EQ(hooks_.acks, 3);
  EXPECT_EQ(hooks_.answers, 1);
  Send(0x10, {});
  EXPECT_EQ(hooks_.flow, 1);
  Send(0x0B, {4});  // a record command coming from the robot is ignored
  EXPECT_EQ(dispatch_.voice_segment_length(), 1);
}

TEST(Adpcm, EncoderAndDecoderTrackTheSameState) {
  std::vector<int16_t> tone(512);
  for (std::size_t i = 0; i < tone.size(); ++i)
    tone[i] = static_cast<int16_t>(12000.0 * __builtin_sin(static_cast<double>(i) * 0.3));
  exchange::AdpcmState enc, dec;
  std::vector<uint8_t> packed(256);
  exchange::AdpcmEncode(tone.data(), tone.size(), enc, packed.data());
  std::vector<int16_t> back(512);
  exchange::AdpcmDecode(packed.data(), back.size(), dec, back.data());
  EXPECT_EQ(enc.predicted, dec.predicted);
  EXPECT_EQ(enc.index, dec.index);
  double err = 0;
  for (std::size_t i = 100; i < tone.size(); ++i) err += std::abs(tone[i] - back[i]);
  EXPECT_LT(err / 412, 1500.0) << "a smooth tone survives the 4-bit coding closely";
}

TEST(Adpcm, FirstNibblesOfTheStandardTables) {
  // From state (0, 0): code 7 adds 7/8 + 7 + 3 + 1 = 11 (integer steps), index +8.
  exchange::AdpcmState s;
  uint8_t byte = 0x7F;  // 7 then 15 (negative, all bits)
  int16_t out[2];
  exchange::AdpcmDecode(&byte, 2, s, out);
  EXPECT_EQ(out[0], 11);
  // step table[8] = 16: d = 2 + 16 + 8 + 4 = 30, negative.
  EXPECT_EQ(out[1], 11 - 30);
  EXPECT_EQ(s.index, 16);
}

}  // namespace
