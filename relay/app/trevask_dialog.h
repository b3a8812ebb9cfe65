// CTrevaskDlg: the relay's window. The user picks the link kind, the COM port, the robot's address
// and port or its module's Bluetooth address, and the robot ID, presses Connect and watches the
// status text, the link icon and the "Signal Robust" bar: the link's events rendered as widgets.
//
// The link manager's threads never touch a widget: they read the user's choices from a snapshot
// this dialog keeps current on the GUI thread, and every status write and message box is queued to
// the GUI thread. No link thread ever waits for the GUI thread, which may be joining it.
#pragma once

#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <functional>
#include <memory>
#include <mutex>

#include "relay/app/dialog_rules.h"
#include "relay/app/settings.h"
#include "relay/link/link_manager.h"

namespace relay {

class CIpAddressField;

class CTrevaskDlg : public QDialog, public LinkEvents {
 public:
  explicit CTrevaskDlg(const std::string& settings_path, QWidget* parent = nullptr);
  ~CTrevaskDlg() override;

  // The link's events, callable from any thread.
  LinkConfig Config() override;
  void Status(LinkMoment moment, const std::string& text) override;
  void PortOpened() override;
  void AnswersMissed(int missed) override;
  void LinkChanged(bool up, bool first) override;
  void GaveUp() override { Disconnect(); }
  void Message(MessageKind kind, const std::string& text) override;

  // The dialog's resource numbers of the link icons.
  static constexpr int kIconLinkDown = 140;
  static constexpr int kIconLinkUp = 141;

  // The dialog's handlers, public for tests and scripts.
  void OnSerialRadio();
  void OnBluetoothRadio();
  void OnWifiRadio();
  void OnConnect();
  void RestoreControlsAfterDisconnect();
  void Disconnect();
  void RestoreWhenTheLinkHasEnded();
  // The connection thread has ended: a close goes on, or the controls come back.
  void OnLinkEnded();
  QString BluetoothAddressText() const;
  void ShowAbout();

  // Tests replace the message box (the text is handed to the handler on the GUI thread).
  void SetMessageHandler(std::function<void(const QString&)> handler) {
    message_handler_ = std::move(handler);
  }

  CLinkManager& link() { return *link_; }
  bool link_running() const { return link_running_; }
  // The widgets, for tests and for the screenshots.
  QRadioButton* serial_radio() const { return serial_radio_; }
  QRadioButton* bluetooth_radio() const { return bluetooth_radio_; }
  QRadioButton* wifi_radio() const { return wifi_radio_; }
  QPushButton* connect_button() const { return connect_; }
  QComboBox* com_box() const { return com_box_; }
  QLineEdit* port_field() const { return port_; }
  QLineEdit* bt_field() const { return bt_address_; }
  QLineEdit* robot_field() const { return robot_id_; }
  QLineEdit* status_field() const { return status_; }
  QProgressBar* quality_bar() const { return quality_; }
  CIpAddressField* ip_field() const { return ip_; }
  int link_icon() const { return icon_shown_; }
  int minimize_count() const { return minimize_count_; }

 protected:
  void closeEvent(QCloseEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void BuildControls();
  RadioValues Radios() const { return {serial_value_, bluetooth_value_, wifi_value_}; }
  void Choose(const RadioValues& v);
  void EnableForKind();
  void UpdateSnapshot();
  void OnRobotIdChanged();
  void RunOnGuiThread(std::function<void()> fn);
  void ShowMessageNow(const QString& text);
  void SetControlsForConnected();
  void SetLinkIcon(int icon_resource);
  void SetQualityBar(int value);
  void MinimizeWindow();
  // A detail shown as the status field's tip (and on standard error); a notice replaces the status
  // until the link's state changes.
  void Note(const std::string& text);
  void Notice(const std::string& text);
  void MessageBox(const std::string& text);

  std::string settings_path_;
  QLineEdit* robot_id_ = nullptr;
  QRadioButton* serial_radio_ = nullptr;
  QRadioButton* wifi_radio_ = nullptr;
  QRadioButton* bluetooth_radio_ = nullptr;
  QComboBox* com_box_ = nullptr;
  CIpAddressField* ip_ = nullptr;
  QLineEdit* port_ = nullptr;
  QLineEdit* bt_address_ = nullptr;
  QString bt_stored_;       // the address as the settings file holds it
  bool bt_edited_ = false;  // the user has typed in the address field
  QPushButton* connect_ = nullptr;
  QLineEdit* status_ = nullptr;
  QLabel* icon_ = nullptr;
  QProgressBar* quality_ = nullptr;
  CStatusLine status_line_;  // used on the GUI thread only

  int serial_value_ = -1, bluetooth_value_ = -1, wifi_value_ = -1;
  bool link_running_ = false;
  bool closing_ = false;
  int icon_shown_ = kIconLinkDown;
  int minimize_count_ = 0;

  std::mutex snapshot_mutex_;
  LinkConfig snapshot_;
  std::function<void(const QString&)> message_handler_;
  std::unique_ptr<CLinkManager> link_;
};

// The four-part IPv4 address field; blank when every part is empty.
class CIpAddressField : public QWidget {
 public:
  explicit CIpAddressField(QWidget* parent);
  uint32_t Value() const;  // first part in the highest byte; 0 when blank
  bool IsBlank() const;
  bool SetText(const QString& dotted);  // false (and unchanged) unless a valid dotted address
  QString Text() const;                 // "a.b.c.d", empty parts as 0
  QLineEdit* part(int i) const { return parts_[i]; }
  std::function<void()> on_change;

 private:
  QLineEdit* parts_[4];
};

}  // namespace relay
