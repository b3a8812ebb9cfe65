// The simulated robot: both controller boards behind one link, answering keep-alives, streaming
// sensor packets on request, sending a tone as voice packets while recording, and logging every
// command it receives by name. It can misbehave on request to exercise the relay's fault handling.
// Its parts: the faulty sending side, the sensors, the camera, the loudspeaker and microphone, and
// the firmware board; this class cuts what arrives into frames and hands each to its part.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/debug_output.h"
#include "platform/waiting.h"
#include "sim/audio.h"
#include "sim/camera.h"
#include "sim/faulty_wire.h"
#include "sim/firmware_board.h"
#include "sim/sensors.h"
#include "sim/wire.h"

namespace sim {

struct SimOptions {
  int stop_answering_after = -1;  // keep-alive answers before going silent; -1 never
  uint32_t silence_ms = 0;        // how long a silence lasts; 0 for ever
  int drop_percent = 0;           // share of outgoing frames not sent
  int corrupt_percent = 0;        // share of outgoing frames sent with a wrong CRC
  int garbage_percent = 0;        // share of outgoing frames preceded by 1..7 garbage bytes
  int duplicate_percent = 0;      // share of outgoing frames sent twice
  uint32_t seed = 1;
  uint32_t default_period_ms = 100;     // sensor period until the control sets one
  bool verbose = false;                 // also log keep-alives and acknowledgements
  std::vector<uint8_t> camera_picture;  // 176 x 144 R G B; empty: the generated moving scene
  uint32_t camera_period_ms = 0;        // a photo every period without being asked; 0: on request only
  int flow_control_every = 0;           // a flow-control frame after every N voice packets heard; 0: never
  std::string audio_out;                // write what the loudspeaker played to this WAV file
  bool firmware_answers = true;         // false: a board that never says OK
  bool numbered = false;                // standard sensor records carry a running number (soak tests)
  FILE* log = stdout;                   // nullptr: no log
};

class SimRobot {
 public:
  SimRobot(Wire& wire, SimOptions options);

  // Bytes from the relay.
  void OnBytes(const uint8_t* bytes, std::size_t count);
  // Timers: sensor streams, voice, the end of a silence. `now` is the platform tick.
  void Poll(uint32_t now);
  // Reads what the wire holds and runs the timers once; waits at most `wait_ms` real ms for input.
  void Step(int wait_ms);

  // Change the misbehaviour while running (drop, corrupt, garbage percentages; silence on/off);
  // callable from any thread.
  void SetFaults(int drop, int corrupt, int garbage, int duplicate = 0);
  void SetSilent(bool silent);
  // The number the next numbered standard sensor record will carry.
  uint32_t next_number() const { return sensors_.next_number(); }
  // Replaces the wire (a reopened pseudo-terminal).
  void SetWire(Wire& wire) { out_.SetWire(wire); }

  // Queues raw bytes to go out on the wire at the next Step; callable from any thread.
  void Inject(std::vector<uint8_t> bytes);

  // What the loudspeaker played (decoded voice packets since the last announcement) and the
  // announcements heard.
  std::vector<int16_t> HeardAudio() { return loudspeaker_.Heard(); }
  // When each voice packet of an upload arrived (platform ticks).
  std::vector<uint32_t> VoiceArrivals() { return loudspeaker_.Arrivals(); }
  std::vector<int> Announcements() { return loudspeaker_.Announcements(); }
  // Firmware lines received, and how many of them failed their S-record checksum.
  std::vector<std::string> FirmwareLines() { return firmware_.Lines(); }
  int bad_firmware_lines() { return firmware_.bad_lines(); }
  // Writes the audio heard so far to `path` as a 16-bit mono WAV file at 8000 samples per second.
  bool WriteHeardAudio(const std::string& path);

  // The picture of the last photo sent, and how many were sent.
  std::vector<uint8_t> LastPhoto() { return camera_.LastPhoto(); }
  int photos_sent() { return camera_.photos_sent(); }

  // What the robot received, for tests: every complete frame in arrival order.
  std::vector<std::vector<uint8_t>> ReceivedFrames();
  // How many frames came so far: cheap enough to ask in a loop (a benchmark watching for its frame).
  std::size_t received_count() const { return received_count_.load(std::memory_order_acquire); }
  int keep_alives_answered();
  int frames_sent() const { return out_.frames_sent(); }

  // Human-readable name of a frame the robot receives, from its data type and first payload byte.
  static std::string CommandName(uint8_t destination, uint8_t type, const uint8_t* payload, std::size_t n);

 private:
  struct Stream {
    int remaining = 0;  // packets still to send; -1 endless
    uint32_t period_ms = 100;
    uint32_t next_due = 0;
  };

  void OnFrame(const uint8_t* frame, std::size_t length);
  void StartStream(Stream& s, int count, uint32_t now);
  void SendSensor(uint8_t type, uint32_t now);
  std::size_t TakeFirmwareLines(std::size_t at);
  void Log(const char* format, ...) TREVASK_PRINTF(2, 3);

  SimOptions options_;
  FaultyWire out_;
  std::vector<uint8_t> pending_;  // bytes not yet forming a whole frame

  std::mutex mutex_;  // guards what tests read from other threads
  std::vector<std::vector<uint8_t>> received_;
  std::vector<std::vector<uint8_t>> injected_;
  // Release after the frame is kept, so a reader that sees the count also finds the frame.
  std::atomic<std::size_t> received_count_{0};
  platform::Waker injected_wake_;  // an injected frame goes out at once, not at the next step
  int answered_ = 0;

  // Set by SetSilent from any thread. The tick is stored before the flag with release and read
  // after it with acquire, so a silence never starts with an old tick.
  std::atomic<bool> silent_{false};
  std::atomic<uint32_t> silent_since_{0};

  Stream motor_, standard_, custom_;
  uint32_t started_ = 0;
  int16_t velocity_[6] = {};
  int16_t pwm_[6] = {};
  // DC motors 0..5 and servos 6..11; enabled from power-on, as the robot's boards start.
  bool enabled_[12] = {true, true, true, true, true, true, true, true, true, true, true, true};
  uint32_t last_motor_tick_ = 0;
  SimSensors sensors_;
  SimCamera camera_;
  SimLoudspeaker loudspeaker_;
  SimMicrophone microphone_;
  SimFirmwareBoard firmware_;
};

}  // namespace sim
