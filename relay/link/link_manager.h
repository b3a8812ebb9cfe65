// The relay's link: the connection thread that opens the chosen transport, runs the link loop (the
// keep-alive rhythm and the clients' commands every 20 ms) and reconnects or gives up by the link
// kind's rules; the receive thread that waits on the transport and hands what arrives to the
// receive path (or to a running firmware upload). The parts it drives each have a file of their own:
// link_writer (the lock and everything sent), receive_path (frames cut, checked, dispatched),
// keep_alive, command_forwarding, audio_upload, firmware_upload, bluetooth_module, robot_sections.
//
// Threads: the front end's (start, stop, firmware start), the connection thread, one receive thread
// per open transport, the audio upload's. The link lock (recursive, in the writer) is held around
// every use of a transport.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/doorbell.h"
#include "platform/stop_signal.h"
#include "platform/thread.h"
#include "platform/waiting.h"
#include "relay/link/audio_upload.h"
#include "relay/link/bluetooth_module.h"
#include "relay/link/command_forwarding.h"
#include "relay/link/firmware_upload.h"
#include "relay/link/inbound_dispatch.h"
#include "relay/link/keep_alive.h"
#include "relay/link/link_events.h"
#include "relay/link/link_stats.h"
#include "relay/link/link_writer.h"
#include "relay/link/receive_path.h"
#include "relay/link/status_texts.h"
#include "relay/timing.h"
#include "relay/transport/serial_port.h"
#include "relay/transport/udp_endpoint.h"

namespace relay {

// The robot ID field as a section prefix: its first line, at most 29 bytes, never cut inside a
// UTF-8 character. `shortened` tells whether anything was cut.
std::string RobotPrefix(const std::string& field, bool& shortened);

class CLinkManager : public InboundHooks, public CReceivePath::AcceptedHook {
 public:
  explicit CLinkManager(LinkEvents& events);
  // Teardown: ends the connection thread and the upload, releases the Bluetooth module when that was
  // the last kind chosen, closes the transport, destroys the section handles.
  ~CLinkManager() override;
  CLinkManager(const CLinkManager&) = delete;
  CLinkManager& operator=(const CLinkManager&) = delete;

  // A front end's Connect: clears the stop flag and starts the connection thread. False when a
  // connection thread is still running or cannot be started.
  bool StartConnection();
  // A front end's Disconnect: raises the stop; every loop ends on its next pass and every pause of
  // the link's threads is cut short.
  void RequestStop();
  // Waits until the connection thread has ended (after RequestStop or a give-up).
  void WaitForConnectionThread() { connection_thread_.Join(); }
  bool ConnectionRunning() const { return connection_running_.load(std::memory_order_acquire); }
  bool GaveUp() const { return gave_up_.load(std::memory_order_acquire); }
  // Called on the connection thread as it ends (a front end that waits for signals wakes on it).
  void SetConnectionEndHook(std::function<void()> hook) { connection_end_hook_ = std::move(hook); }
  // Replaces the serial port and the UDP endpoint by another transport (a fake in tests) for every
  // later connect; null goes back to them. Set before StartConnection.
  void SetTransport(Transport* replacement) { replacement_ = replacement; }
  // Records every frame of every later link, both directions (null: none). Set before
  // StartConnection; the recorder outlives the manager.
  void SetRecorder(CLinkRecorder* recorder) {
    writer_.SetRecorder(recorder);
    receive_path_.SetRecorder(recorder);
  }
  // The next answer counts as the first of a connection again (a front end that restored its window
  // after a disconnect hears of the next first answer).
  void ForgetFirstAnswer() { answered_once_.store(false, std::memory_order_relaxed); }

  // Firmware for the multimedia board over a serial line: "robot.hex" in the current directory
  // unless another path is given. Refused with a message box while no serial line is open, and when
  // the path names something other than a regular file of at most kFirmwareFileMax bytes (the file
  // is read whole before the link lock is taken, so nothing it does can hold the link up).
  void StartFirmwareUpload(const std::string& path = "robot.hex");
  // The same with an image read already (LoadFirmware).
  void StartFirmwareUpload(FirmwareImage image);
  bool UploadMode() const { return firmware_.Active(); }
  bool AudioUploadRunning() const { return audio_.Running(); }
  LinkStats& stats() { return stats_; }

 private:
  enum class RunEnd { kStopped, kLost };

  void ConnectionThread();
  LinkStatus Connect();
  LinkStatus OpenTransport(const LinkConfig& config);
  RunEnd RunLink();
  // Forwards the clients' commands until the next pass is due, each as soon as it is put.
  void ForwardUntilNextPass();
  // When the pass after the one begun at `start` is due: the next 20 ms step while records are
  // `held_back` or a firmware upload runs, else the first step at which the keep-alive acts.
  uint32_t NextPass(uint32_t start, bool held_back);
  // The link as clients are told of it in the command ring's mark.
  bool LinkFreshForClients();
  // The link loop's own doorbell, and its ring (a stop; an answer that makes the link fresh again).
  platform::Doorbell LoopBell() const;
  void WakeLinkLoop();
  void SendKeepAlivePair(uint8_t sequence);
  void CloseAfterRun(LinkKind kind);
  void StopReceiveThread();
  // The one way a line is closed while the receive thread may run: the thread is told to stop and
  // joined, the line held open and closed, then the reopen pause (both pauses cut short by a stop).
  void StopReceivingAndClose(Transport& line, timing::ClosePauses pauses);
  // The configuration of the current connect, and a new one read from the front end.
  LinkConfig Config();
  LinkConfig ReadConfig();
  void ShowStatus(LinkMoment moment);
  void GiveUp();
  // True when a serial line is open; otherwise says so in a message box.
  bool SerialLineOpen();
  bool StopRequested() const { return stop_.Raised(); }
  // Opens the section handles under the robot name and claims the command ring; false (after
  // giving up) when another relay serves that name.
  bool OpenSections(const std::string& robot_field);
  Transport& ActiveTransport();
  bool OpenTransportLocked(const LinkTarget& target);
  void CloseTransport(Transport& line);

  // The receive thread (receive_thread.cpp).
  void ReceiveThread();
  int ReadTransport(Transport& line);
  // Sleeps until the transport has data, a stop is asked, or a while has passed.
  void WaitForInput(Transport& line);
  // Wakes the receive thread out of its wait (a stop was asked).
  void Wake();

  // InboundHooks and AcceptedHook: called on the receive thread by the receive path.
  void OnKeepAliveAnswer() override;
  void SendAcknowledgement() override;
  void OnVoiceFlowControl() override { audio_.Pause(); }
  bool OnAcceptedFrame(uint8_t data_type) override;

  LinkEvents& events_;
  // The configuration of the current connect (status texts and the give-up message follow it); set
  // by the connection thread, read by any thread that shows a status.
  LinkConfig config_;
  std::mutex config_mutex_;
  // The kind of the link this relay connected last: the one truth for the transport in use, the
  // teardown and the give-up rules.
  std::atomic<LinkKind> link_kind_{LinkKind::kNone};
  CUdpEndpoint udp_;
  CSerialPort serial_;
  Transport* replacement_ = nullptr;
  std::unique_ptr<RelayProducers> producers_;
  std::string noted_name_;  // the last robot name the user was told was cut

  // The stop every link thread hears, and the receive thread's own wake-up (set by a stop and by
  // receive-stop). Declared before the parts that wait on them.
  platform::StopSignal stop_;
  platform::Waker wake_;
  // When the line closed last may be opened again (connection thread only): a stop cuts the
  // reopen pause short, and the next connect waits out the rest.
  uint32_t reopen_at_ = 0;
  bool reopen_pending_ = false;

  // Flags shared between the threads. Each is one word written by one side and polled by the
  // other; acquire/release keeps the stop flags ordered with what the stopping side did before.
  std::atomic<bool> receive_stop_{false};
  std::atomic<bool> answered_once_{false};  // the robot answered since the connection started
  std::atomic<int> com_port_{0};            // shown in the status texts, read by any thread that shows one
  std::atomic<int> ip_port_{0};
  std::atomic<bool> connection_running_{false};
  std::atomic<bool> gave_up_{false};
  // Set by the receive thread when the robot answers, cleared by the link loop when the link is lost
  // or ends; the link loop publishes it to clients in the command ring's mark.
  std::atomic<bool> link_up_{false};
  // The word the link loop waits on beside the command ring's doorbell: moved, then rung, by
  // WakeLinkLoop (a doorbell word of this process's own, accessed through atomic_ref).
  alignas(4) uint32_t loop_bell_ = 0;

  // The keep-alive rhythm: ticked by the link loop, answered by the receive thread, each call under
  // this mutex (never held while sending or showing anything).
  KeepAlive keep_alive_;
  std::mutex keep_alive_mutex_;

  LinkStats stats_;
  CLinkWriter writer_{stats_};
  CReceivePath receive_path_{*this, stats_, this};
  CAudioUpload audio_{writer_, events_};
  CFirmwareUpload firmware_{writer_, events_, wake_};
  CBluetoothModule module_{writer_, stats_, events_, stop_};
  CCommandForwarder forwarder_{writer_, receive_path_.dispatch(), audio_, events_};

  std::function<void()> connection_end_hook_;
  platform::Thread connection_thread_;
  platform::Thread receive_thread_;
  uint8_t chunk_[4096];  // the receive thread's read buffer
};

}  // namespace relay
