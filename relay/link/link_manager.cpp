#include "relay/link/link_manager.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "exchange/frame.h"
#include "platform/clock.h"

namespace relay {
namespace {

constexpr uint32_t kLinkLoopMs = 20;

}  // namespace

CLinkManager::CLinkManager(LinkUi& ui)
    : ui_(ui), wake_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)), receive_path_(*this, stats_, this) {}

CLinkManager::~CLinkManager() {
  RequestStop();
  connection_thread_.Join();
  StopAudioUpload();
  if (link_kind_.load() == LinkKindChoice::kBluetooth) BluetoothRelease();
  Transport& line = ActiveTransport();
  if (link_kind_.load() != LinkKindChoice::kWifi && line.IsOpen()) {
    StopReceiveThread();
    platform::Sleep(5000);  // a serial line's close waits: the robot's side lets go of its end
    line.CloseLink();
    platform::Sleep(5000);
  }
  StopReceiveThread();
  line.CloseLink();
  udp_.Close();
  receive_path_.dispatch().SetProducers(nullptr);
  producers_.reset();
  commands_.Close();
  CloseFirmwareFile();
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
  LinkKindChoice kind = ui_.Choices().kind;
  int number = kind == LinkKindChoice::kWifi ? ip_port_.load() : com_port_.load();
  ui_.ShowStatus(StatusText(moment, kind, number));
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

int CLinkManager::ConnectionThread() {
  while (ui_.Choices().kind == LinkKindChoice::kNone && !StopRequested()) platform::Sleep(10);
  if (!StopRequested()) {
    ShowStatus(LinkMoment::kStarting);
    int failures = 0;
    int wifi_losses = 0;
    for (;;) {
      int result = Connect();
      if (StopRequested()) break;
      if (result == kConnectUp) {
        failures = 0;
        ShowStatus(LinkMoment::kPortOpen);
        ui_.SetControlsForConnected();
        int run = RunLink();
        CloseAfterRun(link_kind_.load());
        if (run == kRunLost && !StopRequested()) {
          minimized_once_.store(false, std::memory_order_relaxed);
          if (link_kind_.load() == LinkKindChoice::kWifi && ++wifi_losses == 3) GiveUp();
          ShowStatus(LinkMoment::kLost);
          platform::Sleep(2000);
        }
      } else if (result == kConnectPortFailed) {
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
  return 1;
}

void CLinkManager::CloseAfterRun(LinkKindChoice kind) {
  Transport& line = ActiveTransport();
  if (kind == LinkKindChoice::kWifi) {
    receive_stop_.store(true, std::memory_order_release);
    Wake();
    platform::Sleep(2000);
    receive_thread_.Join();
    line.CloseLink();
    platform::Sleep(1000);
  }
  if (kind == LinkKindChoice::kBluetooth) BluetoothRelease();
  if (line.IsOpen()) {
    receive_stop_.store(true, std::memory_order_release);
    Wake();
    platform::Sleep(1000);
    receive_thread_.Join();
    line.CloseLink();
    platform::Sleep(500);
  }
}

int CLinkManager::Connect() {
  if (ActiveTransport().IsOpen()) {
    receive_stop_.store(true, std::memory_order_release);
    Wake();
    platform::Sleep(2000);
    receive_thread_.Join();
    ActiveTransport().CloseLink();
    platform::Sleep(2000);
  }
  // A receive thread of the previous connect has been told to stop by now; it must be gone before
  // the transports and the section handles it uses are replaced.
  StopReceiveThread();
  LinkChoices choices = ui_.Choices();
  // The sections come first: a robot name that another relay serves is refused before this relay
  // sends a single byte that could disturb that relay's link. They are opened before the receive
  // thread starts, so it never dispatches into handles that are being replaced.
  if (!OpenSections(choices.robot_id)) return kConnectPortFailed;
  if (choices.kind == LinkKindChoice::kWifi) {
    link_kind_.store(LinkKindChoice::kWifi);
    ip_port_.store(std::atoi(choices.port_text.c_str()));
    LinkTarget target;
    target.ip_address = choices.ip_address;
    target.udp_port = ip_port_.load();
    if (!ActiveTransport().OpenLink(target)) {
      ui_.Note("UDP port " + choices.port_text + " cannot be opened");
      return kConnectPortFailed;
    }
    ui_.SetQualityBar(5);
    ui_.EnableConnectButton();
  } else {
    link_kind_.store(LinkKindChoice::kSerial);
    if (choices.com_text.size() <= 3) {
      ui_.MessageBox("Port Number is Wrong");
      return kConnectPortFailed;
    }
    com_port_.store(std::atoi(choices.com_text.c_str() + 3));
    LinkTarget target;
    target.com_port = com_port_.load();
    if (!ActiveTransport().OpenLink(target)) {
      ui_.Note(ActiveTransport().LastError());
      return kConnectPortFailed;
    }
    ui_.EnableConnectButton();
    ui_.SetQualityBar(5);
  }
  if (choices.kind == LinkKindChoice::kBluetooth) {
    link_kind_.store(LinkKindChoice::kBluetooth);
    if (!BluetoothConnect()) return kConnectHandshakeFailed;
    ui_.EnableConnectButton();
    ui_.SetQualityBar(5);
  }

  writer_.Use(&ActiveTransport());
  receive_stop_.store(false, std::memory_order_release);
  if (!platform::StartThread([this] { ReceiveThread(); }, receive_thread_)) {
    ui_.Note("the receive thread cannot be started");
    return kConnectPortFailed;
  }
  return kConnectUp;
}

int CLinkManager::RunLink() {
  {
    std::lock_guard<std::mutex> guard(keep_alive_mutex_);
    keep_alive_.StartRun();
  }
  uint8_t keep_alive_sequence = 0x30;
  if (StopRequested()) return kRunStopped;
  // Clients wait for this loop only while it forwards; after it, their records go nowhere anyway.
  struct MarkWithdrawal {
    exchange::CRingConsumer& ring;
    std::atomic<bool>& link_up;
    ~MarkWithdrawal() {
      link_up.store(false, std::memory_order_release);
      ring.WithdrawMark();
    }
  } withdrawal{commands_, link_up_};
  while (!StopRequested()) {
    const bool uploading = upload_mode_.load(std::memory_order_acquire);
    KeepAliveStep step;
    {
      std::lock_guard<std::mutex> guard(keep_alive_mutex_);
      step = keep_alive_.Tick(platform::TickCount(), uploading);
    }
    if (step.send_pair) {
      platform::LockGuard guard(writer_.lock());
      ++keep_alive_sequence;
      const uint8_t zero = 0;
      exchange::Frame to_media = exchange::Frame::Make(exchange::kDestMultimediaBoard, keep_alive_sequence,
                                                       exchange::kTypeLinkStatus, &zero, 1);
      exchange::Frame to_motion = exchange::Frame::Make(exchange::kDestMotionBoard, keep_alive_sequence,
                                                        exchange::kTypeLinkStatus, &zero, 1);
      SendFrame(to_media.bytes, static_cast<int>(to_media.size));
      SendFrame(to_motion.bytes, static_cast<int>(to_motion.size));
      std::lock_guard<std::mutex> machine(keep_alive_mutex_);
      keep_alive_.Sent(platform::TickCount());
    }
    if (step.missed) ui_.SetQualityBar(KeepAlive::kMissedForLoss - step.missed_count);
    if (step.lost) {
      link_up_.store(false, std::memory_order_release);
      ui_.SetLinkIcon(kIconLinkDown);
      return kRunLost;
    }
    ForwardCommand();
    platform::Sleep(kLinkLoopMs);
  }
  return kRunStopped;
}

void CLinkManager::OnKeepAliveAnswer() {
  uint32_t round_trip = 0;
  {
    std::lock_guard<std::mutex> guard(keep_alive_mutex_);
    if (!keep_alive_.OnAnswer(platform::TickCount(), round_trip)) return;
  }
  stats_.AddRoundTrip(round_trip);
  link_up_.store(true, std::memory_order_release);
  ui_.SetLinkIcon(kIconLinkUp);
  if (!minimized_once_.exchange(true)) ui_.MinimizeWindow();
  ShowStatus(LinkMoment::kConnected);
  ui_.LinkUp();
  ui_.SetQualityBar(5);
  SendAcknowledgement();
}

void CLinkManager::SendAcknowledgement() {
  const uint8_t one = 1;
  writer_.Send(exchange::kDestMultimediaBoard, exchange::kTypeAcknowledgement, &one, 1);
}

void CLinkManager::OnVoiceFlowControl() {
  voice_flow_.store(false, std::memory_order_release);
}

Transport& CLinkManager::ActiveTransport() {
  if (replacement_ != nullptr) return *replacement_;
  if (link_kind_.load() == LinkKindChoice::kWifi) return udp_;
  return serial_;
}

void CLinkManager::SendFrame(const uint8_t* bytes, int count) {
  writer_.SendFrame(bytes, count);
}

}  // namespace relay
