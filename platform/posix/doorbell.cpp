#include "platform/doorbell.h"

#include <linux/futex.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <string>

#include "platform/clock.h"
#include "platform/doorbell_waiters.h"
#include "platform/posix/section_index.h"
#include "platform/shared_memory.h"

namespace platform {
namespace {

// Shared futexes (no FUTEX_PRIVATE_FLAG): the kernel keys them on the page, not on this process's
// address, so the relay and every client meet on the same word.
long Futex(const uint32_t* word, int op, uint32_t value, const timespec* timeout) {
  return ::syscall(SYS_futex, word, op, value, timeout, nullptr, 0);
}

timespec RealSpan(double real_ms) {
  if (real_ms < 0) real_ms = 0;
  const auto whole = static_cast<long long>(real_ms);
  timespec t{};
  t.tv_sec = static_cast<time_t>(whole / 1000);
  t.tv_nsec = static_cast<long>((real_ms - static_cast<double>(whole / 1000) * 1000.0) * 1e6);
  if (t.tv_nsec >= 1000000000L) t.tv_nsec = 999999999L;
  return t;
}

timespec MonotonicPlus(const timespec& span) {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  now.tv_sec += span.tv_sec;
  now.tv_nsec += span.tv_nsec;
  if (now.tv_nsec >= 1000000000L) {
    now.tv_sec += 1;
    now.tv_nsec -= 1000000000L;
  }
  return now;
}

DoorbellWait FromErrno(int error) {
  switch (error) {
    case ETIMEDOUT:
      return DoorbellWait::kTimedOut;
    case EAGAIN:  // a word differed already
      return DoorbellWait::kRung;
    case EINTR:
      return DoorbellWait::kInterrupted;
    default:
      return DoorbellWait::kFailed;
  }
}

DoorbellWait WaitOne(const Doorbell& bell, double real_ms) {
  const timespec span = RealSpan(real_ms);
  if (Futex(bell.word, FUTEX_WAIT, bell.seen, &span) == 0) return DoorbellWait::kRung;
  return FromErrno(errno);
}

#ifndef SYS_futex_waitv
#define SYS_futex_waitv 449  // the same number on every architecture that has it
#endif

// Kernels before 5.16 (and emulators) lack the vector wait; this is learned once. Relaxed: every
// thread that reads a stale "true" only makes one more call that fails the same way.
std::atomic<bool> vector_wait_missing{false};

bool VectorWaitPresent() {
  if (vector_wait_missing.load(std::memory_order_relaxed)) return false;
  // No words: a kernel that has the call refuses the empty list, one without it does not know it.
  const bool present =
      ::syscall(SYS_futex_waitv, nullptr, 0, 0, nullptr, CLOCK_MONOTONIC) == 0 || errno != ENOSYS;
  if (!present) vector_wait_missing.store(true, std::memory_order_relaxed);
  return present;
}

DoorbellWait WaitMany(const Doorbell* bells, std::size_t count, double real_ms) {
  if (!vector_wait_missing.load(std::memory_order_relaxed)) {
    futex_waitv waiters[FUTEX_WAITV_MAX];
    std::memset(waiters, 0, sizeof waiters);
    const std::size_t n = count < FUTEX_WAITV_MAX ? count : FUTEX_WAITV_MAX;
    for (std::size_t i = 0; i < n; ++i) {
      waiters[i].val = bells[i].seen;
      waiters[i].uaddr = reinterpret_cast<uintptr_t>(bells[i].word);
      waiters[i].flags = FUTEX_32;
    }
    const timespec deadline = MonotonicPlus(RealSpan(real_ms));
    if (::syscall(SYS_futex_waitv, waiters, n, 0, &deadline, CLOCK_MONOTONIC) >= 0)
      return DoorbellWait::kRung;
    if (errno != ENOSYS) return FromErrno(errno);
    vector_wait_missing.store(true, std::memory_order_relaxed);
  }
  // Without the vector wait: the first word's wait, in slices short enough that a ring of another
  // word is heard within a few milliseconds.
  constexpr double kSliceMs = 5.0;
  const double end = MonotonicSeconds() * 1000.0 + real_ms;
  for (;;) {
    for (std::size_t i = 1; i < count; ++i)
      if (std::atomic_ref<const uint32_t>(*bells[i].word).load(std::memory_order_acquire) != bells[i].seen)
        return DoorbellWait::kRung;
    const double left = end - MonotonicSeconds() * 1000.0;
    if (left <= 0) return DoorbellWait::kTimedOut;
    const DoorbellWait r = WaitOne(bells[0], left < kSliceMs ? left : kSliceMs);
    if (r != DoorbellWait::kTimedOut) return r;
  }
}

// True when every word still holds what the waiter read. The kernel compares (a wait that ends at
// once: timed out, or woken by the same storm), so a word whose mapping another thread has just
// unmapped is never touched here; a word that differs (EAGAIN) or is gone (EFAULT) is not as seen.
bool AllAsSeen(const Doorbell* bells, std::size_t count) {
  const timespec now{};
  for (std::size_t i = 0; i < count; ++i)
    if (Futex(bells[i].word, FUTEX_WAIT, bells[i].seen, &now) != 0 && errno != ETIMEDOUT) return false;
  return true;
}

constexpr std::size_t kCountedBytes = 256;  // the words of a section that can have a count

// The counts of queued waits, by section: each in the object "<section>Doorbells", opened by the
// first ring or wait on a word of that section and held, mapped, until the process ends.
class Counts {
 public:
  // The count of `word`, or null when it has none (a word in no named section, or beyond the
  // counted bytes, or its object could not be made: its rings then always wake). Each thread
  // remembers the last few words it looked up: the relay's receive thread rings the words of its
  // five rings in turn, and finds each without a lock while no view has been mapped or unmapped.
  uint32_t* Find(const uint32_t* word) {
    constexpr std::size_t kRemembered = 8;
    thread_local struct {
      uint64_t views = 0;
      const uint32_t* words[kRemembered] = {};
      uint32_t* counts[kRemembered] = {};
      std::size_t next = 0;  // the entry replaced next
    } last;
    const uint64_t views = SectionsChanged();
    if (last.views != views) {
      last = {};
      last.views = views;
    }
    for (std::size_t i = 0; i < kRemembered; ++i)
      if (last.words[i] == word) return last.counts[i];
    uint32_t* count = Look(word);
    // Opening the counts' object maps a view: the number read before it is stale already, so the
    // next ring of each word looks once more and is remembered from then on.
    last.words[last.next] = word;
    last.counts[last.next] = count;
    last.next = (last.next + 1) % kRemembered;
    return count;
  }

 private:
  uint32_t* Look(const uint32_t* word) {
    std::string section;
    std::size_t offset = 0;
    if (!FindSection(word, section, offset) || offset >= kCountedBytes || offset % 4 != 0) return nullptr;
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = objects_.find(section);
    if (it == objects_.end()) {
      SharedView view;
      bool created = false;
      if (OpenSharedView(section + "Doorbells", kCountedBytes, view, created) != Status::kOk) return nullptr;
      it = objects_.emplace(section, std::move(view)).first;
    }
    return reinterpret_cast<uint32_t*>(it->second.data() + offset);
  }

  std::mutex mutex_;
  std::map<std::string, SharedView> objects_;
};

Counts& AllCounts() {
  static Counts* counts = new Counts;  // never destroyed: waits may run during static destruction
  return *counts;
}

// The steps of platform/doorbell_waiters.h against the system, for the words of one wait.
struct SystemAccess {
  const Doorbell* bells;
  std::size_t count;
  uint32_t** counts;  // one per bell, null where a word has none
  DoorbellWait (*sleep)(const Doorbell*, std::size_t, double);
  double real_ms = 0;

  void CountIn() {
    // Read-modify-write, acquire and release: see Queued.
    for (std::size_t i = 0; i < count; ++i)
      if (counts[i] != nullptr) std::atomic_ref<uint32_t>(*counts[i]).fetch_add(1, std::memory_order_acq_rel);
  }
  DoorbellWait Sleep() { return sleep(bells, count, real_ms); }
  void CountOut() {
    // Relaxed: leaving orders nothing; a ringer that still sees this wait only wakes in vain.
    for (std::size_t i = 0; i < count; ++i)
      if (counts[i] != nullptr) std::atomic_ref<uint32_t>(*counts[i]).fetch_sub(1, std::memory_order_relaxed);
  }
};

struct RingAccess {
  const uint32_t* word;
  uint32_t* count;

  uint32_t Queued() {
    // Both sides change the count by a read-modify-write, acquire and release, after (the ringer)
    // or before (the waiter) the word is changed or compared: the count's changes are in one order.
    // When the ringer's comes first, the waiter's acquire reads from it and the system's compare
    // sees the changed word; when the waiter's comes first, the ringer reads it and wakes.
    return std::atomic_ref<uint32_t>(*count).fetch_add(0, std::memory_order_acq_rel);
  }
  void Wake() {
    doorbell_waiters::CountWakeCall();
    Futex(word, FUTEX_WAKE, 0x7FFFFFFF, nullptr);
  }
};

DoorbellWait WaitUncounted(const Doorbell* bells, std::size_t count, double real_ms);

}  // namespace

void RingDoorbell(const uint32_t* word) {
  if (word == nullptr) return;
  uint32_t* count = AllCounts().Find(word);
  if (count == nullptr) {
    doorbell_waiters::CountWakeCall();
    Futex(word, FUTEX_WAKE, 0x7FFFFFFF, nullptr);
    return;
  }
  RingAccess access{word, count};
  doorbell_waiters::Ringer ringer;
  while (ringer.Step(access)) {
  }
}

void PrepareDoorbell(const uint32_t* word) {
  if (word != nullptr) AllCounts().Find(word);
}

uint32_t DoorbellWaiters(const uint32_t* word) {
  uint32_t* count = word != nullptr ? AllCounts().Find(word) : nullptr;
  return count != nullptr ? std::atomic_ref<uint32_t>(*count).load(std::memory_order_relaxed) : 0;
}

bool DoorbellsWaitTogether() {
  return VectorWaitPresent();
}

DoorbellWait WaitForDoorbells(const Doorbell* bells, std::size_t count, uint32_t limit_ms) {
  const double real_ms = static_cast<double>(limit_ms) * TimeScale();
  if (count == 0) {  // nothing to hear: a sleep that a signal still ends
    const timespec span = RealSpan(real_ms);
    return ::ppoll(nullptr, 0, &span, nullptr) == 0 ? DoorbellWait::kTimedOut : FromErrno(errno);
  }
  constexpr std::size_t kMostCounted = 64;
  uint32_t* counts[kMostCounted] = {};
  const std::size_t counted = std::min(count, kMostCounted);
  for (std::size_t i = 0; i < counted; ++i) counts[i] = AllCounts().Find(bells[i].word);
  if (count > counted) {
    // More words than counts kept for one wait: the rings of the uncounted ones might find nobody
    // counted and not wake, so the wait is cut into slices that look at every word.
    constexpr double kSliceMs = 5.0;
    const double end = MonotonicSeconds() * 1000.0 + real_ms;
    for (;;) {
      for (std::size_t i = counted; i < count; ++i)
        if (std::atomic_ref<const uint32_t>(*bells[i].word).load(std::memory_order_acquire) != bells[i].seen)
          return DoorbellWait::kRung;
      const double left = end - MonotonicSeconds() * 1000.0;
      if (left <= 0) return DoorbellWait::kTimedOut;
      SystemAccess access{bells, counted, counts, &WaitUncounted, std::min(left, kSliceMs)};
      doorbell_waiters::Waiter waiter;
      while (waiter.Step(access)) {
      }
      if (waiter.result() != DoorbellWait::kTimedOut) return waiter.result();
    }
  }
  SystemAccess access{bells, count, counts, &WaitUncounted, real_ms};
  doorbell_waiters::Waiter waiter;
  while (waiter.Step(access)) {
  }
  return waiter.result();
}

namespace {

DoorbellWait WaitUncounted(const Doorbell* bells, std::size_t count, double real_ms) {
  const double end = MonotonicSeconds() * 1000.0 + real_ms;
  // Wakes that leave every word as it was are not a producer's: the wait is queued again, after a
  // hold that grows while they keep coming. The loop ends at the limit and goes round at most once
  // per hold (at most 4 ms once the storm has lasted 4 ms), however fast the wakes come.
  DoorbellPacer stray;
  for (;;) {
    const double left = end - MonotonicSeconds() * 1000.0;
    const DoorbellWait r = count == 1 ? WaitOne(bells[0], left) : WaitMany(bells, count, left);
    if (r == DoorbellWait::kFailed) {
      SleepMilliseconds(real_ms / TimeScale());  // a refused wait must not turn its caller's loop into a spin
      return r;
    }
    if (r != DoorbellWait::kRung || !AllAsSeen(bells, count)) return r;
    stray.Looked(true, false);
    const double after = end - MonotonicSeconds() * 1000.0;
    if (after <= 0) return DoorbellWait::kTimedOut;
    SleepMilliseconds(std::min(stray.hold_ms(), after / TimeScale()));
  }
}

}  // namespace

}  // namespace platform
