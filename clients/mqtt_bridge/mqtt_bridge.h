// The bridge between one robot's sections and an MQTT broker. One thread does everything: it takes
// the control's records as they arrive, and in between waits on the broker client's socket and on
// the robot's doorbells (heard by a watch thread that only wakes it), so broker callbacks (calls)
// and control events never run at the same time.
//
// Topics, under <root>/<robot>/:
//   link                retained {"state": "up"|"not-answering"|"down"|"no-relay"|"no-bridge", "since": s,
//   "quality": q}
//                       ("no-bridge" is the bridge's last will, and what it says when it stops)
//   sensors/standard|motor|custom   JSON of named fields and the raw record (base64)
//   camera              each new picture as JPEG (one in flight at most; pictures that come while
//                       one is still being sent are skipped), camera/info JSON after it
//   voice               each voice segment as WAV
//   call, call/<user>   calls in (QoS 1); replies on reply/<id> (QoS 1), or the MQTT 5 response
//                       topic (under reply/) with its correlation data; calls without a usable id
//                       answered on errors. Each topic is a caller with a queue of its own, served in
//                       turn; a call that finds its queue full is answered "busy". Every call is
//                       answered.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "clients/mqtt_bridge/bridge_options.h"
#include "clients/mqtt_bridge/doorbell_watch.h"
#include "control/control.h"
#include "control/headless_host.h"

struct mosquitto;
struct mosquitto_message;
struct mqtt5__property;

namespace mqtt_bridge {

class CMqttBridge {
 public:
  explicit CMqttBridge(BridgeOptions options);
  ~CMqttBridge();
  CMqttBridge(const CMqttBridge&) = delete;
  CMqttBridge& operator=(const CMqttBridge&) = delete;

  // Connects the control to the robot's sections and the client to the broker (retrying with
  // back-off while the broker cannot be reached). A failure with a reason when it cannot even start:
  // kOpenFailed for the robot's sections, kStartFailed, or kBadArgument for the broker's address.
  platform::Result Start();
  // Serves until `stop` is raised, then says "no-bridge" and disconnects.
  void Run(const std::atomic<bool>& stop);

  // Counters for the log line at the end and for tests.
  struct Counts {
    uint64_t sensor_messages = 0, pictures = 0, pictures_skipped = 0, voice_segments = 0, calls = 0,
             call_errors = 0, calls_busy = 0, reconnects = 0;
  };
  const Counts& counts() const { return counts_; }

 private:
  static void OnConnect(mosquitto*, void* self, int rc, int flags, const mqtt5__property* props);
  static void OnDisconnect(mosquitto*, void* self, int rc, const mqtt5__property* props);
  static void OnPublish(mosquitto*, void* self, int mid, int reason, const mqtt5__property* props);
  static void OnMessage(mosquitto*, void* self, const mosquitto_message* message,
                        const mqtt5__property* props);

  void OnControlEvent(int dispid);
  void ScheduleReconnect();
  void PublishPendingSensors();
  void PublishPicture();
  void PublishVoice();
  void PublishLink(bool force);
  void AnswerCalls();
  bool Publish(const std::string& subtopic, const void* data, std::size_t size, int qos, bool retain,
               int* mid = nullptr, const mqtt5__property* props = nullptr);
  std::string Topic(const std::string& subtopic) const;
  void Log(const std::string& line) const;

  BridgeOptions options_;
  control::CHeadlessHost host_;
  control::CZembrinSDKControlCtrl control_;
  mosquitto* client_ = nullptr;
  CDoorbellWatch watch_;
  std::vector<platform::Doorbell> bells_;
  bool connected_ = false;
  uint32_t next_attempt_ = 0;  // tick of the next reconnect attempt while not connected
  uint32_t backoff_ms_ = 0;    // the wait before the next attempt; 0 once connected
  bool reconnect_wanted_ = false;

  // Sensors: a record is published at once, or, with a rate cap, the latest one when its section's
  // interval has passed.
  bool sensor_pending_[exchange::kSensorRecordCount] = {};
  uint32_t sensor_last_[exchange::kSensorRecordCount] = {};
  bool sensor_sent_once_[exchange::kSensorRecordCount] = {};

  int picture_mid_ = -1;    // the picture message still being written to the broker, -1 when none
  int completed_mid_ = -1;  // the message the client last reported written
  uint64_t picture_sequence_ = 0;

  std::string link_state_;
  int64_t link_since_ = 0;
  uint32_t link_checked_ = 0;
  uint64_t taken_window_ = 0, lapped_window_ = 0;  // sensor records taken and lost since the last check
  uint64_t lapped_seen_ = 0;
  double quality_ = 1.0;
  uint32_t quality_window_start_ = 0;

  // Calls taken by the client's callback, answered by the loop right after it. Each caller (the
  // call topic, or call/<user> of one user) has a bounded queue of its own and the loop serves them
  // in turn, so one caller's flood neither grows the bridge nor starves the others. There may be any
  // number of callers; a call that finds its own caller's queue full is answered "busy" at the next
  // pass, which answers every refusal taken so far: every call gets an answer.
  struct PendingCall {
    std::string payload;
    std::string response_topic;
    std::string correlation;
    bool has_response_topic = false;
    bool has_correlation = false;
    bool busy = false;  // answered "busy" without being carried out
  };
  static constexpr std::size_t kMaxQueuedPerCaller = 64;
  // The packets one pass takes from the broker before it answers: what has arrived, up to this.
  static constexpr int kMostReadsPerPass = 4096;
  std::map<std::string, std::deque<PendingCall>> calls_;
  std::deque<PendingCall> busy_;
  void AnswerOne(const PendingCall& call);
  bool just_connected_ = false;  // set by the connect callback: subscribe and announce the link

  Counts counts_;
};

}  // namespace mqtt_bridge
