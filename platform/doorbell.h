// Doorbells: a 32-bit word of a shared section that a producer changes and then rings, and that
// consumers in any process wait on until it differs from the value they last saw.
//
// A waiter reads the word, looks for work, and only then waits "while the word still holds what I
// read": a ring given between the look and the wait is never lost, because the producer changed
// the word before ringing. Waiting is optional for both sides: a producer that never rings only
// leaves its consumers to their time limit, and every wait has one.
//
// Every doorbell word of a named section has a count of the waits queued on it now, in every
// process, kept beside the section in a small object of its own ("<section name>Doorbells", one
// 32-bit count per word of the section's first 256 bytes) and never in the section, whose bytes
// peers of every age rely on. A waiter counts itself in before it waits and out after; a ring reads
// the count and wakes only when it is not 0, so a put that nobody waits for makes no system call
// (platform/doorbell_waiters.h says why no wake is lost).
//
// Linux keys the wait on the shared page itself (a futex), so processes that map the section at
// different addresses meet on the same word. Windows has no cross-process wait on a word: each
// doorbell word of a section gets a named semaphore beside the section ("<section name>Doorbell
// <offset>", in the section's namespace), and a ring releases it once per queued wait
// (platform/win32/doorbell.cpp). A word that lies in no named section (a word of one process's own)
// is rung and heard within that process; on Linux its rings always wake.
//
// A waiter of a build that does not count itself in (one from before the counts) is woken only by
// rings that find another waiter counted: otherwise it takes what came when its own limit ends.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

struct Doorbell {
  const uint32_t* word = nullptr;  // in a shared mapping, 4-byte aligned
  uint32_t seen = 0;               // what the waiter read before it looked for work
};

// Wakes every waiter of `word` in every process. Without a wait queued on it, a read of its count.
void RingDoorbell(const uint32_t* word);

// Makes the count of queued waits of `word` now, if it has none yet, rather than at its first ring
// or wait: the process that serves a section makes it with the section, so that the count is its
// (and shared as it is) when a client of another user comes to wait.
void PrepareDoorbell(const uint32_t* word);

// The waits queued on `word` now, in every process (a word in no named section: this process's, or
// 0 where they are not counted): for tests and statistics. A waiter killed while it waited is still
// counted.
uint32_t DoorbellWaiters(const uint32_t* word);

// How many wake calls to the system this process's rings have made since it started: for statistics
// and for telling that a ring with nobody waiting made none.
uint64_t DoorbellWakeCalls();

// Whether a wait on several words sleeps on all of them in one call. Where it cannot (Linux before
// 5.16, and emulators), it sleeps on the first and looks at the others between short slices, so a
// word changed without a ring is found within a slice and reported as rung.
bool DoorbellsWaitTogether();

enum class DoorbellWait {
  kRung,         // a word differs from what was seen (it may bring nothing new: look again)
  kTimedOut,     // the limit passed
  kInterrupted,  // a signal came (Ctrl-C): the caller's own code should see it now
  kFailed,       // the system refused the wait (a word no longer mapped); the caller's limit was slept
};

// Waits until one of the `count` words differs from its `seen` value or `limit_ms` (scaled)
// milliseconds pass. With no words it sleeps the limit. Every producer changes its word before it
// rings, so a wake that finds every word as it was came from no producer (another process waking
// the word in a loop): the wait goes on after a hold that grows while such wakes keep coming
// (DoorbellPacer's), so that a storm of them costs the waiter little.
DoorbellWait WaitForDoorbells(const Doorbell* bells, std::size_t count, uint32_t limit_ms);

// How many wakes of this process's waits brought nothing (every word as it was, or nothing to take)
// since it started: a figure for statistics, and for telling a storm that is held off from one that
// is spun through.
uint64_t StrayDoorbellWakes();

// Paces one waiter's round of "wait, look, wait again" against rings that bring nothing: a word
// moved by something that is not a producer (another process bumping it in a loop) wakes the waiter
// at once, every time. After each such wake whose look found nothing new, the waiter holds off
// before it waits again: 0.25 ms, doubling up to 4 ms while the wakes stay empty, none again once a
// look finds news or a wait runs to its limit. A storm then costs at most one look per hold, and a
// record that comes during it waits at most one hold.
class DoorbellPacer {
 public:
  static constexpr double kFirstHoldMs = 0.25;
  static constexpr double kLongestHoldMs = 4.0;

  // What the look after a wait found: `rang` when a word had moved since it was read (the wait
  // ended early), `news` when there was something to take.
  void Looked(bool rang, bool news);
  // The hold the next wait begins with, in scaled milliseconds (0 when none).
  double hold_ms() const { return hold_ms_; }
  // Sleeps that hold, at most `limit_ms`; returns the whole milliseconds it took off the limit.
  uint32_t HoldOff(uint32_t limit_ms) const;
  // HoldOff, then WaitForDoorbells for the rest of the limit. The caller looks, then says Looked(...).
  DoorbellWait Wait(const Doorbell* bells, std::size_t count, uint32_t limit_ms) const;

 private:
  double hold_ms_ = 0;
};

}  // namespace platform
