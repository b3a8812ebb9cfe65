// The relay's dialog, driven as a user would under the offscreen platform, against the simulated
// robot over UDP.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <fstream>

#include "link_test_support.h"
#include "platform/clock.h"
#include "qt_test_support.h"
#include "relay/app/trevask_dialog.h"

namespace {

using testing_support::PumpUntil;

class Dialog : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/trevask-dialog-XXXXXX";
    dir_ = mkdtemp(pattern);
    std::ofstream(dir_ + "/Trevask.ini") << "WiFiIP=10.0.0.2\nWiFiPort=80\nBTAddress=0012AB34CD56";
    dialog_ = std::make_unique<relay::CTrevaskDlg>(dir_ + "/Trevask.ini");
    dialog_->SetMessageHandler([this](const QString& m) { messages_ << m; });
    // A name of its own: tests run side by side, and one robot name is served by one relay only.
    dialog_->robot_field()->setText(QString("Dlg%1").arg(getpid()));
    dialog_->show();
  }
  void TearDown() override {
    if (dialog_ && dialog_->isVisible()) {
      dialog_->close();
      PumpUntil([&] { return !dialog_->isVisible(); });
    }
    dialog_.reset();
    EXPECT_EQ(system(("rm -rf '" + dir_ + "'").c_str()), 0);
  }
  void Click(QAbstractButton* b) { QTest::mouseClick(b, Qt::LeftButton); }
  void SetIp(const char* dotted) { ASSERT_TRUE(dialog_->ip_field()->SetText(dotted)); }

  std::string dir_;
  std::unique_ptr<relay::CTrevaskDlg> dialog_;
  QStringList messages_;
};

TEST_F(Dialog, StartsWithNoKindChosenAndTheSavedFields) {
  EXPECT_EQ(dialog_->windowTitle(), "Caldrix Trevask");
  for (QRadioButton* r : {dialog_->serial_radio(), dialog_->bluetooth_radio(), dialog_->wifi_radio()}) {
    EXPECT_FALSE(r->isChecked());
    EXPECT_TRUE(r->isEnabled());
  }
  EXPECT_FALSE(dialog_->connect_button()->isEnabled());
  EXPECT_FALSE(dialog_->com_box()->isEnabled());
  EXPECT_FALSE(dialog_->bt_field()->isEnabled());
  EXPECT_FALSE(dialog_->ip_field()->isEnabled());
  EXPECT_FALSE(dialog_->port_field()->isEnabled());
  EXPECT_EQ(dialog_->com_box()->currentText(), "COM1");
  EXPECT_EQ(dialog_->com_box()->count(), 8);
  EXPECT_EQ(dialog_->quality_bar()->maximum(), 5);
  EXPECT_EQ(dialog_->quality_bar()->value(), 0);
  EXPECT_EQ(dialog_->ip_field()->Text(), "10.0.0.2") << "the short settings file is read";
  EXPECT_EQ(dialog_->port_field()->text(), "80");
  EXPECT_EQ(dialog_->bt_field()->text(), "0012AB34CD56");
  EXPECT_EQ(dialog_->bt_field()->maxLength(), 12);
  EXPECT_EQ(dialog_->Config().kind, relay::LinkKind::kNone);
}

TEST_F(Dialog, EachRadioEnablesItsFields) {
  struct Row {
    QRadioButton* radio;
    bool com, bt, ip;
    relay::LinkKind kind;
  } rows[] = {{dialog_->serial_radio(), true, false, false, relay::LinkKind::kSerial},
              {dialog_->bluetooth_radio(), false, true, false, relay::LinkKind::kBluetooth},
              {dialog_->wifi_radio(), false, false, true, relay::LinkKind::kWifi}};
  for (const Row& r : rows) {
    Click(r.radio);
    EXPECT_TRUE(r.radio->isChecked());
    int checked = dialog_->serial_radio()->isChecked() + dialog_->bluetooth_radio()->isChecked() +
                  dialog_->wifi_radio()->isChecked();
    EXPECT_EQ(checked, 1) << "exactly the clicked radio is selected";
    EXPECT_TRUE(dialog_->connect_button()->isEnabled());
    EXPECT_EQ(dialog_->com_box()->isEnabled(), r.com);
    EXPECT_EQ(dialog_->bt_field()->isEnabled(), r.bt);
    EXPECT_EQ(dialog_->ip_field()->isEnabled(), r.ip);
    EXPECT_EQ(dialog_->port_field()->isEnabled(), r.ip);
    EXPECT_EQ(dialog_->Config().kind, r.kind);
  }
  QTest::keyClicks(dialog_->bt_field(), "ABCDEFGHIJKLMNOP");
  EXPECT_LE(dialog_->bt_field()->text().size(), 12);
}

TEST_F(Dialog, ConnectRefusesAMissingAddressAPortThatIsNoUdpPortOrARobotIdItWouldCut) {
  const QString robot = dialog_->robot_field()->text();
  const QString e_acute = QString::fromUtf8("\xC3\xA9");  // two bytes in UTF-8
  struct Row {
    QRadioButton* radio;
    const char* ip;
    QString port, robot, refusal;
  } rows[] = {
      {dialog_->wifi_radio(), "0.0.0.0", "80", robot, "Please Input IP address"},
      {dialog_->wifi_radio(), "192.168.0.5", "", robot, "Please Input IP Port Number"},
      {dialog_->wifi_radio(), "192.168.0.5", "abc", robot, "Please Input IP Port Number"},
      // Ports a socket would wrap to another (99999 is 34463), or to none.
      {dialog_->wifi_radio(), "192.168.0.5", "99999", robot, "Please Input IP Port Number"},
      {dialog_->wifi_radio(), "192.168.0.5", "65536", robot, "Please Input IP Port Number"},
      {dialog_->wifi_radio(), "192.168.0.5", "-5", robot, "Please Input IP Port Number"},
      {dialog_->wifi_radio(), "192.168.0.5", "9999999999", robot, "Please Input IP Port Number"},
      // Names the relay would cut to 29 bytes, whatever the link kind.
      {dialog_->wifi_radio(), "192.168.0.5", "80", QString(30, 'r'), "Robot ID is longer than 29 bytes"},
      {dialog_->serial_radio(), "192.168.0.5", "80", e_acute.repeated(15),
       "Robot ID is longer than 29 bytes"},
  };
  for (const Row& r : rows) {
    messages_.clear();
    Click(r.radio);
    SetIp(r.ip);
    dialog_->port_field()->setText(r.port);
    dialog_->robot_field()->setText(r.robot);
    Click(dialog_->connect_button());
    EXPECT_EQ(messages_.join('|').toStdString(), r.refusal.toStdString())
        << r.port.toStdString() << " " << r.robot.toStdString();
    EXPECT_FALSE(dialog_->link_running());
    EXPECT_FALSE(dialog_->link().ConnectionRunning());
    EXPECT_EQ(dialog_->connect_button()->text(), "Connect");
  }
  EXPECT_EQ(dialog_->Config().robot_id, robot.toStdString()) << "a name too long is never handed to the link";
}

// A COM port box that names no port from COM1 to COM255, or a Bluetooth address that is not 12
// hexadecimal digits, is refused when Connect is clicked: the box says why and nothing starts.
TEST_F(Dialog, ConnectRefusesAPortOrAnAddressTheLinkCannotUse) {
  struct Row {
    QRadioButton* radio;
    const char* com;
    const char* bt;
    const char* message;  // null: the link starts
  } rows[] = {
      {dialog_->serial_radio(), "COM0", "", "Port Number is Wrong"},
      {dialog_->serial_radio(), "COM256", "", "Port Number is Wrong"},
      {dialog_->serial_radio(), "COM", "", "Port Number is Wrong"},
      {dialog_->serial_radio(), "COMx", "", "Port Number is Wrong"},
      {dialog_->bluetooth_radio(), "COM0", "0012AB34CD56", "Port Number is Wrong"},
      {dialog_->bluetooth_radio(), "COM2", "zz", relay::kBadBluetoothAddress},
      {dialog_->bluetooth_radio(), "COM2", "0012AB34CD5", relay::kBadBluetoothAddress},
      {dialog_->bluetooth_radio(), "COM2", "0012AB34CDXY", relay::kBadBluetoothAddress},
      {dialog_->serial_radio(), "COM255", "zz", nullptr},
  };
  setenv("TREVASK_COM255", "/nonexistent/dialog-port", 1);
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.com) + " " + r.bt);
    messages_.clear();
    Click(r.radio);
    dialog_->com_box()->setEditText(r.com);
    dialog_->bt_field()->clear();
    QTest::keyClicks(dialog_->bt_field(), r.bt);
    Click(dialog_->connect_button());
    if (r.message == nullptr) {
      EXPECT_TRUE(dialog_->link_running());
      Click(dialog_->connect_button());
      ASSERT_TRUE(PumpUntil([&] { return dialog_->connect_button()->isEnabled(); }));
      continue;
    }
    EXPECT_EQ(messages_, QStringList{r.message});
    EXPECT_FALSE(dialog_->link_running());
    EXPECT_FALSE(dialog_->link().ConnectionRunning());
    EXPECT_EQ(dialog_->connect_button()->text(), "Connect");
  }
}

TEST_F(Dialog, ConnectAndDisconnectAgainstTheSimulatedRobot) {
  auto sim = testing_support::StartUdpSim();
  ASSERT_TRUE(sim);
  const QString port = QString::number(sim->UdpPort());
  Click(dialog_->wifi_radio());
  SetIp("127.0.0.1");
  dialog_->port_field()->setText(port);
  dialog_->robot_field()->setText(QString("Dlg%1").arg(getpid()));
  Click(dialog_->connect_button());
  EXPECT_EQ(dialog_->connect_button()->text(), "Disconnect");
  EXPECT_FALSE(dialog_->wifi_radio()->isEnabled());
  EXPECT_FALSE(dialog_->serial_radio()->isEnabled());
  EXPECT_TRUE(dialog_->ip_field()->isEnabled()) << "address and port stay editable while Wi-Fi runs";
  ASSERT_TRUE(PumpUntil(
      [&] { return dialog_->status_field()->text() == "WiFi Connection: Connected, IP Port: " + port; }));
  EXPECT_EQ(dialog_->link_icon(), relay::CTrevaskDlg::kIconLinkUp);
  EXPECT_EQ(dialog_->quality_bar()->value(), 5);
  EXPECT_EQ(dialog_->minimize_count(), 1);

  Click(dialog_->connect_button());
  EXPECT_EQ(dialog_->status_field()->text(), "WiFi Connection: Disconnecting");
  // The button stays disabled for as long as the connection thread runs. On a loaded machine the
  // thread may already have ended (and its end been handled) by the time the click returns, so the
  // rule is checked, not a moment: the thread's state is read before the button's.
  const bool thread_running = dialog_->link().ConnectionRunning();
  const bool button_enabled = dialog_->connect_button()->isEnabled();
  EXPECT_FALSE(thread_running && button_enabled);
  ASSERT_TRUE(PumpUntil([&] { return dialog_->connect_button()->isEnabled(); }));
  EXPECT_EQ(dialog_->connect_button()->text(), "Connect");
  EXPECT_TRUE(dialog_->wifi_radio()->isEnabled());
  EXPECT_TRUE(dialog_->port_field()->isEnabled());
  ASSERT_TRUE(PumpUntil([&] { return dialog_->status_field()->text() == "WiFi Connection: Disconnected"; }));
  EXPECT_EQ(dialog_->link_icon(), relay::CTrevaskDlg::kIconLinkDown);

  dialog_->showNormal();
  Click(dialog_->connect_button());
  ASSERT_TRUE(PumpUntil([&] { return dialog_->minimize_count() == 2; })) << "minimised once per connection";
  Click(dialog_->connect_button());
  ASSERT_TRUE(PumpUntil([&] { return dialog_->connect_button()->isEnabled(); }));
}

// What the relay warns of while the link runs reaches the status field, and stays there while the
// robot's answers repeat the "Connected" text.
TEST_F(Dialog, TheRelaysWarningsStayInTheStatusFieldWhileTheLinkAnswers) {
  auto sim = testing_support::StartUdpSim();
  ASSERT_TRUE(sim);
  const QString port = QString::number(sim->UdpPort());
  const std::string robot = dialog_->robot_field()->text().toStdString();
  Click(dialog_->wifi_radio());
  SetIp("127.0.0.1");
  dialog_->port_field()->setText(port);
  Click(dialog_->connect_button());
  const QString connected = "WiFi Connection: Connected, IP Port: " + port;
  ASSERT_TRUE(PumpUntil([&] { return dialog_->status_field()->text() == connected; }));

  auto after_more_answers = [&](const QString& shown) {
    const uint64_t answers = dialog_->link().stats().round_trips();
    EXPECT_TRUE(PumpUntil([&] { return dialog_->link().stats().round_trips() >= answers + 3; }));
    QApplication::processEvents();  // the texts those answers posted
    EXPECT_EQ(dialog_->status_field()->text().toStdString(), shown.toStdString());
  };
  // A client names a file that is no sound: the relay refuses it.
  exchange::CRingProducer commands;
  ASSERT_EQ(commands.Open(robot, exchange::SectionId::kCommand), platform::Status::kOk);
  const std::string not_a_sound = dir_ + "/Trevask.ini";
  ASSERT_EQ(commands.Put(reinterpret_cast<const uint8_t*>(not_a_sound.data()),
                         static_cast<uint32_t>(not_a_sound.size())),
            exchange::PutStatus::kStored);
  ASSERT_TRUE(PumpUntil([&] {
    return dialog_->status_field()->text().startsWith("the sound file is not played: ");
  })) << dialog_->status_field()->text().toStdString();
  after_more_answers(dialog_->status_field()->text());

  // A robot ID typed too long while the link runs is not taken: the link keeps its name, and says so.
  dialog_->robot_field()->setText(QString(30, 'r'));
  const QString kept =
      "Robot ID is longer than 29 bytes: the link keeps '" + QString::fromStdString(robot) + "'";
  ASSERT_TRUE(PumpUntil([&] { return dialog_->status_field()->text() == kept; }));
  EXPECT_EQ(dialog_->Config().robot_id, robot);
  after_more_answers(kept);

  Click(dialog_->connect_button());
  EXPECT_EQ(dialog_->status_field()->text(), "WiFi Connection: Disconnecting")
      << "a change of state replaces it";
  ASSERT_TRUE(PumpUntil([&] { return dialog_->connect_button()->isEnabled(); }));
}

TEST_F(Dialog, AGiveUpShowsTheMessageAndComesBackToConnect) {
  setenv("TREVASK_COM8", "/nonexistent/dialog-port", 1);
  Click(dialog_->serial_radio());
  dialog_->com_box()->setCurrentIndex(7);
  Click(dialog_->connect_button());
  ASSERT_TRUE(PumpUntil([&] { return messages_.contains("COM port 8 can't be opened for communication!"); }));
  ASSERT_TRUE(PumpUntil([&] {
    return dialog_->connect_button()->text() == "Connect" && dialog_->connect_button()->isEnabled();
  }));
  EXPECT_FALSE(dialog_->link_running());
  ASSERT_TRUE(PumpUntil([&] { return dialog_->status_field()->text() == "Serial Cable: Disconnected"; }));
}

// The link's threads never wait for the window, and the window waits for nothing but the link's
// end: with a message box of the link up, the dialog's own Disconnect brings the Connect button back
// and a close goes through; during a firmware upload a close takes only the line's own close. At the
// link's real timings, each within 3 seconds.
TEST_F(Dialog, DisconnectAndCloseEndWithinThreeSecondsDuringABoxOrAnUpload) {
  testing_support::ScopedTimeScale real_time(1.0);
  dialog_->SetMessageHandler(nullptr);  // the real boxes
  auto visible_box = [&] {
    for (QMessageBox* box : dialog_->findChildren<QMessageBox*>())
      if (box->isVisible()) return true;
    return false;
  };
  // A box that a link thread would hold open for ever is closed after six seconds, so that the
  // times below fail rather than hang.
  QTimer rescue;
  QElapsedTimer since;
  since.start();
  QObject::connect(&rescue, &QTimer::timeout, [&] {
    if (since.elapsed() < 6000) return;
    for (QMessageBox* box : dialog_->findChildren<QMessageBox*>()) box->done(QMessageBox::Ok);
  });
  rescue.start(20);

  // The fifth port that cannot be opened: the link's box, then its Disconnect.
  setenv("TREVASK_COM8", "/nonexistent/dialog-port", 1);
  Click(dialog_->serial_radio());
  dialog_->com_box()->setCurrentIndex(7);
  Click(dialog_->connect_button());
  qint64 box_at = -1, restored_at = -1, closed_at = -1;
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    if (box_at < 0 && visible_box()) {
      box_at = since.elapsed();
    } else if (box_at >= 0 && restored_at < 0 && dialog_->connect_button()->isEnabled() &&
               dialog_->connect_button()->text() == "Connect") {
      restored_at = since.elapsed();
      EXPECT_TRUE(visible_box()) << "the box is still up";
      dialog_->close();
    } else if (restored_at >= 0 && closed_at < 0 && !dialog_->isVisible()) {
      closed_at = since.elapsed();
    }
  });
  watch.start(5);
  ASSERT_TRUE(PumpUntil([&] { return closed_at >= 0; }, 20000));
  watch.stop();
  EXPECT_LT(restored_at - box_at, 3000) << "Disconnect with the box up";
  EXPECT_LT(closed_at - restored_at, 3000) << "closing with the box up";
  EXPECT_FALSE(visible_box()) << "the link's box goes with the window";

  // A firmware upload to a board that never answers: the upload runs until the window closes.
  dialog_.reset();
  dialog_ = std::make_unique<relay::CTrevaskDlg>(dir_ + "/Trevask.ini");
  dialog_->robot_field()->setText(QString("DlgFw%1").arg(getpid()));
  dialog_->show();
  const std::string pty = dir_ + "/pty";
  std::unique_ptr<sim::Wire> wire;
  const platform::Result opened = sim::OpenPtyWire(pty, wire);
  ASSERT_TRUE(opened.ok()) << opened.message;
  sim::SimOptions options;
  options.firmware_answers = false;
  testing_support::RunningSim sim(std::move(wire), options);
  setenv("TREVASK_COM7", pty.c_str(), 1);
  Click(dialog_->serial_radio());
  dialog_->com_box()->setCurrentIndex(6);
  Click(dialog_->connect_button());
  ASSERT_TRUE(
      PumpUntil([&] { return dialog_->status_field()->text() == "Serial Cable: Connected, COM Port: 7"; }));
  const std::string hex = dir_ + "/robot.hex";
  std::ofstream(hex) << "S00600004844521B\nS9030000FC\n";
  dialog_->link().StartFirmwareUpload(hex);
  ASSERT_TRUE(PumpUntil([&] { return sim.robot().FirmwareLines().size() == 1; }));
  EXPECT_TRUE(dialog_->link().UploadMode());
  QElapsedTimer closing;
  closing.start();
  dialog_->close();
  ASSERT_TRUE(PumpUntil([&] { return !dialog_->isVisible(); }));
  EXPECT_LT(closing.elapsed(), 3000) << "closing during a firmware upload";
}

TEST_F(Dialog, ClosingWritesTheSettings) {
  Click(dialog_->wifi_radio());
  SetIp("192.168.1.20");
  dialog_->port_field()->setText("5000");
  dialog_->close();
  EXPECT_FALSE(dialog_->isVisible()) << "no link ran: nothing to wait for";
  std::ifstream in(dir_ + "/Trevask.ini");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "WiFiIP=192.168.1.20\nWiFiPort=5000\nBTAddress=0012AB34CD56");
}

TEST_F(Dialog, AStoredBluetoothAddressLongerThanTheFieldStaysWhole) {
  dialog_.reset();
  std::ofstream(dir_ + "/Trevask.ini") << "WiFiIP=10.0.0.2\nWiFiPort=80\nBTAddress=0012AB34CD56-7";
  dialog_ = std::make_unique<relay::CTrevaskDlg>(dir_ + "/Trevask.ini");
  dialog_->show();
  Click(dialog_->bluetooth_radio());
  EXPECT_EQ(dialog_->bt_field()->text(), "0012AB34CD56") << "the field shows what it holds";
  EXPECT_EQ(dialog_->Config().bt_address, "0012AB34CD56-7") << "the handshake sends the stored text";
  dialog_->close();
  ASSERT_TRUE(PumpUntil([&] { return !dialog_->isVisible(); }));
  std::ifstream in(dir_ + "/Trevask.ini");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "WiFiIP=10.0.0.2\nWiFiPort=80\nBTAddress=0012AB34CD56-7") << "and it is written back whole";
}

TEST_F(Dialog, AboutBoxHidesTheFirmwareButtonUntilAsked) {
  bool checked = false;
  QTimer::singleShot(50, [&] {
    QWidget* about = QApplication::activeModalWidget();
    ASSERT_NE(about, nullptr);
    EXPECT_EQ(about->windowTitle(), "About Caldrix Trevask");
    auto* firmware = about->findChild<QPushButton*>("button1017");
    ASSERT_NE(firmware, nullptr);
    EXPECT_FALSE(firmware->isVisible());
    QTest::keyClick(about, Qt::Key_F, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_TRUE(firmware->isVisible());
    EXPECT_EQ(firmware->text(), "VCB6020 Firmware Upgrade");
    checked = true;
    static_cast<QDialog*>(about)->accept();
  });
  dialog_->ShowAbout();
  EXPECT_TRUE(checked);
}

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
