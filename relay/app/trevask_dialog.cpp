#include "relay/app/trevask_dialog.h"

#include <arpa/inet.h>

#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QKeyEvent>
#include <QMenu>
#include <QMessageBox>
#include <QShortcut>
#include <QThread>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

#include "relay/app/artwork.h"
#include "relay/app/dialog_rules.h"

namespace relay {
namespace {

// Dialog units of the dialog templates in pixels. The templates were laid out for a narrow 8-point
// face; Linux desktop faces are wider, so a unit is a little larger here than it was there.
QRect Dlu(int x, int y, int w, int h) {
  auto sx = [](int v) { return static_cast<int>(v * 1.8 + 0.5); };
  auto sy = [](int v) { return static_cast<int>(v * 1.8 + 0.5); };
  return QRect(sx(x), sy(y), sx(w), sy(h));
}

QString FirstLine(const QString& text, int max) {
  return text.section('\n', 0, 0).left(max);
}

class CAboutDlg : public QDialog {
 public:
  CAboutDlg(QWidget* parent, CLinkManager& link) : QDialog(parent), link_(link) {
    setWindowTitle("About Caldrix Trevask");
    setFixedSize(Dlu(0, 0, 271, 122).size());
    auto* badge = new QLabel(this);
    badge->setPixmap(RobotBadge(32));
    badge->setGeometry(Dlu(22, 16, 21, 20));
    auto* version = new QLabel("Caldrix Trevask V 1.0.3", this);
    version->setTextFormat(Qt::PlainText);
    version->setGeometry(Dlu(58, 19, 86, 8));
    auto* maker = new QLabel("Robot to programs relay", this);
    maker->setGeometry(Dlu(59, 33, 104, 8));
    auto* ok = new QPushButton("OK", this);
    ok->setDefault(true);
    ok->setGeometry(Dlu(167, 16, 97, 14));
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    auto* banner = new QLabel(this);
    banner->setGeometry(Dlu(17, 63, 233, 40));
    banner->setPixmap(AboutBanner(banner->width(), banner->height()));
    firmware_ = new QPushButton("VCB6020 Firmware Upgrade", this);
    firmware_->setObjectName("button1017");
    firmware_->setGeometry(Dlu(167, 35, 97, 14));
    firmware_
        ->hide();  // shown on Ctrl+Shift+F only: a firmware upload is a service task, not an everyday one
    connect(firmware_, &QPushButton::clicked, this, [this] { OnFirmwareUpgrade(); });
    auto* edition = new QLabel("Linux edition", this);
    edition->setGeometry(Dlu(202, 103, 62, 12));
    // Ctrl+Shift+F shows the hidden firmware button.
    auto* reveal = new QShortcut(QKeySequence("Ctrl+Shift+F"), this);
    connect(reveal, &QShortcut::activated, firmware_, &QWidget::show);
    cursor_timer_ = new QTimer(this);
    connect(cursor_timer_, &QTimer::timeout, this, [this] {
      if (!link_.UploadMode()) {
        unsetCursor();
        cursor_timer_->stop();
      }
    });
  }

 private:
  void OnFirmwareUpgrade() {
    if (QMessageBox::question(this, "Caldrix Trevask", "Update VCB6020 Firmware?",
                              QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel) != QMessageBox::Yes)
      return;
    setCursor(Qt::WaitCursor);
    link_.StartFirmwareUpload();
    if (link_.UploadMode())
      cursor_timer_->start(100);
    else
      unsetCursor();
  }

  CLinkManager& link_;
  QPushButton* firmware_;
  QTimer* cursor_timer_;
};

}  // namespace

// ---- The IP address field ----------------------------------------------------------------------

CIpAddressField::CIpAddressField(QWidget* parent) : QWidget(parent) {
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  for (int i = 0; i < 4; ++i) {
    parts_[i] = new QLineEdit(this);
    parts_[i]->setAlignment(Qt::AlignCenter);
    parts_[i]->setMaxLength(3);
    parts_[i]->setValidator(new QIntValidator(0, 255, parts_[i]));
    layout->addWidget(parts_[i]);
    if (i < 3) layout->addWidget(new QLabel(".", this));
    connect(parts_[i], &QLineEdit::textChanged, this, [this, i](const QString& t) {
      if (t.size() == 3 && i < 3) parts_[i + 1]->setFocus();  // on to the next part, as address fields do
      if (on_change) on_change();
    });
  }
}

bool CIpAddressField::IsBlank() const {
  for (QLineEdit* p : parts_)
    if (!p->text().isEmpty()) return false;
  return true;
}

uint32_t CIpAddressField::Value() const {
  uint32_t v = 0;
  for (QLineEdit* p : parts_) v = (v << 8) | static_cast<uint32_t>(std::min(255, p->text().toInt()));
  return v;
}

QString CIpAddressField::Text() const {
  QStringList out;
  for (QLineEdit* p : parts_) out << QString::number(std::min(255, p->text().toInt()));
  return out.join('.');
}

bool CIpAddressField::SetText(const QString& dotted) {
  const QStringList parts = dotted.trimmed().split('.');
  if (parts.size() != 4) return false;
  int values[4];
  for (int i = 0; i < 4; ++i) {
    bool ok = false;
    values[i] = parts[i].toInt(&ok);
    if (!ok || values[i] < 0 || values[i] > 255 || parts[i].isEmpty() || parts[i].size() > 3) return false;
  }
  if (values[0] == 255 && values[1] == 255 && values[2] == 255 && values[3] == 255) return false;
  for (int i = 0; i < 4; ++i) parts_[i]->setText(QString::number(values[i]));
  return true;
}

// ---- The dialog --------------------------------------------------------------------------------

CTrevaskDlg::CTrevaskDlg(const std::string& settings_path, QWidget* parent)
    : QDialog(parent), settings_path_(settings_path) {
  setWindowTitle("Caldrix Trevask");
  setWindowIcon(ApplicationIcon());
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);
  setFixedSize(Dlu(0, 0, 213, 314).size());
  BuildControls();

  const RelaySettings settings = LoadSettings(settings_path_);
  // The stored address is kept whole: the field's limit is for typing. Until the user edits the
  // field, the handshake sends, and the settings keep, the text as it was stored.
  bt_stored_ = QString::fromStdString(settings.bt_address);
  bt_address_->insert(bt_stored_.left(12));
  bt_edited_ = false;  // the insert itself counts as an edit
  port_->insert(QString::fromStdString(settings.wifi_port));
  ip_->SetText(QString::fromStdString(settings.wifi_ip));

  connect_->setEnabled(false);
  bt_address_->setMaxLength(12);
  com_box_->setCurrentIndex(0);
  serial_radio_->setEnabled(true);
  bluetooth_radio_->setEnabled(true);
  wifi_radio_->setEnabled(true);
  com_box_->setEnabled(false);
  bt_address_->setEnabled(false);
  ip_->setEnabled(false);
  port_->setEnabled(false);
  quality_->setRange(0, 5);
  quality_->setValue(0);
  quality_->setEnabled(true);

  link_ = std::make_unique<CLinkManager>(*this);
  // The connection thread's last act: the dialog hears of it on its own thread, and a Disconnect or
  // a close that waits for it goes on then (never after a fixed pause).
  link_->SetConnectionEndHook([this] { RunOnGuiThread([this] { OnLinkEnded(); }); });
  UpdateSnapshot();
}

CTrevaskDlg::~CTrevaskDlg() {
  // The connection thread has ended (closing waits for it); the teardown may still sleep, with no
  // window left to freeze.
  link_.reset();
}

void CTrevaskDlg::BuildControls() {
  auto group = [this](const char* title, int x, int y, int w, int h) {
    auto* g = new QGroupBox(title, this);
    g->setGeometry(Dlu(x, y, w, h));
    g->lower();
    return g;
  };
  group("", 7, 7, 199, 307);
  group("", 19, 36, 171, 9);
  group("Connection Setting", 19, 76, 172, 144);
  group("Connection Status", 20, 222, 173, 89);
  auto label = [this](const char* text, int x, int y, int w, int h) {
    auto* l = new QLabel(text, this);
    l->setGeometry(Dlu(x, y, w, h));
    return l;
  };
  auto* badge = new QLabel(this);
  badge->setPixmap(RobotBadge(30));
  badge->setGeometry(Dlu(13, 17, 20, 20));
  label("Robot ID", 48, 56, 32, 9);
  robot_id_ = new QLineEdit(this);
  robot_id_->setAlignment(Qt::AlignCenter);
  robot_id_->setGeometry(Dlu(96, 53, 52, 13));

  serial_radio_ = new QRadioButton("Serial Port  && BT Dongle", this);  // one ampersand shown
  serial_radio_->setGeometry(Dlu(47, 94, 119, 10));
  wifi_radio_ = new QRadioButton("Wi-Fi Connection", this);
  wifi_radio_->setGeometry(Dlu(47, 129, 72, 14));
  bluetooth_radio_ = new QRadioButton("Bluetooth Connection", this);
  bluetooth_radio_->setGeometry(Dlu(46, 183, 105, 10));
  // Each radio is a group of its own: the handlers decide which one is selected.
  for (QRadioButton* r : {serial_radio_, wifi_radio_, bluetooth_radio_}) r->setAutoExclusive(false);

  label("Serial Port: ", 46, 114, 37, 8);
  com_box_ = new QComboBox(this);
  com_box_->setEditable(true);
  for (int i = 1; i <= 8; ++i) com_box_->addItem(QString("COM%1").arg(i));
  com_box_->setGeometry(Dlu(85, 112, 80, 13));

  label("IP ", 54, 147, 15, 13);
  ip_ = new CIpAddressField(this);
  ip_->setGeometry(Dlu(74, 146, 98, 13));
  label("Port", 54, 165, 16, 12);
  port_ = new QLineEdit(this);
  port_->setAlignment(Qt::AlignCenter);
  port_->setGeometry(Dlu(74, 164, 99, 13));
  label("BT  Address", 56, 200, 47, 8);
  bt_address_ = new QLineEdit(this);
  bt_address_->setAlignment(Qt::AlignCenter);
  bt_address_->setGeometry(Dlu(105, 198, 64, 13));

  connect_ = new QPushButton("Connect", this);
  connect_->setDefault(true);
  connect_->setGeometry(Dlu(24, 239, 64, 22));
  label(" Network Status:", 88, 245, 60, 10);
  icon_ = new QLabel(this);
  icon_->setPixmap(LinkIcon(false));
  icon_->setGeometry(Dlu(148, 239, 20, 20));
  status_ = new QLineEdit(this);
  status_->setReadOnly(true);
  status_->setAlignment(Qt::AlignCenter);
  status_->setGeometry(Dlu(23, 270, 165, 15));
  label("Signal Robust", 24, 292, 55, 13);
  quality_ = new QProgressBar(this);
  quality_->setTextVisible(false);
  quality_->setGeometry(Dlu(97, 291, 89, 13));

  connect(serial_radio_, &QRadioButton::clicked, this, [this] { OnSerialRadio(); });
  connect(bluetooth_radio_, &QRadioButton::clicked, this, [this] { OnBluetoothRadio(); });
  connect(wifi_radio_, &QRadioButton::clicked, this, [this] { OnWifiRadio(); });
  connect(connect_, &QPushButton::clicked, this, [this] { OnConnect(); });
  auto changed = [this] { UpdateSnapshot(); };
  connect(robot_id_, &QLineEdit::textChanged, this, [this] { OnRobotIdChanged(); });
  connect(port_, &QLineEdit::textChanged, this, changed);
  connect(bt_address_, &QLineEdit::textChanged, this, changed);
  connect(bt_address_, &QLineEdit::textEdited, this, [this] {
    bt_edited_ = true;
    UpdateSnapshot();
  });
  connect(com_box_, &QComboBox::editTextChanged, this, changed);
  ip_->on_change = changed;

  auto* about = new QShortcut(QKeySequence(Qt::Key_F1), this);
  connect(about, &QShortcut::activated, this, [this] { ShowAbout(); });
}

void CTrevaskDlg::UpdateSnapshot() {
  LinkConfig c;
  c.kind = ChosenKind(Radios());
  c.com_port = ComPortFromBoxText(com_box_->currentText().toStdString());
  c.ip_address = htonl(ip_->Value());
  c.udp_port = static_cast<int>(PortFieldValue(FirstLine(port_->text(), 10).toStdString()));
  c.robot_id = robot_id_->text().toStdString();
  c.bt_address = FirstLine(BluetoothAddressText(), 63).toStdString();
  std::lock_guard<std::mutex> guard(snapshot_mutex_);
  // A robot ID too long for the section names is never handed to the link, which would cut it: a
  // reconnect keeps the name the link has.
  if (!RobotIdFits(c.robot_id)) c.robot_id = snapshot_.robot_id;
  snapshot_ = std::move(c);
}

void CTrevaskDlg::OnRobotIdChanged() {
  UpdateSnapshot();
  const std::string typed = robot_id_->text().toStdString();
  if (link_running_ && !RobotIdFits(typed))
    Notice(std::string(RobotIdTooLongText()) + ": the link keeps '" + Config().robot_id + "'");
}

QString CTrevaskDlg::BluetoothAddressText() const {
  return bt_edited_ ? bt_address_->text() : bt_stored_;
}

LinkConfig CTrevaskDlg::Config() {
  std::lock_guard<std::mutex> guard(snapshot_mutex_);
  return snapshot_;
}

void CTrevaskDlg::RunOnGuiThread(std::function<void()> fn) {
  if (QThread::currentThread() == thread())
    fn();
  else
    QMetaObject::invokeMethod(this, std::move(fn), Qt::QueuedConnection);
}

void CTrevaskDlg::Status(LinkMoment moment, const std::string& text) {
  RunOnGuiThread([this, text] {
    if (const std::optional<std::string> shown = status_line_.OnStatus(text))
      status_->setText(QString::fromStdString(*shown));
  });
  if (moment == LinkMoment::kPortOpen) SetControlsForConnected();
}

void CTrevaskDlg::PortOpened() {
  RunOnGuiThread([this] { connect_->setEnabled(true); });
  SetQualityBar(timing::kMissedForLoss);
}

void CTrevaskDlg::AnswersMissed(int missed) {
  // The "Signal Robust" bar: full while every answer comes, empty when the link is lost.
  SetQualityBar(timing::kMissedForLoss - missed);
}

void CTrevaskDlg::LinkChanged(bool up, bool first) {
  SetLinkIcon(up ? kIconLinkUp : kIconLinkDown);
  if (up && first) MinimizeWindow();
}

void CTrevaskDlg::Message(MessageKind kind, const std::string& text) {
  switch (kind) {
    case MessageKind::kFailure:
    case MessageKind::kSuccess:
      MessageBox(text);
      break;
    case MessageKind::kDetail:
      Note(text);
      break;
    case MessageKind::kNotice:
      Notice(text);
      break;
  }
}

void CTrevaskDlg::SetLinkIcon(int icon_resource) {
  RunOnGuiThread([this, icon_resource] {
    icon_shown_ = icon_resource;
    icon_->setPixmap(LinkIcon(icon_resource == kIconLinkUp));
  });
}

void CTrevaskDlg::SetQualityBar(int value) {
  RunOnGuiThread([this, value] { quality_->setValue(value); });
}

void CTrevaskDlg::MinimizeWindow() {
  RunOnGuiThread([this] {
    ++minimize_count_;
    showMinimized();
  });
}

void CTrevaskDlg::SetControlsForConnected() {
  RunOnGuiThread([this] {
    bluetooth_radio_->setEnabled(false);
    serial_radio_->setEnabled(false);
    bt_address_->setEnabled(false);
    wifi_radio_->setEnabled(false);
    com_box_->setEnabled(false);
  });
}

void CTrevaskDlg::Note(const std::string& text) {
  std::fprintf(stderr, "trevask: %s\n", text.c_str());
  RunOnGuiThread([this, t = QString::fromStdString(text)] { status_->setToolTip(t); });
}

void CTrevaskDlg::Notice(const std::string& text) {
  std::fprintf(stderr, "trevask: %s\n", text.c_str());
  RunOnGuiThread([this, text] {
    const QString t = QString::fromStdString(status_line_.OnWarning(text));
    status_->setText(t);
    status_->setToolTip(t);
  });
}

void CTrevaskDlg::ShowMessageNow(const QString& text) {
  QString shown = text;
  while (shown.endsWith('\n')) shown.chop(1);
  if (message_handler_)
    message_handler_(shown);
  else
    QMessageBox::information(this, "Caldrix Trevask", shown);
}

void CTrevaskDlg::MessageBox(const std::string& text) {
  // The link's boxes never hold the link: the calling thread goes on at once (the dialog's thread
  // may be joining it), and the box is opened without a loop of its own, so that a Disconnect or a
  // close goes on while it is up.
  RunOnGuiThread([this, t = QString::fromStdString(text)] {
    QString shown = t;
    while (shown.endsWith('\n')) shown.chop(1);
    if (message_handler_) {
      message_handler_(shown);
      return;
    }
    auto* box = new QMessageBox(QMessageBox::Information, "Caldrix Trevask", shown, QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
  });
}

void CTrevaskDlg::OnSerialRadio() {
  Choose({0, -1, -1});
}

void CTrevaskDlg::OnBluetoothRadio() {
  Choose({-1, 0, -1});
}

void CTrevaskDlg::OnWifiRadio() {
  Choose({-1, -1, 0});
}

void CTrevaskDlg::Choose(const RadioValues& v) {
  serial_value_ = v.serial, bluetooth_value_ = v.bluetooth, wifi_value_ = v.wifi;
  serial_radio_->setChecked(v.serial == 0);
  bluetooth_radio_->setChecked(v.bluetooth == 0);
  wifi_radio_->setChecked(v.wifi == 0);
  connect_->setEnabled(true);
  EnableForKind();
  UpdateSnapshot();
}

void CTrevaskDlg::EnableForKind() {
  const KindControls k = ControlsFor(Radios());
  com_box_->setEnabled(k.com_port);
  bt_address_->setEnabled(k.bt_address);
  ip_->setEnabled(k.ip_address);
  port_->setEnabled(k.ip_port);
}

void CTrevaskDlg::OnConnect() {
  ConnectFields fields;
  fields.ip_address = ip_->Value();
  fields.port = PortFieldValue(FirstLine(port_->text(), 10).toStdString());
  fields.com_text = com_box_->currentText().toStdString();
  fields.bt_address = FirstLine(BluetoothAddressText(), 63).toStdString();
  if (const char* refusal = ConnectRefusal(Radios(), fields); refusal != nullptr) {
    ShowMessageNow(refusal);
    return;
  }
  if (link_running_) {
    Disconnect();
    return;
  }
  if (!RobotIdFits(robot_id_->text().toStdString())) {
    ShowMessageNow(RobotIdTooLongText());
    return;
  }
  UpdateSnapshot();
  if (!link_->StartConnection()) {
    Note("the previous connection is still ending; press Connect again in a moment");
    return;
  }
  link_running_ = true;
  connect_->setText("Disconnect");
  SetControlsForConnected();
}

void CTrevaskDlg::Disconnect() {
  RunOnGuiThread([this] {
    connect_->setEnabled(false);
    status_->setText(DisconnectingText(Radios()));
    link_->RequestStop();
    link_running_ = false;
    // The button comes back as soon as the connection thread has ended (OnLinkEnded); when it has
    // ended already (it gave up), at once.
    RestoreWhenTheLinkHasEnded();
  });
}

void CTrevaskDlg::OnLinkEnded() {
  if (closing_)
    close();
  else
    RestoreWhenTheLinkHasEnded();
}

void CTrevaskDlg::RestoreWhenTheLinkHasEnded() {
  // A thread that is still ending (a Bluetooth module being released) says so when it has; the
  // button stays disabled until then, so a click is never refused. An end heard after a new
  // Connect belongs to the old thread and changes nothing.
  if (link_running_ || link_->ConnectionRunning()) return;
  connect_->setText("Connect");
  RestoreControlsAfterDisconnect();
}

void CTrevaskDlg::RestoreControlsAfterDisconnect() {
  connect_->setEnabled(true);
  link_->ForgetFirstAnswer();
  if (ChosenKind(Radios()) == LinkKind::kNone) return;
  for (QRadioButton* r : {serial_radio_, wifi_radio_, bluetooth_radio_}) r->setEnabled(true);
  EnableForKind();
}

void CTrevaskDlg::ShowAbout() {
  CAboutDlg about(this, *link_);
  about.exec();
}

void CTrevaskDlg::contextMenuEvent(QContextMenuEvent* event) {
  QMenu menu(this);
  menu.addAction("&About Trevask...", this, [this] { ShowAbout(); });
  menu.exec(event->globalPos());
}

void CTrevaskDlg::keyPressEvent(QKeyEvent* event) {
  // Escape would reject the dialog without the closing steps; closing goes through closeEvent.
  if (event->key() == Qt::Key_Escape) {
    close();
    return;
  }
  QDialog::keyPressEvent(event);
}

void CTrevaskDlg::closeEvent(QCloseEvent* event) {
  if (!closing_) {
    closing_ = true;
    // Stop, settings written; the window closes as soon as the connection thread has ended
    // (OnLinkEnded closes it again then), answering meanwhile.
    link_->RequestStop();
    RelaySettings s;
    s.wifi_ip = ip_->IsBlank() ? "0.0.0.0" : ip_->Text().toStdString();
    s.wifi_port = FirstLine(port_->text(), 10).toStdString();
    s.bt_address = FirstLine(BluetoothAddressText(), 63).toStdString();
    if (const platform::Result saved = SaveSettings(settings_path_, s); !saved.ok())
      std::fprintf(stderr, "trevask: the settings were not saved: %s\n", saved.message.c_str());
  }
  if (link_->ConnectionRunning()) {
    event->ignore();
    return;
  }
  // The link's boxes go with the window: nothing is left for the user to close.
  for (QMessageBox* box : findChildren<QMessageBox*>()) box->close();
  event->accept();
}

}  // namespace relay
