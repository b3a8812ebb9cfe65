// The heart of the relay: the connection thread that opens the chosen transport and keeps the link
// alive with keep-alive pairs, the receive thread that cuts and dispatches frames, and the command
// forwarding from the clients' command section.
//
// Threads: the connection thread runs Connect, RunLink and ForwardCommand; one receive thread per
// open transport runs ReadTransport, FeedBytes and HandleFrame. The link lock (recursive) is held
// around every use of a transport. The flags below are single atomics read on every loop pass.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "exchange/adpcm.h"
#include "exchange/deframer.h"
#include "exchange/protocol.h"
#include "exchange/sections.h"
#include "platform/lock.h"
#include "platform/thread.h"
#include "platform/unique_fd.h"
#include "platform/unique_file.h"
#include "relay/link/inbound_dispatch.h"
#include "relay/link/keep_alive.h"
#include "relay/link/link_stats.h"
#include "relay/link/link_ui.h"
#include "relay/link/link_writer.h"
#include "relay/link/receive_path.h"
#include "relay/link/status_texts.h"
#include "relay/transport/serial_port.h"
#include "relay/transport/udp_endpoint.h"

namespace relay {

// Connect results.
inline constexpr int kConnectUp = 0;
inline constexpr int kConnectHandshakeFailed = 1;
inline constexpr int kConnectPortFailed = 3;
// RunLink results.
inline constexpr int kRunStopped = 1;
inline constexpr int kRunLost = 2;

// The robot ID field as a section prefix: its first line, at most 29 bytes, never cut inside a
// UTF-8 character. `shortened` tells whether anything was cut.
std::string RobotPrefix(const std::string& field, bool& shortened);

class CLinkManager : public InboundHooks, public CReceivePath::AcceptedHook {
 public:
  explicit CLinkManager(LinkUi& ui);
  // Teardown: ends the connection thread, releases the Bluetooth module when that was the last kind
  // chosen, closes the transports, destroys the section handles.
  ~CLinkManager() override;
  CLinkManager(const CLinkManager&) = delete;
  CLinkManager& operator=(const CLinkManager&) = delete;

  // The dialog's Connect: clears the stop flag and starts the connection thread. False when a
  // connection thread is still running or cannot be started.
  bool StartConnection();
  // The dialog's Disconnect: raises the stop flag; every loop ends on its next pass.
  void RequestStop() {
    stop_.store(true, std::memory_order_release);
    Wake();
  }
  // Waits until the connection thread has ended (after RequestStop or a give-up).
  void WaitForConnectionThread() { connection_thread_.Join(); }
  bool ConnectionRunning() const { return connection_running_.load(std::memory_order_acquire); }
  // Called on the connection thread as it ends (a front end that waits for signals wakes on it).
  void SetConnectionEndHook(std::function<void()> hook) { connection_end_hook_ = std::move(hook); }
  bool GaveUp() const { return gave_up_.load(std::memory_order_acquire); }
  bool StopRequested() const { return stop_.load(std::memory_order_acquire); }
  // Replaces the serial port and the UDP endpoint by another transport (a fake in tests) for every
  // later connect; null goes back to them. Set before StartConnection.
  void SetTransport(Transport* replacement) { replacement_ = replacement; }
  // The dialog's restore after a disconnect lets the next connection minimize the window again.
  void ClearMinimizedOnce() { minimized_once_.store(false, std::memory_order_relaxed); }

  // The link's operations, public so the front ends and tests can drive them.
  int ConnectionThread();
  int Connect();
  int RunLink();
  void ReceiveThread();
  int ReadTransport();
  void SendFrame(const uint8_t* bytes, int count);
  void FeedBytes(const uint8_t* chunk, std::size_t count);
  void OnAcceptedFrame() override;
  void ForwardCommand();
  // One command record as ForwardCommand handles it: `length` is the record's length word, `data`
  // holds the slot's `capacity` bytes.
  void HandleCommandRecord(const uint8_t* data, uint32_t length, uint32_t capacity);

  // InboundHooks.
  void OnKeepAliveAnswer() override;
  void SendAcknowledgement() override;
  void OnVoiceFlowControl() override;

  // Audio upload of a WAV file named by a client (audio_upload.cpp).
  void StartAudioUpload(const char* path, bool continuation);
  bool LoadWaveFile(const char* path, int& size_class);
  void AudioUploadThread();
  void SendAudioAnnouncement(int size_class);
  void StopAudioUpload();  // ends a running upload and waits for its thread
  bool AudioUploadRunning() const { return !voice_stop_.load(std::memory_order_acquire); }

  // Bluetooth module dialogue (bluetooth.cpp): 1 on success, 0 on failure.
  int BluetoothConnect();
  void BluetoothRelease();

  // Firmware upload to the multimedia board (firmware_upload.cpp). The file is "robot.hex" in the
  // current directory unless another path is given.
  void StartFirmwareUpload(const std::string& path = "robot.hex");
  void SendFirmwareLine(const std::string& line);
  // Bytes read while in upload mode.
  void OnFirmwareReply(int count);
  bool UploadMode() const { return upload_mode_.load(std::memory_order_acquire); }

  LinkStats& stats() { return stats_; }
  CInboundDispatch& dispatch() { return receive_path_.dispatch(); }
  platform::RecursiveLock& link_lock() { return writer_.lock(); }
  CSerialPort& serial() { return serial_; }
  CUdpEndpoint& udp() { return udp_; }
  bool voice_stop() const { return voice_stop_.load(std::memory_order_acquire); }
  bool voice_flow() const { return voice_flow_.load(std::memory_order_acquire); }
  void SetUploadMode(bool on) { upload_mode_.store(on, std::memory_order_release); }
  uint8_t NextSequence() { return writer_.NextSequence(); }

 private:
  void ShowStatus(LinkMoment moment);
  // Opens the section handles under the robot name and claims the command ring; false (after
  // giving up) when another relay serves that name.
  bool OpenSections(const std::string& robot_field);
  void GiveUp();
  void CloseAfterRun(LinkKindChoice kind);
  void StopReceiveThread();
  // Wakes the receive thread out of its wait (a stop was asked).
  void Wake();
  // Sleeps until the transport has data, a stop is asked, or a while has passed.
  void WaitForInput();
  Transport& ActiveTransport();
  // Collects the module's replies for up to `ms`; true once `text` is among more bytes than it has.
  bool WaitForModuleReply(const char* text, uint32_t ms, bool first_poll_only = false);
  bool ReadFirmwareLine(std::string& line);
  void CloseFirmwareFile();

  LinkUi& ui_;
  // The kind of the link this relay connected last: the one truth for the transport in use, the
  // teardown and the give-up rules. (Status texts follow the dialog's choice, as the user sees it.)
  std::atomic<LinkKindChoice> link_kind_{LinkKindChoice::kNone};
  CUdpEndpoint udp_;
  CSerialPort serial_;
  Transport* replacement_ = nullptr;
  std::unique_ptr<RelayProducers> producers_;
  exchange::CRingConsumer commands_;
  uint32_t passes_ = 0;         // forwarding passes, published in the command ring's mark
  std::string noted_name_;      // the last robot name the user was told was cut
  std::string claimed_prefix_;  // the robot name whose command ring this relay holds

  // Flags and state shared between the threads. Each is one word written by one side and polled by
  // the other; acquire/release keeps the stop flags ordered with what the stopping side did before.
  std::atomic<bool> stop_{false};
  std::atomic<bool> receive_stop_{false};
  std::atomic<bool> upload_mode_{false};
  std::atomic<bool> minimized_once_{false};
  std::atomic<bool> voice_stop_{true};
  std::atomic<bool> voice_flow_{true};
  std::atomic<int> com_port_{0};
  std::atomic<int> ip_port_{0};
  std::atomic<bool> connection_running_{false};
  std::atomic<bool> gave_up_{false};
  // Set by the receive thread when the robot answers, cleared by the link loop when the link is lost
  // or ends; the link loop publishes it to clients in the command ring's mark.
  std::atomic<bool> link_up_{false};

  // The keep-alive rhythm: ticked by the link loop, answered by the receive thread, each call under
  // this mutex (never held while sending or showing anything).
  KeepAlive keep_alive_;
  std::mutex keep_alive_mutex_;
  // The link lock, the transport frames go to, and the frames' sequence numbers.
  CLinkWriter writer_{stats_};
  platform::UniqueFd wake_;  // an eventfd: written to stop the receive thread's wait
  std::function<void()> connection_end_hook_;
  platform::Thread connection_thread_;
  platform::Thread receive_thread_;

  // Audio upload: the sample buffer and send position belong to the upload thread while it runs; the
  // encoder state carries over to a continuation.
  std::vector<int16_t> upload_samples_;
  std::size_t upload_count_ = 0;
  std::size_t upload_position_ = 0;
  exchange::AdpcmState encoder_;
  platform::Thread upload_thread_;

  // Bluetooth module replies of one wait, bounded at 64 KiB.
  std::vector<uint8_t> module_reply_;

  // Firmware upload: the file and progress, used by the UI thread at the start and then by the
  // receive thread, never both at once (the start holds the link lock; replies come after it).
  platform::UniqueFile firmware_file_;
  int firmware_lines_sent_ = 0;
  int firmware_lines_total_ = 0;

  // Receive side: touched by the receive thread only.
  uint8_t chunk_[4096];
  LinkStats stats_;
  CReceivePath receive_path_;  // counts into stats_, declared before it
};

}  // namespace relay
