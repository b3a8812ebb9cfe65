#include "clients/mqtt_bridge/mqtt_bridge.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <nlohmann/json.hpp>
#include <vector>

#include "clients/mqtt_bridge/call_handler.h"
#include "clients/mqtt_bridge/media_encoding.h"
#include "clients/mqtt_bridge/readings_json.h"
#include "control/dispatch.h"
#include "exchange/wave_file.h"
#include "platform/clock.h"
#include "platform/waiting.h"

namespace mqtt_bridge {
namespace {

using nlohmann::json;

constexpr int kKeepAliveSeconds = 20;
constexpr uint32_t kBackoffFirstMs = 500;
constexpr uint32_t kBackoffLastMs = 30000;
constexpr uint32_t kLinkCheckMs = 250;  // how often the link state is looked at
constexpr uint32_t kQualityWindowMs = 2000;
constexpr int kLongestWaitMs = 50;  // the network wait between two looks at the stop flag

// JSON text that never throws: text the robot or a caller put in a string is replaced where it is
// not UTF-8.
std::string Text(const json& j) {
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace

CMqttBridge::CMqttBridge(BridgeOptions options) : options_(std::move(options)) {
  mosquitto_lib_init();
}

CMqttBridge::~CMqttBridge() {
  if (client_ != nullptr) mosquitto_destroy(client_);
  mosquitto_lib_cleanup();
}

std::string CMqttBridge::Topic(const std::string& subtopic) const {
  return options_.topic_root + "/" + options_.robot + "/" + subtopic;
}

void CMqttBridge::Log(const std::string& line) const {
  std::fprintf(stderr, "trevask-mqtt %s: %s\n", options_.robot.c_str(), line.c_str());
}

platform::Result CMqttBridge::Start() {
  control_.AttachHost(&host_);
  host_.SetMessageHandler([this](const std::string& text) { Log(text); });
  control_.SetEventSink([this](int dispid) { OnControlEvent(dispid); });
  control_.connectRobot(options_.robot);
  if (!control_.last_error().empty()) {
    return platform::Fail(platform::Status::kOpenFailed, control_.last_error());
  }
  if (!watch_.Start()) {
    return platform::Fail(platform::Status::kStartFailed,
                          "the thread that hears the robot's sections cannot be started");
  }
  client_ = mosquitto_new(options_.client_id.c_str(), true, this);
  if (client_ == nullptr) {
    return platform::Fail(platform::Status::kStartFailed, "the broker client cannot be made");
  }
  mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
  // Replies and readings are small: sent at once, not held back to be merged with later ones.
  mosquitto_int_option(client_, MOSQ_OPT_TCP_NODELAY, 1);
  // Calls are taken off the socket as they come (each pass reads what has arrived), so the broker
  // need not hold them back for acknowledgements: a bridge that was held up finds every call
  // waiting, and serves the callers in turn.
  mosquitto_int_option(client_, MOSQ_OPT_RECEIVE_MAXIMUM, 65535);
  if (!options_.username.empty())
    mosquitto_username_pw_set(client_, options_.username.c_str(),
                              options_.password.empty() ? nullptr : options_.password.c_str());
  // Subscribers learn that nobody bridges the robot any more however the bridge ends.
  const std::string will = Text({{"state", "no-bridge"}, {"since", std::time(nullptr)}});
  mosquitto_will_set_v5(client_, Topic("link").c_str(), static_cast<int>(will.size()), will.data(), 1, true,
                        nullptr);
  mosquitto_connect_v5_callback_set(client_, OnConnect);
  mosquitto_disconnect_v5_callback_set(client_, OnDisconnect);
  mosquitto_publish_v5_callback_set(client_, OnPublish);
  mosquitto_message_v5_callback_set(client_, OnMessage);
  const int rc = mosquitto_connect_async(client_, options_.host.c_str(), options_.port, kKeepAliveSeconds);
  if (rc == MOSQ_ERR_INVAL) {
    return platform::Fail(
        platform::Status::kBadArgument,
        "the broker address " + options_.host + ":" + std::to_string(options_.port) + " is not valid");
  }
  if (rc != MOSQ_ERR_SUCCESS) {
    Log("the broker at " + options_.host + ":" + std::to_string(options_.port) +
        " cannot be reached yet: " + mosquitto_strerror(rc));
    ScheduleReconnect();
  }
  return platform::Ok();
}

void CMqttBridge::OnConnect(mosquitto*, void* self, int rc, int, const mqtt5__property*) {
  auto* bridge = static_cast<CMqttBridge*>(self);
  if (rc != 0) {
    bridge->Log(std::string("the broker refused the connection: ") + mosquitto_reason_string(rc));
    return;
  }
  bridge->connected_ = true;
  bridge->backoff_ms_ = 0;
  bridge->picture_mid_ = -1;
  bridge->Log("connected to the broker at " + bridge->options_.host + ":" +
              std::to_string(bridge->options_.port));
  bridge->just_connected_ = true;  // subscribed and announced after the callback, by the loop
}

void CMqttBridge::OnDisconnect(mosquitto*, void* self, int rc, const mqtt5__property*) {
  auto* bridge = static_cast<CMqttBridge*>(self);
  bridge->connected_ = false;
  bridge->picture_mid_ = -1;
  if (rc != 0) bridge->Log(std::string("the broker connection ended: ") + mosquitto_reason_string(rc));
}

void CMqttBridge::OnPublish(mosquitto*, void* self, int mid, int, const mqtt5__property*) {
  auto* bridge = static_cast<CMqttBridge*>(self);
  bridge->completed_mid_ = mid;
  if (mid == bridge->picture_mid_) bridge->picture_mid_ = -1;
}

void CMqttBridge::OnMessage(mosquitto*, void* self, const mosquitto_message* message,
                            const mqtt5__property* props) {
  auto* bridge = static_cast<CMqttBridge*>(self);
  // Answered by the loop once the client's callback is over: the client's own locks are not held
  // then, and a reply never goes out from inside the client.
  const std::string call_topic = bridge->Topic("call");
  const std::string topic = message->topic != nullptr ? message->topic : "";
  std::string caller;  // "" for the shared call topic, the user's name for call/<user>
  if (topic.size() > call_topic.size() + 1 && topic.compare(0, call_topic.size() + 1, call_topic + "/") == 0)
    caller = topic.substr(call_topic.size() + 1);
  PendingCall call;
  call.payload.assign(static_cast<const char*>(message->payload),
                      message->payloadlen > 0 ? static_cast<std::size_t>(message->payloadlen) : 0);
  char* response_topic = nullptr;
  void* correlation = nullptr;
  uint16_t correlation_size = 0;
  if (mosquitto_property_read_string(props, MQTT_PROP_RESPONSE_TOPIC, &response_topic, false) != nullptr) {
    call.response_topic = response_topic;
    call.has_response_topic = true;
  }
  if (mosquitto_property_read_binary(props, MQTT_PROP_CORRELATION_DATA, &correlation, &correlation_size,
                                     false) != nullptr) {
    call.correlation.assign(static_cast<const char*>(correlation), correlation_size);
    call.has_correlation = true;
  }
  std::free(response_topic);
  std::free(correlation);
  std::deque<PendingCall>& queue = bridge->calls_[caller];
  if (queue.size() < kMaxQueuedPerCaller) {
    queue.push_back(std::move(call));
    return;
  }
  // Answered "busy" at the next pass. A refusal keeps no more than its answer needs: a call too
  // long to be taken is answered without its id (on errors) whatever it holds.
  if (call.payload.size() > kMaxCallBytes) call.payload.clear();
  call.busy = true;
  bridge->busy_.push_back(std::move(call));
}

bool CMqttBridge::Publish(const std::string& subtopic, const void* data, std::size_t size, int qos,
                          bool retain, int* mid, const mqtt5__property* props) {
  if (!connected_) return false;
  return mosquitto_publish_v5(client_, mid, Topic(subtopic).c_str(), static_cast<int>(size), data, qos,
                              retain, props) == MOSQ_ERR_SUCCESS;
}

void CMqttBridge::OnControlEvent(int dispid) {
  switch (dispid) {
    case control::kStandardSensorEvent:
    case control::kMotorSensorEvent:
    case control::kCustomSensorEvent:
      sensor_pending_[control::SectionOf(dispid)] = true;
      ++taken_window_;
      break;
    case control::kImageEvent:
      PublishPicture();
      break;
    case control::kVoiceSegmentEvent:
      PublishVoice();
      break;
    default:
      break;
  }
}

void CMqttBridge::PublishPendingSensors() {
  const uint32_t now = platform::TickCount();
  const uint32_t interval =
      options_.max_sensor_rate > 0 ? static_cast<uint32_t>(1000.0 / options_.max_sensor_rate) : 0;
  for (int which = 0; which < exchange::kSensorRecordCount; ++which) {
    if (!sensor_pending_[which]) continue;
    if (interval > 0 && sensor_sent_once_[which] &&
        platform::TickElapsed(now, sensor_last_[which]) < interval)
      continue;
    std::size_t size = 0;
    const uint8_t* record = control_.LatestRecord(exchange::kSensorRecords[which].section, size);
    sensor_pending_[which] = false;
    if (record == nullptr) continue;
    const std::string text = Text(ReadingJson(static_cast<exchange::SensorRecord>(which), record, size));
    const std::string topic = "sensors/" + std::string(exchange::kSensorRecords[which].name);
    if (Publish(topic, text.data(), text.size(), 0, false)) ++counts_.sensor_messages;
    sensor_last_[which] = now;
    sensor_sent_once_[which] = true;
  }
}

void CMqttBridge::PublishPicture() {
  if (!connected_) return;
  if (picture_mid_ != -1) {
    ++counts_.pictures_skipped;  // the last one is still on its way: a slow broker gets fewer pictures
    return;
  }
  std::vector<uint8_t> jpeg;
  if (!EncodeJpeg(control_.GetImageAddress(), control_.width(), control_.height(), options_.picture_quality,
                  jpeg))
    return;
  int mid = -1;
  if (!Publish("camera", jpeg.data(), jpeg.size(), 0, false, &mid)) return;
  // A picture the socket took at once has been reported sent already, inside the publish.
  picture_mid_ = completed_mid_ == mid ? -1 : mid;
  ++counts_.pictures;
  const std::string info = Text({{"time", static_cast<double>(std::time(nullptr))},
                                 {"width", control_.width()},
                                 {"height", control_.height()},
                                 {"bytes", jpeg.size()},
                                 {"sequence", ++picture_sequence_},
                                 {"type", "image/jpeg"}});
  Publish("camera/info", info.data(), info.size(), 0, false);
}

void CMqttBridge::PublishVoice() {
  const std::vector<uint8_t> wav =
      exchange::WaveFileBytes(control_.GetVoiceSegment(), control_.VoiceBytesAvailable());
  if (Publish("voice", wav.data(), wav.size(), 0, false)) ++counts_.voice_segments;
}

void CMqttBridge::PublishLink(bool force) {
  const uint32_t now = platform::TickCount();
  if (!force && platform::TickElapsed(now, link_checked_) < kLinkCheckMs) return;
  link_checked_ = now;
  // Quality: the share of sensor records the bridge took, of those the robot sent, over a window.
  uint64_t lapped = 0;
  for (const exchange::SensorRecordInfo& info : exchange::kSensorRecords)
    lapped += control_.Lapped(info.section);
  lapped_window_ += lapped - lapped_seen_;
  lapped_seen_ = lapped;
  if (platform::TickElapsed(now, quality_window_start_) >= kQualityWindowMs) {
    const uint64_t all = taken_window_ + lapped_window_;
    quality_ = all == 0 ? 1.0 : static_cast<double>(taken_window_) / static_cast<double>(all);
    taken_window_ = lapped_window_ = 0;
    quality_window_start_ = now;
  }
  const std::string state = exchange::RelayStateName(control_.relay_state());
  if (state == link_state_ && !force) return;
  if (state != link_state_) link_since_ = std::time(nullptr);
  link_state_ = state;
  const std::string text = Text({{"state", state}, {"since", link_since_}, {"quality", quality_}});
  Publish("link", text.data(), text.size(), 1, true);
}

void CMqttBridge::AnswerCalls() {
  while (!busy_.empty()) {
    AnswerOne(busy_.front());
    busy_.pop_front();
  }
  // One call of each caller in turn, until every queue is empty.
  while (!calls_.empty()) {
    for (auto it = calls_.begin(); it != calls_.end();) {
      const PendingCall call = std::move(it->second.front());
      it->second.pop_front();
      it = it->second.empty() ? calls_.erase(it) : std::next(it);
      AnswerOne(call);
    }
  }
}

void CMqttBridge::AnswerOne(const PendingCall& call) {
  ++counts_.calls;
  CallReply reply;
  const std::string replies = Topic("reply/");
  // A caller's own reply topic must lie under this robot's reply/: the bridge may write topics no
  // caller may, other robots' among them.
  const bool topic_ok =
      !call.has_response_topic || (call.response_topic.size() > replies.size() &&
                                   call.response_topic.compare(0, replies.size(), replies) == 0 &&
                                   call.response_topic.find_first_of("+#") == std::string::npos);
  if (call.busy || !topic_ok) {
    reply = RefuseCall(call.payload, call.busy ? kBusyCode : control::kStatusInvalidArg,
                       call.busy ? "busy: this caller has " + std::to_string(kMaxQueuedPerCaller) +
                                       " calls waiting already; try again"
                                 : "a response topic must lie under " + replies);
    if (call.busy) ++counts_.calls_busy;
  } else {
    reply = mqtt_bridge::HandleCall(control_, call.payload, CallPolicy{options_.files_dir});
  }
  if (reply.body.contains("error")) ++counts_.call_errors;
  const std::string text = Text(reply.body);
  // An MQTT 5 caller may name its own reply topic, and its correlation data comes back with it.
  mosquitto_property* out = nullptr;
  if (call.has_correlation)
    mosquitto_property_add_binary(&out, MQTT_PROP_CORRELATION_DATA, call.correlation.data(),
                                  static_cast<uint16_t>(call.correlation.size()));
  if (call.has_response_topic && topic_ok) {
    if (connected_)
      mosquitto_publish_v5(client_, nullptr, call.response_topic.c_str(), static_cast<int>(text.size()),
                           text.data(), 1, false, out);
  } else {
    Publish(reply.id.empty() || !topic_ok ? "errors" : "reply/" + reply.id, text.data(), text.size(), 1,
            false, nullptr, out);
  }
  mosquitto_property_free_all(&out);
}

void CMqttBridge::ScheduleReconnect() {
  backoff_ms_ = backoff_ms_ == 0 ? kBackoffFirstMs
                                 : (backoff_ms_ * 2 > kBackoffLastMs ? kBackoffLastMs : backoff_ms_ * 2);
  next_attempt_ = platform::TickCount() + backoff_ms_;
  reconnect_wanted_ = true;
}

void CMqttBridge::Run(const std::atomic<bool>& stop) {
  // Relaxed is enough for `stop`: it only ends the loop, it hands over no data.
  platform::DoorbellWait last_wait = platform::DoorbellWait::kRung;
  while (!stop.load(std::memory_order_relaxed)) {
    host_.NoteWait(last_wait, host_.ProcessDue());
    PublishPendingSensors();
    PublishLink(false);
    if (reconnect_wanted_ && !platform::TickAfter(next_attempt_, platform::TickCount())) {
      reconnect_wanted_ = false;
      ++counts_.reconnects;
      if (mosquitto_reconnect_async(client_) != MOSQ_ERR_SUCCESS) ScheduleReconnect();
    }
    // Wait for the broker's socket, a ring of the robot's sections, or the next timer, whichever
    // comes first (at most a while): a reading is published the moment it arrives.
    int64_t due = host_.MillisecondsUntilLook();
    if (due < 0 || due > kLongestWaitMs) due = kLongestWaitMs;
    if (!host_.Arm(bells_))
      due = 0;  // records are there already
    else
      watch_.Watch(bells_, static_cast<uint32_t>(due), host_.pacer());
    const int socket = mosquitto_socket(client_);
    // A message still partly unwritten needs the socket writable, which this wait does not hear.
    if (socket >= 0 && mosquitto_want_write(client_)) due = due > 1 ? 1 : due;
    const platform::WaitResult woke =
        platform::WaitForInputOrWake(socket >= 0 ? socket : platform::kNoWaitHandle, watch_.waker(),
                                     static_cast<int>(static_cast<double>(due) * platform::TimeScale()));
    watch_.waker().Drain();
    last_wait = woke == platform::WaitResult::kWoken      ? platform::DoorbellWait::kRung
                : woke == platform::WaitResult::kTimedOut ? platform::DoorbellWait::kTimedOut
                                                          : platform::DoorbellWait::kInterrupted;
    int loop = MOSQ_ERR_NO_CONN;
    if (socket >= 0) {
      loop = MOSQ_ERR_SUCCESS;
      if (woke == platform::WaitResult::kInput || woke == platform::WaitResult::kHungUp) {
        // Everything that has arrived is taken before anything is answered, so the callers whose
        // calls wait together are served in turn. (One read takes a packet or a few.)
        loop = mosquitto_loop_read(client_, 1);
        for (int reads = 1;
             loop == MOSQ_ERR_SUCCESS && reads < kMostReadsPerPass &&
             platform::WaitForInputOrWake(socket, watch_.waker(), 0) == platform::WaitResult::kInput;
             ++reads)
          loop = mosquitto_loop_read(client_, 1);
      }
      if (loop == MOSQ_ERR_SUCCESS && mosquitto_want_write(client_)) loop = mosquitto_loop_write(client_, 1);
      if (loop == MOSQ_ERR_SUCCESS) loop = mosquitto_loop_misc(client_);
    }
    if (just_connected_) {
      just_connected_ = false;
      mosquitto_subscribe_v5(client_, nullptr, Topic("call").c_str(), 1, 0, nullptr);
      mosquitto_subscribe_v5(client_, nullptr, Topic("call/+").c_str(), 1, 0, nullptr);
      PublishLink(true);
    }
    AnswerCalls();
    if (loop != MOSQ_ERR_SUCCESS) {
      if (connected_) Log("the broker connection was lost; reconnecting");
      connected_ = false;
      picture_mid_ = -1;
      if (!reconnect_wanted_) ScheduleReconnect();
      platform::Sleep(static_cast<uint32_t>(due > 0 ? due : 1));  // no socket to wait on meanwhile
    }
  }
  if (connected_) {
    const std::string text = Text({{"state", "no-bridge"}, {"since", std::time(nullptr)}});
    Publish("link", text.data(), text.size(), 1, true);
    mosquitto_loop(client_, 10, 1);
    mosquitto_disconnect_v5(client_, 0, nullptr);
    mosquitto_loop(client_, 10, 1);
  }
  Log("stopped: " + std::to_string(counts_.sensor_messages) + " sensor messages, " +
      std::to_string(counts_.pictures) + " pictures (" + std::to_string(counts_.pictures_skipped) +
      " skipped while one was on its way), " + std::to_string(counts_.voice_segments) + " voice segments, " +
      std::to_string(counts_.calls) + " calls (" + std::to_string(counts_.call_errors) +
      " answered with an error, " + std::to_string(counts_.calls_busy) + " of them busy)");
}

}  // namespace mqtt_bridge
