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
#include "control/qt/talvenor_widget.h"
#include "link_test_support.h"
#include "qt_test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

using testing_support::PumpUntil;

bool ShowsTheBuffer(QWidget& w) {
  const QImage shot = w.grab(QRect(0, 0, control::kImageWidth, control::kImageHeight)).toImage().convertToFormat(QImage::Format_RGB888);
  const uint8_t* buffer = control::ModuleImageBuffer();
  for (int y = 0; y < control::kImageHeight; ++y)
    if (std::memcmp(shot.constScanLine(y), buffer + 3 * control::kImageWidth * y, 3 * control::kImageWidth) != 0)
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
  ASSERT_EQ(images.Open(robot, exchange::SectionId::kImage), platform::ShmStatus::kOk);
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
  ASSERT_EQ(images.Put(record.data(), static_cast<uint32_t>(record.size())), 1);
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

TEST(Dashboard, ShowsSensorsAndAPictureFromTheSimulatedRobot) {
  auto sim = testing_support::StartUdpSim();
  ASSERT_TRUE(sim);
  const std::string robot = "Dash" + std::to_string(getpid());
  testing_support::RecordingUi ui(testing_support::WifiChoices(sim->UdpPort(), robot));
  relay::CLinkManager link(ui);
  ui.Attach(&link);
  ASSERT_TRUE(link.StartConnection());
  ASSERT_TRUE(testing_support::WaitUntil([&] { return ui.Has("minimize"); }));

  std::memset(control::ModuleImageBuffer(), 0, control::kImageBytes);
  dashboard::DashboardWindow window;
  window.show();
  window.ConnectTo(QString::fromStdString(robot));
  window.ctl().EnableStandardSensorSending();
  window.ctl().EnableMotorSensorSending();
  window.ctl().TakePhoto();
  ASSERT_TRUE(PumpUntil([&] { return window.Reading("GetSensorSonar1")->text() != "-"; }));
  ASSERT_TRUE(PumpUntil([&] { return window.images() >= 1; })) << [&] { std::string t; for (auto& f : sim->robot().ReceivedFrames()) t += std::to_string(f[4]) + " "; return t + " photos " + std::to_string(sim->robot().photos_sent()) + " images accepted " + std::to_string(link.stats().accepted(9)) + link.stats().Format(); }();
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
