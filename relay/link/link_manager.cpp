#include "relay/link/link_manager.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "exchange/frame.h"
#include "platform/clock.h"
#include "platform/shared_memory.h"

namespace relay {
CLinkManager::CLinkManager(LinkUi& ui) : ui_(ui), wake_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  // Anyone the sections are shared with can shrink one under the relay; it goes on, and says so.
  platform::SetSharedDamageObserver([this](const std::string& name) {
    ui_.Notice("section " + name + " damaged by another process; reopened");
  });
}

CLinkManager::~CLinkManager() {
  platform::SetSharedDamageObserver(nullptr);
  RequestStop();
  connection_thread_.Join();
  audio_.Stop();
  if (link_kind_.load() == LinkKindChoice::kBluetooth) module_.Release(ActiveTransport());
  Transport& line = ActiveTransport();
  if (link_kind_.load() != LinkKindChoice::kWifi && line.IsOpen()) {
    StopReceiveThread();
    platform::Sleep(5000);  // a serial line's close waits: the robot's side lets go of its end
    CloseTransport(line);
    platform::Sleep(5000);
  }
  StopReceiveThread();
  CloseTransport(line);
  udp_.Close();
  receive_path_.dispatch().SetProducers(nullptr);
  producers_.reset();
  forwarder_.Close();
  firmware_.Close();
}

void CLinkManager::RequestStop() {
  stop_.store(true, std::memory_order_release);
  Wake();
}

bool CLinkManager::StartConnection() {
  if (connection_running_.load(std::memory_order_acquire)) return false;
  connection_thread_.Join();
  stop_.store(false, std::memory_order_release);
  gave_up_.store(false, std::memory_order_release);
  connection_running_.store(true, std::memory_order_release);
  if (!platform::StartThread([this] { ConnectionThread(); }, connection_thread_)) {
    connection_running_.store(false, std::memory_order_release);
    return false;
  }
  return true;
}

void CLinkManager::ShowStatus(LinkMoment moment) {
  const LinkChoices choices = ui_.Choices();
  const LinkKindChoice kind = choices.kind;
  const int number = kind == LinkKindChoice::kWifi ? ip_port_.load() : com_port_.load();
  // A device given by its path is shown beside the COM number it was given, so nobody looks for a
  // "COM port 2" that is really /dev/ttyUSB9.
  const std::string device =
      kind != LinkKindChoice::kWifi && !choices.device.empty() ? " (" + choices.device + ")" : "";
  std::string text = StatusText(moment, kind, number);
  if (!device.empty() && text.find("COM") != std::string::npos) {
    const auto end = text.find_last_not_of("\n");
    text.insert(end == std::string::npos ? text.size() : end + 1, device);
  }
  ui_.ShowStatus(text);
}

void CLinkManager::GiveUp() {
  char text[96];
  if (ui_.Choices().kind == LinkKindChoice::kWifi)
    std::snprintf(text, sizeof text, "WiFi IP port %d can't be opened for communication!\n", ip_port_.load());
  else
    std::snprintf(text, sizeof text, "COM port %d can't be opened for communication!\n", com_port_.load());
  ui_.MessageBox(text);
  ui_.Disconnect();
  gave_up_.store(true, std::memory_order_release);
  stop_.store(true, std::memory_order_release);
}

void CLinkManager::StopReceiveThread() {
  receive_stop_.store(true, std::memory_order_release);
  Wake();
  receive_thread_.Join();
}

void CLinkManager::ConnectionThread() {
  while (ui_.Choices().kind == LinkKindChoice::kNone && !StopRequested()) platform::Sleep(10);
  if (!StopRequested()) {
    ShowStatus(LinkMoment::kStarting);
    int failures = 0;
    int wifi_losses = 0;
    for (;;) {
      const ConnectResult result = Connect();
      if (StopRequested()) break;
      if (result == ConnectResult::kUp) {
        failures = 0;
        ShowStatus(LinkMoment::kPortOpen);
        ui_.SetControlsForConnected();
        const RunEnd run = RunLink();
        CloseAfterRun(link_kind_.load());
        if (run == RunEnd::kLost && !StopRequested()) {
          minimized_once_.store(false, std::memory_order_relaxed);
          if (link_kind_.load() == LinkKindChoice::kWifi && ++wifi_losses == 3) GiveUp();
          ShowStatus(LinkMoment::kLost);
          platform::Sleep(2000);
        }
      } else if (result == ConnectResult::kPortFailed) {
        ++failures;
        if (failures == 5 || (failures == 1 && link_kind_.load() == LinkKindChoice::kWifi)) GiveUp();
      }
      if (StopRequested()) break;
      ShowStatus(LinkMoment::kReconnecting);
      platform::Sleep(500);
      if (StopRequested()) break;
    }
  }
  ShowStatus(LinkMoment::kEnded);
  ui_.SetLinkIcon(kIconLinkDown);
  connection_running_.store(false, std::memory_order_release);
  if (connection_end_hook_) connection_end_hook_();
}

void CLinkManager::CloseAfterRun(LinkKindChoice kind) {
  Transport& line = ActiveTransport();
  if (kind == LinkKindChoice::kWifi) {
    receive_stop_.store(true, std::memory_order_release);
    Wake();
    platform::Sleep(2000);
    receive_thread_.Join();
    CloseTransport(line);
    platform::Sleep(1000);
  }
  if (kind == LinkKindChoice::kBluetooth) module_.Release(line);
  if (line.IsOpen()) {
    receive_stop_.store(true, std::memory_order_release);
    Wake();
    platform::Sleep(1000);
    receive_thread_.Join();
    CloseTransport(line);
    platform::Sleep(500);
  }
}

CLinkManager::ConnectResult CLinkManager::Connect() {
  if (ActiveTransport().IsOpen()) {
    receive_stop_.store(true, std::memory_order_release);
    Wake();
    platform::Sleep(2000);
    receive_thread_.Join();
    CloseTransport(ActiveTransport());
    platform::Sleep(2000);
  }
  // A receive thread of the previous connect has been told to stop by now; it must be gone before
  // the transports and the section handles it uses are replaced.
  StopReceiveThread();
  const LinkChoices choices = ui_.Choices();
  // The sections come first: a robot name that another relay serves is refused before this relay
  // sends a single byte that could disturb that relay's link. They are opened before the receive
  // thread starts, so it never dispatches into handles that are being replaced.
  if (!OpenSections(choices.robot_id)) return ConnectResult::kPortFailed;
  const ConnectResult opened = OpenTransport(choices);
  if (opened != ConnectResult::kUp) return opened;
  writer_.Use(&ActiveTransport());
  receive_stop_.store(false, std::memory_order_release);
  if (!platform::StartThread([this] { ReceiveThread(); }, receive_thread_)) {
    ui_.Note("the receive thread cannot be started");
    return ConnectResult::kPortFailed;
  }
  return ConnectResult::kUp;
}

CLinkManager::ConnectResult CLinkManager::OpenTransport(const LinkChoices& choices) {
  if (choices.kind == LinkKindChoice::kWifi) {
    link_kind_.store(LinkKindChoice::kWifi);
    ip_port_.store(std::atoi(choices.port_text.c_str()));
    LinkTarget target;
    target.ip_address = choices.ip_address;
    target.udp_port = ip_port_.load();
    if (!OpenTransportLocked(target)) {
      ui_.Note("UDP port " + choices.port_text + " cannot be opened");
      return ConnectResult::kPortFailed;
    }
    ui_.SetQualityBar(5);
    ui_.EnableConnectButton();
    return ConnectResult::kUp;
  }
  link_kind_.store(LinkKindChoice::kSerial);
  if (choices.com_text.size() <= 3) {
    ui_.MessageBox("Port Number is Wrong");
    return ConnectResult::kPortFailed;
  }
  com_port_.store(std::atoi(choices.com_text.c_str() + 3));
  LinkTarget target;
  target.com_port = com_port_.load();
  if (!OpenTransportLocked(target)) {
    ui_.Note(ActiveTransport().LastError());
    return ConnectResult::kPortFailed;
  }
  ui_.EnableConnectButton();
  ui_.SetQualityBar(5);
  if (choices.kind == LinkKindChoice::kBluetooth) {
    link_kind_.store(LinkKindChoice::kBluetooth);
    if (!module_.Connect(ActiveTransport(), choices.bt_address)) return ConnectResult::kHandshakeFailed;
    ui_.EnableConnectButton();
    ui_.SetQualityBar(5);
  }
  return ConnectResult::kUp;
}

// Opening and closing change what every sender (the link loop, the audio upload, acknowledgements)
// writes to, so they happen under the link lock like every send.
bool CLinkManager::OpenTransportLocked(const LinkTarget& target) {
  platform::LockGuard guard(writer_.lock());
  return ActiveTransport().OpenLink(target);
}

void CLinkManager::CloseTransport(Transport& line) {
  platform::LockGuard guard(writer_.lock());
  line.CloseLink();
}

Transport& CLinkManager::ActiveTransport() {
  if (replacement_ != nullptr) return *replacement_;
  if (link_kind_.load() == LinkKindChoice::kWifi) return udp_;
  return serial_;
}

}  // namespace relay

namespace relay {

void CLinkManager::StartFirmwareUpload(const std::string& path) {
  // The board's loader listens on the serial line only.
  if (link_kind_.load() == LinkKindChoice::kWifi || !ActiveTransport().IsOpen()) {
    ui_.MessageBox("Please make sure that the PC's Trevask has connected to the robot.");
    return;
  }
  firmware_.Start(path);
}

}  // namespace relay
