// A board taking a firmware upload: after the start frame the relay sends S-record lines between its
// frames, each ended by a line feed; every line is checked and answered, and an S9 line ends the upload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

class SimFirmwareBoard {
 public:
  struct Line {
    std::size_t number = 0;  // 1 for the first line of the upload
    bool good = false;       // a well-formed S-record with a right checksum
    bool last = false;       // an S9 line: the upload is complete
  };

  void Start() { active_ = true; }
  bool active() const { return active_; }
  // Takes one line (without its line feed) and checks it.
  Line Take(const std::string& raw);

  // Callable from any thread.
  std::vector<std::string> Lines();
  int bad_lines();

  // No S-record line is longer; a longer stretch without a line feed is noise.
  static constexpr std::size_t kLongestLine = 4096;

 private:
  bool active_ = false;
  std::mutex mutex_;  // guards what tests read from other threads
  std::vector<std::string> lines_;
  int bad_ = 0;
};

}  // namespace sim
