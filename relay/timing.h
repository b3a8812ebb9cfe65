// Every wait and count of the link, in one place: the rhythm the robot's boards, their Bluetooth
// module and their loaders expect, and the give-up rules users know. Status texts that quote a wait
// are built from these. Changing one changes what the robot sees: each is kept as the robot's side
// relies on it.
#pragma once

#include <cstdint>

namespace relay::timing {

// The link loop: one pass every kLinkLoopMs (keep-alive step, clients' commands forwarded).
inline constexpr uint32_t kLinkLoopMs = 20;
// The robot's time to answer a pair of keep-alives; each window without an answer is one missed.
inline constexpr uint32_t kAnswerWindowMs = 2000;
// Answers missed in a row that lose the link.
inline constexpr int kMissedForLoss = 5;
// Answers missed in a row after which clients no longer see the link as up (about 4 s).
inline constexpr int kMissedForStale = 2;

// The connection thread.
inline constexpr uint32_t kChoicePollMs = 10;        // while no link kind is chosen yet
inline constexpr uint32_t kRetryAfterLossMs = 2000;  // after a lost link ("retry 2 seconds after!")
inline constexpr uint32_t kReconnectPauseMs = 500;   // before each new connect
inline constexpr int kSerialFailuresForGiveUp = 5;   // port failures in a row (serial and Bluetooth)
inline constexpr int kWifiFailuresForGiveUp = 1;
inline constexpr int kWifiLossesForGiveUp = 3;  // lost Wi-Fi links in one connection thread

// Closing a link: the receive thread is told to stop and given `before_join_ms`, then joined; the
// transport is closed, then `after_close_ms` passes before anything else opens it.
struct ClosePauses {
  uint32_t before_join_ms;
  uint32_t after_close_ms;
};
inline constexpr ClosePauses kCloseBeforeConnect{2000, 2000};  // a line left open by the last run
inline constexpr ClosePauses kCloseWifiAfterRun{2000, 1000};
inline constexpr ClosePauses kCloseSerialAfterRun{1000, 500};
inline constexpr ClosePauses kCloseSerialAtTeardown{5000, 5000};  // the robot's side lets go of its end
// The serial port's own close: after DTR is dropped and the queues flushed, and after the close.
inline constexpr uint32_t kSerialCloseSettleMs = 500;

// The receive thread's wait: a safety net, not a poll (an idle link wakes it twice a second at most),
// and the back-off when the other end hung up.
inline constexpr int kReceiveIdleLimitMs = 500;
inline constexpr uint32_t kHangUpBackOffMs = 1;
// A line with nothing to wait on (no handle) is looked at again after this many real ms.
inline constexpr int kNoHandleLookMs = 1;

// The Bluetooth module's dialogue: how often its replies are collected, and how long each is awaited.
inline constexpr uint32_t kModulePollMs = 100;
inline constexpr uint32_t kModuleCommandModeMs = 2500;
inline constexpr uint32_t kModuleDisconnectMs = 2000;
inline constexpr uint32_t kModuleConnectMs = 8000;

// The firmware upload: after the start frame, and before the success message.
inline constexpr uint32_t kFirmwareStartPauseMs = 108;
inline constexpr uint32_t kFirmwareDonePauseMs = 3000;

// The voice upload's pacing: a pause when the robot asks for one (in 1 ms steps, so that a stop is
// heard), a gap after every packet, a longer one for the first packets after a start or a pause, and
// at most a window's packets per window once the robot's buffer is primed.
inline constexpr uint32_t kVoicePauseMs = 150;
inline constexpr uint32_t kVoicePauseStepMs = 1;
inline constexpr uint32_t kVoiceRefusedBackOffMs = 5;
inline constexpr uint32_t kVoicePacketGapMs = 2;
inline constexpr uint32_t kVoiceSlowStartGapMs = 18;
inline constexpr int kVoiceSlowStartPackets = 50;
inline constexpr int kVoicePrimedPasses = 200;
inline constexpr int kVoiceWindowPackets = 20;
inline constexpr uint32_t kVoiceWindowMs = 250;
inline constexpr uint32_t kVoiceWindowStepMs = 30;

// The dialog's Disconnect: the pause before its button comes back (Wi-Fi, and the others).
inline constexpr uint32_t kDisconnectPauseWifiMs = 3000;
inline constexpr uint32_t kDisconnectPauseMs = 2500;

}  // namespace relay::timing
