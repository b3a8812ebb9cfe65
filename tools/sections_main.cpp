// trevask-sections: prints every record that arrives in a robot's sections, in hex.
//
//   trevask-sections [--robot NAME] [--sections LIST] [--bytes N] [--count N] [--timeout MS]
//   trevask-sections [--robot NAME] --put-command HEX... --put-text TEXT...
//
// It opens consumers (so it sees only records written after it started) and polls every 10 ms.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "exchange/command_ring.h"
#include "exchange/sections.h"
#include "platform/clock.h"
#include "platform/program.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) {
  g_stop = 1;
}

void Usage(FILE* out) {
  std::fprintf(out,
               "usage: trevask-sections [--robot NAME] [--sections LIST] [--bytes N] [--count N] "
               "[--timeout MS]\n"
               "  --robot NAME     robot name the relay and clients use (default: empty)\n"
               "  --sections LIST  comma-separated suffixes or short names: sensor, motor, custom,\n"
               "                   image, audio, command (default: all of them)\n"
               "  --bytes N        print at most N bytes of each record (default 64, 0 = all)\n"
               "  --count N        exit after N records (default: run until interrupted)\n"
               "  --timeout MS     exit after MS milliseconds (default: run until interrupted)\n"
               "  --put-command HEX  put one record (hex bytes, e.g. \"5E 02 01 00 7D 01 FF C3 5E 0D\")\n"
               "                   into the command section, as a client would, and exit\n"
               "  --put-text TEXT  put TEXT as one command record (an audio-file request) and exit\n"
               "                   (both may be given many times: the records are put in that order)\n"
               "Exit status: 0 when stopped, interrupted, the count was reached or every record was put;\n"
               "1 on a timeout before the count was reached; 2 on bad arguments (a record longer than\n"
               "%u bytes included) or a section that cannot be opened; 3 when a record could not be put:\n"
               "no relay serves the robot (a record put then would never be sent), or the command section\n"
               "stayed full for %u ms (its relay does not read it). The records before it were put.\n",
               exchange::kCommandRecordMax, exchange::kPutWaitMs);
}

struct Watched {
  const exchange::SectionSpec* spec = nullptr;
  std::unique_ptr<exchange::CRingConsumer> consumer = std::make_unique<exchange::CRingConsumer>();
};

const exchange::SectionSpec* FindSection(const std::string& name) {
  static const struct {
    const char* short_name;
    exchange::SectionId id;
  } kShort[] = {
      {"sensor", exchange::SectionId::kStandardSensor}, {"motor", exchange::SectionId::kMotorSensor},
      {"custom", exchange::SectionId::kCustomSensor},   {"image", exchange::SectionId::kImage},
      {"audio", exchange::SectionId::kAudio},           {"command", exchange::SectionId::kCommand}};
  for (const auto& s : kShort)
    if (name == s.short_name) return &exchange::Spec(s.id);
  for (const auto& s : exchange::kSections)
    if (name == s.suffix) return &s;
  return nullptr;
}

bool ParseNumber(const char* text, long& out) {
  char* end = nullptr;
  out = std::strtol(text, &end, 10);
  return end != text && *end == '\0' && out >= 0;
}

bool ParseHex(const char* text, std::vector<uint8_t>& out) {
  out.clear();
  const char* p = text;
  while (*p != '\0') {
    if (*p == ' ' || *p == ',' || *p == ':') {
      ++p;
      continue;
    }
    char* end = nullptr;
    unsigned long b = std::strtoul(p, &end, 16);
    if (end == p || end - p > 2 || b > 0xFF) return false;
    out.push_back(static_cast<uint8_t>(b));
    p = end;
  }
  return !out.empty();
}

}  // namespace

int main(int argc, char** argv) {
  argv = platform::Utf8Arguments(argc, argv);  // a robot name in any language
  std::string robot;
  std::string list = "sensor,motor,custom,image,audio,command";
  std::vector<std::vector<uint8_t>> puts;  // in the order given
  bool have_put = false;
  long bytes = 64, count = -1, timeout = -1;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](const char*& out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    const char* v = nullptr;
    if (arg == "--help" || arg == "-h") {
      Usage(stdout);
      return 0;
    } else if (arg == "--robot" && value(v)) {
      robot = v;
    } else if (arg == "--sections" && value(v)) {
      list = v;
    } else if (arg == "--bytes" && value(v) && ParseNumber(v, bytes)) {
    } else if (arg == "--put-command" && value(v)) {
      puts.emplace_back();
      if (!ParseHex(v, puts.back())) {
        std::fprintf(stderr, "trevask-sections: '%s' is not a list of hex bytes\n", v);
        return 2;
      }
      have_put = true;
    } else if (arg == "--put-text" && value(v)) {
      puts.emplace_back(v, v + std::strlen(v));
      have_put = true;
    } else if (arg == "--count" && value(v) && ParseNumber(v, count)) {
    } else if (arg == "--timeout" && value(v) && ParseNumber(v, timeout)) {
    } else {
      std::fprintf(stderr, "trevask-sections: bad argument '%s'\n", arg.c_str());
      Usage(stderr);
      return 2;
    }
  }
  // A record the ring cannot hold is the caller's mistake, told before anything is put.
  for (const std::vector<uint8_t>& put : puts) {
    if (put.size() > exchange::kCommandRecordMax) {
      std::fprintf(stderr, "trevask-sections: a command record holds at most %u bytes, not %zu\n",
                   exchange::kCommandRecordMax, put.size());
      return 2;
    }
  }

  if (have_put) {
    exchange::CCommandWriter writer;
    const platform::Status st = writer.Open(robot);
    if (st != platform::Status::kOk) {
      std::fprintf(
          stderr, "trevask-sections: %s: %s\n",
          exchange::SectionObjectName(robot, exchange::Spec(exchange::SectionId::kCommand).suffix).c_str(),
          platform::StatusText(st));
      return 2;
    }
    // A relay retires whatever it finds in the ring when it starts, so a record put while none
    // serves the robot would never reach it: that is a failed put, not a success.
    if (writer.Relay() == exchange::RelayState::kNoRelay) {
      std::string served;
      for (const std::string& name : exchange::ServedRobots())
        served += (served.empty() ? "'" : ", '") + name + "'";
      std::fprintf(stderr,
                   "trevask-sections: no relay serves robot '%s'; nothing was put (relays here serve %s)\n",
                   robot.c_str(), served.empty() ? "no robot" : served.c_str());
      return 3;
    }
    for (std::size_t k = 0; k < puts.size(); ++k) {
      const exchange::PutStatus put = writer.Put(puts[k].data(), static_cast<uint32_t>(puts[k].size()));
      if (put != exchange::PutStatus::kStored) {
        const char* why = exchange::PutStatusText(put);
        if (put == exchange::PutStatus::kNotRead)
          why = writer.Relay() == exchange::RelayState::kNoRelay
                    ? "the relay serving the robot went away"
                    : "the command section stayed full (its relay does not read it)";
        std::fprintf(stderr,
                     "trevask-sections: record %zu of %zu was not put: %s; the records before it were put\n",
                     k + 1, puts.size(), why);
        return 3;
      }
    }
    return 0;
  }

  std::vector<Watched> watched;
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t comma = list.find(',', start);
    std::string name = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    start = comma == std::string::npos ? list.size() + 1 : comma + 1;
    if (name.empty()) continue;
    const exchange::SectionSpec* spec = FindSection(name);
    if (spec == nullptr) {
      std::fprintf(stderr, "trevask-sections: unknown section '%s'\n", name.c_str());
      return 2;
    }
    watched.push_back(Watched{spec});
    std::string object = exchange::SectionObjectName(robot, spec->suffix);
    platform::Status st = watched.back().consumer->Open(object, spec->capacity, spec->slots);
    if (st != platform::Status::kOk) {
      std::fprintf(stderr, "trevask-sections: %s: %s\n", object.c_str(), platform::StatusText(st));
      return 2;
    }
  }

  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);

  long seen = 0;
  uint32_t started = platform::TickCount();
  while (!g_stop) {
    for (Watched& w : watched) {
      while (exchange::RingRecord r = w.consumer->Take()) {
        std::printf("%s len=%u:", w.spec->suffix, r.length);
        uint32_t shown = r.size();
        if (bytes > 0 && shown > static_cast<uint32_t>(bytes)) shown = static_cast<uint32_t>(bytes);
        for (uint32_t k = 0; k < shown; ++k) std::printf(" %02X", r.data()[k]);
        std::printf(shown < r.size() ? " ...\n" : "\n");
        if (count >= 0 && ++seen >= count) return 0;
      }
    }
    if (timeout >= 0 &&
        platform::TickElapsed(platform::TickCount(), started) >= static_cast<uint32_t>(timeout))
      return count >= 0 ? 1 : 0;
    platform::Sleep(10);
  }
  return 0;
}
