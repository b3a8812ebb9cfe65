// robot-sim: a simulated robot on a UDP port or a pseudo-terminal, for tests, demos and anyone
// without hardware.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/clock.h"
#include "sim/bluetooth_module.h"
#include "sim/camera_encoder.h"
#include "sim/robot.h"

namespace {

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) {
  g_stop = 1;
}

const char* kUsage =
    "usage: robot-sim (--udp ADDRESS:PORT | --pty PATH) [options]\n"
    "  --udp ADDRESS:PORT        answer the relay over UDP (port 0 picks a free one)\n"
    "  --pty PATH                create a pseudo-terminal and link its device at PATH; point the\n"
    "                            relay at it with TREVASK_COMn=PATH and --serial COMn\n"
    "  --stop-answering-after N  go silent after N keep-alive answers\n"
    "  --silence-ms MS           a silence lasts MS milliseconds (default: for ever)\n"
    "  --drop PERCENT            leave out this share of the frames it sends\n"
    "  --corrupt PERCENT         send this share with a wrong CRC\n"
    "  --garbage PERCENT         put 1..7 garbage bytes in front of this share\n"
    "  --seed N                  seed for the misbehaviour (default 1)\n"
    "  --period MS               sensor period until a client sets one (default 100)\n"
    "  --camera-file PICTURE     photograph this picture (binary PPM or 24-bit BMP) instead of the\n"
    "                            generated moving scene\n"
    "  --camera-period MS        send a photo every MS milliseconds, asked for or not\n"
    "  --bluetooth               put a Bluetooth serial module in front of the robot (with --pty)\n"
    "  --bt-silent-escape        the module does not answer the escape to command mode\n"
    "  --bt-no-connect           the module never reaches the robot\n"
    "  --flow-control N          send a flow-control frame after every N voice packets played\n"
    "  --audio-out FILE          write what the loudspeaker played to FILE (WAV) when stopping\n"
    "  --firmware-silent         the board never answers a firmware line with OK\n"
    "  --numbered                standard sensor records carry a running number (soak tests)\n"
    "  --control                 take commands on standard input, one per line: 'faults DROP CORRUPT\n"
    "                            GARBAGE [DUPLICATE]', 'silent on|off', 'reopen' (a new pseudo-terminal at "
    "the same\n"
    "                            path), 'number' (prints the next record number), 'counts' (what the\n"
    "                            robot's end dropped), 'quit'\n"
    "  --duration MS             stop after MS milliseconds\n"
    "  --verbose                 also log keep-alives, acknowledgements and voice packets\n"
    "  --quiet                   log nothing\n";

bool Number(const char* text, long& out) {
  char* end = nullptr;
  out = std::strtol(text, &end, 10);
  return end != text && *end == '\0' && out >= 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string udp, pty;
  sim::SimOptions options;
  sim::ModuleOptions module;
  bool bluetooth = false;
  bool control_input = false;
  long duration = -1;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
    long number = 0;
    auto take_number = [&](long max) {
      if (v == nullptr || !Number(v, number) || number > max) return false;
      ++i;
      return true;
    };
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--udp" && v != nullptr) {
      udp = v, ++i;
    } else if (arg == "--pty" && v != nullptr) {
      pty = v, ++i;
    } else if (arg == "--stop-answering-after" && take_number(1000000)) {
      options.stop_answering_after = static_cast<int>(number);
    } else if (arg == "--silence-ms" && take_number(100000000)) {
      options.silence_ms = static_cast<uint32_t>(number);
    } else if (arg == "--drop" && take_number(100)) {
      options.drop_percent = static_cast<int>(number);
    } else if (arg == "--corrupt" && take_number(100)) {
      options.corrupt_percent = static_cast<int>(number);
    } else if (arg == "--garbage" && take_number(100)) {
      options.garbage_percent = static_cast<int>(number);
    } else if (arg == "--seed" && take_number(0xFFFFFFFFL)) {
      options.seed = static_cast<uint32_t>(number);
    } else if (arg == "--period" && take_number(60000)) {
      options.default_period_ms = static_cast<uint32_t>(number < 10 ? 10 : number);
    } else if (arg == "--camera-file" && v != nullptr) {
      if (const platform::Result loaded = sim::LoadPicture(v, options.camera_picture); !loaded.ok()) {
        std::fprintf(stderr, "robot-sim: %s\n", loaded.message.c_str());
        return 2;
      }
      ++i;
    } else if (arg == "--camera-period" && take_number(3600000)) {
      options.camera_period_ms = static_cast<uint32_t>(number);
    } else if (arg == "--duration" && take_number(0x7FFFFFFFL)) {
      duration = number;
    } else if (arg == "--bluetooth") {
      bluetooth = true;
    } else if (arg == "--bt-silent-escape") {
      module.answer_escape = false;
    } else if (arg == "--bt-no-connect") {
      module.connect = false;
    } else if (arg == "--flow-control" && take_number(100000)) {
      options.flow_control_every = static_cast<int>(number);
    } else if (arg == "--audio-out" && v != nullptr) {
      options.audio_out = v, ++i;
    } else if (arg == "--firmware-silent") {
      options.firmware_answers = false;
    } else if (arg == "--numbered") {
      options.numbered = true;
    } else if (arg == "--control") {
      control_input = true;
    } else if (arg == "--verbose") {
      options.verbose = true;
    } else if (arg == "--quiet") {
      options.log = nullptr;
    } else {
      std::fprintf(stderr, "robot-sim: bad argument '%s'\n%s", arg.c_str(), kUsage);
      return 2;
    }
  }
  if (udp.empty() == pty.empty()) {
    std::fprintf(stderr, "robot-sim: give exactly one of --udp and --pty\n%s", kUsage);
    return 2;
  }
  if (bluetooth && pty.empty()) {
    std::fprintf(stderr, "robot-sim: a Bluetooth module sits on a serial line: use it with --pty\n");
    return 2;
  }
  std::unique_ptr<sim::Wire> wire;
  if (const platform::Result opened = udp.empty() ? sim::OpenPtyWire(pty, wire) : sim::OpenUdpWire(udp, wire);
      !opened.ok()) {
    std::fprintf(stderr, "robot-sim: %s\n", opened.message.c_str());
    return 2;
  }
  if (bluetooth) wire = sim::WrapInBluetoothModule(std::move(wire), module);
  ::signal(SIGINT, OnSignal);
  ::signal(SIGTERM, OnSignal);
  std::printf("robot-sim: ready on %s\n", wire->Describe().c_str());
  std::fflush(stdout);

  sim::SimRobot robot(*wire, options);
  const uint32_t start = platform::TickCount();
  std::string pending_line;
  uint64_t dropped_in = 0, dropped_out = 0;  // of the wires replaced by a reopen
  if (control_input) fcntl(0, F_SETFL, fcntl(0, F_GETFL) | O_NONBLOCK);
  while (!g_stop) {
    robot.Step(1);
    if (control_input) {
      char c;
      while (read(0, &c, 1) == 1) {
        if (c != '\n') {
          pending_line.push_back(c);
          continue;
        }
        int d = 0, k = 0, g = 0, u = 0;
        char word[16] = {};
        if (std::sscanf(pending_line.c_str(), "faults %d %d %d %d", &d, &k, &g, &u) >= 3) {
          robot.SetFaults(d, k, g, u);
        } else if (std::sscanf(pending_line.c_str(), "silent %15s", word) == 1) {
          robot.SetSilent(std::strcmp(word, "on") == 0);
        } else if (pending_line == "reopen" && !pty.empty() && !bluetooth) {
          std::unique_ptr<sim::Wire> fresh;
          if (sim::OpenPtyWire(pty, fresh).ok()) {
            robot.SetWire(*fresh);
            dropped_in += wire->DroppedIn();
            dropped_out += wire->DroppedOut();
            wire = std::move(fresh);
          }
        } else if (pending_line == "number") {
          std::printf("robot-sim: number %u\n", robot.next_number());
        } else if (pending_line == "counts") {
          std::printf("robot-sim: counts %llu datagrams dropped on a full socket, %llu frames not sent\n",
                      static_cast<unsigned long long>(dropped_in + wire->DroppedIn()),
                      static_cast<unsigned long long>(dropped_out + wire->DroppedOut()));
        } else if (pending_line == "quit") {
          g_stop = 1;
        }
        std::fflush(stdout);
        pending_line.clear();
      }
    }
    if (duration >= 0 &&
        platform::TickElapsed(platform::TickCount(), start) >= static_cast<uint32_t>(duration))
      break;
  }
  if (!options.audio_out.empty()) {
    if (robot.WriteHeardAudio(options.audio_out))
      std::printf("robot-sim: wrote what the loudspeaker played to %s\n", options.audio_out.c_str());
    else
      std::fprintf(stderr, "robot-sim: %s cannot be written\n", options.audio_out.c_str());
  }
  std::printf("robot-sim: stopped after %d keep-alive answers and %d frames sent\n",
              robot.keep_alives_answered(), robot.frames_sent());
  return 0;
}
