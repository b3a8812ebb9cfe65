#include "relay/link/inbound_dispatch.h"

#include <cstring>
#include <iterator>

#include "exchange/frame.h"

namespace relay {

platform::Status RelayProducers::Open(const std::string& prefix,
                                      const std::function<platform::Status()>& open_commands,
                                      std::string* failed) {
  using exchange::SectionId;
  const SectionId order[6] = {SectionId::kStandardSensor, SectionId::kMotorSensor, SectionId::kImage,
                              SectionId::kAudio,          SectionId::kCommand,     SectionId::kCustomSensor};
  const platform::Status st[6] = {
      standard_sensor.Open(prefix, order[0]),
      motor_sensor.Open(prefix, order[1]),
      image.Open(prefix, order[2]),
      audio.Open(prefix, order[3]),
      open_commands(),
      custom_sensor.Open(prefix, order[5]),
  };  // a braced list: evaluated in this order
  for (int i = 0; i < 6; ++i) {
    if (st[i] == platform::Status::kOk) continue;
    if (failed != nullptr) *failed = exchange::SectionObjectName(prefix, exchange::Spec(order[i]).suffix);
    return st[i];
  }
  return platform::Status::kOk;
}

std::string RelayProducers::Problem(const std::string& prefix, platform::Status status,
                                    const std::string& failed) {
  std::string text = "sections of robot '" + prefix + "': " + platform::StatusText(status);
  if (status == platform::Status::kForeign && !failed.empty()) {
    // Where the system cannot say whose it is, the object goes with the last program that holds it.
    text += platform::SectionsTellTheirOwner()
                ? " (" + platform::DescribeSharedObject(failed) +
                      "; remove it, or start the relay before its clients)"
                : " (" + platform::DescribeSharedObject(failed) + "; it goes when they end)";
  }
  return text;
}

CInboundDispatch::CInboundDispatch(InboundHooks& hooks)
    : hooks_(hooks), voice_(new uint8_t[kVoiceBufferSize]) {}

namespace {

constexpr exchange::CRingProducer RelayProducers::*kProducers[] = {
    &RelayProducers::standard_sensor, &RelayProducers::motor_sensor, &RelayProducers::image,
    &RelayProducers::audio, &RelayProducers::custom_sensor};

}  // namespace

void CInboundDispatch::Put(exchange::CRingProducer RelayProducers::*which, const uint8_t* bytes,
                           uint32_t len) {
  if (producers_ == nullptr) return;
  exchange::CRingProducer& producer = producers_->*which;
  if (!hold_rings_) {
    producer.Put(bytes, len);
    return;
  }
  if (producer.PutUnrung(bytes, len) != exchange::PutStatus::kStored) return;
  for (std::size_t i = 0; i < std::size(kProducers); ++i)
    if (kProducers[i] == which) held_ |= 1u << i;
}

void CInboundDispatch::RingHeld() {
  if (producers_ != nullptr)
    for (std::size_t i = 0; i < std::size(kProducers); ++i)
      if ((held_ & (1u << i)) != 0) (producers_->*kProducers[i]).Ring();
  held_ = 0;
}

void CInboundDispatch::Dispatch(const uint8_t* frame, std::size_t length) {
  if (length < exchange::kFrameOverhead) return;
  const uint8_t type = frame[exchange::kOffDataType];
  const std::size_t n = frame[exchange::kOffLength];
  const uint8_t* payload = frame + exchange::kOffPayload;
  auto put = [&](exchange::CRingProducer RelayProducers::*which) {
    Put(which, payload, static_cast<uint32_t>(n));
  };
  switch (type) {
    case exchange::kTypeImage:
      OnImagePacket(payload, n);
      break;
    case exchange::kTypeVoice:
      OnVoicePacket(payload, n);
      break;
    case exchange::kTypeVoiceFlowControl:
      hooks_.OnVoiceFlowControl();
      break;
    case exchange::kTypeVoiceDecoderReset:
      decoder_ = exchange::AdpcmState{};
      break;
    case exchange::kTypeMotorSensor:
      put(&RelayProducers::motor_sensor);
      break;
    case exchange::kTypeCustomSensor:
      put(&RelayProducers::custom_sensor);
      break;
    case exchange::kTypeStandardSensor:
    case exchange::kTypeAllSensor:
      put(&RelayProducers::standard_sensor);
      break;
    case exchange::kTypeLinkStatus: {
      if (n < 1) break;
      const int8_t code = static_cast<int8_t>(payload[0]);
      if (code == exchange::kLinkStatusAnswer)
        hooks_.OnKeepAliveAnswer();
      else if (exchange::AcknowledgedAtOnce(code))
        hooks_.SendAcknowledgement();
      break;
    }
    default:
      break;
  }
}

void CInboundDispatch::OnImagePacket(const uint8_t* payload, std::size_t n) {
  if (n < 1) return;
  const uint8_t index = payload[0];
  auto append = [this](const uint8_t* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count && image_pos_ < kImageBufferSize; ++i) image_[image_pos_++] = bytes[i];
  };
  if (index == 0) {
    // A first packet also rewinds the write position: an image whose last packet was lost must not
    // leave its bytes in front of the next one.
    image_receiving_ = true;
    image_last_index_ = 0;
    image_gap_ = false;
    image_pos_ = 0;
    append(payload + 1, n - 1);
    return;
  }
  if (!image_receiving_) return;
  if (index != 255) {
    if (index != static_cast<uint8_t>(image_last_index_ + 1)) image_gap_ = true;
    append(payload + 1, n - 1);
    image_last_index_ = index;
    return;
  }
  if (n > 3) append(payload + 3, n - 3);
  // The write position stops at the buffer's end; an image that reached it had 18000 bytes or more.
  if (image_pos_ < kImageBufferSize && !image_gap_ && producers_ != nullptr) {
    const uint32_t m = static_cast<uint32_t>(image_pos_);
    exchange::WriteImageRecordHeader(image_record_, n > 1 ? payload[1] : 0, n > 2 ? payload[2] : 0, m);
    std::memcpy(image_record_ + exchange::kImageRecordHeader, image_, m);
    Put(&RelayProducers::image, image_record_, m + static_cast<uint32_t>(exchange::kImageRecordHeader));
  }
  image_pos_ = 0;
  image_receiving_ = false;
}

void CInboundDispatch::OnVoicePacket(const uint8_t* payload, std::size_t n) {
  int16_t samples[2 * exchange::kMaxPayload];
  const std::size_t decoded = 2 * n;
  exchange::AdpcmDecode(payload, decoded, decoder_, samples);
  // A short packet is padded with silence up to the 256 samples every packet contributes.
  if (decoded < kSamplesKeptPerPacket)
    std::memset(samples + decoded, 0, (kSamplesKeptPerPacket - decoded) * sizeof(int16_t));
  const std::size_t bytes = kSamplesKeptPerPacket * sizeof(int16_t);
  if (voice_fill_ + bytes > kVoiceBufferSize) voice_fill_ = 0;  // unreachable with an 8-bit setting
  std::memcpy(voice_.get() + voice_fill_, samples, bytes);
  voice_fill_ += bytes;
  const long threshold = static_cast<long>(voice_segment_length_.load(std::memory_order_relaxed)) * 4096;
  if (static_cast<long>(voice_fill_) >= threshold) {
    Put(&RelayProducers::audio, voice_.get(), static_cast<uint32_t>(voice_fill_));
    voice_fill_ = 0;
  }
}

}  // namespace relay
