#include "sim/firmware_board.h"

#include <cctype>
#include <cstdio>

namespace sim {

// S-records: "S", a type digit, then hex pairs: count, address, data, checksum; the count covers the
// pairs after it, and all of them sum to 0xFF modulo 256.
SimFirmwareBoard::Line SimFirmwareBoard::Take(const std::string& raw) {
  std::string line = raw;
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
  bool good = line.size() >= 4 && line[0] == 'S' && line.size() % 2 == 0;
  unsigned sum = 0;
  std::size_t pairs = 0;
  for (std::size_t i = 2; good && i + 1 < line.size(); i += 2) {
    unsigned byte = 0;
    good = std::sscanf(line.c_str() + i, "%2x", &byte) == 1 &&
           std::isxdigit(static_cast<unsigned char>(line[i])) &&
           std::isxdigit(static_cast<unsigned char>(line[i + 1]));
    sum += byte;
    ++pairs;
  }
  if (good) {
    unsigned count = 0;
    std::sscanf(line.c_str() + 2, "%2x", &count);
    good = count + 1 == pairs && (sum & 0xFF) == 0xFF;
  }
  Line result;
  result.good = good || line.empty();
  result.last = line.size() >= 2 && line[0] == 'S' && line[1] == '9';
  if (result.last) active_ = false;
  std::lock_guard<std::mutex> guard(mutex_);
  lines_.push_back(line);
  if (!result.good) ++bad_;
  result.number = lines_.size();
  return result;
}

std::vector<std::string> SimFirmwareBoard::Lines() {
  std::lock_guard<std::mutex> guard(mutex_);
  return lines_;
}

int SimFirmwareBoard::bad_lines() {
  std::lock_guard<std::mutex> guard(mutex_);
  return bad_;
}

}  // namespace sim
