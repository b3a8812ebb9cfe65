// Every command a client puts reaches the robot once and in order, at any rate: a relay linked to
// the simulated robot over UDP, and a control in the same process putting servo commands.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "control/control.h"
#include "exchange/command_ring.h"
#include "link_test_support.h"
#include "platform/clock.h"

namespace {

using testing_support::LinkedRobotFixture;
using testing_support::UniqueRobot;
using testing_support::WaitUntil;

constexpr uint8_t kServoType = 0x1C;

class CommandDelivery : public LinkedRobotFixture {
 protected:
  void SetUp() override {
    Connect(UniqueRobot("cmd"));
    control_.connectRobot(robot_);
    ASSERT_TRUE(control_.connected());
  }
  // The values of the servo commands the robot received, in arrival order.
  std::vector<int> ServoValues() {
    std::vector<int> values;
    for (const auto& f : sim_->robot().ReceivedFrames())
      if (f.size() == 12 && f[4] == kServoType) values.push_back(f[7] | f[8] << 8);
    return values;
  }
  // `count` commands of the values 1000, 1001, ... were put: each arrives once, in order. One more
  // put after them arrives behind them, and by then a duplicate of any of them would have too.
  void ExpectAllInOrder(int count) {
    std::vector<int> expected;
    for (int i = 0; i < count; ++i) expected.push_back(1000 + i);
    expected.push_back(kLast);
    control_.servoNonTimeCtr(0, kLast);
    auto last_arrived = [&] {
      const std::vector<int> values = ServoValues();
      return !values.empty() && values.back() == kLast;
    };
    ASSERT_TRUE(WaitUntil(last_arrived)) << ServoValues().size() << " of " << count + 1 << " arrived";
    EXPECT_EQ(ServoValues(), expected);
  }
  static constexpr int16_t kLast = 999;

  control::CZembrinSDKControlCtrl control_;
};

TEST_F(CommandDelivery, ATightLoopOfCommandsArrivesWhole) {
  for (int i = 0; i < 120; ++i) control_.servoNonTimeCtr(0, static_cast<int16_t>(1000 + i));
  ExpectAllInOrder(120);
}

TEST_F(CommandDelivery, ABurstOfExactlyOneRingArrivesWhole) {
  // 32 records once made the head come round to the relay's read index: the ring looked empty.
  for (int i = 0; i < 32; ++i) control_.servoNonTimeCtr(0, static_cast<int16_t>(1000 + i));
  ExpectAllInOrder(32);
}

TEST_F(CommandDelivery, CommandsPacedAtAHundredASecondArriveWhole) {
  for (int i = 0; i < 200; ++i) {
    control_.servoNonTimeCtr(0, static_cast<int16_t>(1000 + i));
    platform::Sleep(10);  // the pace under test
  }
  ExpectAllInOrder(200);
}

TEST_F(CommandDelivery, TwoWritersAtOnceLoseNothing) {
  control::CZembrinSDKControlCtrl second;
  second.connectRobot(robot_);
  std::thread other([&] {
    for (int i = 0; i < 100; ++i) second.servoNonTimeCtr(1, static_cast<int16_t>(3000 + i));
  });
  for (int i = 0; i < 100; ++i) control_.servoNonTimeCtr(0, static_cast<int16_t>(1000 + i));
  other.join();
  ASSERT_TRUE(WaitUntil([&] { return ServoValues().size() >= 200; })) << ServoValues().size();
  std::vector<int> first_writer, second_writer;
  for (int v : ServoValues()) (v < 3000 ? first_writer : second_writer).push_back(v);
  ASSERT_EQ(first_writer.size(), 100u);
  ASSERT_EQ(second_writer.size(), 100u);
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(first_writer[i], 1000 + i);
    EXPECT_EQ(second_writer[i], 3000 + i);
  }
}

TEST_F(CommandDelivery, ARelayThatStopsForwardingWithdrawsItsMark) {
  platform::SharedView view;
  ASSERT_EQ(testing_support::MapCommandSection(robot_, view), platform::Status::kOk);
  auto mark = [&] { return std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(view.data() + 4)).load(); };
  EXPECT_NE(mark() & exchange::kMarkForwarding, 0u) << "published while the link forwards";
  link_->RequestStop();
  link_->WaitForConnectionThread();
  EXPECT_EQ(mark(), 0u) << "withdrawn: writers no longer wait for a full ring";
  // Nobody forwards now: the ring is written as it always was, over its oldest records, every put
  // stored at once however many there are.
  const exchange::SectionSpec& spec = exchange::Spec(exchange::SectionId::kCommand);
  exchange::CCommandWriter writer;
  ASSERT_EQ(writer.Open(robot_), platform::Status::kOk);
  const uint32_t start = platform::TickCount();
  for (uint32_t i = 0; i <= spec.slots; ++i) {
    const uint8_t record = static_cast<uint8_t>(i);
    ASSERT_EQ(writer.Put(&record, 1), exchange::PutStatus::kStored) << i;
  }
  EXPECT_LT(platform::TickElapsed(platform::TickCount(), start), exchange::kPutWaitMs) << "no put waited";
}

TEST_F(CommandDelivery, AClientCanTellWhetherARelayServesTheNameAndItsLinkIsUp) {
  using State = exchange::RelayState;
  EXPECT_TRUE(WaitUntil([&] { return control_.relay_state() == State::kLinkUp; }))
      << "published on the next pass";
  // A robot that stops answering is no longer shown up after two missed answers, long before the
  // relay gives the link up (five), and is shown up again at its next answer.
  sim_->robot().SetSilent(true);
  EXPECT_TRUE(WaitUntil([&] { return control_.relay_state() == State::kForwarding; }))
      << "after two missed keep-alive answers";
  EXPECT_FALSE(ui_->Has("icon:140")) << "the link is not lost yet";
  sim_->robot().SetSilent(false);
  EXPECT_TRUE(WaitUntil([&] { return control_.relay_state() == State::kLinkUp; }));
  control::CZembrinSDKControlCtrl stranger;
  stranger.connectRobot(robot_ + "Nobody");
  EXPECT_EQ(stranger.relay_state(), State::kNoRelay) << "no relay serves that name";
  link_->RequestStop();
  link_->WaitForConnectionThread();
  EXPECT_EQ(control_.relay_state(), State::kNotForwarding)
      << "the relay still holds the name, its link has ended";
  link_.reset();
  EXPECT_EQ(control_.relay_state(), State::kNoRelay);
}

}  // namespace
