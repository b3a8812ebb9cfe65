#include "platform/key_value_file.h"

#include <cstdint>
#include <map>
#include <vector>

#include "platform/regular_file.h"

namespace platform {

std::string TrimBlanks(const std::string& text) {
  const auto begin = text.find_first_not_of(" \t\r");
  if (begin == std::string::npos) return {};
  return text.substr(begin, text.find_last_not_of(" \t\r") - begin + 1);
}

namespace {

// The value as written: a value in double quotes is taken as it stands between them (a '#' or
// blanks at its ends included; \" and \\ for a quote and a backslash). False when the quotes do
// not close.
bool Unquote(const std::string& raw, std::string& value) {
  if (raw.empty() || raw.front() != '"') {
    value = raw;
    return true;
  }
  value.clear();
  for (std::size_t i = 1; i < raw.size(); ++i) {
    if (raw[i] == '\\' && i + 1 < raw.size()) {
      value.push_back(raw[++i]);
    } else if (raw[i] == '"') {
      return i + 1 == raw.size();
    } else {
      value.push_back(raw[i]);
    }
  }
  return false;
}

// Where the line's comment starts: a '#' at its start or after a blank, outside quotes.
std::size_t CommentStart(const std::string& line) {
  bool quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '"' && (i == 0 || line[i - 1] != '\\')) quoted = !quoted;
    if (line[i] == '#' && !quoted && (i == 0 || line[i - 1] == ' ' || line[i - 1] == '\t')) return i;
  }
  return std::string::npos;
}

}  // namespace

Result ReadKeyValueFile(const std::string& path,
                        const std::function<Result(const std::string&, const std::string&)>& take) {
  std::vector<uint8_t> bytes;
  const Status status = ReadRegularFile(path, 1 << 16, true, bytes);
  if (status != Status::kOk) return Fail(status, path + ": " + StatusText(status));
  const std::string text(bytes.begin(), bytes.end());
  std::map<std::string, int> seen;  // key -> the line it was first given on
  std::size_t start = 0;
  for (int number = 1; start < text.size(); ++number) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    const std::string where = path + ":" + std::to_string(number) + ": ";
    // A NUL would end the value for whoever reads it as C text (a group name, a path): what the
    // file says and what takes effect must not differ.
    for (unsigned char c : line) {
      if (c < 0x20 && c != '\t' && c != '\r')
        return Fail(Status::kBadContent,
                    where + "a control character (byte " + std::to_string(c) + ") in the line");
    }
    if (const auto hash = CommentStart(line); hash != std::string::npos) line.resize(hash);
    line = TrimBlanks(line);
    if (line.empty()) continue;
    const auto eq = line.find('=');
    if (eq == std::string::npos) return Fail(Status::kBadContent, where + "expected key = value");
    const std::string key = TrimBlanks(line.substr(0, eq));
    std::string value;
    if (!Unquote(TrimBlanks(line.substr(eq + 1)), value))
      return Fail(Status::kBadContent, where + "the quotes of the value do not close");
    if (const auto first = seen.emplace(key, number); !first.second) {
      return Fail(Status::kBadContent, where + key + " is given twice (first on line " +
                                           std::to_string(first.first->second) + ")");
    }
    if (Result taken = take(key, value); !taken.ok()) {
      taken.message.insert(0, where);
      return taken;
    }
  }
  return Ok();
}

}  // namespace platform
