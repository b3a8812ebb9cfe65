#include "sim/robot.h"

#include <poll.h>

#include <algorithm>
#include <cstdarg>
#include <cstring>

#include "exchange/frame.h"
#include "exchange/protocol.h"
#include "exchange/wave_file.h"
#include "platform/clock.h"

namespace sim {

SimRobot::SimRobot(Wire& wire, SimOptions options)
    : options_(options),
      out_(wire,
           FaultRates{options.drop_percent, options.corrupt_percent, options.garbage_percent,
                      options.duplicate_percent},
           options.seed),
      started_(platform::TickCount()),
      sensors_(options.numbered),
      camera_(options.camera_picture, options.camera_period_ms) {
  motor_.period_ms = standard_.period_ms = custom_.period_ms = options_.default_period_ms;
  last_motor_tick_ = started_;
}

void SimRobot::Log(const char* format, ...) {
  if (options_.log == nullptr) return;
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  std::fprintf(options_.log, "robot-sim: %s\n", text);
  std::fflush(options_.log);
}

std::vector<std::vector<uint8_t>> SimRobot::ReceivedFrames() {
  std::lock_guard<std::mutex> guard(mutex_);
  return received_;
}

int SimRobot::keep_alives_answered() {
  std::lock_guard<std::mutex> guard(mutex_);
  return answered_;
}

void SimRobot::SetFaults(int drop, int corrupt, int garbage, int duplicate) {
  out_.SetRates(FaultRates{drop, corrupt, garbage, duplicate});
}

void SimRobot::SetSilent(bool silent) {
  silent_since_.store(platform::TickCount(), std::memory_order_relaxed);
  silent_.store(silent, std::memory_order_release);
  if (!silent) {
    std::lock_guard<std::mutex> guard(mutex_);
    answered_ = 0;
  }
}

void SimRobot::Inject(std::vector<uint8_t> bytes) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    injected_.push_back(std::move(bytes));
  }
  injected_wake_.Wake();
}

void SimRobot::Step(int wait_ms) {
  pollfd p[2] = {{out_.wire().fd(), POLLIN, 0}, {static_cast<int>(injected_wake_.handle()), POLLIN, 0}};
  ::poll(p, injected_wake_.valid() ? 2 : 1, wait_ms);
  injected_wake_.Drain();
  uint8_t buffer[4096];
  for (int rounds = 0; rounds < 64; ++rounds) {
    int n = out_.wire().Receive(buffer, sizeof buffer);
    if (n <= 0) break;
    OnBytes(buffer, static_cast<std::size_t>(n));
  }
  std::vector<std::vector<uint8_t>> injected;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    injected.swap(injected_);
  }
  for (const auto& bytes : injected) out_.SendRaw(bytes.data(), bytes.size());
  Poll(platform::TickCount());
}

// During a firmware upload the relay sends raw S-record lines between its frames: whatever does not
// begin with a start marker is a line. Returns where the lines end.
std::size_t SimRobot::TakeFirmwareLines(std::size_t at) {
  while (firmware_.active() && at < pending_.size() && pending_[at] != exchange::kFrameStart0) {
    const auto begin = pending_.begin() + static_cast<std::ptrdiff_t>(at);
    const auto end = std::find(begin, pending_.end(), static_cast<uint8_t>('\n'));
    if (end == pending_.end()) {
      if (pending_.size() - at > SimFirmwareBoard::kLongestLine) at = pending_.size();
      break;
    }
    const SimFirmwareBoard::Line line = firmware_.Take(std::string(begin, end));
    at = static_cast<std::size_t>(end - pending_.begin()) + 1;
    if (!line.good)
      Log("firmware line %zu is not a valid S-record: %.60s", line.number, std::string(begin, end).c_str());
    if (line.last) Log("firmware upload complete: %zu lines, %d bad", line.number, firmware_.bad_lines());
    if (options_.firmware_answers) out_.SendRaw(reinterpret_cast<const uint8_t*>("OK"), 2);
  }
  return at;
}

void SimRobot::OnBytes(const uint8_t* bytes, std::size_t count) {
  pending_.insert(pending_.end(), bytes, bytes + count);
  std::size_t at = 0;
  for (;;) {
    at = TakeFirmwareLines(at);  // lines may follow the start frame in the same read
    const exchange::FrameScan scan = exchange::ScanForFrame(pending_.data() + at, pending_.size() - at);
    at += scan.start;
    if (scan.result != exchange::ScanResult::kWhole) break;
    OnFrame(pending_.data() + at, scan.length);
    at += scan.length;
  }
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(at));
  if (pending_.size() > 65536) pending_.clear();
}

void SimRobot::OnFrame(const uint8_t* frame, std::size_t length) {
  const uint8_t dest = frame[2], type = frame[4];
  const std::size_t n = frame[5];
  const uint8_t* payload = frame + 6;
  const uint32_t now = platform::TickCount();
  {
    std::lock_guard<std::mutex> guard(mutex_);
    received_.emplace_back(frame, frame + length);
  }
  received_count_.fetch_add(1, std::memory_order_release);
  const bool chatter = type == exchange::kTypeLinkStatus || type == exchange::kTypeAcknowledgement ||
                       type == exchange::kTypeVoice;
  if (options_.verbose || !chatter) {
    std::string hex;
    char b[4];
    for (std::size_t i = 0; i < length; ++i) {
      std::snprintf(b, sizeof b, " %02X", frame[i]);
      hex += b;
    }
    Log("received %s (dest %u, type 0x%02X):%s", CommandName(dest, type, payload, n).c_str(), dest, type,
        hex.c_str());
  }

  switch (type) {
    case exchange::kTypeLinkStatus: {
      if (n < 1 || payload[0] != exchange::kLinkStatusKeepAlive) break;
      if (silent_.load(std::memory_order_acquire)) {
        const uint32_t since = silent_since_.load(std::memory_order_relaxed);
        if (options_.silence_ms == 0 || platform::TickElapsed(now, since) < options_.silence_ms) break;
        silent_.store(false, std::memory_order_relaxed);
        std::lock_guard<std::mutex> guard(mutex_);
        answered_ = 0;
        Log("answering keep-alives again");
      }
      const uint8_t answer = exchange::kLinkStatusAnswer;
      out_.SendFrame(exchange::kTypeLinkStatus, &answer, 1);
      int answered;
      {
        std::lock_guard<std::mutex> guard(mutex_);
        answered = ++answered_;
      }
      if (options_.stop_answering_after >= 0 && answered >= options_.stop_answering_after) {
        silent_since_.store(now, std::memory_order_relaxed);
        silent_.store(true, std::memory_order_release);
        Log("silent after %d keep-alive answers", answered);
      }
      break;
    }
    // A disabled (suspended) motor does not move: it drops its drive and takes no new one until it
    // is enabled (resumed) again.
    case exchange::kTypeDcMotorPwm:
      if (n >= 3 && payload[0] < 6 && enabled_[payload[0]])
        pwm_[payload[0]] = static_cast<int16_t>(payload[1] | payload[2] << 8);
      break;
    case exchange::kTypeDcMotorVelocity:
      if (n >= 3 && payload[0] < 6 && enabled_[payload[0]])
        velocity_[payload[0]] = static_cast<int16_t>(payload[1] | payload[2] << 8);
      break;
    case exchange::kTypeDcMotorPwmAll:
    case exchange::kTypeDcMotorVelocityAll:
      for (std::size_t c = 0; c < 6 && 2 * c + 1 < n; ++c) {
        int16_t v = static_cast<int16_t>(payload[2 * c] | payload[2 * c + 1] << 8);
        if (enabled_[c]) (type == exchange::kTypeDcMotorPwmAll ? pwm_ : velocity_)[c] = v;
      }
      break;
    case exchange::kTypeMotorEnable:
      if (n >= 2 && payload[1] < 12) {
        enabled_[payload[1]] = payload[0] != 0;
        if (payload[0] == 0 && payload[1] < 6) pwm_[payload[1]] = velocity_[payload[1]] = 0;
      }
      break;
    case exchange::kTypeParameter:
      if (n >= 5 && payload[0] == exchange::kParamSensorPeriod) {
        uint32_t period = static_cast<uint32_t>(payload[3] | payload[4] << 8);
        if (period < 10) period = 10;
        if (payload[2] == 0 || payload[2] == 3) motor_.period_ms = period;
        if (payload[2] == 1 || payload[2] == 3) standard_.period_ms = period;
        if (payload[2] == 2 || payload[2] == 3) custom_.period_ms = period;
      }
      break;
    case exchange::kTypeMotorSensor:
      StartStream(motor_, n > 0 ? payload[0] : 0, now);
      break;
    case exchange::kTypeCustomSensor:
      StartStream(custom_, n > 0 ? payload[0] : 0, now);
      break;
    case exchange::kTypeStandardSensor:
      StartStream(standard_, n > 0 ? payload[0] : 0, now);
      break;
    case exchange::kTypeAllSensor:
      StartStream(motor_, n > 0 ? payload[0] : 0, now);
      StartStream(standard_, n > 0 ? payload[0] : 0, now);
      StartStream(custom_, n > 0 ? payload[0] : 0, now);
      break;
    case exchange::kTypeRecordStart:
      microphone_.Start(now);
      break;
    case exchange::kTypeRecordStop:
      microphone_.Stop();
      break;
    case exchange::kTypeTakePhoto:
      camera_.SendPhoto(out_);
      break;
    case exchange::kTypeAudioAnnouncement:  // an upload's announcement: a new sound starts
      loudspeaker_.Announce(n > 0 ? payload[0] : 0);
      break;
    case exchange::kTypeVoice: {
      if (dest != exchange::kDestMultimediaBoard) break;
      const int heard = loudspeaker_.Hear(payload, n, now);
      if (options_.flow_control_every > 0 && heard % options_.flow_control_every == 0)
        out_.SendFrame(exchange::kTypeVoiceFlowControl, nullptr, 0);
      break;
    }
    case exchange::kTypeFirmwareStart:
      firmware_.Start();
      Log("firmware upload starts");
      break;
    default:
      break;
  }
}

void SimRobot::StartStream(Stream& s, int count, uint32_t now) {
  s.remaining = count == 0xFF ? -1 : count;
  s.next_due = now;
}

void SimRobot::SendSensor(uint8_t type, uint32_t now) {
  const double t = static_cast<double>(platform::TickElapsed(now, started_)) / 1000.0;
  // A request for every kind is answered with the standard record under the request's own type.
  exchange::SensorRecord record = exchange::SensorRecord::kStandard;
  for (const exchange::SensorRecordInfo& r : exchange::kSensorRecords)
    if (r.data_type == type) record = r.record;
  double dt = 0;
  if (record == exchange::SensorRecord::kMotor) {
    dt = static_cast<double>(platform::TickElapsed(now, last_motor_tick_)) / 1000.0;
    last_motor_tick_ = now;
  }
  uint8_t p[kSensorRecordRoom];
  const uint32_t number = sensors_.next_number();
  const std::size_t n = sensors_.Build(record, t, dt, velocity_, pwm_, p);
  // A soak counts every numbered record: one the link cannot frame is said, not left for it to miss.
  if (!out_.SendFrame(type, p, n) && options_.numbered && record == exchange::SensorRecord::kStandard)
    Log("numbered record %u cannot be framed (its bytes carry the end marker)", number);
}

bool SimRobot::WriteHeardAudio(const std::string& path) {
  return exchange::WriteWaveFile(path, HeardAudio());
}

void SimRobot::Poll(uint32_t now) {
  camera_.Poll(now, out_);
  struct {
    Stream* stream;
    uint8_t type;
  } streams[] = {{&motor_, exchange::kTypeMotorSensor},
                 {&standard_, exchange::kTypeStandardSensor},
                 {&custom_, exchange::kTypeCustomSensor}};
  for (auto& s : streams) {
    if (s.stream->remaining == 0 || platform::TickAfter(s.stream->next_due, now)) continue;
    SendSensor(s.type, now);
    s.stream->next_due = now + s.stream->period_ms;
    if (s.stream->remaining > 0) --s.stream->remaining;
  }
  uint8_t voice[SimMicrophone::kPacketBytes];
  if (microphone_.Due(now, voice)) out_.SendFrame(exchange::kTypeVoice, voice, sizeof voice);
}

}  // namespace sim
