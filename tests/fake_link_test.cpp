// The link's connect, loss, reconnect, give-up and close paths, driven through a fake transport:
// no sockets, no lines, the suite's time scale.
#include <gtest/gtest.h>

#include "fake_transport.h"
#include "link_test_support.h"

namespace {

using testing_support::FakeTransport;
using testing_support::RecordingUi;
using testing_support::UniqueRobot;
using testing_support::WaitUntil;

relay::LinkChoices Serial(const std::string& tag) {
  relay::LinkChoices c;
  c.kind = relay::LinkKindChoice::kSerial;
  c.com_text = "COM3";
  c.robot_id = UniqueRobot(tag);
  return c;
}

TEST(FakeLink, ConnectsOnTheFirstAnswerAndClosesOnceOnStop) {
  FakeTransport fake;
  RecordingUi ui(Serial("fk1"));
  {
    relay::CLinkManager link(ui);
    ui.Attach(&link);
    link.SetTransport(&fake);
    ASSERT_TRUE(link.StartConnection());
    ASSERT_TRUE(WaitUntil([&] { return ui.Has("status:Serial Cable: Connected, COM Port: 3"); }));
    EXPECT_EQ(fake.opens(), 1);
    EXPECT_EQ(ui.Count("minimize"), 1);
    link.RequestStop();
    link.WaitForConnectionThread();
    EXPECT_EQ(fake.closes(), 1) << "the line is closed once when the link ends";
    EXPECT_FALSE(link.GaveUp());
  }
  EXPECT_EQ(fake.closes(), 1) << "and not again at teardown";
}

TEST(FakeLink, ASilentRobotLosesTheLinkWhichComesBackWhenItAnswersAgain) {
  FakeTransport fake;
  RecordingUi ui(Serial("fk2"));
  relay::CLinkManager link(ui);
  ui.Attach(&link);
  link.SetTransport(&fake);
  ASSERT_TRUE(link.StartConnection());
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
  link.RequestStop();
  link.WaitForConnectionThread();
  EXPECT_FALSE(link.GaveUp());
}

TEST(FakeLink, FiveRefusedOpensGiveUpASerialLink) {
  FakeTransport fake;
  fake.RefuseOpens(100);
  RecordingUi ui(Serial("fk3"));
  relay::CLinkManager link(ui);
  ui.Attach(&link);
  link.SetTransport(&fake);
  ASSERT_TRUE(link.StartConnection());
  ASSERT_TRUE(WaitUntil([&] { return !link.ConnectionRunning(); }));
  EXPECT_TRUE(link.GaveUp());
  EXPECT_EQ(fake.opens(), 5);
  EXPECT_EQ(ui.Count("note:the fake refused"), 5);
  EXPECT_EQ(ui.Count("message:COM port 3 can't be opened for communication!\n"), 1);
  EXPECT_EQ(fake.keep_alives_sent(), 0);
}

TEST(FakeLink, WifiGivesUpAtTheThirdLoss) {
  FakeTransport fake;
  fake.SetAnswering(false);
  relay::LinkChoices choices = testing_support::WifiChoices(5000, UniqueRobot("fk4"));
  RecordingUi ui(choices);
  relay::CLinkManager link(ui);
  ui.Attach(&link);
  link.SetTransport(&fake);
  ASSERT_TRUE(link.StartConnection());
  ASSERT_TRUE(WaitUntil([&] { return !link.ConnectionRunning(); }, 30000));
  EXPECT_TRUE(link.GaveUp());
  EXPECT_EQ(fake.opens(), 3) << "a run per loss, the third gives up";
  EXPECT_EQ(fake.closes(), 3);
  EXPECT_EQ(ui.Count("message:WiFi IP port 5000 can't be opened for communication!\n"), 1);
}

}  // namespace
