#include "relay/link/audio_upload.h"

#include <cstdlib>
#include <cstring>

#include "exchange/frame.h"
#include "exchange/protocol.h"
#include "exchange/wave_file.h"
#include "platform/clock.h"
#include "platform/debug_output.h"
#include "relay/timing.h"

namespace relay {
namespace {

constexpr std::size_t kMaxPacketBytes = 128;

}  // namespace

void CAudioUpload::Stop() {
  stop_.store(true, std::memory_order_release);
  thread_.Join();
}

bool CAudioUpload::Load(const char* path, int& size_class) {
  exchange::WaveSamples wave;
  if (platform::Result read = exchange::ReadPlayableSound(path, wave); !read.ok()) {
    // A service relay has a /tmp of its own and no view of the homes: say so where it matters.
    const std::string p(path);
    for (const char* hidden : {"/tmp/", "/var/tmp/", "/home/", "/root/", "/run/user/"})
      if (p.rfind(hidden, 0) == 0 && std::getenv("INVOCATION_ID") != nullptr) {
        read.message +=
            " (this relay runs as a service, which sees neither its clients' /tmp nor their homes)";
        break;
      }
    events_.Message(MessageKind::kNotice, "the sound file is not played: " + read.message);
    return false;
  }
  // Position 0 holds a leading silent sample; the file's first sample is at position 1.
  samples_.assign(wave.samples.size() + 2, 0);
  std::memcpy(samples_.data() + 1, wave.samples.data(), wave.samples.size() * sizeof(int16_t));
  count_ = wave.samples.size();
  size_class = exchange::SizeClass(count_);
  return true;
}

void CAudioUpload::Start(const char* path, bool continuation) {
  Stop();  // a new request ends the running upload first
  if (!continuation) encoder_ = exchange::AdpcmState{};
  int size_class = 1;
  if (!Load(path, size_class)) return;
  stop_.store(false, std::memory_order_release);
  if (!continuation) {
    const uint8_t payload = static_cast<uint8_t>(size_class);
    writer_.Send(exchange::kDestMultimediaBoard, exchange::kTypeAudioAnnouncement, &payload, 1);
  }
  position_ = 0;
  if (!platform::StartThread([this] { Run(); }, thread_)) {
    stop_.store(true, std::memory_order_release);
    platform::DebugOutput("audio upload: the upload thread cannot be started");
  }
}

void CAudioUpload::Run() {
  int slow_start = 60;
  int passes = 0;
  int window_count = 0;
  uint32_t window_start = 0;
  while (count_ >= 2 && position_ < count_ - 2) {
    if (Stopped()) break;
    ++passes;
    if (!flow_.load(std::memory_order_acquire)) {
      // The robot asked for a pause: 150 ms, then 50 packets at 20 ms or more.
      bool stop = false;
      for (uint32_t ms = 0; ms < timing::kVoicePauseMs && !(stop = Stopped());
           ms += timing::kVoicePauseStepMs)
        platform::Sleep(timing::kVoicePauseStepMs);
      if (stop) break;
      slow_start = 0;
      flow_.store(true, std::memory_order_release);
    }
    std::size_t n = (count_ - position_) / 2;
    if (n > kMaxPacketBytes) n = kMaxPacketBytes;
    uint8_t adpcm[kMaxPacketBytes];
    exchange::AdpcmEncode(samples_.data() + position_, 2 * n, encoder_, adpcm);
    position_ += 2 * n;
    exchange::Frame f =
        exchange::Frame::Make(exchange::kDestMultimediaBoard, 0, exchange::kTypeVoice, adpcm, n);
    // A packet the transport failed to take backs the upload off a little; one it could not take
    // now is dropped, as a late packet would be useless to the robot anyway.
    if (writer_.SendBytes(f.bytes, static_cast<int>(f.size)) == LinkStatus::kSendFailed)
      platform::Sleep(timing::kVoiceRefusedBackOffMs);
    platform::Sleep(timing::kVoicePacketGapMs);
    if (slow_start < timing::kVoiceSlowStartPackets) {
      platform::Sleep(timing::kVoiceSlowStartGapMs);
      ++slow_start;
    }
    if (passes > timing::kVoicePrimedPasses) {
      // No faster than 20 packets per 250 ms once the robot's buffer is primed.
      if (window_count == 0) window_start = platform::TickCount();
      if (++window_count == timing::kVoiceWindowPackets) {
        const uint32_t spent = platform::TickElapsed(platform::TickCount(), window_start);
        bool stop = false;
        for (uint32_t waited = 0; spent + waited < timing::kVoiceWindowMs && !(stop = Stopped());
             waited += timing::kVoiceWindowStepMs)
          platform::Sleep(timing::kVoiceWindowStepMs);
        if (stop) break;
        window_count = 0;
      }
    }
  }
  position_ = 0;
  samples_.clear();
  samples_.shrink_to_fit();
  stop_.store(true, std::memory_order_release);
}

}  // namespace relay
