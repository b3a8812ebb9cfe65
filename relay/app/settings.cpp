#include "relay/app/settings.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/program.h"
#include "platform/regular_file.h"
#include "platform/unique_file.h"

namespace relay {
namespace {

constexpr std::size_t kMaxRead = 4096;
constexpr std::size_t kMaxValue = 1023;

std::string LineAfter(const std::string& text, std::size_t at) {
  std::size_t end = text.find('\n', at);
  std::string value = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
  return value.substr(0, kMaxValue);
}

}  // namespace

std::string SettingsDirectory() {
  if (const char* d = std::getenv("TREVASK_CONFIG_DIR"); d != nullptr && *d != '\0') return d;
  if (const char* x = std::getenv("XDG_CONFIG_HOME"); x != nullptr && *x != '\0')
    return std::string(x) + "/trevask";
  const std::string user = platform::UserConfigFolder();
  return user.empty() ? std::string() : user + "/trevask";
}

std::string SettingsPath() {
  const std::string dir = SettingsDirectory();
  return dir.empty() ? std::string() : dir + "/Trevask.ini";
}

RelaySettings LoadSettings(const std::string& path) {
  RelaySettings s;
  // A pipe or device in the file's place is not read (it could hold the start-up for ever).
  std::vector<uint8_t> buffer;
  platform::Status status = platform::ReadRegularFile(path, kMaxRead, false, buffer);
  // A user without a file of their own takes the one kept for every user (in the Windows directory,
  // where earlier relays wrote it); saving then writes the user's own, values and all.
  if (status == platform::Status::kMissing && !platform::SharedSettingsFolder().empty())
    status =
        platform::ReadRegularFile(platform::SharedSettingsFolder() + "/Trevask.ini", kMaxRead, false, buffer);
  if (status != platform::Status::kOk) return s;
  const std::size_t n = buffer.size();
  // Every file is parsed, short ones included: a saved "10.0.0.2" with port "80" must come back.
  std::string text;
  text.reserve(n);
  for (std::size_t i = 0; i < n; ++i)
    if (buffer[i] != '\r' && buffer[i] != '\0') text.push_back(buffer[i]);

  auto digit_value = [&](const char* key, std::string& out) {
    const std::size_t at = text.find(key);
    if (at == std::string::npos) return;
    const std::size_t v = at + std::strlen(key);
    if (v < text.size() && text[v] >= '0' && text[v] <= '9') out = LineAfter(text, v);
  };
  digit_value("WiFiIP=", s.wifi_ip);
  digit_value("WiFiPort=", s.wifi_port);
  // A port beyond any UDP port (or beyond what a number holds) keeps the default rather than
  // showing as a wrapped or negative number.
  if (s.wifi_port.size() > 5 || std::strtol(s.wifi_port.c_str(), nullptr, 10) > 65535)
    s.wifi_port = RelaySettings{}.wifi_port;
  if (std::size_t at = text.find("BTAddress="); at != std::string::npos) {
    std::size_t v = at + std::strlen("BTAddress=");
    while (v < text.size() && (text[v] == ' ' || text[v] == '\t')) ++v;
    s.bt_address = LineAfter(text, v);
  }
  return s;
}

platform::Result SaveSettings(const std::string& path, const RelaySettings& settings) {
  if (path.empty()) {
    return platform::Fail(platform::Status::kMissing,
                          "there is no home folder to keep Trevask.ini in (set HOME or TREVASK_CONFIG_DIR)");
  }
  const std::size_t slash = path.rfind('/');
  if (slash != std::string::npos) {
    if (platform::Result made = platform::MakeFolders(path.substr(0, slash)); !made.ok()) return made;
  }
  // Lines end as the system's text files do (Notepad shows a file of bare line feeds as one line);
  // reading takes either.
  const std::string eol = platform::TextLineBreak();
  const std::string text =
      "WiFiIP=" + (settings.wifi_ip.empty() ? std::string("0.0.0.0") : settings.wifi_ip) + eol +
      "WiFiPort=" + settings.wifi_port.substr(0, 10) + eol + "BTAddress=" + settings.bt_address.substr(0, 63);
  platform::UniqueFile f = platform::OpenFile(path, "wb");
  if (!f) {
    const int e = errno;
    return platform::Fail(
        e == EACCES || e == EPERM ? platform::Status::kNoAccess : platform::Status::kWriteFailed,
        path + ": " + std::strerror(e));
  }
  const bool ok = std::fwrite(text.data(), 1, text.size(), f.get()) == text.size();
  if (!platform::CloseFile(f) || !ok)
    return platform::Fail(platform::Status::kWriteFailed, path + ": the settings cannot be written");
  return platform::Ok();
}

}  // namespace relay
