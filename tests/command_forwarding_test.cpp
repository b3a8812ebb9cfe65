// The command forwarder on its own, with the link writer on a fake transport: what each kind of
// record a client puts does on the relay's side, and what reaches the robot.
#include "relay/link/command_forwarding.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "exchange/frame.h"
#include "exchange/protocol.h"
#include "exchange/sections.h"
#include "exchange/wave_file.h"
#include "fake_transport.h"
#include "platform/process.h"
#include "relay/link/link_events.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct NoHooks : relay::InboundHooks {
  void OnKeepAliveAnswer() override {}
  void SendAcknowledgement() override {}
  void OnVoiceFlowControl() override {}
};

Bytes Frame(uint8_t dest, uint8_t type, const Bytes& payload) {
  Bytes f(exchange::kMaxFrame);
  f.resize(exchange::BuildFrame(f.data(), f.size(), dest, 0, type, payload.data(), payload.size()));
  return f;
}

// A mono 16-bit file of `count` samples of a slow ramp.
std::string WriteWav(std::size_t count) {
  const std::string path = (std::filesystem::temp_directory_path() /
                            ("trevask-forwarder-" + std::to_string(platform::ProcessId()) + ".wav"))
                               .string();
  std::vector<int16_t> samples(count);
  for (std::size_t i = 0; i < count; ++i) samples[i] = static_cast<int16_t>(i * 7);
  exchange::WriteWaveFile(path, samples);
  return path;
}

class Forwarder : public ::testing::Test {
 protected:
  void SetUp() override {
    line_.SetAnswering(false);
    ASSERT_TRUE(line_.OpenLink({}));
    writer_.Use(&line_);
  }
  void TearDown() override { audio_.Stop(); }
  // Hands the forwarder one slot holding `record`, with the length word `length` (the record's size
  // unless given).
  void Handle(const Bytes& record, uint32_t length = 0, uint32_t capacity = 80) {
    std::vector<uint8_t> slot(capacity, 0);
    std::memcpy(slot.data(), record.data(), std::min<std::size_t>(record.size(), capacity));
    forwarder_.HandleRecord(slot.data(), length != 0 ? length : static_cast<uint32_t>(record.size()),
                            capacity);
  }
  std::vector<Bytes> SentOfType(uint8_t type) {
    std::vector<Bytes> out;
    for (const auto& f : line_.sent())
      if (f.size() > exchange::kOffDataType && f[exchange::kOffDataType] == type) out.push_back(f);
    return out;
  }

  testing_support::FakeTransport line_;
  relay::LinkStats stats_;
  relay::CLinkWriter writer_{stats_};
  NoHooks hooks_;
  relay::CInboundDispatch dispatch_{hooks_};
  struct NoticeUi : relay::NullLinkEvents {
    void Message(relay::MessageKind, const std::string& text) override { notes.push_back(text); }
    std::vector<std::string> notes;
  } ui_;
  relay::CAudioUpload audio_{writer_, ui_};
  relay::CCommandForwarder forwarder_{writer_, dispatch_, audio_, ui_};
};

TEST_F(Forwarder, RecordAndStopCommandsActOnTheRelayAndStillReachTheRobotUnchanged) {
  const Bytes four = Frame(exchange::kDestMultimediaBoard, exchange::kTypeRecordStart, {4});
  Handle(four);
  EXPECT_EQ(dispatch_.voice_segment_length(), 4);
  Handle(Frame(exchange::kDestMultimediaBoard, exchange::kTypeRecordStart, {0xFF}));
  EXPECT_EQ(dispatch_.voice_segment_length(), -1) << "the payload is a signed count";

  const std::string path = WriteWav(40000);
  Handle(Bytes(path.begin(), path.end()));
  EXPECT_TRUE(audio_.Running());
  ASSERT_EQ(SentOfType(exchange::kTypeAudioAnnouncement).size(), 1u);

  const Bytes stop = Frame(exchange::kDestMultimediaBoard, exchange::kTypeAudioStop, {});
  Handle(stop);
  EXPECT_FALSE(audio_.Running()) << "the stop command ends the upload";
  ASSERT_EQ(SentOfType(exchange::kTypeRecordStart).size(), 2u);
  EXPECT_EQ(SentOfType(exchange::kTypeRecordStart)[0], four);
  ASSERT_EQ(SentOfType(exchange::kTypeAudioStop).size(), 1u);
  EXPECT_EQ(SentOfType(exchange::kTypeAudioStop)[0], stop);
  EXPECT_EQ(stats_.bytes_out(), [&] {
    uint64_t n = 0;
    for (const auto& f : line_.sent()) n += f.size();
    return n;
  }()) << "everything sent is counted";
  ::unlink(path.c_str());
}

TEST_F(Forwarder, LengthWordsOf100OrBeyondTheSlotSendNothing) {
  const Bytes pwm = Frame(exchange::kDestMotionBoard, exchange::kTypeDcMotorPwm, {0x02, 0x2C, 0x01});
  Handle(pwm, 100, 120);
  Handle(pwm, 81, 80);
  EXPECT_TRUE(line_.sent().empty());
  EXPECT_FALSE(audio_.Running()) << "nor is a skipped record taken for a file name";
  Handle(pwm, 99, 120);  // within the slot: the whole length word goes out, as the client wrote it
  ASSERT_EQ(line_.sent().size(), 1u);
  EXPECT_EQ(line_.sent()[0].size(), 99u);
}

// A client that writes the plain layout, stopped in the middle of a put after it read the head, stores
// its stale head when it goes on: the head moves back over records the relay has sent.
TEST_F(Forwarder, AHeadMovedBackOverSentRecordsSendsNothingTwice) {
  const std::string robot = "Fback" + std::to_string(platform::ProcessId());
  platform::ShmStatus status = platform::ShmStatus::kOk;
  ASSERT_EQ(forwarder_.Open(robot, status), relay::CCommandForwarder::OpenResult::kOk);
  exchange::CRingProducer client;
  ASSERT_EQ(client.Open(robot, exchange::SectionId::kCommand), platform::ShmStatus::kOk);
  auto pwm = [](uint8_t v) {
    return Frame(exchange::kDestMotionBoard, exchange::kTypeDcMotorPwm, {0, v, 0});
  };
  std::vector<Bytes> sent;
  for (uint8_t v = 1; v <= 5; ++v) {
    sent.push_back(pwm(v));
    ASSERT_EQ(client.PutPaced(sent.back().data(), static_cast<uint32_t>(sent.back().size())), 1);
  }
  forwarder_.ForwardPending(true);
  ASSERT_EQ(line_.sent(), sent);

  const exchange::SectionSpec& spec = exchange::Spec(exchange::SectionId::kCommand);
  platform::SharedView raw;
  bool created = false;
  ASSERT_EQ(platform::OpenSharedView(exchange::SectionObjectName(robot, spec.suffix),
                                     exchange::SectionSize(spec.capacity, spec.slots), raw, created),
            platform::ShmStatus::kOk);
  const Bytes stale = pwm(111);
  unsigned char* slot2 = raw.data() + 8 + 2 * (spec.capacity + 4);
  const uint32_t len = static_cast<uint32_t>(stale.size()), head = 3;
  std::memcpy(slot2, &len, 4);
  std::memcpy(slot2 + 4, stale.data(), stale.size());
  std::memcpy(raw.data(), &head, 4);
  forwarder_.ForwardPending(true);
  EXPECT_EQ(line_.sent(), sent) << "nothing again, and nothing of the writer that stored a stale head";
  ASSERT_EQ(ui_.notes.size(), 1u);
  EXPECT_NE(ui_.notes[0].find("stale head"), std::string::npos) << ui_.notes[0];

  sent.push_back(pwm(6));  // writers go on from the head the relay starts over at
  ASSERT_EQ(client.PutPaced(sent.back().data(), static_cast<uint32_t>(sent.back().size())), 1);
  forwarder_.ForwardPending(true);
  EXPECT_EQ(line_.sent(), sent);
  forwarder_.Close();
}

TEST_F(Forwarder, AContinuationSendsNoSecondAnnouncement) {
  const std::string path = WriteWav(600);
  Handle(Bytes(path.begin(), path.end()));
  const std::string again = path + "EOF";
  Handle(Bytes(again.begin(), again.end()));
  audio_.Stop();
  EXPECT_EQ(SentOfType(exchange::kTypeAudioAnnouncement).size(), 1u);
  ::unlink(path.c_str());
}

}  // namespace
