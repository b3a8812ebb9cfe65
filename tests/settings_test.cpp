#include "relay/app/settings.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

namespace {

class Settings : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/trevask-settings-XXXXXX";
    dir_ = mkdtemp(pattern);
    path_ = dir_ + "/Trevask.ini";
  }
  void TearDown() override { EXPECT_EQ(system(("rm -rf '" + dir_ + "'").c_str()), 0); }
  void Write(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }
  std::string Read() {
    std::ifstream in(path_, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  std::string dir_, path_;
};

TEST_F(Settings, APipeInPlaceOfTheFileIsNotWaitedOn) {
  ASSERT_EQ(mkfifo(path_.c_str(), 0600), 0);
  relay::RelaySettings s = relay::LoadSettings(path_);  // would block for ever on an open for reading
  EXPECT_EQ(s.wifi_port, "00000");
  EXPECT_EQ(s.bt_address, "000000000000");
}

TEST_F(Settings, APortBeyondAnyUdpPortKeepsTheDefault) {
  Write("WiFiIP=10.0.0.2\nWiFiPort=99999999999999999999\nBTAddress=0012AB34CD56");
  EXPECT_EQ(relay::LoadSettings(path_).wifi_port, "00000");
  Write("WiFiIP=10.0.0.2\nWiFiPort=70000\n");
  EXPECT_EQ(relay::LoadSettings(path_).wifi_port, "00000");
  Write("WiFiIP=10.0.0.2\nWiFiPort=65535\n");
  EXPECT_EQ(relay::LoadSettings(path_).wifi_port, "65535");
}

TEST_F(Settings, RoundTripsIncludingShortFiles) {
  for (auto [ip, port] : {std::pair<std::string, std::string>{"192.168.1.20", "5000"}, {"10.0.0.2", "80"}}) {
    relay::RelaySettings s;
    s.wifi_ip = ip;
    s.wifi_port = port;
    const platform::Result saved = relay::SaveSettings(path_, s);
    ASSERT_TRUE(saved.ok()) << saved.message;
    relay::RelaySettings back = relay::LoadSettings(path_);
    EXPECT_EQ(back.wifi_ip, ip);
    EXPECT_EQ(back.wifi_port, port) << "a 50-character file is read like any other";
    EXPECT_EQ(back.bt_address, "000000000000");
  }
  EXPECT_EQ(Read(), "WiFiIP=10.0.0.2\nWiFiPort=80\nBTAddress=000000000000");
  relay::RelaySettings blank;
  blank.wifi_ip = "";
  ASSERT_TRUE(relay::SaveSettings(path_, blank).ok());
  EXPECT_EQ(Read().substr(0, 15), "WiFiIP=0.0.0.0\n") << "all three keys are always written";
}

TEST_F(Settings, HandWrittenFiles) {
  Write("BTAddress= \t0012AB34CD56\r\nWiFiPort=80\r\nWiFiIP=x.1.2.3\r\n");
  relay::RelaySettings s = relay::LoadSettings(path_);
  EXPECT_EQ(s.wifi_ip, "0.0.0.0") << "an address that does not start with a digit keeps its default";
  EXPECT_EQ(s.wifi_port, "80");
  EXPECT_EQ(s.bt_address, "0012AB34CD56") << "blanks skipped, Windows line ends read";
  Write("WiFiPort=5000");
  s = relay::LoadSettings(path_);
  EXPECT_EQ(s.wifi_ip, "0.0.0.0");
  EXPECT_EQ(s.wifi_port, "5000");
  EXPECT_EQ(s.bt_address, "000000000000");
}

TEST_F(Settings, BinaryHugeAndMissingFilesGiveDefaults) {
  std::string junk(100000, '\0');
  for (std::size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<char>(i * 131 % 256);
  Write(junk);
  relay::RelaySettings s = relay::LoadSettings(path_);
  EXPECT_EQ(s.wifi_port.size() <= 1023, true);
  Write(std::string(10000, 'x') + "WiFiPort=99");
  EXPECT_EQ(relay::LoadSettings(path_).wifi_port, "00000") << "only the first 4096 characters are read";
  EXPECT_EQ(relay::LoadSettings(dir_ + "/none.ini").wifi_ip, "0.0.0.0");
}

TEST_F(Settings, FolderIsCreatedAndUnwritablePlacesAreReported) {
  const platform::Result made = relay::SaveSettings(dir_ + "/a/b/Trevask.ini", relay::RelaySettings{});
  ASSERT_TRUE(made.ok()) << made.message;
  std::ofstream(dir_ + "/file") << "x";
  const platform::Result refused = relay::SaveSettings(dir_ + "/file/Trevask.ini", relay::RelaySettings{});
  EXPECT_EQ(refused.status, platform::Status::kWriteFailed);
  EXPECT_NE(refused.message.find("is not a folder"), std::string::npos) << refused.message;
}

TEST(SettingsPlace, FollowsTheEnvironment) {
  setenv("TREVASK_CONFIG_DIR", "/tmp/cfg", 1);
  EXPECT_EQ(relay::SettingsPath(), "/tmp/cfg/Trevask.ini");
  unsetenv("TREVASK_CONFIG_DIR");
  setenv("XDG_CONFIG_HOME", "/tmp/xdg", 1);
  EXPECT_EQ(relay::SettingsPath(), "/tmp/xdg/trevask/Trevask.ini");
  unsetenv("XDG_CONFIG_HOME");
  setenv("HOME", "/home/someone", 1);
  EXPECT_EQ(relay::SettingsPath(), "/home/someone/.config/trevask/Trevask.ini");
  // Without HOME (a service), the user database's home; never the folder the relay runs in.
  const std::string home = getenv("HOME");
  unsetenv("HOME");
  const passwd* user = getpwuid(getuid());
  ASSERT_NE(user, nullptr);
  struct stat st {};
  if (stat(user->pw_dir, &st) == 0 && std::string(user->pw_dir) != "/")
    EXPECT_EQ(relay::SettingsPath(), std::string(user->pw_dir) + "/.config/trevask/Trevask.ini");
  else
    EXPECT_EQ(relay::SettingsPath(), "");
  EXPECT_EQ(relay::SettingsPath().rfind("./", 0), std::string::npos);
  setenv("HOME", home.c_str(), 1);
  const platform::Result nowhere = relay::SaveSettings("", relay::RelaySettings{});
  EXPECT_EQ(nowhere.status, platform::Status::kMissing);
  EXPECT_NE(nowhere.message.find("no home folder"), std::string::npos);
}

}  // namespace
