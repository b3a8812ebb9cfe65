// The keep-alive rhythm of the link as a plain state machine, handed the time: no threads, no
// sleeps, so every case can be tested from a table.
//
// A pair of keep-alives (one per board) goes out when one is due and the previous answer's deadline
// has passed; the robot has 2000 ms to answer. Each window that passes without an answer counts as
// one missed answer and makes the next pair due; five missed answers in a row lose the link. The
// first answer to a pair is accepted (and acknowledged by the caller); an answer while no pair is
// awaited is ignored. While a firmware upload runs, nothing is sent and nothing is missed.
#pragma once

#include <cstdint>

#include "relay/timing.h"

namespace relay {

struct KeepAliveStep {
  bool send_pair = false;  // send the pair now, then call Sent
  bool missed = false;     // an answer window passed: show the quality 5 - missed_count
  int missed_count = 0;
  bool lost = false;  // five missed in a row: the link is lost
};

class KeepAlive {
 public:
  static constexpr uint32_t kAnswerWindowMs = timing::kAnswerWindowMs;
  static constexpr int kMissedForLoss = timing::kMissedForLoss;

  // A new run of the link loop starts counting missed answers from zero; the rhythm carries on.
  void StartRun() { missed_ = 0; }
  // One pass of the link loop at tick `now`.
  KeepAliveStep Tick(uint32_t now, bool uploading);
  // The pair went out at `now`.
  void Sent(uint32_t now);
  // An answer came at `now`: true when it was awaited (the caller acknowledges it), with the round
  // trip since the pair went out.
  bool OnAnswer(uint32_t now, uint32_t& round_trip_ms);
  // The first tick, `now` or later, at which Tick (without an upload) would send a pair or count a
  // missed answer, as things stand: the link loop sleeps until then. An answer meanwhile only moves
  // it later.
  uint32_t NextAction(uint32_t now) const;

  bool due() const { return due_; }
  int missed() const { return missed_; }

 private:
  bool due_ = true;
  bool deadline_set_ = false;  // before the first pair the deadline counts as passed
  uint32_t deadline_ = 0;
  uint32_t sent_at_ = 0;
  int missed_ = 0;
};

}  // namespace relay
