#include "clients/mqtt_bridge/doorbell_watch.h"

#include <atomic>

namespace mqtt_bridge {

bool CDoorbellWatch::Start() {
  return platform::StartThread([this] { Body(); }, thread_);
}

void CDoorbellWatch::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    std::atomic_ref<uint32_t>(interrupt_).fetch_add(1, std::memory_order_release);
  }
  platform::RingDoorbell(&interrupt_);
  changed_.notify_all();
  thread_.Join();
}

void CDoorbellWatch::Watch(const std::vector<platform::Doorbell>& bells, uint32_t limit_ms,
                           const platform::DoorbellPacer& pacer) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    bells_ = bells;
    limit_ms_ = limit_ms;
    pacer_ = pacer;
    ++generation_;
    std::atomic_ref<uint32_t>(interrupt_).fetch_add(1, std::memory_order_release);
  }
  platform::RingDoorbell(&interrupt_);
  changed_.notify_all();
}

void CDoorbellWatch::Body() {
  std::vector<platform::Doorbell> bells;
  uint64_t seen_generation = 0;
  for (;;) {
    uint32_t limit = 0;
    platform::DoorbellPacer pacer;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [&] { return stopping_ || generation_ != seen_generation; });
      if (stopping_) return;
      seen_generation = generation_;
      bells = bells_;
      bells.push_back({&interrupt_, std::atomic_ref<uint32_t>(interrupt_).load(std::memory_order_acquire)});
      limit = limit_ms_;
      pacer = pacer_;
    }
    if (pacer.Wait(bells.data(), bells.size(), limit) != platform::DoorbellWait::kRung) continue;
    // A ring of the robot's words, or of ours: new words to watch (what was seen here is old then,
    // and waking the bridge for it would only have it arm again, round and round) or the stop. Only
    // the robot's words, still the ones the bridge armed, wake the bridge.
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_ || generation_ != seen_generation) continue;
    }
    bool robot = false;
    for (std::size_t i = 0; i + 1 < bells.size(); ++i)
      robot = robot || std::atomic_ref<const uint32_t>(*bells[i].word).load(std::memory_order_relaxed) !=
                           bells[i].seen;
    if (robot) waker_.Wake();
  }
}

}  // namespace mqtt_bridge
