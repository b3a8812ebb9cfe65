#include "relay/link/link_config.h"

#include <cctype>

namespace relay {

std::optional<int> ComPortFromBoxText(const std::string& text) {
  if (text.size() <= 3) return std::nullopt;
  // Digits only after the prefix: a number the box cannot name is refused, never wrapped or read
  // as 0 (COM0 would otherwise open the device of port -1).
  int number = 0;
  for (std::size_t i = 3; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (std::isdigit(c) == 0) return std::nullopt;
    number = number * 10 + (c - '0');
    if (number > kComPortMax) return std::nullopt;
  }
  if (number < kComPortMin) return std::nullopt;
  return number;
}

bool IsBluetoothAddress(const std::string& text) {
  if (text.size() != 12) return false;
  for (const char c : text)
    if (std::isxdigit(static_cast<unsigned char>(c)) == 0) return false;
  return true;
}

}  // namespace relay
