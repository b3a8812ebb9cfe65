// talvenor-dashboard: everything the control offers, on one window. Robot name and connect, the
// live camera, every sensor reading, motors, servos, streaming, audio, LCDs, and plots of the
// readings a person would rather look at than read.
#pragma once

#include <QCheckBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <map>
#include <vector>

#include "clients/dashboard/plot_widget.h"
#include "control/qt/talvenor_widget.h"

namespace dashboard {

class DashboardWindow : public QMainWindow {
 public:
  explicit DashboardWindow(QWidget* parent = nullptr);

  void ConnectTo(const QString& robot);
  control::CZembrinSDKControlCtrl& ctl() { return camera_->control(); }
  control::CZembrinWidget* camera() const { return camera_; }
  // The label that shows a getter's reading, by getter name ("GetSensorSonar1", ...).
  QLabel* Reading(const QString& getter) const;
  int images() const { return images_; }
  PlotWidget* sonar_plot() const { return sonar_plot_; }

 private:
  QWidget* BuildSensors();
  QWidget* BuildMotion();
  QWidget* BuildStreaming();
  QWidget* BuildMedia();
  void OnEvent(int dispid);
  void Refresh(const std::vector<QString>& getters);
  void Status(const QString& text);

  QLineEdit* robot_ = nullptr;
  control::CZembrinWidget* camera_ = nullptr;
  QSpinBox* photo_rate_ = nullptr;
  QTimer photo_timer_;
  std::map<QString, QLabel*> readings_;
  std::vector<QString> getters_[exchange::kSensorRecordCount];  // the getters shown, by record
  PlotWidget* sonar_plot_ = nullptr;
  PlotWidget* current_plot_ = nullptr;
  PlotWidget* speed_plot_ = nullptr;
  QElapsedTimer clock_;
  QLabel* voice_label_ = nullptr;
  std::vector<uint8_t> last_voice_;
  int images_ = 0;
};

}  // namespace dashboard
