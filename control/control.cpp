#include "control/control.h"

#include <cstdio>
#include <cstring>

#include "control/dispatch.h"
#include "control/media/bmp_writer.h"
#include "control/media/lcd_bitmap.h"
#include "exchange/camera_format.h"
#include "exchange/frame.h"
#include "exchange/protocol.h"
#include "exchange/section_lifetime.h"
#include "exchange/wave_file.h"
#include "platform/clock.h"
#include "platform/debug_output.h"
#include "platform/library.h"

namespace control {

uint8_t* ModuleImageBuffer() {
  static uint8_t buffer[kImageBytes] = {};
  return buffer;
}

uint8_t* ModuleLumaArea() {
  static uint8_t area[kLumaAreaBytes] = {};
  return area;
}

CZembrinSDKControlCtrl::CZembrinSDKControlCtrl() = default;

CZembrinSDKControlCtrl::~CZembrinSDKControlCtrl() {
  *alive_ = false;  // a tick that fired the event destroying us stops there
  if (host_ != nullptr) host_->KillTimers(*this);
}

void CZembrinSDKControlCtrl::AttachHost(ControlHost* host) {
  if (host_ != nullptr) host_->KillTimers(*this);
  host_ = host;
  if (host_ != nullptr && timer_wanted_) host_->SetTimer(*this, kPollTimerId, kPollPeriodMs);
}

namespace {

// The start of a long name for a message, cut before a UTF-8 character rather than inside it.
std::string Shortened(const std::string& name) {
  return name.size() <= 40 ? name : exchange::Utf8Prefix(name, 40) + "...";
}

// The same name but for the case of its ASCII letters.
bool SameLetters(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// The sensor record a section carries (its place in the control's copies), or -1 for none.
int SensorIndex(exchange::SectionId section) {
  for (const exchange::SensorRecordInfo& info : exchange::kSensorRecords)
    if (info.section == section) return static_cast<int>(info.record);
  return -1;
}

}  // namespace

// The longest name, every byte escaped as %XX, still names every section within the system's limit.
static_assert(1 + 3 * kMaxRobotName +
                  std::string_view(exchange::Spec(exchange::SectionId::kCommand).suffix).size() <=
              kMaxObjectName);

void CZembrinSDKControlCtrl::ReleaseSections() {
  for (bool& have : have_record_) have = false;
  have_voice_ = false;
  voice_record_size_ = 0;
  voice_segment_length_ = 0;  // the segment belonged to the sections that go
  standard_sensor_.reset();
  motor_sensor_.reset();
  signal_.reset();
  custom_sensor_.reset();
  image_.reset();
  audio_.reset();
  commands_.reset();
}

void CZembrinSDKControlCtrl::connectRobot(const std::string& robotName) {
  last_error_.clear();
  if (robotName.size() > kMaxRobotName) {
    Complain(kStatusInvalidArg, "connectRobot: a robot name holds at most " + std::to_string(kMaxRobotName) +
                                    " bytes, as many as a relay serves; '" + Shortened(robotName) +
                                    "' is refused");
    return;
  }
  for (unsigned char c : robotName) {
    if (c < 0x20 || c == 0x7F) {
      Complain(kStatusInvalidArg,
               "connectRobot: a robot name is one line of text, without control characters; '" +
                   Shortened(robotName) + "' is refused");
      return;
    }
  }
  ReleaseSections();
  // Sections that killed relays and clients left behind (Ctrl-C, SIGTERM), of any robot name, go
  // before ours open.
  exchange::ReclaimLeftoverSections();
  auto open_consumer = [&](std::unique_ptr<exchange::CRingConsumer>& handle, exchange::SectionId id) {
    handle = std::make_unique<exchange::CRingConsumer>();
    platform::Status st = handle->Open(robotName, id);
    if (st != platform::Status::kOk && last_error_.empty())
      Complain(kStatusFailed,
               "connectRobot: the sections of robot '" + robotName + "': " + platform::StatusText(st));
  };
  open_consumer(standard_sensor_, exchange::SectionId::kStandardSensor);
  open_consumer(motor_sensor_, exchange::SectionId::kMotorSensor);
  open_consumer(signal_, exchange::SectionId::kSignal);
  open_consumer(custom_sensor_, exchange::SectionId::kCustomSensor);
  open_consumer(image_, exchange::SectionId::kImage);
  open_consumer(audio_, exchange::SectionId::kAudio);
  commands_ = std::make_unique<exchange::CCommandWriter>();
  platform::Status st = commands_->Open(robotName);
  if (st != platform::Status::kOk && last_error_.empty())
    Complain(kStatusFailed,
             "connectRobot: the sections of robot '" + robotName + "': " + platform::StatusText(st));
  timer_wanted_ = true;
  if (host_ != nullptr) host_->SetTimer(*this, kPollTimerId, kPollPeriodMs);
  if (!last_error_.empty() || relay_state() != exchange::RelayState::kNoRelay) return;
  // Connected, but to sections nobody forwards: a misspelt name would wait for ever. The caller
  // hears of it, with the names relays serve (as far as this process may list them); the control
  // stays connected for a relay that starts later.
  std::string served;
  std::string alike;
  for (const std::string& name : exchange::ServedRobots()) {
    served += (served.empty() ? "; relays serve '" : ", '") + Shortened(name) + "'";
    if (alike.empty() && SameLetters(name, robotName)) alike = name;
  }
  Refuse(kStatusFailed,
         "connectRobot: no relay serves robot '" + Shortened(robotName) + "'" +
             (alike.empty() ? "" : "; did you mean '" + Shortened(alike) + "'? (names are case-sensitive)") +
             served + ". The control stays connected; RelayState tells when a relay serves the name");
}

void CZembrinSDKControlCtrl::OnTimer(int) {
  Tick();
}

void CZembrinSDKControlCtrl::Fire(int dispid) {
  // A copy: the handler may destroy this control, and the sink with it, while it runs.
  if (EventSink sink = event_sink_) sink(dispid);
}

void CZembrinSDKControlCtrl::Complain(int32_t status, const std::string& text) {
  last_error_ = text;
  std::fprintf(stderr, "talvenorctl: %s\n", text.c_str());
  Refuse(status, text);
}

void CZembrinSDKControlCtrl::Refuse(int32_t status, const std::string& text) {
  refusal_ = Refusal{status, text};
}

int CZembrinSDKControlCtrl::TakeOneEach() {
  if (!connected()) return 0;
  int taken = 0;
  // A handler may destroy this control, release its sections or call connectRobot and replace the
  // handles: after every event the tick checks that the control still lives and re-reads them.
  std::shared_ptr<bool> alive = alive_;
  auto fire = [&](int dispid) {
    Fire(dispid);
    ++taken;
    return *alive && connected();
  };
  // Each record is copied out of its ring and checked that the relay did not overwrite it meanwhile;
  // getters read the copy, so a reading never mixes two records however late a getter is called.
  for (const exchange::SensorRecordInfo& info : exchange::kSensorRecords) {
    const int which = static_cast<int>(info.record);
    exchange::CRingConsumer* ring = Polled(info.section);
    uint32_t length = 0;
    if (ring != nullptr && ring->TakeCopy(records_[which], kRecordRoom, length)) {
      record_size_[which] = length < kRecordRoom ? length : kRecordRoom;
      have_record_[which] = true;
      if (!fire(EventOf(info.section))) return -1;
    }
  }
  if (image_) {
    uint32_t length = 0;
    if (image_->TakeCopy(image_record_.data(), static_cast<uint32_t>(image_record_.size()), length)) {
      // The JPEG bytes follow the 7-byte image header. Whether the frame decoded or not, the control
      // is invalidated and the event fires; a refused frame leaves the previous picture.
      const std::size_t size = length < image_record_.size() ? length : image_record_.size();
      std::size_t jpeg_bytes = 0;
      const uint8_t* jpeg = exchange::ImageRecordJpeg(image_record_.data(), size, jpeg_bytes);
      decoder_.Reset(exchange::kCameraQuality);
      if (size >= exchange::kImageRecordHeader)
        decoder_.DecodeToRgb(jpeg, static_cast<int>(jpeg_bytes), ModuleImageBuffer(), kImageHeight,
                             kImageWidth, ModuleLumaArea());
      decoder_.Release();
      if (host_ != nullptr) host_->Invalidate(*this, true);
      if (!fire(EventOf(exchange::SectionId::kImage))) return -1;
    }
  }
  if (audio_) {
    uint32_t length = 0;
    if (audio_->TakeCopy(voice_.data(), static_cast<uint32_t>(voice_.size()), length)) {
      voice_segment_length_ = static_cast<int32_t>(length);
      voice_record_size_ = length < voice_.size() ? length : static_cast<uint32_t>(voice_.size());
      have_voice_ = true;
      if (!fire(EventOf(exchange::SectionId::kAudio))) return -1;
    }
  }
  return taken;
}

void CZembrinSDKControlCtrl::Tick() {
  TakeOneEach();
}

bool CZembrinSDKControlCtrl::HasDoorbells() const {
  for (const exchange::CRingConsumer* ring :
       {standard_sensor_.get(), motor_sensor_.get(), custom_sensor_.get(), image_.get(), audio_.get()})
    if (ring != nullptr && ring->HasView()) return true;
  return false;
}

bool CZembrinSDKControlCtrl::AddDoorbells(std::vector<platform::Doorbell>& bells) {
  if (!connected()) return false;
  bool pending = false;
  for (const exchange::CRingConsumer* ring :
       {standard_sensor_.get(), motor_sensor_.get(), custom_sensor_.get(), image_.get(), audio_.get()}) {
    if (ring == nullptr) continue;
    const platform::Doorbell bell = ring->Doorbell();  // before the look, so no ring is missed
    if (bell.word == nullptr) continue;
    bells.push_back(bell);
    pending = pending || ring->Pending();
  }
  return pending;
}

int CZembrinSDKControlCtrl::TakeArrived() {
  // Rounds of one record per ring, as ticks take them, so streams stay interleaved as they came. A
  // producer faster than the handlers cannot keep this loop going for ever: a ring holds five.
  constexpr int kMostRounds = 8;
  int total = 0;
  for (int round = 0; round < kMostRounds; ++round) {
    const int taken = TakeOneEach();
    if (taken < 0) return total + 1;  // a handler ended it: this control may be gone, touch nothing
    if (taken == 0) break;
    total += taken;
  }
  return total;
}

int CZembrinSDKControlCtrl::Wait(uint32_t limit_ms) {
  const uint32_t start = platform::TickCount();
  std::vector<platform::Doorbell> bells;
  for (;;) {
    bells.clear();
    if (AddDoorbells(bells)) {
      if (const int taken = TakeArrived(); taken > 0) return taken;
    }
    const uint32_t spent = platform::TickElapsed(platform::TickCount(), start);
    if (spent >= limit_ms) return 0;
    const platform::DoorbellWait r = pacer_.Wait(bells.data(), bells.size(), limit_ms - spent);
    if (r == platform::DoorbellWait::kInterrupted) return 0;
    // A ring, or a time limit that may hide records of a producer that does not ring.
    const int taken = TakeArrived();
    pacer_.Looked(r == platform::DoorbellWait::kRung, taken > 0);
    if (taken > 0) return taken;
  }
}

void CZembrinSDKControlCtrl::UseRecord(exchange::SectionId section, const uint8_t* data, std::size_t size) {
  if (const int which = SensorIndex(section); which >= 0) {
    record_size_[which] = static_cast<uint32_t>(size < kRecordRoom ? size : kRecordRoom);
    std::memcpy(records_[which], data, record_size_[which]);
    have_record_[which] = true;
  } else if (section == exchange::SectionId::kAudio) {
    voice_record_size_ = static_cast<uint32_t>(size < voice_.size() ? size : voice_.size());
    std::memcpy(voice_.data(), data, voice_record_size_);
    voice_segment_length_ = static_cast<int32_t>(voice_record_size_);
    have_voice_ = true;
  }
}

void CZembrinSDKControlCtrl::Refresh() {
  if (host_ == nullptr) return;
  host_->Invalidate(*this, true);
  host_->UpdateNow(*this);
}

bool CZembrinSDKControlCtrl::ShowMessage(const std::string& text) {
  if (host_ != nullptr) return host_->MessageBox(*this, text);
  platform::DebugOutput("%s", text.c_str());
  return false;
}

// ---- Sensor getters ----------------------------------------------------------------------------

int16_t CZembrinSDKControlCtrl::Sensor(const exchange::SensorField& field) const {
  const int which = static_cast<int>(field.record);
  if (!have_record_[which]) return 0;
  return exchange::ReadField(field, records_[which], record_size_[which]);
}

int16_t CZembrinSDKControlCtrl::SensorChannel(std::string_view channel_getter, int16_t channel) const {
  if (const exchange::SensorField* f = exchange::FieldOfChannel(channel_getter, channel)) return Sensor(*f);
  // Another channel comes back as it was given, as the family's kind: a byte family gives its low byte.
  for (const exchange::SensorField& f : exchange::kSensorFields)
    if (f.channel_getter == channel_getter && f.kind == exchange::FieldKind::kByte)
      return static_cast<int16_t>(channel & 0xFF);
  return channel;
}

// ---- Audio -------------------------------------------------------------------------------------

const uint8_t* CZembrinSDKControlCtrl::LatestRecord(exchange::SectionId section, std::size_t& size) const {
  const int which = SensorIndex(section);
  if (which < 0 || !have_record_[which]) {
    size = 0;
    return nullptr;
  }
  size = record_size_[which];
  return records_[which];
}

uint64_t CZembrinSDKControlCtrl::Lapped(exchange::SectionId section) const {
  const exchange::CRingConsumer* ring = Polled(section);
  return ring != nullptr ? ring->lapped() : 0;
}

exchange::CRingConsumer* CZembrinSDKControlCtrl::Polled(exchange::SectionId section) const {
  switch (section) {
    case exchange::SectionId::kStandardSensor:
      return standard_sensor_.get();
    case exchange::SectionId::kMotorSensor:
      return motor_sensor_.get();
    case exchange::SectionId::kCustomSensor:
      return custom_sensor_.get();
    case exchange::SectionId::kImage:
      return image_.get();
    case exchange::SectionId::kAudio:
      return audio_.get();
    case exchange::SectionId::kCommand:
    case exchange::SectionId::kSignal:
      break;
  }
  return nullptr;
}

std::size_t CZembrinSDKControlCtrl::VoiceBytesAvailable() const {
  return have_voice_ ? voice_record_size_ : 0;
}

int32_t CZembrinSDKControlCtrl::GetVoiceData(WritableBuffer VoicePtr) {
  const int32_t length = voice_segment_length_;
  if (length <= 0 || !have_voice_ || VoicePtr.data == nullptr) return length;
  // As many bytes as the length says, but never beyond the record nor beyond the caller's buffer.
  std::size_t count = static_cast<std::size_t>(length);
  if (count > voice_record_size_) count = voice_record_size_;
  if (count > VoicePtr.size) count = VoicePtr.size;
  std::memcpy(VoicePtr.data, voice_.data(), count);
  return length;
}

void CZembrinSDKControlCtrl::PlayAudioFile(const std::string& fileName) {
  if (commands_ == nullptr) return;
  // "EOF" after the name asks the relay to go on from the previous sound: the letters stay last and
  // the file is the name before them.
  static constexpr char kGoOn[] = "EOF";
  const std::size_t go_on = sizeof kGoOn - 1;
  const bool continuation =
      fileName.size() >= go_on && fileName.compare(fileName.size() - go_on, go_on, kGoOn) == 0;
  const std::string name = continuation ? fileName.substr(0, fileName.size() - go_on) : fileName;
  if (fileName.empty()) {
    // No name at all: an empty record, which ends the sound the robot plays and starts none.
    if (commands_->Put(nullptr, 0) != exchange::PutStatus::kStored) ++commands_not_stored_;
    return;
  }
  if (name.empty() || name.find('\0') != std::string::npos) {
    RefuseArgument(kStatusInvalidArg, "PlayAudioFile: '" + fileName + "' names no file");
    return;
  }
  // The relay opens the file in a folder of its own: a name is the caller's, so it goes out absolute,
  // and the file is checked here, where the caller hears why it will not play.
  const std::string path = platform::AbsolutePath(name);
  if (path.empty()) {
    RefuseArgument(kStatusInvalidArg, "PlayAudioFile: '" + name + "': the current folder cannot be known");
    return;
  }
  const std::string record = continuation ? path + kGoOn : path;
  const uint32_t capacity = exchange::Spec(exchange::SectionId::kCommand).capacity;
  if (record.size() > capacity) {
    // A command record holds at most 80 bytes; the relay would never see this request.
    RefuseArgument(kStatusInvalidArg,
                   "PlayAudioFile: the path '" + record + "' is " + std::to_string(record.size()) +
                       " bytes long once made absolute; the relay takes paths of at most " +
                       std::to_string(capacity) + " bytes: move the file nearer the root");
    return;
  }
  exchange::WaveSamples sound;
  if (const platform::Result read = exchange::ReadPlayableSound(path, sound); !read.ok()) {
    RefuseArgument(kStatusInvalidArg, "PlayAudioFile: " + read.message);
    return;
  }
  if (commands_->Put(reinterpret_cast<const uint8_t*>(record.data()), static_cast<uint32_t>(record.size())) !=
      exchange::PutStatus::kStored)
    ++commands_not_stored_;
}

void CZembrinSDKControlCtrl::StopAudioPlay() {
  PutFrame(exchange::kDestMultimediaBoard, exchange::kTypeAudioStop, nullptr, 0);
}

void CZembrinSDKControlCtrl::StartRecord(int16_t voiceSegment) {
  const uint8_t n = static_cast<uint8_t>(voiceSegment < 1 ? 1 : voiceSegment > 10 ? 10 : voiceSegment);
  PutFrame(exchange::kDestMultimediaBoard, exchange::kTypeRecordStart, &n, 1);
}

void CZembrinSDKControlCtrl::StopRecord() {
  PutFrame(exchange::kDestMultimediaBoard, exchange::kTypeRecordStop, nullptr, 0);
}

void CZembrinSDKControlCtrl::TakePhoto() {
  PutFrame(exchange::kDestMultimediaBoard, exchange::kTypeTakePhoto, nullptr, 0);
}

bool CZembrinSDKControlCtrl::SavePhotoAsBMP(const std::string& fileName) {
  return media::SavePhotoBmp(ModuleImageBuffer(), fileName);
}

// ---- Framing -----------------------------------------------------------------------------------

void CZembrinSDKControlCtrl::PutFrame(uint8_t destination, uint8_t type, const uint8_t* payload,
                                      std::size_t n) {
  if (commands_ == nullptr) return;  // before connectRobot: dropped
  exchange::Frame f = exchange::Frame::Make(destination, 0x00, type, payload, n);
  if (commands_->Put(f.bytes, static_cast<uint32_t>(f.size)) != exchange::PutStatus::kStored)
    ++commands_not_stored_;
}

// ---- LCD ---------------------------------------------------------------------------------------

void CZembrinSDKControlCtrl::LcdDisplay(uint8_t destination, const std::string& file) {
  media::LcdPicture picture;
  const platform::Result read = media::ReadLcdBmp(file, picture);
  // A message nobody is shown (no container shows the control) is the caller's to hear instead.
  const std::string method =
      destination == exchange::kDestMotionBoard ? "LcdDisplayVCS: " : "LcdDisplayVCB: ";
  std::string unseen;
  auto tell = [&](const std::string& text) {
    if (!ShowMessage(text)) unseen += (unseen.empty() ? method : " ") + text;
  };
  if (!read.ok()) {
    tell(read.message);  // nothing to send: no half-made picture on the LCD
    if (!unseen.empty()) Refuse(kStatusFailed, unseen);
    return;
  }
  // A header that can be read earns its warnings; they only warn, the picture goes out regardless.
  for (const std::string& warning : media::BmpWarnings(picture.header)) tell(warning);
  if (!unseen.empty()) Refuse(kStatusFailed, unseen + " The picture was sent as the file holds it.");
  uint8_t parts[media::kLcdParts][media::kLcdPartBytes];
  media::BuildLcdParts(picture.pixels, parts);
  for (int i = 0; i < media::kLcdParts; ++i) {
    uint8_t payload[1 + media::kLcdPartBytes];
    payload[0] = static_cast<uint8_t>(i);
    std::memcpy(payload + 1, parts[i], media::kLcdPartBytes);
    PutFrame(destination, exchange::kTypeLcdPicture, payload, sizeof payload);
    platform::Sleep(5);
  }
}

}  // namespace control
