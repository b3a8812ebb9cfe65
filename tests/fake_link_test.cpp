// The link's connect, loss, reconnect and close paths, driven through a fake transport:
// no sockets, no lines, the suite's time scale.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>

#include "fake_transport.h"
#include "link_test_support.h"
#include "platform/clock.h"
#include "platform/shared_memory.h"

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

// A stop ends the connection thread at once, whatever pause it is in: the close pauses after a run
// (the receive thread is joined as soon as it has ended), the reconnect pause after a refused open,
// the retry pause after a loss. Each row runs at a time scale that makes its pause half a second or
// more of real time, and the stop must end the thread within a quarter of a second.
TEST(FakeLink, AStopCutsEveryPauseShort) {
  struct Row {
    const char* name;
    double scale;
    int refused_opens;
    bool silent_after_connect;
    const char* stop_at;  // the event after which Disconnect is pressed
  } rows[] = {
      {"while the link runs (close pauses 1000 + 500 ms)", 1.0, 0, false, "icon:141"},
      {"in the reconnect pause (500 ms)", 1.0, 1, false, "status:Serial Cable: Reconnecting..."},
      {"in the retry pause after a loss (2000 ms)", 0.25, 0, true,
       "status:Serial Cable Connection down, retry 2 seconds after!"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    testing_support::ScopedTimeScale scale(row.scale);
    FakeLinked t(Serial("fkstop"));
    t.fake.RefuseOpens(row.refused_opens);
    ASSERT_TRUE(t.Start());
    if (row.silent_after_connect) {
      ASSERT_TRUE(WaitUntil([&] { return t.ui.Has("icon:141"); }));
      t.fake.SetAnswering(false);
    }
    ASSERT_TRUE(WaitUntil([&] { return t.ui.Has(row.stop_at); }, 20000));
    const auto asked = std::chrono::steady_clock::now();
    t.Stop();
    const auto took =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - asked)
            .count();
    EXPECT_LT(took, 250) << "ms from the stop to the end of the connection thread";
    EXPECT_EQ(t.ui.Matching("status:").back(), "status:Serial Cable: Disconnected");
    EXPECT_FALSE(t.fake.IsOpen());
  }
}

// A quiet link passes only when its keep-alive has something to do, not every 20 ms: each pass
// advances the pass count the loop publishes in the command ring's mark. The keep-alive keeps its
// period meanwhile (2000 ms after the answer, on the 20 ms rhythm), answered or not.
TEST(FakeLink, AQuietLinkPassesOnlyForItsKeepAlive) {
  struct Row {
    const char* name;
    bool answering;
    int pairs;  // keep-alive pairs watched
  } rows[] = {{"a robot that answers", true, 3}, {"a silent robot, before the loss", false, 3}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FakeLinked t(Serial("fkquiet"));
    ASSERT_TRUE(t.Start());
    ASSERT_TRUE(WaitUntil([&] { return t.ui.Has("icon:141"); }));
    t.fake.SetAnswering(row.answering);
    platform::SharedView view;
    ASSERT_EQ(testing_support::MapCommandSection(t.ui.Config().robot_id, view), platform::Status::kOk);
    auto passes = [&] {
      return (std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(view.data() + 4)).load() >> 8) &
             0x3FFFFF;
    };
    // From just after one pair went out until just after the row's pairs have followed it.
    const int first = t.fake.keep_alives_sent() + 2;
    ASSERT_TRUE(WaitUntil([&] { return t.fake.keep_alives_sent() >= first; }));
    const uint32_t passes_before = passes();
    const uint32_t at_first = platform::TickCount();
    ASSERT_TRUE(WaitUntil([&] { return t.fake.keep_alives_sent() >= first + 2 * row.pairs; }));
    const uint32_t took = platform::TickElapsed(platform::TickCount(), at_first);
    const uint32_t passed = passes() - passes_before;
    view.Reset();
    t.Stop();
    EXPECT_LE(passed, 3u * row.pairs) << "passes over " << row.pairs << " keep-alive periods";
    EXPECT_GE(took, 2000u * row.pairs) << "ms for " << row.pairs << " keep-alive periods";
    EXPECT_LE(took, 2150u * row.pairs) << "ms for " << row.pairs << " keep-alive periods";
  }
}

}  // namespace
