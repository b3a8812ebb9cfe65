#include "sim/robot.h"

#include <poll.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdarg>
#include <cstring>

#include "exchange/crc8.h"
#include "exchange/frame.h"
#include "exchange/protocol.h"
#include "platform/clock.h"
#include "platform/unique_file.h"
#include "sim/camera_encoder.h"

namespace sim {
namespace {

constexpr std::size_t kVoiceBytes = 128;  // 256 samples per packet
constexpr uint32_t kVoicePeriodMs = 32;   // 256 samples at 8000 samples per second
constexpr double kToneHz = 440.0;

}  // namespace

SimRobot::SimRobot(Wire& wire, SimOptions options)
    : wire_(&wire),
      options_(options),
      random_(options.seed),
      started_(platform::TickCount()),
      sensors_(options.numbered) {
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

int SimRobot::frames_sent() {
  std::lock_guard<std::mutex> guard(mutex_);
  return sent_;
}

void SimRobot::SetFaults(int drop, int corrupt, int garbage, int duplicate) {
  options_.duplicate_percent = duplicate;
  options_.drop_percent = drop;
  options_.corrupt_percent = corrupt;
  options_.garbage_percent = garbage;
}

void SimRobot::SetSilent(bool silent) {
  silent_ = silent;
  silent_since_ = platform::TickCount();
  if (!silent) {
    std::lock_guard<std::mutex> guard(mutex_);
    answered_ = 0;
  }
}

void SimRobot::Inject(std::vector<uint8_t> bytes) {
  std::lock_guard<std::mutex> guard(mutex_);
  injected_.push_back(std::move(bytes));
}

void SimRobot::Step(int wait_ms) {
  pollfd p{wire_->fd(), POLLIN, 0};
  ::poll(&p, 1, wait_ms);
  uint8_t buffer[4096];
  for (int rounds = 0; rounds < 64; ++rounds) {
    int n = wire_->Receive(buffer, sizeof buffer);
    if (n <= 0) break;
    OnBytes(buffer, static_cast<std::size_t>(n));
  }
  std::vector<std::vector<uint8_t>> injected;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    injected.swap(injected_);
  }
  for (const auto& bytes : injected) wire_->Send(bytes.data(), bytes.size());
  Poll(platform::TickCount());
}

// During a firmware upload the relay sends raw S-record lines between its frames.
bool SimRobot::TakeFirmwareLines() {
  bool took = false;
  while (firmware_mode_ && !pending_.empty() && pending_[0] != 0x5E) {
    auto end = std::find(pending_.begin(), pending_.end(), static_cast<uint8_t>('\n'));
    if (end == pending_.end()) {
      if (pending_.size() > 4096) pending_.clear();  // no line is that long
      break;
    }
    std::string line(pending_.begin(), end);
    pending_.erase(pending_.begin(), end + 1);
    OnFirmwareLine(line);
    took = true;
  }
  return took;
}

void SimRobot::OnBytes(const uint8_t* bytes, std::size_t count) {
  pending_.insert(pending_.end(), bytes, bytes + count);
  TakeFirmwareLines();
  std::size_t pos = 0;
  while (pos + 1 < pending_.size()) {
    if (pending_[pos] != 0x5E || pending_[pos + 1] != 0x02) {
      ++pos;
      continue;
    }
    if (pending_.size() - pos < 6) break;
    std::size_t total = pending_[pos + 5] + exchange::kFrameOverhead;
    if (pending_.size() - pos < total) break;
    const uint8_t* f = pending_.data() + pos;
    const std::size_t n = total - exchange::kFrameOverhead;
    if (f[total - 2] == 0x5E && f[total - 1] == 0x0D && exchange::Crc8(f + 2, n + 4) == f[6 + n]) {
      OnFrame(f, total);
      pos += total;
      if (firmware_mode_) {  // lines may follow the start frame in the same read
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(pos));
        pos = 0;
        TakeFirmwareLines();
      }
    } else {
      ++pos;  // not a frame after all: resynchronise on the next marker
    }
  }
  if (pos >= pending_.size() && !pending_.empty() && pending_.back() == 0x5E && pos > 0)
    pos = pending_.size() - 1;
  pending_.erase(pending_.begin(),
                 pending_.begin() + static_cast<std::ptrdiff_t>(std::min(pos, pending_.size())));
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
      if (silent_) {
        if (options_.silence_ms == 0 || platform::TickElapsed(now, silent_since_) < options_.silence_ms)
          break;
        silent_ = false;
        std::lock_guard<std::mutex> guard(mutex_);
        answered_ = 0;
        Log("answering keep-alives again");
      }
      const uint8_t answer = exchange::kLinkStatusAnswer;
      SendFrame(exchange::kTypeLinkStatus, &answer, 1);
      int answered;
      {
        std::lock_guard<std::mutex> guard(mutex_);
        answered = ++answered_;
      }
      if (options_.stop_answering_after >= 0 && answered >= options_.stop_answering_after) {
        silent_ = true;
        silent_since_ = now;
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
      recording_ = true;
      next_voice_ = now;
      break;
    case exchange::kTypeRecordStop:
      recording_ = false;
      break;
    case exchange::kTypeTakePhoto:
      SendPhoto();
      break;
    case exchange::kTypeAudioAnnouncement: {  // an upload's announcement: a new sound starts
      std::lock_guard<std::mutex> guard(mutex_);
      speaker_state_ = exchange::AdpcmState{};
      heard_.clear();
      announcements_.push_back(n > 0 ? payload[0] : 0);
      break;
    }
    case exchange::kTypeVoice: {
      if (dest != 8) break;
      int16_t samples[2 * exchange::kMaxPayload];
      exchange::AdpcmDecode(payload, 2 * n, speaker_state_, samples);
      {
        std::lock_guard<std::mutex> guard(mutex_);
        heard_.insert(heard_.end(), samples, samples + 2 * n);
        voice_arrivals_.push_back(now);
      }
      ++voice_packets_heard_;
      if (options_.flow_control_every > 0 && voice_packets_heard_ % options_.flow_control_every == 0)
        SendFrame(exchange::kTypeVoiceFlowControl, nullptr, 0);
      break;
    }
    case exchange::kTypeFirmwareStart:
      firmware_mode_ = true;
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

void SimRobot::SendFrame(uint8_t type, const uint8_t* payload, std::size_t n) {
  uint8_t out[8 + exchange::kMaxFrame];
  std::size_t garbage = 0;
  std::uniform_int_distribution<int> percent(0, 99);
  if (options_.drop_percent > 0 && percent(random_) < options_.drop_percent) return;
  if (options_.garbage_percent > 0 && percent(random_) < options_.garbage_percent) {
    garbage = static_cast<std::size_t>(std::uniform_int_distribution<int>(1, 7)(random_));
    for (std::size_t i = 0; i < garbage; ++i) out[i] = static_cast<uint8_t>(random_());
  }
  std::size_t size = exchange::BuildFrame(out + garbage, exchange::kMaxFrame, exchange::kDestComputer,
                                          sequence_++, type, payload, n);
  if (size == 0) return;
  if (options_.corrupt_percent > 0 && percent(random_) < options_.corrupt_percent)
    out[garbage + 6 + n] ^= 0x5A;
  if (wire_->Send(out, garbage + size)) {
    std::lock_guard<std::mutex> guard(mutex_);
    ++sent_;
  }
  if (options_.duplicate_percent > 0 && percent(random_) < options_.duplicate_percent)
    wire_->Send(out, garbage + size);
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
  const std::size_t n = sensors_.Build(record, t, dt, velocity_, pwm_, p);
  SendFrame(type, p, n);
}

void SimRobot::SendVoicePacket() {
  int16_t samples[2 * kVoiceBytes];
  for (int16_t& s : samples) {
    s = static_cast<int16_t>(8000.0 * std::sin(tone_phase_));
    tone_phase_ += 2.0 * M_PI * kToneHz / 8000.0;
    if (tone_phase_ > 2.0 * M_PI) tone_phase_ -= 2.0 * M_PI;
  }
  uint8_t packet[kVoiceBytes];
  exchange::AdpcmEncode(samples, 2 * kVoiceBytes, voice_state_, packet);
  SendFrame(exchange::kTypeVoice, packet, kVoiceBytes);
}

std::vector<int16_t> SimRobot::HeardAudio() {
  std::lock_guard<std::mutex> guard(mutex_);
  return heard_;
}

std::vector<uint32_t> SimRobot::VoiceArrivals() {
  std::lock_guard<std::mutex> guard(mutex_);
  return voice_arrivals_;
}

std::vector<int> SimRobot::Announcements() {
  std::lock_guard<std::mutex> guard(mutex_);
  return announcements_;
}

std::vector<std::string> SimRobot::FirmwareLines() {
  std::lock_guard<std::mutex> guard(mutex_);
  return firmware_lines_;
}

int SimRobot::bad_firmware_lines() {
  std::lock_guard<std::mutex> guard(mutex_);
  return bad_firmware_lines_;
}

bool SimRobot::WriteHeardAudio(const std::string& path) {
  const std::vector<int16_t> samples = HeardAudio();
  platform::UniqueFile f = platform::OpenFile(path, "wb");
  if (!f) return false;
  const uint32_t data = static_cast<uint32_t>(samples.size() * 2);
  uint8_t h[44] = {'R', 'I', 'F', 'F', 0,  0, 0,   0,   'W', 'A',  'V',  'E', 'f', 'm',  't',
                   ' ', 16,  0,   0,   0,  1, 0,   1,   0,   0x40, 0x1F, 0,   0,   0x80, 0x3E,
                   0,   0,   2,   0,   16, 0, 'd', 'a', 't', 'a',  0,    0,   0,   0};
  const uint32_t riff = data + 36;
  std::memcpy(h + 4, &riff, 4);
  std::memcpy(h + 40, &data, 4);
  bool ok = std::fwrite(h, 1, sizeof h, f.get()) == sizeof h &&
            std::fwrite(samples.data(), 2, samples.size(), f.get()) == samples.size();
  return platform::CloseFile(f) && ok;
}

// S-records: "S", a type digit, then hex pairs: count, address, data, checksum; the count covers the
// pairs after it, and all of them sum to 0xFF modulo 256.
void SimRobot::OnFirmwareLine(const std::string& raw) {
  std::string line = raw;
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
  bool good = line.size() >= 4 && line[0] == 'S' && line.size() % 2 == 0;
  unsigned sum = 0;
  std::size_t pairs = 0;
  for (std::size_t i = 2; good && i + 1 < line.size(); i += 2) {
    unsigned byte = 0;
    good = std::sscanf(line.c_str() + i, "%2x", &byte) == 1 &&
           std::isxdigit(static_cast<unsigned char>(line[i])) &&
           std::isxdigit(static_cast<unsigned char>(line[i + 1]));
    sum += byte;
    ++pairs;
  }
  if (good) {
    unsigned count = 0;
    std::sscanf(line.c_str() + 2, "%2x", &count);
    good = count + 1 == pairs && (sum & 0xFF) == 0xFF;
  }
  const bool end = line.size() >= 2 && line[0] == 'S' && line[1] == '9';
  {
    std::lock_guard<std::mutex> guard(mutex_);
    firmware_lines_.push_back(line);
    if (!good && !line.empty()) ++bad_firmware_lines_;
  }
  if (!good && !line.empty())
    Log("firmware line %zu is not a valid S-record: %.60s", firmware_lines_.size(), line.c_str());
  if (end) {
    firmware_mode_ = false;
    Log("firmware upload complete: %zu lines, %d bad", firmware_lines_.size(), bad_firmware_lines_);
  }
  if (options_.firmware_answers) wire_->Send(reinterpret_cast<const uint8_t*>("OK"), 2);
}

std::vector<uint8_t> SimRobot::LastPhoto() {
  std::lock_guard<std::mutex> guard(mutex_);
  return last_photo_;
}

int SimRobot::photos_sent() {
  std::lock_guard<std::mutex> guard(mutex_);
  return photos_;
}

// One camera frame as image packets: index 0, then 1, 2, ..., and 255 for the last, which carries two
// header bytes (here the frame number) in front of its image bytes.
void SimRobot::SendPhoto() {
  std::vector<uint8_t> picture(kFrameRgbBytes);
  if (options_.camera_picture.size() == kFrameRgbBytes)
    picture = options_.camera_picture;
  else
    RenderScene(photo_frame_, picture.data());
  const std::vector<uint8_t> stream = EncodeCameraFrame(picture.data());
  constexpr std::size_t kChunk = 250;
  uint8_t payload[255];
  std::size_t at = 0;
  uint8_t index = 0;
  while (stream.size() - at > kChunk && index < 254) {
    payload[0] = index++;
    std::memcpy(payload + 1, stream.data() + at, kChunk);
    SendFrame(exchange::kTypeImage, payload, 1 + kChunk);
    at += kChunk;
  }
  const std::size_t rest = std::min(stream.size() - at, kChunk);
  payload[0] = 0xFF;
  payload[1] = static_cast<uint8_t>(photo_frame_ & 0xFF);
  payload[2] = static_cast<uint8_t>((photo_frame_ >> 8) & 0xFF);
  std::memcpy(payload + 3, stream.data() + at, rest);
  if (index == 0) {  // a tiny stream still opens with a first packet
    uint8_t first = 0;
    SendFrame(exchange::kTypeImage, &first, 1);
  }
  SendFrame(exchange::kTypeImage, payload, 3 + rest);
  ++photo_frame_;
  std::lock_guard<std::mutex> guard(mutex_);
  last_photo_ = std::move(picture);
  ++photos_;
}

void SimRobot::Poll(uint32_t now) {
  if (options_.camera_period_ms > 0 && !platform::TickAfter(next_photo_, now)) {
    SendPhoto();
    next_photo_ = now + options_.camera_period_ms;
  }
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
  if (recording_ && !platform::TickAfter(next_voice_, now)) {
    SendVoicePacket();
    next_voice_ += kVoicePeriodMs;
    if (platform::TickAfter(now, next_voice_ + 10 * kVoicePeriodMs)) next_voice_ = now;  // fell far behind
  }
}

}  // namespace sim
