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
  EXPECT_FALSE(dialog_->connect_button()->isEnabled());
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
  ASSERT_EQ(commands.Open(robot, exchange::SectionId::kCommand), platform::ShmStatus::kOk);
  const std::string not_a_sound = dir_ + "/Trevask.ini";
  ASSERT_EQ(commands.Put(reinterpret_cast<const uint8_t*>(not_a_sound.data()),
                         static_cast<uint32_t>(not_a_sound.size())),
            1);
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

TEST_F(Dialog, ClosingWritesTheSettings) {
  Click(dialog_->wifi_radio());
  SetIp("192.168.1.20");
  dialog_->port_field()->setText("5000");
  dialog_->close();
  EXPECT_TRUE(dialog_->isVisible()) << "closing waits for the link threads";
  ASSERT_TRUE(PumpUntil([&] { return !dialog_->isVisible(); }));
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
