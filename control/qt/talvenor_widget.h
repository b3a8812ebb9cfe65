// The control as a Qt widget: a C++ client embeds it like any widget. The widget is the control's
// window: it runs the 30 ms polling timer, repaints the camera picture (at the origin, unscaled) when
// the control invalidates itself, shows the control's message boxes, and opens the property page
// "General" from its context menu (the Properties verb).
#pragma once

#include <QDialog>
#include <QTimer>
#include <QWidget>
#include <map>
#include <memory>

#include "control/control.h"
#include "control/host.h"

namespace control {

class CZembrinWidget : public QWidget, public ControlHost {
 public:
  explicit CZembrinWidget(QWidget* parent = nullptr);
  ~CZembrinWidget() override;

  CZembrinSDKControlCtrl& control() { return control_; }

  // ControlHost.
  void SetTimer(HostedControl& control, int timer_id, uint32_t period_ms) override;
  void KillTimers(HostedControl& control) override;
  void Invalidate(HostedControl& control, bool erase_background) override;
  void UpdateNow(HostedControl& control) override;
  bool MessageBox(HostedControl& control, const std::string& text) override;

  // The Properties verb.
  void ShowProperties();
  QSize sizeHint() const override { return QSize(kImageWidth, kImageHeight); }
  uint64_t paints() const { return paints_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  CZembrinSDKControlCtrl control_;
  std::map<int, std::unique_ptr<QTimer>> timers_;
  uint64_t paints_ = 0;
};

// The control's property page: dialog 200, caption "General", 250 x 62 dialog units.
class CZembrinSDKControlPropPage : public QDialog {
 public:
  explicit CZembrinSDKControlPropPage(QWidget* parent);
  static constexpr const char* kHelpCaption = "Names to appear in the control";
  static constexpr const char* kHelpFile = "ZembrinTalvenorControl.hlp";
  static constexpr int kHelpContext = 0;
};

}  // namespace control
