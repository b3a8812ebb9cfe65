#include "clients/dashboard/dashboard_window.h"

#include <QComboBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QScrollArea>
#include <QStatusBar>
#include <QTabWidget>
#include <QVBoxLayout>
#include <cstdio>

#include "control/dispatch.h"
#include "exchange/wave_file.h"

namespace dashboard {
namespace {

using Ctrl = control::CZembrinSDKControlCtrl;

QSpinBox* Spin(int lo, int hi, int value, QWidget* parent) {
  auto* s = new QSpinBox(parent);
  s->setRange(lo, hi);
  s->setValue(value);
  return s;
}

int16_t V(QSpinBox* s) {
  return static_cast<int16_t>(s->value());
}

}  // namespace

DashboardWindow::DashboardWindow(QWidget* parent) : QMainWindow(parent) {
  setWindowTitle("talvenor dashboard");
  clock_.start();
  auto* central = new QWidget(this);
  auto* top = new QVBoxLayout(central);

  auto* bar = new QHBoxLayout;
  bar->addWidget(new QLabel("Robot name:", central));
  robot_ = new QLineEdit(central);
  robot_->setPlaceholderText("the name the relay runs with");
  bar->addWidget(robot_);
  auto* connect_button = new QPushButton("Connect", central);
  bar->addWidget(connect_button);
  top->addLayout(bar);
  connect(connect_button, &QPushButton::clicked, this, [this] { ConnectTo(robot_->text()); });

  auto* body = new QHBoxLayout;
  auto* left = new QVBoxLayout;
  auto* camera_box = new QGroupBox("Camera", central);
  auto* camera_layout = new QVBoxLayout(camera_box);
  camera_ = new control::CZembrinWidget(camera_box);
  camera_->setFixedSize(control::kImageWidth, control::kImageHeight);
  camera_layout->addWidget(camera_);
  auto* photo_row = new QHBoxLayout;
  auto* take = new QPushButton("Take photo", camera_box);
  photo_rate_ = Spin(0, 10, 0, camera_box);
  photo_rate_->setSuffix(" /s");
  photo_rate_->setToolTip("photos per second; 0: only on request");
  auto* save = new QPushButton("Save BMP...", camera_box);
  photo_row->addWidget(take);
  photo_row->addWidget(photo_rate_);
  photo_row->addWidget(save);
  camera_layout->addLayout(photo_row);
  left->addWidget(camera_box);
  connect(take, &QPushButton::clicked, this, [this] { ctl().TakePhoto(); });
  connect(&photo_timer_, &QTimer::timeout, this, [this] { ctl().TakePhoto(); });
  connect(photo_rate_, qOverload<int>(&QSpinBox::valueChanged), this,
          [this](int rate) { rate > 0 ? photo_timer_.start(1000 / rate) : photo_timer_.stop(); });
  connect(save, &QPushButton::clicked, this, [this] {
    const QString path =
        QFileDialog::getSaveFileName(this, "Save photo", "photo.bmp", "BMP pictures (*.bmp)");
    if (!path.isEmpty())
      Status(ctl().SavePhotoAsBMP(path.toStdString()) ? "saved " + path : "cannot write " + path);
  });

  sonar_plot_ = new PlotWidget("Sonar ranges", {"1", "2", "3", "4", "5", "6"}, central);
  current_plot_ = new PlotWidget("Motor currents", {"1", "2", "3", "4", "5", "6"}, central);
  speed_plot_ = new PlotWidget("Encoder speeds", {"enc 1", "enc 2"}, central);
  left->addWidget(sonar_plot_);
  left->addWidget(current_plot_);
  left->addWidget(speed_plot_);
  body->addLayout(left);

  auto* tabs = new QTabWidget(central);
  tabs->addTab(BuildSensors(), "Sensors");
  tabs->addTab(BuildMotion(), "Motors && servos");
  tabs->addTab(BuildStreaming(), "Streaming");
  tabs->addTab(BuildMedia(), "Audio && LCD");
  body->addWidget(tabs, 1);
  top->addLayout(body);
  setCentralWidget(central);

  ctl().SetEventSink([this](int dispid) { OnEvent(dispid); });
  statusBar()->showMessage("Enter the robot name the relay serves and press Connect.");
}

void DashboardWindow::Status(const QString& text) {
  statusBar()->showMessage(text, 8000);
}

QLabel* DashboardWindow::Reading(const QString& getter) const {
  auto it = readings_.find(getter);
  return it == readings_.end() ? nullptr : it->second;
}

QWidget* DashboardWindow::BuildSensors() {
  auto* page = new QWidget;
  auto* layout = new QHBoxLayout(page);
  // A column per record: every field a getter returns, except second names of the same bytes.
  for (const exchange::SensorRecordInfo& r : exchange::kSensorRecords) {
    QString title = QString::fromUtf8(r.name.data(), static_cast<int>(r.name.size())) + " sensors";
    title[0] = title[0].toUpper();
    auto* box = new QGroupBox(title, page);
    auto* form = new QFormLayout(box);
    std::vector<QString>& getters = getters_[static_cast<int>(r.record)];
    for (const exchange::SensorField& f : exchange::kSensorFields) {
      if (f.record != r.record || f.getter.empty() || f.kind == exchange::FieldKind::kAlias) continue;
      const QString g = QString::fromUtf8(f.getter.data(), static_cast<int>(f.getter.size()));
      auto* value = new QLabel("-", box);
      value->setMinimumWidth(50);
      readings_[g] = value;
      form->addRow(QString(g).remove("GetSensor").remove("Get").remove("get"), value);
      getters.push_back(g);
    }
    layout->addWidget(box);
  }
  auto* scroll = new QScrollArea;
  scroll->setWidget(page);
  scroll->setWidgetResizable(true);
  return scroll;
}

QWidget* DashboardWindow::BuildMotion() {
  auto* page = new QWidget;
  auto* layout = new QVBoxLayout(page);

  auto* dc = new QGroupBox("DC motor", page);
  auto* g = new QGridLayout(dc);
  auto* channel = Spin(0, 5, 0, dc);
  auto* value = Spin(-32768, 32767, 0, dc);
  auto* time = Spin(0, 32767, 1000, dc);
  auto* timed = new QCheckBox("over a time", dc);
  g->addWidget(new QLabel("channel"), 0, 0), g->addWidget(channel, 0, 1);
  g->addWidget(new QLabel("value"), 0, 2), g->addWidget(value, 0, 3);
  g->addWidget(timed, 0, 4), g->addWidget(time, 0, 5);
  auto add = [&](QGridLayout* grid, const char* text, int row, int col, std::function<void()> fn) {
    auto* b = new QPushButton(text, grid->parentWidget());
    grid->addWidget(b, row, col);
    connect(b, &QPushButton::clicked, this, std::move(fn));
  };
  add(g, "Enable", 1, 0, [=, this] { ctl().EnableDcMotor(V(channel)); });
  add(g, "Disable", 1, 1, [=, this] { ctl().DisableDcMotor(V(channel)); });
  add(g, "PWM", 1, 2, [=, this] {
    timed->isChecked() ? ctl().DcMotorPwmTimeCtr(V(channel), V(value), V(time))
                       : ctl().DcMotorPwmNonTimeCtr(V(channel), V(value));
  });
  add(g, "Position", 1, 3, [=, this] {
    timed->isChecked() ? ctl().DcMotorPositionTimeCtr(V(channel), V(value), V(time))
                       : ctl().DcMotorPositionNonTimeCtr(V(channel), V(value));
  });
  add(g, "Velocity", 1, 4, [=, this] {
    timed->isChecked() ? ctl().DcMotorVelocityTimeCtr(V(channel), V(value), V(time))
                       : ctl().DcMotorVelocityNonTimeCtr(V(channel), V(value));
  });
  add(g, "Stop (PWM 0)", 1, 5, [=, this] { ctl().DcMotorPwmNonTimeCtr(V(channel), 0); });
  add(g, "Stop every motor", 2, 3, [this] { ctl().StopMotors(); });
  auto* polarity = Spin(-1, 1, 1, dc);
  g->addWidget(new QLabel("polarity"), 2, 0), g->addWidget(polarity, 2, 1);
  add(g, "Set polarity", 2, 2, [=, this] { ctl().SetMotorPolarity(V(channel), V(polarity)); });
  layout->addWidget(dc);

  auto* servo = new QGroupBox("Servo", page);
  auto* s = new QGridLayout(servo);
  auto* s_channel = Spin(0, 5, 0, servo);
  auto* s_value = Spin(-32768, 32767, 0, servo);
  auto* s_time = Spin(0, 32767, 1000, servo);
  auto* s_timed = new QCheckBox("over a time", servo);
  s->addWidget(new QLabel("channel"), 0, 0), s->addWidget(s_channel, 0, 1);
  s->addWidget(new QLabel("position"), 0, 2), s->addWidget(s_value, 0, 3);
  s->addWidget(s_timed, 0, 4), s->addWidget(s_time, 0, 5);
  add(s, "Enable", 1, 0, [=, this] { ctl().EnableServo(V(s_channel)); });
  add(s, "Disable", 1, 1, [=, this] { ctl().DisableServo(V(s_channel)); });
  add(s, "Move", 1, 2, [=, this] {
    s_timed->isChecked() ? ctl().ServoTimeCtr(V(s_channel), V(s_value), V(s_time))
                         : ctl().servoNonTimeCtr(V(s_channel), V(s_value));
  });
  layout->addWidget(servo);

  auto* all = new QGroupBox("All six channels", page);
  auto* a = new QGridLayout(all);
  std::vector<QSpinBox*> cmds;
  for (int i = 0; i < 6; ++i) {
    cmds.push_back(Spin(-32768, 32767, 0, all));
    a->addWidget(cmds.back(), 0, i);
  }
  auto* a_time = Spin(0, 32767, 1000, all);
  auto* a_timed = new QCheckBox("over a time", all);
  a->addWidget(a_timed, 1, 0), a->addWidget(a_time, 1, 1);
  auto c = [cmds](int i) { return V(cmds[static_cast<std::size_t>(i)]); };
  add(a, "PWM all", 2, 0, [=, this] {
    a_timed->isChecked() ? ctl().DcMotorPwmTimeCtrAll(c(0), c(1), c(2), c(3), c(4), c(5), V(a_time))
                         : ctl().DcMotorPwmNonTimeCtrAll(c(0), c(1), c(2), c(3), c(4), c(5));
  });
  add(a, "Position all", 2, 1, [=, this] {
    a_timed->isChecked() ? ctl().DcMotorPositionTimeCtrAll(c(0), c(1), c(2), c(3), c(4), c(5), V(a_time))
                         : ctl().DcMotorPositionNonTimeCtrAll(c(0), c(1), c(2), c(3), c(4), c(5));
  });
  add(a, "Velocity all", 2, 2, [=, this] {
    a_timed->isChecked() ? ctl().DcMotorVelocityTimeCtrAll(c(0), c(1), c(2), c(3), c(4), c(5), V(a_time))
                         : ctl().DcMotorVelocityNonTimeCtrAll(c(0), c(1), c(2), c(3), c(4), c(5));
  });
  add(a, "Servos all", 2, 3, [=, this] {
    a_timed->isChecked() ? ctl().ServoTimeCtrAll(c(0), c(1), c(2), c(3), c(4), c(5), V(a_time))
                         : ctl().ServoNoTimeCtrAll(c(0), c(1), c(2), c(3), c(4), c(5));
  });
  layout->addWidget(all);
  layout->addStretch();
  return page;
}

QWidget* DashboardWindow::BuildStreaming() {
  auto* page = new QWidget;
  auto* g = new QGridLayout(page);
  struct Kind {
    const char* name;
    void (Ctrl::*enable)();
    void (Ctrl::*disable)();
    void (Ctrl::*period)(int16_t);
  } kinds[] = {
      {"Standard sensors", &Ctrl::EnableStandardSensorSending, &Ctrl::DisableStandardSensorSending,
       &Ctrl::SetSysStandardSensorPeriod},
      {"Motor sensors", &Ctrl::EnableMotorSensorSending, &Ctrl::DisableMotorSensorSending,
       &Ctrl::SetSysMotorSensorPeriod},
      {"Custom sensors", &Ctrl::EnableCustomSensorSending, &Ctrl::DisableCustomSensorSending,
       &Ctrl::SetSysCustomSensorPeriod},
      {"All sensors", &Ctrl::EnableAllSensorSending, &Ctrl::DisableAllSensorSending,
       &Ctrl::SetSysAllSensorPeriod},
  };
  int row = 0;
  for (const Kind& k : kinds) {
    auto* on = new QCheckBox(k.name, page);
    auto* period = Spin(10, 10000, 100, page);
    period->setSuffix(" ms");
    auto* set = new QPushButton("Set period", page);
    g->addWidget(on, row, 0), g->addWidget(period, row, 1), g->addWidget(set, row, 2);
    connect(on, &QCheckBox::toggled, this,
            [this, k](bool checked) { (ctl().*(checked ? k.enable : k.disable))(); });
    connect(set, &QPushButton::clicked, this, [this, k, period] { (ctl().*k.period)(V(period)); });
    ++row;
  }
  auto* bumper = new QCheckBox("Bumper protection", page);
  g->addWidget(bumper, row++, 0);
  connect(bumper, &QCheckBox::toggled, this,
          [this](bool on) { on ? ctl().EnableBumperProtection() : ctl().DisableBumperProtection(); });
  g->setRowStretch(row, 1);
  return page;
}

QWidget* DashboardWindow::BuildMedia() {
  auto* page = new QWidget;
  auto* layout = new QVBoxLayout(page);
  auto* audio = new QGroupBox("Loudspeaker and microphone", page);
  auto* a = new QGridLayout(audio);
  auto* wav = new QLineEdit(audio);
  wav->setPlaceholderText("a 16-bit mono WAV file, as the relay can read it");
  auto* browse = new QPushButton("...", audio);
  auto* play = new QPushButton("Play", audio);
  auto* stop = new QPushButton("Stop", audio);
  a->addWidget(wav, 0, 0, 1, 3), a->addWidget(browse, 0, 3);
  a->addWidget(play, 1, 0), a->addWidget(stop, 1, 1);
  connect(browse, &QPushButton::clicked, this, [this, wav] {
    wav->setText(QFileDialog::getOpenFileName(this, "Sound to play", QString(), "WAV files (*.wav)"));
  });
  connect(play, &QPushButton::clicked, this, [this, wav] { ctl().PlayAudioFile(wav->text().toStdString()); });
  connect(stop, &QPushButton::clicked, this, [this] { ctl().StopAudioPlay(); });
  auto* segment = Spin(1, 10, 1, audio);
  segment->setPrefix("segments of ");
  segment->setSuffix(" x 4096 bytes");
  auto* record = new QPushButton("Start recording", audio);
  auto* stop_record = new QPushButton("Stop recording", audio);
  auto* save = new QPushButton("Save last segment...", audio);
  voice_label_ = new QLabel("no voice segment yet", audio);
  a->addWidget(segment, 2, 0), a->addWidget(record, 2, 1), a->addWidget(stop_record, 2, 2);
  a->addWidget(voice_label_, 3, 0, 1, 2), a->addWidget(save, 3, 2);
  connect(record, &QPushButton::clicked, this, [this, segment] { ctl().StartRecord(V(segment)); });
  connect(stop_record, &QPushButton::clicked, this, [this] { ctl().StopRecord(); });
  connect(save, &QPushButton::clicked, this, [this] {
    if (last_voice_.empty()) return Status("no voice segment yet");
    const QString path =
        QFileDialog::getSaveFileName(this, "Save voice segment", "voice.wav", "WAV files (*.wav)");
    if (!path.isEmpty())
      Status(exchange::WriteWaveFile(path.toLocal8Bit().toStdString(), last_voice_.data(), last_voice_.size())
                 ? "saved " + path
                 : "cannot write " + path);
  });
  layout->addWidget(audio);

  auto* lcd = new QGroupBox("LCDs (128 x 64 monochrome BMP)", page);
  auto* l = new QGridLayout(lcd);
  auto* bmp = new QLineEdit(lcd);
  auto* pick = new QPushButton("...", lcd);
  auto* vcs = new QPushButton("Show on the motion board's LCD", lcd);
  auto* vcb = new QPushButton("Show on the multimedia board's LCD", lcd);
  l->addWidget(bmp, 0, 0, 1, 2), l->addWidget(pick, 0, 2);
  l->addWidget(vcs, 1, 0), l->addWidget(vcb, 1, 1);
  connect(pick, &QPushButton::clicked, this, [this, bmp] {
    bmp->setText(QFileDialog::getOpenFileName(this, "LCD picture", QString(), "BMP pictures (*.bmp)"));
  });
  connect(vcs, &QPushButton::clicked, this, [this, bmp] { ctl().LcdDisplayVCS(bmp->text().toStdString()); });
  connect(vcb, &QPushButton::clicked, this, [this, bmp] { ctl().LcdDisplayVCB(bmp->text().toStdString()); });
  layout->addWidget(lcd);
  layout->addStretch();
  return page;
}

void DashboardWindow::ConnectTo(const QString& robot) {
  robot_->setText(robot);
  ctl().connectRobot(robot.toStdString());
  Status(ctl().connected() ? "connected to the sections of robot '" + robot + "'"
                           : "the robot name is too long");
}

void DashboardWindow::Refresh(const std::vector<QString>& getters) {
  for (const QString& g : getters) {
    const control::MemberInfo* m = control::FindMember(g.toStdString());
    control::Variant result;
    if (m != nullptr && control::Invoke(ctl(), m->dispid, nullptr, 0, result) == control::kStatusOk)
      readings_[g]->setText(QString::number(result.i));
  }
}

void DashboardWindow::OnEvent(int dispid) {
  const double t = static_cast<double>(clock_.elapsed()) / 1000.0;
  Ctrl& c = ctl();
  if (const int section = control::SectionOf(dispid); section >= 0 && section < exchange::kSensorRecordCount)
    Refresh(getters_[section]);
  switch (dispid) {
    case control::kStandardSensorEvent:
      sonar_plot_->Add(
          t, {double(c.GetSensorSonar1()), double(c.GetSensorSonar2()), double(c.GetSensorSonar3()),
              double(c.GetSensorSonar4()), double(c.GetSensorSonar5()), double(c.GetSensorSonar6())});
      break;
    case control::kMotorSensorEvent:
      current_plot_->Add(
          t, {double(c.GetMotorCurrent1()), double(c.GetMotorCurrent2()), double(c.GetMotorCurrent3()),
              double(c.GetMotorCurrent4()), double(c.GetMotorCurrent5()), double(c.GetMotorCurrent6())});
      speed_plot_->Add(t, {double(c.GetEncoderSpeed1() * c.GetEncoderDir1()),
                           double(c.GetEncoderSpeed2() * c.GetEncoderDir2())});
      break;
    case control::kImageEvent:
      ++images_;
      break;
    case control::kVoiceSegmentEvent: {
      const std::size_t n = c.VoiceBytesAvailable();
      last_voice_.assign(c.GetVoiceSegment(), c.GetVoiceSegment() + n);
      voice_label_->setText(QString("last segment: %1 bytes").arg(n));
      break;
    }
    default:
      break;
  }
}

}  // namespace dashboard
