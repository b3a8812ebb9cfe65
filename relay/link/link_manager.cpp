#include "relay/link/link_manager.h"

#include <cstring>

#include "exchange/frame.h"
#include "exchange/section_lifetime.h"
#include "platform/clock.h"
#include "platform/shared_memory.h"

namespace relay {
CLinkManager::CLinkManager(LinkEvents& events) : events_(events) {
  // Anyone the sections are shared with can shrink one under the relay; it goes on, and says so.
  platform::SetSharedDamageObserver([this](const std::string& name) {
    events_.Message(MessageKind::kNotice, "section " + name + " damaged by another process; reopened");
  });
}

CLinkManager::~CLinkManager() {
  platform::SetSharedDamageObserver(nullptr);
  RequestStop();
  connection_thread_.Join();
  audio_.Stop();
  // The stop is raised: the module's release awaits its replies for kModuleReleaseAtStopMs at most,
  // and the line is closed without a hold-open pause (the program is ending; nothing reopens it).
  if (link_kind_.load() == LinkKind::kBluetooth) module_.Release(ActiveTransport());
  Transport& line = ActiveTransport();
  StopReceiveThread();
  CloseTransport(line);
  udp_.Close();
  receive_path_.dispatch().SetProducers(nullptr);
  producers_.reset();
  forwarder_.Close();
  firmware_.Close();
  // Sections that only killed clients held (the signal section, which no relay opens) would outlive
  // the relay; ours are still this process's and go with it at exit when nobody else holds them.
  exchange::ReclaimLeftoverSections();
}

void CLinkManager::RequestStop() {
  stop_.Raise();
  Wake();
  WakeLinkLoop();
}

bool CLinkManager::StartConnection() {
  if (connection_running_.load(std::memory_order_acquire)) return false;
  connection_thread_.Join();
  stop_.Clear();
  gave_up_.store(false, std::memory_order_release);
  connection_running_.store(true, std::memory_order_release);
  if (!platform::StartThread([this] { ConnectionThread(); }, connection_thread_)) {
    connection_running_.store(false, std::memory_order_release);
    return false;
  }
  return true;
}

LinkConfig CLinkManager::Config() {
  std::lock_guard<std::mutex> guard(config_mutex_);
  return config_;
}

LinkConfig CLinkManager::ReadConfig() {
  LinkConfig config = events_.Config();
  std::lock_guard<std::mutex> guard(config_mutex_);
  config_ = config;
  return config;
}

void CLinkManager::ShowStatus(LinkMoment moment) {
  const LinkConfig config = Config();
  const int number = config.kind == LinkKind::kWifi ? ip_port_.load() : com_port_.load();
  events_.Status(moment, StatusText(moment, config.kind, number, config.device));
}

void CLinkManager::GiveUp() {
  char text[96];
  if (Config().kind == LinkKind::kWifi)
    std::snprintf(text, sizeof text, "WiFi IP port %d can't be opened for communication!\n", ip_port_.load());
  else
    std::snprintf(text, sizeof text, "COM port %d can't be opened for communication!\n", com_port_.load());
  events_.Message(MessageKind::kFailure, text);
  events_.GaveUp();
  gave_up_.store(true, std::memory_order_release);
  RequestStop();
}

void CLinkManager::StopReceiveThread() {
  receive_stop_.store(true, std::memory_order_release);
  Wake();
  // A reader blocked in the transport's own read is woken there. This thread alone opens and closes
  // the line, and every connect opens it anew, so the stopped line never waits again.
  ActiveTransport().StopWaiting();
  receive_thread_.Join();
}

void CLinkManager::StopReceivingAndClose(Transport& line, timing::ClosePauses pauses) {
  const uint32_t close_at = platform::TickCount() + pauses.hold_open_ms;
  // The receive thread ends as soon as it is woken: joined at once, the pause is the line's alone.
  StopReceiveThread();
  stop_.PauseUntil(close_at);
  CloseTransport(line);
  reopen_at_ = platform::TickCount() + pauses.reopen_after_ms;
  reopen_pending_ = true;
  stop_.PauseUntil(reopen_at_);
}

void CLinkManager::ConnectionThread() {
  while (ReadConfig().kind == LinkKind::kNone && !StopRequested()) stop_.Pause(timing::kChoicePollMs);
  if (!StopRequested()) {
    ShowStatus(LinkMoment::kStarting);
    int failures = 0;
    int wifi_losses = 0;
    for (;;) {
      const LinkStatus result = Connect();
      if (StopRequested()) break;
      if (result == LinkStatus::kOk) {
        failures = 0;
        ShowStatus(LinkMoment::kPortOpen);
        const RunEnd run = RunLink();
        CloseAfterRun(link_kind_.load());
        if (run == RunEnd::kLost && !StopRequested()) {
          answered_once_.store(false, std::memory_order_relaxed);
          if (link_kind_.load() == LinkKind::kWifi && ++wifi_losses == timing::kWifiLossesForGiveUp) GiveUp();
          ShowStatus(LinkMoment::kLost);
          stop_.Pause(timing::kRetryAfterLossMs);
        }
      } else if (result == LinkStatus::kPortFailed) {
        ++failures;
        const bool wifi = link_kind_.load() == LinkKind::kWifi;
        if (failures == (wifi ? timing::kWifiFailuresForGiveUp : timing::kSerialFailuresForGiveUp)) GiveUp();
      }
      if (StopRequested()) break;
      ShowStatus(LinkMoment::kReconnecting);
      stop_.Pause(timing::kReconnectPauseMs);
      if (StopRequested()) break;
    }
  }
  ShowStatus(LinkMoment::kEnded);
  events_.LinkChanged(false, false);
  connection_running_.store(false, std::memory_order_release);
  if (connection_end_hook_) connection_end_hook_();
}

void CLinkManager::CloseAfterRun(LinkKind kind) {
  Transport& line = ActiveTransport();
  if (kind == LinkKind::kWifi) StopReceivingAndClose(line, timing::kCloseWifiAfterRun);
  if (kind == LinkKind::kBluetooth) module_.Release(line);
  if (line.IsOpen()) StopReceivingAndClose(line, timing::kCloseSerialAfterRun);
}

LinkStatus CLinkManager::Connect() {
  if (ActiveTransport().IsOpen()) StopReceivingAndClose(ActiveTransport(), timing::kCloseBeforeConnect);
  // A receive thread of the previous connect has been told to stop by now; it must be gone before
  // the transports and the section handles it uses are replaced.
  StopReceiveThread();
  // A line closed by a stop is opened again only once its reopen pause is over.
  if (reopen_pending_ && !stop_.PauseUntil(reopen_at_)) return LinkStatus::kPortFailed;
  reopen_pending_ = false;
  const LinkConfig config = ReadConfig();
  // The sections come first: a robot name that another relay serves is refused before this relay
  // sends a single byte that could disturb that relay's link. They are opened before the receive
  // thread starts, so it never dispatches into handles that are being replaced.
  if (!OpenSections(config.robot_id)) return LinkStatus::kPortFailed;
  const LinkStatus opened = OpenTransport(config);
  if (opened != LinkStatus::kOk) return opened;
  writer_.Use(&ActiveTransport());
  receive_stop_.store(false, std::memory_order_release);
  if (!platform::StartThread([this] { ReceiveThread(); }, receive_thread_)) {
    events_.Message(MessageKind::kDetail, "the receive thread cannot be started");
    return LinkStatus::kPortFailed;
  }
  return LinkStatus::kOk;
}

LinkStatus CLinkManager::OpenTransport(const LinkConfig& config) {
  if (config.kind == LinkKind::kWifi) {
    link_kind_.store(LinkKind::kWifi);
    ip_port_.store(config.udp_port);
    LinkTarget target;
    target.ip_address = config.ip_address;
    target.udp_port = config.udp_port;
    if (!OpenTransportLocked(target)) {
      events_.Message(MessageKind::kDetail,
                      "UDP port " + std::to_string(config.udp_port) + " cannot be opened");
      return LinkStatus::kPortFailed;
    }
    events_.PortOpened();
    return LinkStatus::kOk;
  }
  link_kind_.store(LinkKind::kSerial);
  if (!config.com_port) {
    events_.Message(MessageKind::kFailure, "Port Number is Wrong");
    return LinkStatus::kPortFailed;
  }
  com_port_.store(*config.com_port);
  LinkTarget target;
  target.com_port = *config.com_port;
  if (!OpenTransportLocked(target)) {
    events_.Message(MessageKind::kDetail, ActiveTransport().LastError());
    return LinkStatus::kPortFailed;
  }
  events_.PortOpened();
  if (config.kind == LinkKind::kBluetooth) {
    link_kind_.store(LinkKind::kBluetooth);
    if (!module_.Connect(ActiveTransport(), config.bt_address)) return LinkStatus::kHandshakeFailed;
    events_.PortOpened();
  }
  return LinkStatus::kOk;
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
  if (link_kind_.load() == LinkKind::kWifi) return udp_;
  return serial_;
}

}  // namespace relay

namespace relay {

void CLinkManager::StartFirmwareUpload(const std::string& path) {
  if (!SerialLineOpen()) return;
  // Read whole here, on the caller's thread and before the link lock: a pipe, a device or a huge
  // file named as firmware is refused without ever holding up the link.
  FirmwareImage image;
  const platform::Status status = LoadFirmware(path, image);
  if (FirmwareRefused(status)) {
    events_.Message(MessageKind::kFailure,
                    FirmwareFileProblem(path, status) + "; the firmware is not uploaded");
    return;
  }
  firmware_.Start(std::move(image));
}

void CLinkManager::StartFirmwareUpload(FirmwareImage image) {
  if (SerialLineOpen()) firmware_.Start(std::move(image));
}

bool CLinkManager::SerialLineOpen() {
  // The board's loader listens on the serial line only.
  if (link_kind_.load() == LinkKind::kWifi || !ActiveTransport().IsOpen()) {
    events_.Message(MessageKind::kFailure,
                    "Please make sure that the PC's Trevask has connected to the robot.");
    return false;
  }
  return true;
}

}  // namespace relay
