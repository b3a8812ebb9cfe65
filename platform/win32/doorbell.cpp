// Doorbells on Windows. The system has no wait on a word of shared memory across processes, so each
// doorbell word of a section gets two named objects beside the section, made by whichever process
// first rings or waits on it and held by each such process until it ends:
//   "<section>Doorbells"         a small mapping of wait counts, one 32-bit count per word of the
//                                section's first 256 bytes: how many waits are queued on that word
//                                now, in every process;
//   "<section>Doorbell<offset>"  a semaphore that a ring releases once per queued wait.
// Like the section, they may be opened only by its user (and SYSTEM and Administrators).
// A waiter counts itself in, reads the word, and waits on the semaphore only while the word still
// holds what it saw; a producer changes the word, then reads the count and releases that many.
// Both sides order their write before their read (a full fence), so either the waiter sees the new
// word or the producer sees the waiter: no ring is lost. A ring with nobody waiting costs a read.
//
// A count can run ahead of the waits that are really queued (a waiter that timed out but has not
// yet counted itself out, or one killed while waiting): the ring then releases a token nobody takes
// at once, and a later wait begins with a wake that finds every word as it was. Such wakes are
// paced as stray wakes are on Linux, and the semaphore holds at most kMostTokens, so a stale count
// costs a waiter at most that many early wakes per ring and never a missed one.
//
// Words outside any section this process has mapped (a word of the process's own, which only its
// threads ring) get the same pair, unnamed.
#include "platform/doorbell.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "platform/clock.h"
#include "platform/doorbell_waiters.h"
#include "platform/win32/owner_only.h"
#include "platform/win32/section_index.h"
#include "platform/win32/unique_handle.h"
#include "platform/win32/wide_text.h"

namespace platform {
namespace {

constexpr std::size_t kCountedBytes = 256;  // the words of a section that can have a doorbell
constexpr LONG kMostTokens = 64;

struct Bell {
  const uint32_t* word = nullptr;  // the doorbell word, in a view that lives as long as the process
  uint32_t* waiters = nullptr;     // the queued waits on it, in every process
  UniqueHandle semaphore;
  // Held while the process lives: a named object keeps its name only while a handle to it is open,
  // and another process opening the name meanwhile must find these counts, not new ones.
  UniqueHandle counts_mapping;
  uint32_t own_waiters = 0;  // the count of a word of this process's own
};

// A view of a mapping that stays mapped until the process ends: the bells read their words and
// counts through such views, so a caller that unmaps its own view meanwhile takes nothing away.
unsigned char* LastingView(HANDLE mapping, DWORD access, std::size_t bytes) {
  return static_cast<unsigned char*>(::MapViewOfFile(mapping, access, 0, 0, bytes));
}

class Bells {
 public:
  // The bell of `word`, made on first use; null when its objects cannot be made. Each thread
  // remembers the last word it looked up: a producer rings the same word at every put, and finds it
  // without a lock while no view has been mapped or unmapped since.
  Bell* Find(const uint32_t* word) {
    thread_local struct {
      const uint32_t* word = nullptr;
      uint64_t views = 0;
      Bell* bell = nullptr;
    } last;
    const uint64_t views = SectionsChanged();
    if (last.word == word && last.views == views && last.bell != nullptr) return last.bell;
    Bell* bell = Look(word);
    last = {word, views, bell};
    return bell;
  }

 private:
  Bell* Look(const uint32_t* word) {
    const std::string* section = nullptr;
    HANDLE mapping = nullptr;
    std::size_t offset = 0;
    std::lock_guard<std::mutex> guard(mutex_);
    if (!FindSection(word, section, mapping, offset) || offset >= kCountedBytes || offset % 4 != 0)
      return Own(word);
    auto& bell = shared_[{section, offset}];
    if (bell == nullptr) bell = MakeShared(section->substr(1), mapping, offset);
    return bell.get();
  }

  Bell* Own(const uint32_t* word) {
    auto& bell = own_[word];
    if (bell == nullptr) {
      bell = std::make_unique<Bell>();
      bell->word = word;
      bell->waiters = &bell->own_waiters;
      bell->semaphore = UniqueHandle(::CreateSemaphoreW(nullptr, 0, kMostTokens, nullptr));
    }
    return bell->semaphore ? bell.get() : nullptr;
  }

  static std::unique_ptr<Bell> MakeShared(const std::string& section, HANDLE mapping, std::size_t offset) {
    const unsigned char* words = LastingView(mapping, FILE_MAP_READ, offset + 4);
    UniqueHandle counts_mapping(::CreateFileMappingW(INVALID_HANDLE_VALUE, OwnerOnlyAttributes(),
                                                     PAGE_READWRITE, 0, kCountedBytes,
                                                     Utf16(section + "Doorbells").c_str()));
    unsigned char* counts =
        counts_mapping ? LastingView(counts_mapping.get(), FILE_MAP_ALL_ACCESS, kCountedBytes) : nullptr;
    UniqueHandle semaphore(::CreateSemaphoreW(OwnerOnlyAttributes(), 0, kMostTokens,
                                              Utf16(section + "Doorbell" + std::to_string(offset)).c_str()));
    if (words == nullptr || counts == nullptr || !semaphore) {
      if (words != nullptr) ::UnmapViewOfFile(words);
      if (counts != nullptr) ::UnmapViewOfFile(counts);
      return nullptr;
    }
    auto bell = std::make_unique<Bell>();
    bell->word = reinterpret_cast<const uint32_t*>(words + offset);
    bell->waiters = reinterpret_cast<uint32_t*>(counts + offset);
    bell->semaphore = std::move(semaphore);
    bell->counts_mapping = std::move(counts_mapping);
    return bell;
  }

  std::mutex mutex_;
  // By section (its name's lasting string) and offset: finding a bell allocates nothing.
  std::map<std::pair<const std::string*, std::size_t>, std::unique_ptr<Bell>> shared_;
  std::map<const uint32_t*, std::unique_ptr<Bell>> own_;
};

Bells& AllBells() {
  static Bells* bells = new Bells;  // never destroyed: waits may run during static destruction
  return *bells;
}

uint32_t Load(const uint32_t* word) {
  // Acquire: what the producer wrote before changing the word is seen by the caller's look.
  return std::atomic_ref<const uint32_t>(*word).load(std::memory_order_acquire);
}

// Sequentially consistent, against the producer's fence between its word and its read of the count.
void CountIn(Bell* bell) {
  std::atomic_ref<uint32_t>(*bell->waiters).fetch_add(1, std::memory_order_seq_cst);
}
void CountOut(Bell* bell) {
  std::atomic_ref<uint32_t>(*bell->waiters).fetch_sub(1, std::memory_order_seq_cst);
}

DWORD WholeMilliseconds(double real_ms) {
  if (real_ms <= 0) return 0;
  return static_cast<DWORD>(std::min(std::ceil(real_ms), 4.0e9));
}

}  // namespace

void RingDoorbell(const uint32_t* word) {
  if (word == nullptr) return;
  Bell* bell = AllBells().Find(word);
  if (bell == nullptr) return;
  // The caller changed the word before this; the fence orders that change before the read of the
  // count (a waiter counts itself in before it reads the word).
  std::atomic_thread_fence(std::memory_order_seq_cst);
  const uint32_t queued = std::atomic_ref<uint32_t>(*bell->waiters).load(std::memory_order_relaxed);
  if (queued == 0) return;
  // A count beyond the cap is stale or scribbled; a semaphore already holding tokens has nobody
  // blocked on it, so the refusal of a release that would pass the cap loses no wake.
  const LONG release = queued > static_cast<uint32_t>(kMostTokens) ? kMostTokens : static_cast<LONG>(queued);
  doorbell_waiters::CountWakeCall();
  ::ReleaseSemaphore(bell->semaphore.get(), release, nullptr);
}

void PrepareDoorbell(const uint32_t* word) {
  if (word != nullptr) AllBells().Find(word);
}

uint32_t DoorbellWaiters(const uint32_t* word) {
  Bell* bell = word != nullptr ? AllBells().Find(word) : nullptr;
  return bell != nullptr ? std::atomic_ref<uint32_t>(*bell->waiters).load(std::memory_order_relaxed) : 0;
}

// Up to 64 words in one wait; more are a host's own folly and are looked at between slices.
bool DoorbellsWaitTogether() {
  return true;
}

DoorbellWait WaitForDoorbells(const Doorbell* bells, std::size_t count, uint32_t limit_ms) {
  if (count == 0) {
    SleepMilliseconds(limit_ms);  // nothing to hear
    return DoorbellWait::kTimedOut;
  }
  // The first 64 words are waited on; any beyond are looked at between slices of the wait.
  constexpr std::size_t kWaitable = MAXIMUM_WAIT_OBJECTS;
  constexpr double kSliceMs = 5.0;
  const std::size_t waited = std::min(count, kWaitable);
  Bell* found[kWaitable];
  HANDLE handles[kWaitable];
  for (std::size_t i = 0; i < waited; ++i) {
    found[i] = AllBells().Find(bells[i].word);
    if (found[i] == nullptr) {
      SleepMilliseconds(limit_ms);  // a refused wait must not turn its caller's loop into a spin
      return DoorbellWait::kFailed;
    }
    handles[i] = found[i]->semaphore.get();
  }
  auto moved = [&] {
    for (std::size_t i = 0; i < waited; ++i)
      if (Load(found[i]->word) != bells[i].seen) return true;
    for (std::size_t i = waited; i < count; ++i)
      if (Load(bells[i].word) != bells[i].seen) return true;
    return false;
  };

  const double end = MonotonicSeconds() * 1000.0 + static_cast<double>(limit_ms) * TimeScale();
  DoorbellPacer stray;
  for (;;) {
    for (std::size_t i = 0; i < waited; ++i) CountIn(found[i]);
    DWORD r = WAIT_TIMEOUT;
    const bool early = moved();
    if (!early) {
      double left = end - MonotonicSeconds() * 1000.0;
      if (count > waited) left = std::min(left, kSliceMs);
      r = ::WaitForMultipleObjects(static_cast<DWORD>(waited), handles, FALSE, WholeMilliseconds(left));
    }
    for (std::size_t i = 0; i < waited; ++i) CountOut(found[i]);
    if (early) return DoorbellWait::kRung;
    if (r == WAIT_FAILED) {
      SleepMilliseconds(limit_ms);
      return DoorbellWait::kFailed;
    }
    const double after = end - MonotonicSeconds() * 1000.0;
    // The limit passed with no ring: timed out, as on Linux, even when a word moved meanwhile (a
    // producer that does not ring, which its waiters tell by this).
    if (r == WAIT_TIMEOUT && after <= 0) return DoorbellWait::kTimedOut;
    if (moved()) return DoorbellWait::kRung;
    if (after <= 0) return DoorbellWait::kTimedOut;
    if (r == WAIT_TIMEOUT) continue;  // a slice ended, or the rounding of the limit
    // A token with every word as it was: a stale count's, or one scribbled. Hold off as the pacer
    // says before waiting again, so that a run of them costs little.
    stray.Looked(true, false);
    SleepMilliseconds(std::min(stray.hold_ms(), after / TimeScale()));
  }
}

}  // namespace platform
