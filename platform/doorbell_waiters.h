// The count of queued waits kept beside a doorbell word, so that a ring with nobody waiting makes no
// system call: a producer puts records far more often than anyone sleeps on them.
//
//   waiter:  count itself in, wait while the word holds what it saw, count out
//   ringer:  (its caller changed the word) read the count, wake when it is not 0
//
// Both the count in and the ringer's read are read-modify-writes of the count (the read adds 0),
// acquire and release, so they fall in one order: when the ringer's comes first, the waiter's reads
// from it and the wait's compare sees the changed word (the wait does not sleep); when the waiter's
// comes first, the ringer sees it and wakes. A waiter killed between its count in and its count out
// leaves the count above the waits really queued: every later ring then wakes, for nobody. That
// costs a system call per ring, never a lost wake; the count is new again with the counts' object,
// once every process that held it has ended.
//
// The two sides are step machines over `Access`, one shared access per step, so that the same steps
// run against the system here and against a model in the tests, which try every interleaving.
#pragma once

#include <cstdint>

#include "platform/doorbell.h"

namespace platform::doorbell_waiters {

// Counts a wake call to the system, for DoorbellWakeCalls.
void CountWakeCall();

// Access is any type with:
//   void CountIn();            the count of queued waits + 1
//   DoorbellWait Sleep();      waits while the word holds what the waiter saw
//   void CountOut();           the count - 1
//   uint32_t Queued();         the count, read by adding 0
//   void Wake();               wakes every wait queued on the word

class Waiter {
 public:
  // True while there are steps left.
  template <typename Access>
  bool Step(Access& access) {
    switch (pc_) {
      case Pc::kCountIn:
        access.CountIn();
        pc_ = Pc::kSleep;
        return true;
      case Pc::kSleep:
        result_ = access.Sleep();
        pc_ = Pc::kCountOut;
        return true;
      case Pc::kCountOut:
        access.CountOut();
        pc_ = Pc::kDone;
        return false;
      case Pc::kDone:
        break;
    }
    return false;
  }
  DoorbellWait result() const { return result_; }
  int pc() const { return static_cast<int>(pc_); }

 private:
  enum class Pc { kCountIn, kSleep, kCountOut, kDone };
  Pc pc_ = Pc::kCountIn;
  DoorbellWait result_ = DoorbellWait::kTimedOut;
};

class Ringer {
 public:
  // True while there are steps left. The caller has changed the word before the first.
  template <typename Access>
  bool Step(Access& access) {
    switch (pc_) {
      case Pc::kRead:
        pc_ = access.Queued() != 0 ? Pc::kWake : Pc::kDone;
        return pc_ != Pc::kDone;
      case Pc::kWake:
        access.Wake();
        pc_ = Pc::kDone;
        return false;
      case Pc::kDone:
        break;
    }
    return false;
  }
  int pc() const { return static_cast<int>(pc_); }

 private:
  enum class Pc { kRead, kWake, kDone };
  Pc pc_ = Pc::kRead;
};

}  // namespace platform::doorbell_waiters
