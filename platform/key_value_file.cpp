#include "platform/key_value_file.h"

#include <cstdint>
#include <vector>

#include "platform/regular_file.h"

namespace platform {

std::string TrimBlanks(const std::string& text) {
  const auto begin = text.find_first_not_of(" \t\r");
  if (begin == std::string::npos) return {};
  return text.substr(begin, text.find_last_not_of(" \t\r") - begin + 1);
}

bool ReadKeyValueFile(const std::string& path,
                      const std::function<bool(const std::string&, const std::string&, std::string&)>& take,
                      std::string& error) {
  std::vector<uint8_t> bytes;
  const FileStatus status = ReadRegularFile(path, 1 << 16, true, bytes);
  if (status != FileStatus::kOk) {
    error = path + ": " + FileStatusText(status);
    return false;
  }
  const std::string text(bytes.begin(), bytes.end());
  std::size_t start = 0;
  for (int number = 1; start < text.size(); ++number) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (const auto hash = line.find('#'); hash != std::string::npos) line.resize(hash);
    line = TrimBlanks(line);
    if (line.empty()) continue;
    const std::string where = path + ":" + std::to_string(number) + ": ";
    const auto eq = line.find('=');
    if (eq == std::string::npos) {
      error = where + "expected key = value";
      return false;
    }
    if (!take(TrimBlanks(line.substr(0, eq)), TrimBlanks(line.substr(eq + 1)), error)) {
      error.insert(0, where);
      return false;
    }
  }
  return true;
}

}  // namespace platform
