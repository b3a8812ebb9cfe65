// The relay's Windows side: where its settings come from, what its options refuse, a COM port that
// is not there, and the Wi-Fi link over Winsock.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/process.h"
#include "platform/program.h"
#include "platform/udp_socket.h"
#include "relay/app/settings.h"
#include "relay/transport/serial_port.h"
#include "relay/transport/udp_endpoint.h"

namespace {

TEST(WindowsRelay, SettingsComeFromTheWindowsDirectoryUntilTheUserHasTheirOwn) {
  char temp[MAX_PATH];
  ::GetTempPathA(MAX_PATH, temp);
  const std::string appdata = std::string(temp) + "trevask-appdata-" + std::to_string(platform::ProcessId());
  ::_putenv_s("TREVASK_CONFIG_DIR", "");
  ::_putenv_s("XDG_CONFIG_HOME", "");
  ::_putenv_s("APPDATA", appdata.c_str());
  const std::string shared = platform::SharedSettingsFolder() + "\\Trevask.ini";
  ASSERT_FALSE(platform::SharedSettingsFolder().empty());
  std::ofstream(shared) << "WiFiIP=10.0.0.7\r\nWiFiPort=5002\r\nBTAddress=0012AB34CD56\r\n";

  const std::string own = relay::SettingsPath();
  EXPECT_EQ(own, appdata + "/trevask/Trevask.ini");
  relay::RelaySettings s = relay::LoadSettings(own);
  EXPECT_EQ(s.wifi_ip, "10.0.0.7") << "read from the Windows directory";
  EXPECT_EQ(s.wifi_port, "5002");
  s.wifi_port = "6000";
  const platform::Result written = relay::SaveSettings(own, s);
  ASSERT_TRUE(written.ok()) << written.message;
  const relay::RelaySettings again = relay::LoadSettings(own);
  EXPECT_EQ(again.wifi_port, "6000") << "the user's own file wins";
  EXPECT_EQ(again.bt_address, "0012AB34CD56") << "and loses no value of the shared one";
  // As the system's text files are: lines end in CR LF (either is read).
  std::ifstream saved(own, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(saved)), std::istreambuf_iterator<char>());
  EXPECT_EQ(bytes, "WiFiIP=10.0.0.7\r\nWiFiPort=6000\r\nBTAddress=0012AB34CD56");
  saved.close();
  std::ofstream(own, std::ios::binary) << "WiFiIP=10.0.0.8\nWiFiPort=6001\nBTAddress=0012AB34CD57";
  EXPECT_EQ(relay::LoadSettings(own).wifi_port, "6001") << "bare line feeds are read as well";
  std::ifstream kept(shared);
  std::string first;
  std::getline(kept, first);
  EXPECT_EQ(first, "WiFiIP=10.0.0.7\r") << "the shared file is left as it was";
  kept.close();
  ::DeleteFileA(shared.c_str());
  ::DeleteFileA(own.c_str());
  ::RemoveDirectoryA((appdata + "/trevask").c_str());
  ::RemoveDirectoryA(appdata.c_str());
}

// trevask.exe with `arguments`: its exit code, and what it wrote to its standard error in `error`.
DWORD RunRelay(const std::string& arguments, std::string& error) {
  char temp[MAX_PATH];
  ::GetTempPathA(MAX_PATH, temp);
  const std::string path = std::string(temp) + "trevask-stderr-" + std::to_string(platform::ProcessId());
  SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
  HANDLE file = ::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherited, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 999;
  std::string command = std::string("\"") + TREVASK_EXE + "\" " + arguments;
  STARTUPINFOA si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdError = file;
  si.hStdOutput = file;
  PROCESS_INFORMATION pi{};
  DWORD code = 999;
  if (::CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
    ::WaitForSingleObject(pi.hProcess, 60000);
    ::GetExitCodeProcess(pi.hProcess, &code);
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
  }
  ::CloseHandle(file);
  std::ifstream written(path, std::ios::binary);
  error.assign(std::istreambuf_iterator<char>(written), std::istreambuf_iterator<char>());
  written.close();
  ::DeleteFileA(path.c_str());
  return code;
}

TEST(WindowsRelay, OptionsThisSystemCannotHonourAreRefusedWithTheReason) {
  struct {
    std::string arguments;
    std::string message;
  } cases[] = {
      {"--headless --wifi 127.0.0.1 --port 5 --group Users",
       "trevask: --group: this system's sections cannot be shared with a group: only the user who runs "
       "the relay (and the system's administrators) may open them"},
      {"--headless --wifi 10.0.0 --port 5000", "trevask: '10.0.0' is not an IPv4 address"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_EQ(RunRelay(c.arguments, error), 2u) << c.arguments;
    EXPECT_NE(error.find(c.message), std::string::npos) << c.arguments << "\n" << error;
  }
}

TEST(WindowsRelay, AComPortThatIsNotThereSaysSo) {
  relay::CSerialPort port;
  EXPECT_EQ(relay::ComDeviceName(12), "\\\\.\\COM12");
  EXPECT_FALSE(port.Open(200));
  EXPECT_EQ(port.last_error(), "\\\\.\\COM200: no such port");
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(port.WaitHandle(), platform::kNoWaitHandle);
}

TEST(WindowsRelay, TheWifiLinkKeepsTheRobotsPortOverWinsock) {
  platform::UdpSocket robot, stranger;
  ASSERT_TRUE(robot.Open() && robot.Bind({platform::Ipv4Loopback(), 0}));
  ASSERT_TRUE(stranger.Open() && stranger.Bind({platform::Ipv4Loopback(), 0}));
  relay::CUdpEndpoint link;
  ASSERT_TRUE(link.Open(platform::Ipv4Loopback(), robot.LocalPort()));
  const uint8_t hello[] = {1, 2, 3};
  ASSERT_EQ(link.SendDatagram(hello, 3), 3);
  uint8_t buffer[64];
  platform::Ipv4Endpoint from;
  platform::Waker never;
  ASSERT_EQ(platform::WaitForInputOrWake(robot.wait_handle(), never, 5000), platform::WaitResult::kInput);
  ASSERT_EQ(robot.ReceiveFrom(buffer, sizeof buffer, from), 3);
  EXPECT_EQ(from.port, link.LocalPort());

  const uint8_t answer[] = {9, 9};
  ASSERT_EQ(robot.SendTo(answer, 2, from), 2);
  ASSERT_EQ(platform::WaitForInputOrWake(link.WaitHandle(), never, 5000), platform::WaitResult::kInput);
  EXPECT_EQ(link.ReadAvailable(buffer, sizeof buffer), 2);
  link.FrameAccepted(0xFF);
  ASSERT_EQ(stranger.SendTo(answer, 2, from), 2);  // same address, another port: only a candidate
  ASSERT_EQ(platform::WaitForInputOrWake(link.WaitHandle(), never, 5000), platform::WaitResult::kInput);
  EXPECT_EQ(link.ReadAvailable(buffer, sizeof buffer), 2);
  link.FrameAccepted(0xFF);
  EXPECT_EQ(link.robot_address().port, robot.LocalPort()) << "the robot's port is kept while it answers";
  EXPECT_EQ(link.peer_changes(), 0u);
}

}  // namespace
