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
constexpr std::size_t kSerialReadMax = 1024;
constexpr std::size_t kRobotIdMax = 29;

// At most this many records per pass: one ring's worth, so a pass stays short and the keep-alive
// keeps its rhythm however fast clients write.
constexpr int kRecordsPerPass = 32;

}  // namespace

// The dialog's robot ID field as a section prefix: its first line, at most 29 bytes, cut before a
// UTF-8 character rather than inside it.
std::string RobotPrefix(const std::string& field, bool& shortened) {
  std::string first = field.substr(0, field.find_first_of("\r\n"));
  shortened = first.size() > kRobotIdMax;
  if (!shortened) return first;
  std::size_t cut = kRobotIdMax;
  while (cut > 0 && (static_cast<unsigned char>(first[cut]) & 0xC0) == 0x80) --cut;
  return first.substr(0, cut);
}

CLinkManager::CLinkManager(LinkUi& ui)
    : ui_(ui), wake_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)), dispatch_(*this) {}

void CLinkManager::Wake() {
  const uint64_t one = 1;
  if (wake_) {
    [[maybe_unused]] const ssize_t written = ::write(wake_.get(), &one, sizeof one);
  }
}

void CLinkManager::WaitForInput() {
  // The transport's descriptor and the wake-up: nothing else can end the wait early. The limit is a
  // safety net, not a poll: an idle link wakes this thread twice a second at most.
  constexpr int kIdleLimitMs = 500;
  pollfd fds[2] = {{ActiveTransport().WaitDescriptor(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
  const int r = ::poll(fds, 2, kIdleLimitMs);
  // A line whose other end hung up stays "ready" without data: back off as an idle read would.
  if (r > 0 && (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) platform::Sleep(1);
}

CLinkManager::~CLinkManager() {
  RequestStop();
  connection_thread_.Join();
  StopAudioUpload();
  if (ui_.Choices().kind == LinkKindChoice::kBluetooth) BluetoothRelease();
  if (serial_.IsOpen()) {
    StopReceiveThread();
    platform::Sleep(5000);
    serial_.Close();
    platform::Sleep(5000);
  }
  StopReceiveThread();
  udp_.Close();
  dispatch_.SetProducers(nullptr);
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
        CloseAfterRun(ui_.Choices().kind);
        if (run == kRunLost && !StopRequested()) {
          minimized_once_.store(false, std::memory_order_relaxed);
          if (ui_.Choices().kind == LinkKindChoice::kWifi && ++wifi_losses == 3) GiveUp();
          ShowStatus(LinkMoment::kLost);
          platform::Sleep(2000);
        }
      } else if (result == kConnectPortFailed) {
        ++failures;
        if (failures == 5 || (failures == 1 && link_kind_.load() == static_cast<int>(LinkKind::kWifi)))
          GiveUp();
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
  if (kind == LinkKindChoice::kWifi) {
    receive_stop_.store(true, std::memory_order_release);
    Wake();
    platform::Sleep(2000);
    receive_thread_.Join();
    udp_.Close();
    platform::Sleep(1000);
  }
  if (kind == LinkKindChoice::kBluetooth) BluetoothRelease();
  if (serial_.IsOpen()) {
    receive_stop_.store(true, std::memory_order_release);
    Wake();
    platform::Sleep(1000);
    receive_thread_.Join();
    serial_.Close();
    platform::Sleep(500);
  }
}

int CLinkManager::Connect() {
  if (serial_.IsOpen()) {
    receive_stop_.store(true, std::memory_order_release);
    Wake();
    platform::Sleep(2000);
    receive_thread_.Join();
    serial_.Close();
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
    link_kind_.store(static_cast<int>(LinkKind::kWifi));
    ip_port_.store(std::atoi(choices.port_text.c_str()));
    if (!udp_.Open(choices.ip_address, ip_port_.load())) {
      ui_.Note("UDP port " + choices.port_text + " cannot be opened");
      return kConnectPortFailed;
    }
    ui_.SetQualityBar(5);
    ui_.EnableConnectButton();
  } else {
    link_kind_.store(static_cast<int>(LinkKind::kSerial));
    if (choices.com_text.size() <= 3) {
      ui_.MessageBox("Port Number is Wrong");
      return kConnectPortFailed;
    }
    com_port_.store(std::atoi(choices.com_text.c_str() + 3));
    if (!serial_.Open(com_port_.load())) {
      ui_.Note(serial_.last_error());
      return kConnectPortFailed;
    }
    ui_.EnableConnectButton();
    ui_.SetQualityBar(5);
  }
  if (choices.kind == LinkKindChoice::kBluetooth) {
    link_kind_.store(static_cast<int>(LinkKind::kBluetooth));
    if (!BluetoothConnect()) return kConnectHandshakeFailed;
    ui_.EnableConnectButton();
    ui_.SetQualityBar(5);
  }

  receive_stop_.store(false, std::memory_order_release);
  if (!platform::StartThread([this] { ReceiveThread(); }, receive_thread_)) {
    ui_.Note("the receive thread cannot be started");
    return kConnectPortFailed;
  }
  return kConnectUp;
}

bool CLinkManager::OpenSections(const std::string& robot_field) {
  bool shortened = false;
  const std::string prefix = RobotPrefix(robot_field, shortened);
  dispatch_.SetProducers(nullptr);
  producers_.reset();
  // The same name again keeps its claim (no other relay can slip in between two connects); the
  // command ring still starts over at its head, so records put while the link was down are dropped.
  const bool keep_claim = commands_.HasView() && prefix == claimed_prefix_;
  if (!keep_claim) commands_.Close();
  if (shortened && noted_name_ != robot_field) {
    noted_name_ = robot_field;
    ui_.Note("the robot name is cut to " + std::to_string(kRobotIdMax) + " bytes: '" + prefix + "'");
  }
  auto producers = std::make_unique<RelayProducers>();
  // Standard sensor, motor sensor, image, audio, command, custom sensor: the order in which clients
  // that watch the objects appear see them made.
  platform::ShmStatus st[6] = {
      producers->standard_sensor.Open(prefix, exchange::SectionId::kStandardSensor),
      producers->motor_sensor.Open(prefix, exchange::SectionId::kMotorSensor),
      producers->image.Open(prefix, exchange::SectionId::kImage),
      producers->audio.Open(prefix, exchange::SectionId::kAudio),
      keep_claim ? commands_.Resync() : commands_.Open(prefix, exchange::SectionId::kCommand),
      producers->custom_sensor.Open(prefix, exchange::SectionId::kCustomSensor),
  };
  for (platform::ShmStatus s : st) {
    if (s != platform::ShmStatus::kOk) {
      ui_.Note("sections of robot '" + prefix + "': " + platform::ShmStatusText(s));
      break;
    }
  }
  if (commands_.HasView() && !commands_.Claim()) {
    // Two relays for one name would mix two robots in one set of rings.
    commands_.Close();
    ui_.MessageBox("Robot '" + prefix + "' is already served by another relay.\n");
    ui_.Disconnect();
    gave_up_.store(true, std::memory_order_release);
    stop_.store(true, std::memory_order_release);
    return false;
  }
  claimed_prefix_ = prefix;
  producers_ = std::move(producers);
  dispatch_.SetProducers(producers_.get());
  return true;
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
      platform::LockGuard guard(link_lock_);
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
  platform::LockGuard guard(link_lock_);
  const uint8_t one = 1;
  exchange::Frame ack = exchange::Frame::Make(exchange::kDestMultimediaBoard, NextSequence(),
                                              exchange::kTypeAcknowledgement, &one, 1);
  SendFrame(ack.bytes, static_cast<int>(ack.size));
}

void CLinkManager::OnVoiceFlowControl() {
  voice_flow_.store(false, std::memory_order_release);
}

Transport& CLinkManager::ActiveTransport() {
  if (link_kind_.load() == static_cast<int>(LinkKind::kWifi)) return udp_;
  return serial_;
}

void CLinkManager::SendFrame(const uint8_t* bytes, int count) {
  platform::LockGuard guard(link_lock_);
  if (ActiveTransport().SendFrameBytes(bytes, count)) stats_.AddBytesOut(static_cast<uint64_t>(count));
}

int CLinkManager::ReadTransport() {
  if (link_kind_.load() == static_cast<int>(LinkKind::kWifi)) {
    const uint64_t foreign = udp_.foreign_datagrams();
    const int n = udp_.ReadAvailable(chunk_, static_cast<int>(sizeof chunk_));
    if (udp_.foreign_datagrams() != foreign) stats_.AddForeignDatagrams(udp_.foreign_datagrams() - foreign);
    return n;
  }
  return serial_.ReadAvailable(chunk_, static_cast<int>(kSerialReadMax));
}

void CLinkManager::ReceiveThread() {
  if (StopRequested()) return;
  uint64_t drained = 0;  // wake-ups meant for the previous receive thread
  [[maybe_unused]] ssize_t r = ::read(wake_.get(), &drained, sizeof drained);
  while (!receive_stop_.load(std::memory_order_acquire) && !StopRequested()) {
    int n;
    {
      platform::LockGuard guard(link_lock_);
      n = ReadTransport();
    }
    if (n > 0) {
      stats_.AddBytesIn(static_cast<uint64_t>(n));
      if (upload_mode_.load(std::memory_order_acquire))
        OnFirmwareReply(n);
      else
        FeedBytes(chunk_, static_cast<std::size_t>(n));
    } else {
      WaitForInput();  // outside the lock: senders are never held up by a waiting reader
    }
  }
}

void CLinkManager::FeedBytes(const uint8_t* chunk, std::size_t count) {
  deframer_.FeedBytes(chunk, count, *this);
}

void CLinkManager::HandleFrame(const uint8_t* frame, std::size_t length) {
  exchange::FrameVerdict verdict = exchange::CheckFrame(frame, length);
  stats_.CountCandidate(verdict, length > exchange::kOffDataType ? frame[exchange::kOffDataType] : 0);
  if (verdict != exchange::FrameVerdict::kAccepted) return;
  // The pending source is written by this thread only (in the read), so it is looked at without the
  // lock; adopting it changes where every sender sends, so that takes the lock.
  if (link_kind_.load() == static_cast<int>(LinkKind::kWifi) && udp_.HasPendingSource()) {
    // A frame that passed the check vouches for its datagram's source: the robot is answered there.
    platform::LockGuard guard(link_lock_);
    const uint64_t before = udp_.peer_changes();
    udp_.AdoptPendingSource();
    if (udp_.peer_changes() != before) stats_.CountPeerChange();
  }
  dispatch_.Dispatch(frame, length);
}

void CLinkManager::ForwardCommand() {
  // Everything clients have put since the last pass goes out now, in order, so no client that
  // writes faster than one record per pass is robbed. An audio-file request ends the pass: the
  // records behind it wait for the next one, as they would behind the upload's start.
  for (int i = 0; i < kRecordsPerPass; ++i) {
    exchange::RingRecord record = commands_.Take();
    if (!record) break;
    const bool frame = record.size() >= 2 && record.data()[0] == exchange::kFrameStart0 &&
                       record.data()[1] == exchange::kFrameStart1;
    HandleCommandRecord(record.data(), record.length, record.capacity);
    commands_.PublishMark(++passes_, link_up_.load(std::memory_order_acquire));  // its slot is free again
    if (!frame && record.length <= record.capacity) break;
  }
  commands_.PublishMark(++passes_, link_up_.load(std::memory_order_acquire));
}

void CLinkManager::HandleCommandRecord(const uint8_t* data, uint32_t len, uint32_t capacity) {
  // A length word of 100 or more is no record a client writes; lengths beyond the slot are skipped
  // too, so nothing is ever read past it.
  if (len >= 100 || len > capacity) return;
  uint8_t local[100];
  std::memcpy(local, data, len);
  if (len >= 2 && local[0] == exchange::kFrameStart0 && local[1] == exchange::kFrameStart1) {
    if (len > exchange::kOffPayload && local[exchange::kOffDataType] == exchange::kTypeRecordStart)
      dispatch_.SetVoiceSegmentLength(static_cast<int8_t>(local[exchange::kOffPayload]));
    else if (len > exchange::kOffDataType && local[exchange::kOffDataType] == exchange::kTypeAudioStop)
      voice_stop_.store(true, std::memory_order_release);
    platform::LockGuard guard(link_lock_);
    SendFrame(local, static_cast<int>(len));
    return;
  }
  const bool continuation = len >= 3 && std::memcmp(local + len - 3, "EOF", 3) == 0;
  const uint32_t path_len = continuation ? len - 3 : len;
  char path[101];
  std::memcpy(path, local, path_len);
  path[path_len] = '\0';
  StartAudioUpload(path, continuation);
}

}  // namespace relay
