// Doorbells: a 32-bit word of a shared section that a producer changes and then rings, and that
// consumers in any process wait on until it differs from the value they last saw.
//
// A waiter reads the word, looks for work, and only then waits "while the word still holds what I
// read": a ring given between the look and the wait is never lost, because the producer changed
// the word before ringing. Waiting is optional for both sides: a producer that never rings only
// leaves its consumers to their time limit, and every wait has one.
//
// Linux keys the wait on the shared page itself (a futex), so processes that map the section at
// different addresses meet on the same word. Windows has no cross-process wait on a word; its
// counterpart is a named auto-reset event per ring ("<section name>Doorbell" in the same
// namespace as the section), set after each put. Until that side exists, a wait on Windows ends at
// the control's 30 ms tick, as polling did.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

struct Doorbell {
  const uint32_t* word = nullptr;  // in a shared mapping, 4-byte aligned
  uint32_t seen = 0;               // what the waiter read before it looked for work
};

// Wakes every waiter of `word` in every process. Cheap when nobody waits (one system call).
void RingDoorbell(const uint32_t* word);

enum class DoorbellWait {
  kRung,         // a word differs from what was seen, or a ring came (it may be a stray one: look again)
  kTimedOut,     // the limit passed
  kInterrupted,  // a signal came (Ctrl-C): the caller's own code should see it now
  kFailed,       // the system refused the wait (a word no longer mapped); the caller's limit was slept
};

// Waits until one of the `count` words differs from its `seen` value, a ring comes, or `limit_ms`
// (scaled) milliseconds pass. With no words it sleeps the limit.
DoorbellWait WaitForDoorbells(const Doorbell* bells, std::size_t count, uint32_t limit_ms);

}  // namespace platform
