// talvenor-dashboard [ROBOT]: a window onto one robot through the relay.
#include <QApplication>

#include "clients/dashboard/dashboard_window.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  dashboard::DashboardWindow window;
  window.resize(1100, 760);
  window.show();
  if (argc > 1) window.ConnectTo(QString::fromLocal8Bit(argv[1]));
  return app.exec();
}
