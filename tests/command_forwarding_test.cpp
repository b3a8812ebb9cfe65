// The command forwarder on its own, with the link writer on a fake transport: what each kind of
// record a client puts does on the relay's side, and what reaches the robot.
#include "relay/link/command_forwarding.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "exchange/command_ring.h"
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

// The command ring as a writer of the plain layout leaves it (length word, bytes, head), read by the
// forwarder through a view of its own.
class ForwarderOnARing : public Forwarder {
 protected:
  void SetUp() override {
    Forwarder::SetUp();
    robot_ = "Fring" + std::to_string(platform::ProcessId());
    platform::Status status = platform::Status::kOk;
    ASSERT_EQ(forwarder_.Open(robot_, status), relay::LinkStatus::kOk);
    bool created = false;
    ASSERT_EQ(platform::OpenSharedView(exchange::SectionObjectName(robot_, spec_.suffix),
                                       exchange::SectionSize(spec_.capacity, spec_.slots), raw_, created),
              platform::Status::kOk);
  }
  void TearDown() override {
    forwarder_.Close();
    Forwarder::TearDown();
  }
  uint32_t Head() {
    uint32_t head = 0;
    std::memcpy(&head, raw_.data(), 4);
    return head;
  }
  // Stores `record` with the length word `length` in slot `index`, then the head after it.
  void PutPlain(uint32_t index, uint32_t length, const Bytes& record) {
    unsigned char* slot = raw_.data() + 8 + index * (spec_.capacity + 4);
    std::memcpy(slot + 4, record.data(), record.size());
    std::memcpy(slot, &length, 4);
    const uint32_t head = (index + 1) % spec_.slots;
    std::memcpy(raw_.data(), &head, 4);
  }
  static Bytes Pwm(uint8_t v) {
    return Frame(exchange::kDestMotionBoard, exchange::kTypeDcMotorPwm, {0, v, 0});
  }

  const exchange::SectionSpec& spec_ = exchange::Spec(exchange::SectionId::kCommand);
  std::string robot_;
  platform::SharedView raw_;
};

// A client of the plain layout, stopped in the middle of a put after it read the head, stores its
// stale head when it goes on: the head moves back over records the relay has sent. A hostile one does
// it again and again.
TEST_F(ForwarderOnARing, AHeadMovedBackOverSentRecordsSendsNothingTwiceAndIsReportedOnce) {
  exchange::CCommandWriter client;
  ASSERT_EQ(client.Open(robot_), platform::Status::kOk);
  std::vector<Bytes> sent;
  for (uint8_t v = 1; v <= 5; ++v) {
    sent.push_back(Pwm(v));
    ASSERT_EQ(client.Put(sent.back().data(), static_cast<uint32_t>(sent.back().size())),
              exchange::PutStatus::kStored);
  }
  forwarder_.ForwardPending(true);
  ASSERT_EQ(line_.sent(), sent);

  for (int again = 0; again < 50; ++again) {
    const Bytes stale = Pwm(static_cast<uint8_t>(100 + again));
    PutPlain((Head() + 29) % spec_.slots, static_cast<uint32_t>(stale.size()), stale);  // three back
    sent.push_back(stale);  // a record nobody sent yet: it goes out, once
    forwarder_.ForwardPending(true);
    forwarder_.ForwardPending(true);
  }
  EXPECT_EQ(line_.sent(), sent) << "nothing again, and every record the stale writer left";
  ASSERT_EQ(ui_.notes.size(), 1u) << "said once, not for every time";
  EXPECT_NE(ui_.notes[0].find("moved back"), std::string::npos) << ui_.notes[0];

  sent.push_back(Pwm(6));  // writers go on from the head
  ASSERT_EQ(client.Put(sent.back().data(), static_cast<uint32_t>(sent.back().size())),
            exchange::PutStatus::kStored);
  forwarder_.ForwardPending(true);
  EXPECT_EQ(line_.sent(), sent);
}

// Length words a writer of the plain layout may store, none of which is a record the relay sends: the
// record after each still goes out, and nothing is taken for a sound file.
TEST_F(ForwarderOnARing, LengthWordsThatAreNoRecordNeverCostTheNextOne) {
  const uint32_t words[] = {
      0x80000000u,  // 2^31, read as a length: 100 or more, skipped
      0x80000005u, 0x9FFFFFFFu, 0xA0000000u, 0xFFFFFFFFu, 0xC0000000u,
      100,  // the smallest length a relay skips
      81,   // beyond the slot
      0,    // nothing, as a zeroed slot holds
  };
  std::vector<Bytes> sent;
  uint8_t v = 1;
  for (uint32_t word : words) {
    const uint32_t at = Head();
    PutPlain(at, word, Pwm(0xEE));
    sent.push_back(Pwm(v++));
    PutPlain((at + 1) % spec_.slots, static_cast<uint32_t>(sent.back().size()), sent.back());
    forwarder_.ForwardPending(true);
    ASSERT_EQ(line_.sent(), sent) << std::hex << "after a length word 0x" << word;
  }
  EXPECT_FALSE(audio_.Running());
  EXPECT_TRUE(ui_.notes.empty()) << ui_.notes[0];
}

// A section another process truncated comes back zeroed (head 0): the relay, reading somewhere in the
// middle of the ring, finds empty slots, which name no sound file and send nothing.
TEST_F(ForwarderOnARing, ZeroedSlotsAreNoRequests) {
  exchange::CCommandWriter client;
  ASSERT_EQ(client.Open(robot_), platform::Status::kOk);
  const Bytes pwm = Pwm(1);
  for (int i = 0; i < 7; ++i)
    ASSERT_EQ(client.Put(pwm.data(), static_cast<uint32_t>(pwm.size())), exchange::PutStatus::kStored);
  forwarder_.ForwardPending(true);
  const std::size_t before = line_.sent().size();
  std::memset(raw_.data(), 0, exchange::SectionSize(spec_.capacity, spec_.slots));
  forwarder_.ForwardPending(true);
  forwarder_.ForwardPending(true);
  EXPECT_EQ(line_.sent().size(), before);
  EXPECT_FALSE(audio_.Running());
  EXPECT_TRUE(ui_.notes.empty()) << ui_.notes[0];

  // A client's empty record is a request all the same: it ends the sound being played.
  const std::string path = WriteWav(40000);
  ASSERT_EQ(client.Put(reinterpret_cast<const uint8_t*>(path.data()), static_cast<uint32_t>(path.size())),
            exchange::PutStatus::kStored);
  forwarder_.ForwardPending(true);
  ASSERT_TRUE(audio_.Running());
  ASSERT_EQ(client.Put(nullptr, 0), exchange::PutStatus::kStored);
  forwarder_.ForwardPending(true);
  EXPECT_FALSE(audio_.Running());
  ::unlink(path.c_str());
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
