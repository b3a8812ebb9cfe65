// Renders the relay's dialog, its about box and the dashboard, each live against a simulated robot,
// to PNG files for the documentation.
//
//   xvfb-run -a build/tools/screenshots/trevask-screenshots docs/images
#include <arpa/inet.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTimer>
#include <cstdio>

#include "clients/dashboard/dashboard_window.h"
#include "relay/app/trevask_dialog.h"
#include "sim/sim_thread.h"

namespace {

void Pump(int ms) {
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < ms) QApplication::processEvents(QEventLoop::AllEvents, 10);
}

bool Save(QWidget* w, const QString& path) {
  const bool ok = w->grab().save(path);
  std::printf("%s %s\n", ok ? "wrote" : "cannot write", path.toLocal8Bit().constData());
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  const QString dir = argc > 1 ? argv[1] : "docs/images";
  sim::SimOptions options;
  options.default_period_ms = 200;
  std::unique_ptr<sim::Wire> wire;
  if (const platform::Result opened = sim::OpenUdpWire("127.0.0.1:0", wire); !opened.ok()) {
    std::fprintf(stderr, "screenshots: %s\n", opened.message.c_str());
    return 1;
  }
  sim::RunningSim sim(std::move(wire), options);
  const std::string settings = "/tmp/trevask-screenshots.ini";

  relay::CTrevaskDlg dialog(settings);
  dialog.show();
  dialog.robot_field()->setText("demo");
  dialog.wifi_radio()->click();
  dialog.ip_field()->SetText("127.0.0.1");
  dialog.port_field()->setText(QString::number(sim.UdpPort()));
  dialog.connect_button()->click();
  Pump(3000);
  dialog.showNormal();
  Pump(300);
  bool ok = Save(&dialog, dir + "/trevask-dialog.png");

  QTimer::singleShot(300, [&] {
    QWidget* about = QApplication::activeModalWidget();
    if (about != nullptr) {
      ok = Save(about, dir + "/trevask-about.png") && ok;
      about->close();
    }
  });
  dialog.ShowAbout();

  dashboard::DashboardWindow window;
  window.resize(1100, 780);
  window.show();
  window.ConnectTo("demo");
  window.ctl().SetSysAllSensorPeriod(200);
  window.ctl().EnableStandardSensorSending();
  window.ctl().EnableMotorSensorSending();
  window.ctl().EnableCustomSensorSending();
  window.ctl().DcMotorVelocityNonTimeCtr(0, 40);
  window.ctl().DcMotorVelocityNonTimeCtr(1, -25);
  window.ctl().DcMotorPwmNonTimeCtr(2, 400);
  for (int i = 0; i < 10; ++i) {
    window.ctl().TakePhoto();
    Pump(1000);
  }
  ok = Save(&window, dir + "/dashboard.png") && ok;
  window.ctl().DisableAllSensorSending();
  Pump(300);
  dialog.link().RequestStop();
  dialog.link().WaitForConnectionThread();
  return ok ? 0 : 1;
}
