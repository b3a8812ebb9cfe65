// The control's widget and the dashboard under the offscreen platform.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QTest>
#include <QTimer>
#include <cstring>
#include <fstream>

#include "clients/dashboard/dashboard_window.h"
#include "clients/dashboard/plot_widget.h"
#include "control/qt/talvenor_widget.h"
#include "link_test_support.h"
#include "platform/clock.h"
#include "qt_test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

using testing_support::PumpUntil;

bool ShowsTheBuffer(QWidget& w) {
  const QImage shot = w.grab(QRect(0, 0, control::kImageWidth, control::kImageHeight))
                          .toImage()
                          .convertToFormat(QImage::Format_RGB888);
  const uint8_t* buffer = control::ModuleImageBuffer();
  for (int y = 0; y < control::kImageHeight; ++y)
    if (std::memcmp(shot.constScanLine(y), buffer + 3 * control::kImageWidth * y, 3 * control::kImageWidth) !=
        0)
      return false;
  return true;
}

Bytes ReadFile(const std::string& name) {
  std::ifstream in(std::string(TEST_DATA_DIR) + "/camera/" + name, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(ControlWidget, PaintsExactlyThePicturesPixels) {
  uint8_t* buffer = control::ModuleImageBuffer();
  for (std::size_t i = 0; i < control::kImageBytes; ++i) buffer[i] = static_cast<uint8_t>(i * 7 + i / 528);
  control::CZembrinWidget widget;
  EXPECT_EQ(widget.size(), QSize(176, 144)) << "the initial extent is one camera picture";
  widget.show();
  EXPECT_TRUE(ShowsTheBuffer(widget));
  widget.resize(300, 200);  // drawn at the origin, unscaled, whatever the size
  EXPECT_TRUE(ShowsTheBuffer(widget));
}

TEST(ControlWidget, ImageEventRepaintsTheDecodedFrame) {
  const std::string robot = "W" + std::to_string(getpid());
  exchange::CRingProducer images;
  ASSERT_EQ(images.Open(robot, exchange::SectionId::kImage), platform::Status::kOk);
  control::CZembrinWidget widget;
  widget.show();
  int image_events = 0;
  uint64_t paints_at_event = 0;
  widget.control().SetEventSink([&](int id) {
    if (id == control::kImageEvent) ++image_events, paints_at_event = widget.paints();
  });
  widget.control().connectRobot(robot);
  const Bytes stream = ReadFile("disc.stream");
  Bytes record(7 + stream.size());
  record[0] = 1;
  const uint32_t m = static_cast<uint32_t>(stream.size());
  std::memcpy(record.data() + 3, &m, 4);
  std::memcpy(record.data() + 7, stream.data(), stream.size());
  ASSERT_EQ(images.Put(record.data(), static_cast<uint32_t>(record.size())), exchange::PutStatus::kStored);
  ASSERT_TRUE(PumpUntil([&] { return image_events == 1 && widget.paints() > paints_at_event; }));
  EXPECT_TRUE(ShowsTheBuffer(widget));
  const Bytes rgb = ReadFile("disc.rgb");
  EXPECT_EQ(0, std::memcmp(rgb.data(), control::ModuleImageBuffer(), rgb.size()));
}

TEST(ControlWidget, PropertiesVerbOpensTheGeneralPage) {
  control::CZembrinWidget widget;
  bool seen = false;
  QTimer::singleShot(50, [&] {
    QWidget* page = QApplication::activeModalWidget();
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(page->windowTitle(), "General");
    EXPECT_EQ(page->objectName(), "propertyPage200");
    seen = true;
    static_cast<QDialog*>(page)->accept();
  });
  widget.ShowProperties();
  EXPECT_TRUE(seen);
}

// While the first minute fills, a plot's time axis spans the time since the first reading (at least
// ten seconds), so the lines use the width from the start instead of crowding at its right edge.
TEST(Dashboard, APlotSpansTheTimeSinceItsFirstReadingUpToAMinute) {
  const struct {
    double last;
    double span;
  } cases[] = {{0, 10}, {5, 10}, {30, 30}, {59, 59}, {100, 60}};
  for (const auto& c : cases) {
    dashboard::PlotWidget plot("sonar", {"sonar1"});
    for (double t = 0; t <= c.last; t += 0.5) plot.Add(1000 + t, {t});
    EXPECT_DOUBLE_EQ(plot.SpanSeconds(), c.span) << "readings over " << c.last << " s";
  }
}

TEST(Dashboard, ShowsSensorsAndAPictureFromTheSimulatedRobot) {
  // A slower scale than the suite's: the simulated robot encodes each photo on its one thread, and
  // on a busy machine (or under the address sanitizer) that outlasts a keep-alive window shortened
  // twenty times, so the link would be lost while it encodes.
  testing_support::ScopedTimeScale scale(0.5);
  auto sim = testing_support::StartUdpSim();
  ASSERT_TRUE(sim);
  const std::string robot = "Dash" + std::to_string(getpid());
  testing_support::RecordingUi ui(testing_support::WifiConfig(sim->UdpPort(), robot));
  relay::CLinkManager link(ui);
  ui.Attach(&link);
  ASSERT_TRUE(link.StartConnection());
  ASSERT_TRUE(testing_support::WaitUntil([&] { return ui.Has("minimize"); }));

  std::memset(control::ModuleImageBuffer(), 0, control::kImageBytes);
  dashboard::DashboardWindow window;
  window.show();
  window.ConnectTo(QString::fromStdString(robot));
  // Streams at a pace that a sanitizer build keeps up with: a relay that falls behind a flood of
  // sensor packets loses the photo's packets behind them in the socket's queue.
  window.ctl().SetSysStandardSensorPeriod(500);
  window.ctl().SetSysMotorSensorPeriod(500);
  window.ctl().EnableStandardSensorSending();
  window.ctl().EnableMotorSensorSending();
  window.ctl().TakePhoto();
  ASSERT_TRUE(PumpUntil([&] { return window.Reading("GetSensorSonar1")->text() != "-"; }));
  // A photo taken while the link is being re-established goes nowhere (a slow sanitizer build can
  // miss keep-alive answers); another one is asked for then.
  bool pictured = false;
  for (int attempt = 0; attempt < 5 && !pictured; ++attempt) {
    if (attempt > 0) window.ctl().TakePhoto();
    pictured = PumpUntil([&] { return window.images() >= 1; }, 4000);
  }
  ASSERT_TRUE(pictured) << ui.Count("icon:140") << " link losses";
  ASSERT_TRUE(PumpUntil([&] { return window.Reading("GetMotorCurrent1")->text() != "-"; }));
  EXPECT_GT(window.sonar_plot()->points(), 0u);
  const int sonar = window.Reading("GetSensorSonar1")->text().toInt();
  EXPECT_TRUE(sonar >= 0 && sonar <= 255);
  bool lit = false;
  for (std::size_t i = 0; i < control::kImageBytes && !lit; ++i) lit = control::ModuleImageBuffer()[i] != 0;
  EXPECT_TRUE(lit) << "the robot's picture is on screen";
  EXPECT_TRUE(ShowsTheBuffer(*window.camera()));
  window.ctl().DisableStandardSensorSending();
  link.RequestStop();
  link.WaitForConnectionThread();
}

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
