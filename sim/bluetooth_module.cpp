#include "sim/bluetooth_module.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace sim {
namespace {

constexpr char kEscape[] = "^#^$^%";

class BluetoothModule : public Wire {
 public:
  BluetoothModule(std::unique_ptr<Wire> inner, ModuleOptions options)
      : inner_(std::move(inner)), options_(options) {}

  int Receive(uint8_t* buffer, std::size_t size) override {
    uint8_t raw[4096];
    const int n = inner_->Receive(raw, sizeof raw);
    if (n <= 0) return n;
    std::size_t out = 0;
    for (int i = 0; i < n; ++i) {
      const uint8_t c = raw[i];
      // The escape is recognised in either mode; its bytes never reach the robot.
      if (c == static_cast<uint8_t>(kEscape[matched_])) {
        if (++matched_ == 6) {
          matched_ = 0;
          bypass_ = false;
          line_.clear();
          if (options_.answer_escape) Reply("\r\nCommandMode\r\n");
        }
        continue;
      }
      if (matched_ > 0) {  // a false start: the held-back bytes were ordinary data
        for (int k = 0; k < matched_; ++k) Take(static_cast<uint8_t>(kEscape[k]), buffer, size, out);
        matched_ = 0;
        if (c == static_cast<uint8_t>(kEscape[0])) {
          matched_ = 1;
          continue;
        }
      }
      Take(c, buffer, size, out);
    }
    return static_cast<int>(out);
  }

  bool Send(const uint8_t* bytes, std::size_t count) override {
    if (!bypass_) return false;  // no connection to the robot: its frames go nowhere
    return inner_->Send(bytes, count);
  }

  int fd() const override { return inner_->fd(); }
  std::string Describe() const override { return inner_->Describe() + " behind a Bluetooth module"; }

 private:
  void Take(uint8_t c, uint8_t* buffer, std::size_t size, std::size_t& out) {
    if (bypass_) {
      if (out < size) buffer[out++] = c;
      return;
    }
    if (c == '\n') {
      Command(line_);
      line_.clear();
    } else if (c != '\r' && line_.size() < 256) {
      line_.push_back(static_cast<char>(c));
    }
  }

  void Command(const std::string& line) {
    if (line == "AT+ZV SPPDisconnect") {
      Reply("\r\nSPPConnectionClosed\r\n");
    } else if (line.rfind("AT+ZV SPPConnect ", 0) == 0) {
      if (!options_.connect) return;
      // The answer comes in two writes, as slow modules send it.
      Reply("\r\nBypass");
      Reply("Mode\r\n");
      bypass_ = true;
    } else if (!line.empty()) {
      Reply("\r\nERROR\r\n");
    }
  }

  void Reply(const char* text) { inner_->Send(reinterpret_cast<const uint8_t*>(text), std::strlen(text)); }

  std::unique_ptr<Wire> inner_;
  ModuleOptions options_;
  bool bypass_ = false;
  int matched_ = 0;
  std::string line_;
};

}  // namespace

std::unique_ptr<Wire> WrapInBluetoothModule(std::unique_ptr<Wire> inner, ModuleOptions options) {
  return std::make_unique<BluetoothModule>(std::move(inner), options);
}

}  // namespace sim
