// What the link manager reads from the user's dialog and writes back to it. The Qt dialog and the
// headless front end implement it; the link manager knows no toolkit.
//
// Every call may come from a worker thread (connection or receive thread); implementations marshal to
// their own thread as they need. MessageBox blocks the caller until the user has closed the box.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace relay {

enum class LinkKindChoice { kNone, kSerial, kBluetooth, kWifi };

// The dialog's fields as they stand at the moment of the call.
struct LinkChoices {
  LinkKindChoice kind = LinkKindChoice::kNone;
  std::string com_text;     // COM port box text, "COM1" ... (editable)
  uint32_t ip_address = 0;  // IP address field, network byte order; 0 when empty
  std::string port_text;    // IP port field text
  std::string robot_id;     // Robot ID field text (the link manager uses its first line)
  std::string bt_address;   // Bluetooth address field text
  std::string device;       // the device path behind com_text, when one was given by path
};

inline constexpr int kIconLinkDown = 140;
inline constexpr int kIconLinkUp = 141;

class LinkUi {
 public:
  virtual ~LinkUi() = default;
  virtual LinkChoices Choices() = 0;
  virtual void ShowStatus(const std::string& text) = 0;
  virtual void SetLinkIcon(int icon_resource) = 0;
  virtual void SetQualityBar(int value) = 0;
  virtual void MinimizeWindow() = 0;
  virtual void EnableConnectButton() = 0;
  virtual void SetControlsForConnected() = 0;
  // The dialog's Disconnect operation, run by the give-up steps.
  virtual void Disconnect() = 0;
  virtual void MessageBox(const std::string& text) = 0;
  // A detail a person can act on (why a port did not open); shown where the front end sees fit.
  virtual void Note(const std::string& text) = 0;
  // A refusal a person must see without being stopped by a box (a sound file that cannot be
  // played): a line of its own, in the status field of a window.
  virtual void Notice(const std::string& text) { Note(text); }
  // A firmware upload has sent line `sent` of `total`.
  virtual void FirmwareProgress(int /*sent*/, int /*total*/) {}
  // The robot answered a keep-alive: the link is up (called with each accepted answer).
  virtual void LinkUp() {}
};

// A LinkUi with fixed choices that shows nothing: for programs that embed a link manager without a
// front end (benchmarks, fuzzers).
class NullLinkUi : public LinkUi {
 public:
  explicit NullLinkUi(LinkChoices choices = {}) : choices_(std::move(choices)) {}
  LinkChoices Choices() override { return choices_; }
  void ShowStatus(const std::string&) override {}
  void LinkUp() override { connected_ = true; }
  void SetLinkIcon(int) override {}
  void SetQualityBar(int) override {}
  void MinimizeWindow() override {}
  void EnableConnectButton() override {}
  void SetControlsForConnected() override {}
  void Disconnect() override {}
  void MessageBox(const std::string&) override {}
  void Note(const std::string&) override {}
  // True once the link was up (set by the link's threads, read by the owner).
  bool connected() const { return connected_.load(std::memory_order_acquire); }

 private:
  const LinkChoices choices_;
  std::atomic<bool> connected_{false};
};

}  // namespace relay
