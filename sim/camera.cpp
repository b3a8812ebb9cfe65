#include "sim/camera.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "exchange/protocol.h"
#include "platform/clock.h"
#include "sim/camera_encoder.h"

namespace sim {

SimCamera::SimCamera(std::vector<uint8_t> picture, uint32_t period_ms)
    : picture_(std::move(picture)), period_ms_(period_ms) {}

// One camera frame as image packets: index 0, then 1, 2, ..., and 255 for the last, which carries two
// header bytes (here the frame number) in front of its image bytes.
void SimCamera::SendPhoto(FaultyWire& out) {
  std::vector<uint8_t> picture(kFrameRgbBytes);
  if (picture_.size() == kFrameRgbBytes)
    picture = picture_;
  else
    RenderScene(frame_, picture.data());
  const std::vector<uint8_t> stream = EncodeCameraFrame(picture.data());
  {
    // Kept before the last packet goes out: whoever receives the photo may ask for it at once.
    std::lock_guard<std::mutex> guard(mutex_);
    last_ = std::move(picture);
  }
  constexpr std::size_t kChunk = 250;
  uint8_t payload[255];
  std::size_t at = 0;
  uint8_t index = 0;
  while (stream.size() - at > kChunk && index < 254) {
    payload[0] = index++;
    std::memcpy(payload + 1, stream.data() + at, kChunk);
    out.SendFrame(exchange::kTypeImage, payload, 1 + kChunk);
    at += kChunk;
  }
  const std::size_t rest = std::min(stream.size() - at, kChunk);
  payload[0] = 0xFF;
  payload[1] = static_cast<uint8_t>(frame_ & 0xFF);
  payload[2] = static_cast<uint8_t>((frame_ >> 8) & 0xFF);
  std::memcpy(payload + 3, stream.data() + at, rest);
  if (index == 0) {  // a tiny stream still opens with a first packet
    uint8_t first = 0;
    out.SendFrame(exchange::kTypeImage, &first, 1);
  }
  out.SendFrame(exchange::kTypeImage, payload, 3 + rest);
  ++frame_;
  std::lock_guard<std::mutex> guard(mutex_);
  ++sent_;
}

void SimCamera::Poll(uint32_t now, FaultyWire& out) {
  if (period_ms_ == 0 || platform::TickAfter(next_, now)) return;
  SendPhoto(out);
  next_ = now + period_ms_;
}

std::vector<uint8_t> SimCamera::LastPhoto() {
  std::lock_guard<std::mutex> guard(mutex_);
  return last_;
}

int SimCamera::photos_sent() {
  std::lock_guard<std::mutex> guard(mutex_);
  return sent_;
}

}  // namespace sim
