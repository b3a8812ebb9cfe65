// What every part of trevask-bench shares: the table of rows it prints, number formatting, and the
// processes it starts and measures (CPU time and wake-ups from /proc).
#pragma once

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;
inline double Us(Clock::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

struct Row {
  std::string what, ours, anchor, ratio;
};
inline std::vector<Row> g_rows;
inline void AddRow(std::string what, std::string ours, std::string anchor, std::string ratio) {
  g_rows.push_back({std::move(what), std::move(ours), std::move(anchor), std::move(ratio)});
  std::fprintf(stderr, "measured: %s\n", g_rows.back().what.c_str());
}
inline std::string Fmt(const char* f, double v) {
  char b[64];
  std::snprintf(b, sizeof b, f, v);
  return b;
}

struct ProcStat {
  double cpu_s = 0;
};

inline ProcStat Read(pid_t pid) {
  ProcStat s;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  std::istringstream in(line.substr(line.rfind(')') + 2));
  std::string field;
  long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && in >> field; ++i) {
    if (i == 14) utime = std::stol(field);
    if (i == 15) stime = std::stol(field);
  }
  s.cpu_s = static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
  return s;
}

// Context switches of every thread of the process: each is one wake-up from a sleep or a poll.
inline long Switches(pid_t pid) {
  long total = 0;
  const std::string dir = "/proc/" + std::to_string(pid) + "/task/";
  for (int tid = pid; tid < pid + 4096; ++tid) {
    std::ifstream status(dir + std::to_string(tid) + "/status");
    if (!status) continue;
    std::string line;
    while (std::getline(status, line))
      if (line.find("voluntary_ctxt_switches:") != std::string::npos)
        total += std::stol(line.substr(line.find(':') + 1));
  }
  return total;
}

inline pid_t Spawn(const std::vector<std::string>& argv) {
  pid_t pid = fork();
  if (pid == 0) {
    freopen("/dev/null", "w", stdout);
    freopen("/dev/null", "w", stderr);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  return pid;
}

// The mqtt rows (mqtt_bench.cpp).
void BenchMqtt();
void BenchMqttFleet();
// The ROS 2 row (ros2_bench.cpp).
void BenchRos2();

}  // namespace bench
