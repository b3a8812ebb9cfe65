// The link's connect, loss, reconnect, give-up and close paths, driven through a fake transport:
// no sockets, no lines, the suite's time scale.
#include <gtest/gtest.h>

#include <memory>

#include "fake_transport.h"
#include "link_test_support.h"

namespace {

using testing_support::FakeTransport;
using testing_support::RecordingUi;
using testing_support::UniqueRobot;
using testing_support::WaitUntil;

relay::LinkConfig Serial(const std::string& tag) {
  relay::LinkConfig c;
  c.kind = relay::LinkKind::kSerial;
  c.com_port = 3;
  c.robot_id = UniqueRobot(tag);
  return c;
}

// A link manager on the fake, started; the fake and the recording front end outlive it.
struct FakeLinked {
  explicit FakeLinked(relay::LinkConfig choices) : ui(std::move(choices)) {}
  bool Start() {
    link = std::make_unique<relay::CLinkManager>(ui);
    ui.Attach(link.get());
    link->SetTransport(&fake);
    return link->StartConnection();
  }
  void Stop() {
    link->RequestStop();
    link->WaitForConnectionThread();
  }
  FakeTransport fake;
  RecordingUi ui;
  std::unique_ptr<relay::CLinkManager> link;
};

TEST(FakeLink, ConnectsOnTheFirstAnswerAndClosesOnceOnStop) {
  FakeLinked t(Serial("fk1"));
  ASSERT_TRUE(t.Start());
  ASSERT_TRUE(WaitUntil([&] { return t.ui.Has("status:Serial Cable: Connected, COM Port: 3"); }));
  EXPECT_EQ(t.fake.opens(), 1);
  EXPECT_EQ(t.ui.Count("minimize"), 1);
  t.Stop();
  EXPECT_EQ(t.fake.closes(), 1) << "the line is closed once when the link ends";
  EXPECT_FALSE(t.link->GaveUp());
  t.link.reset();
  EXPECT_EQ(t.fake.closes(), 1) << "and not again at teardown";
}

TEST(FakeLink, ASilentRobotLosesTheLinkWhichComesBackWhenItAnswersAgain) {
  FakeLinked t(Serial("fk2"));
  FakeTransport& fake = t.fake;
  RecordingUi& ui = t.ui;
  ASSERT_TRUE(t.Start());
  ASSERT_TRUE(WaitUntil([&] { return ui.Has("icon:141"); }));
  fake.SetAnswering(false);
  ASSERT_TRUE(
      WaitUntil([&] { return ui.Has("status:Serial Cable Connection down, retry 2 seconds after!"); }));
  // The quality bar went down one step per missed answer before the loss.
  for (const char* bar : {"bar:4", "bar:3", "bar:2", "bar:1", "bar:0"}) EXPECT_TRUE(ui.Has(bar)) << bar;
  EXPECT_TRUE(ui.Has("icon:140"));
  fake.SetAnswering(true);
  ASSERT_TRUE(WaitUntil([&] { return fake.opens() == 2 && ui.Count("icon:141") >= 2; }));
  EXPECT_EQ(fake.closes(), 1) << "closed after the loss, opened again";
  t.Stop();
  EXPECT_FALSE(t.link->GaveUp());
}

TEST(FakeLink, FiveRefusedOpensGiveUpASerialLink) {
  FakeLinked t(Serial("fk3"));
  FakeTransport& fake = t.fake;
  RecordingUi& ui = t.ui;
  fake.RefuseOpens(100);
  ASSERT_TRUE(t.Start());
  ASSERT_TRUE(WaitUntil([&] { return !t.link->ConnectionRunning(); }));
  EXPECT_TRUE(t.link->GaveUp());
  EXPECT_EQ(fake.opens(), 5);
  EXPECT_EQ(ui.Count("note:the fake refused"), 5);
  EXPECT_EQ(ui.Count("message:COM port 3 can't be opened for communication!\n"), 1);
  EXPECT_EQ(fake.keep_alives_sent(), 0);
}

TEST(FakeLink, WifiGivesUpAtTheThirdLoss) {
  FakeLinked t(testing_support::WifiConfig(5000, UniqueRobot("fk4")));
  FakeTransport& fake = t.fake;
  RecordingUi& ui = t.ui;
  fake.SetAnswering(false);
  ASSERT_TRUE(t.Start());
  ASSERT_TRUE(WaitUntil([&] { return !t.link->ConnectionRunning(); }, 30000));
  EXPECT_TRUE(t.link->GaveUp());
  EXPECT_EQ(fake.opens(), 3) << "a run per loss, the third gives up";
  EXPECT_EQ(fake.closes(), 3);
  EXPECT_EQ(ui.Count("message:WiFi IP port 5000 can't be opened for communication!\n"), 1);
}

}  // namespace
