// trevask-dialog: the relay's dialog, for a desktop. `trevask` without link options starts it.
#include <QApplication>
#include <cstdio>
#include <cstdlib>

#include "relay/app/settings.h"
#include "relay/app/trevask_dialog.h"

int main(int argc, char** argv) {
  const char* display = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  if ((display == nullptr || *display == '\0') && (wayland == nullptr || *wayland == '\0') &&
      platform == nullptr) {
    std::fprintf(stderr,
                 "trevask-dialog: there is no display to show the dialog on; use trevask --headless\n");
    return 2;
  }
  QApplication app(argc, argv);
  relay::CTrevaskDlg dialog(relay::SettingsPath());
  dialog.show();
  app.exec();
  return 0;
}
