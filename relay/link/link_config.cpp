#include "relay/link/link_config.h"

#include <cstdlib>

namespace relay {

std::optional<int> ComPortFromBoxText(const std::string& text) {
  if (text.size() <= 3) return std::nullopt;
  return std::atoi(text.c_str() + 3);  // as the box was always read: "COMx" names port 0
}

}  // namespace relay
