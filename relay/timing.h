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

// The connection thread's pauses; a stop cuts each short.
inline constexpr uint32_t kChoicePollMs = 10;        // while no link kind is chosen yet
inline constexpr uint32_t kRetryAfterLossMs = 2000;  // after a lost link ("retry 2 seconds after!")
inline constexpr uint32_t kReconnectPauseMs = 500;   // before each new connect
inline constexpr int kSerialFailuresForGiveUp = 5;   // port failures in a row (serial and Bluetooth)
inline constexpr int kWifiFailuresForGiveUp = 1;
inline constexpr int kWifiLossesForGiveUp = 3;  // lost Wi-Fi links in one connection thread

// Closing a link: the receive thread is told to stop and joined as soon as it has ended; the line
// stays open until `hold_open_ms` after the stop was told, is closed, and is not opened again
// before `reopen_after_ms` has passed. A stop asked by the user cuts both short (the next connect
// still waits out what is left of `reopen_after_ms`).
struct ClosePauses {
  uint32_t hold_open_ms;
  uint32_t reopen_after_ms;
};
inline constexpr ClosePauses kCloseBeforeConnect{2000, 2000};  // a line left open by the last run
inline constexpr ClosePauses kCloseWifiAfterRun{2000, 1000};
inline constexpr ClosePauses kCloseSerialAfterRun{1000, 500};
// The serial port's own close: after DTR is dropped and the queues flushed, and after the close.
inline constexpr uint32_t kSerialCloseSettleMs = 500;

// The receive thread's wait: a safety net, not a poll (longer than a keep-alive period, so that an
// idle link's reader wakes for the robot's answers only), and the back-off when the other end hung up.
inline constexpr int kReceiveIdleLimitMs = 5000;
inline constexpr uint32_t kHangUpBackOffMs = 1;
// A line with nothing to wait on (no handle) is looked at again after this many real ms.
inline constexpr int kNoHandleLookMs = 1;

// The Bluetooth module's dialogue: how often its replies are collected, and how long each is awaited.
inline constexpr uint32_t kModulePollMs = 100;
inline constexpr uint32_t kModuleCommandModeMs = 2500;
inline constexpr uint32_t kModuleDisconnectMs = 2000;
inline constexpr uint32_t kModuleConnectMs = 8000;
// At a stop the release still awaits the module's replies, this long in all: the module must have
// heard it before the line closes (a stop cuts the line's hold-open pause that used to give it time).
inline constexpr uint32_t kModuleReleaseAtStopMs = 1000;

// The firmware upload: after the start frame (the board's loader starts; nothing else may reach it
// meanwhile), and before the success message (cut short when the link stops).
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

}  // namespace relay::timing
