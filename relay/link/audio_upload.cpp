// Streaming a WAV file to the robot's loudspeaker: an announcement of its size class, then voice
// packets of up to 128 ADPCM bytes, paced for the robot's buffer, slowed after a flow-control frame
// and stopped by a stop command. One upload runs at a time.
#include <cstring>

#include "exchange/frame.h"
#include "platform/clock.h"
#include "platform/debug_output.h"
#include "relay/link/link_manager.h"
#include "relay/link/wave_file.h"

namespace relay {
namespace {

constexpr std::size_t kMaxPacketBytes = 128;

}  // namespace

void CLinkManager::StopAudioUpload() {
  voice_stop_.store(true, std::memory_order_release);
  upload_thread_.Join();
}

bool CLinkManager::LoadWaveFile(const char* path, int& size_class) {
  WaveSamples wave;
  std::string error;
  if (ReadWaveSamples(path, wave, error) && wave.samples.size() <= 2) {
    // The upload sends a packet for every two samples beyond the first two: nothing to play.
    error = std::string(path) + ": no samples to play";
    wave.samples.clear();
  }
  if (wave.samples.empty()) {
    ui_.Notice("the sound file is not played: " + error);
    return false;
  }
  // Position 0 holds a leading silent sample; the file's first sample is at position 1.
  upload_samples_.assign(wave.samples.size() + 2, 0);
  std::memcpy(upload_samples_.data() + 1, wave.samples.data(), wave.samples.size() * sizeof(int16_t));
  upload_count_ = wave.samples.size();
  size_class = SizeClass(upload_count_);
  return true;
}

void CLinkManager::SendAudioAnnouncement(int size_class) {
  const uint8_t payload = static_cast<uint8_t>(size_class);
  writer_.Send(exchange::kDestMultimediaBoard, exchange::kTypeAudioAnnouncement, &payload, 1);
}

void CLinkManager::StartAudioUpload(const char* path, bool continuation) {
  StopAudioUpload();  // a new request ends the running upload first
  if (!continuation) encoder_ = exchange::AdpcmState{};
  int size_class = 1;
  if (!LoadWaveFile(path, size_class)) return;
  voice_stop_.store(false, std::memory_order_release);
  if (!continuation) SendAudioAnnouncement(size_class);
  upload_position_ = 0;
  if (!platform::StartThread([this] { AudioUploadThread(); }, upload_thread_)) {
    voice_stop_.store(true, std::memory_order_release);
    platform::DebugOutput("audio upload: the upload thread cannot be started");
  }
}

void CLinkManager::AudioUploadThread() {
  int slow_start = 60;
  int passes = 0;
  int window_count = 0;
  uint32_t window_start = 0;
  auto stopped = [this] { return voice_stop_.load(std::memory_order_acquire); };
  while (upload_count_ >= 2 && upload_position_ < upload_count_ - 2) {
    if (stopped()) break;
    ++passes;
    if (!voice_flow_.load(std::memory_order_acquire)) {
      // The robot asked for a pause: 150 ms, then 50 packets at 20 ms or more.
      bool stop = false;
      for (int ms = 0; ms < 150 && !(stop = stopped()); ++ms) platform::Sleep(1);
      if (stop) break;
      slow_start = 0;
      voice_flow_.store(true, std::memory_order_release);
    }
    std::size_t n = (upload_count_ - upload_position_) / 2;
    if (n > kMaxPacketBytes) n = kMaxPacketBytes;
    uint8_t adpcm[kMaxPacketBytes];
    exchange::AdpcmEncode(upload_samples_.data() + upload_position_, 2 * n, encoder_, adpcm);
    upload_position_ += 2 * n;
    exchange::Frame f =
        exchange::Frame::Make(exchange::kDestMultimediaBoard, 0, exchange::kTypeVoice, adpcm, n);
    bool short_send = false;
    {
      platform::LockGuard guard(writer_.lock());
      if (link_kind_.load() == LinkKindChoice::kWifi) {
        if (udp_.PollWritable() == kPollWritable) {
          const int sent = udp_.Send(f.bytes, static_cast<int>(f.size));
          stats_.AddBytesOut(static_cast<uint64_t>(sent > 0 ? sent : 0));
          short_send = sent < static_cast<int>(f.size);
        }
      } else if (serial_.Write(f.bytes, static_cast<int>(f.size)) == 1) {
        stats_.AddBytesOut(f.size);
      }
    }
    if (short_send) platform::Sleep(5);
    platform::Sleep(2);
    if (slow_start < 50) {
      platform::Sleep(18);
      ++slow_start;
    }
    if (passes > 200) {
      // No faster than 20 packets per 250 ms once the robot's buffer is primed.
      if (window_count == 0) window_start = platform::TickCount();
      if (++window_count == 20) {
        const uint32_t spent = platform::TickElapsed(platform::TickCount(), window_start);
        bool stop = false;
        for (uint32_t waited = 0; spent + waited < 250 && !(stop = stopped()); waited += 30)
          platform::Sleep(30);
        if (stop) break;
        window_count = 0;
      }
    }
  }
  upload_position_ = 0;
  upload_samples_.clear();
  upload_samples_.shrink_to_fit();
  voice_stop_.store(true, std::memory_order_release);
}

}  // namespace relay
