#include "platform/program.h"

#include <direct.h>
#include <process.h>
#include <windows.h>
// After windows.h, which it builds on.
#include <shellapi.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/win32/wide_text.h"

namespace platform {
namespace {

// Set by the console's handler thread, taken by the waiting thread: each flag is a request not yet
// taken; the event wakes the waiter. Relaxed flags: the event orders them.
std::atomic<bool> g_stop{false};
std::atomic<bool> g_thread_ended{false};
HANDLE g_event = nullptr;

BOOL WINAPI OnConsoleRequest(DWORD kind) {
  g_stop.store(true, std::memory_order_relaxed);
  ::SetEvent(g_event);
  // For a console window closing, the system ends the program when this returns: give the waiting
  // thread the time it is allowed to stop the link and let go of the sections.
  if (kind == CTRL_CLOSE_EVENT || kind == CTRL_LOGOFF_EVENT || kind == CTRL_SHUTDOWN_EVENT) ::Sleep(4000);
  return TRUE;
}

}  // namespace

void TakeProgramRequests() {
  if (g_event == nullptr) g_event = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
  ::SetConsoleCtrlHandler(&OnConsoleRequest, TRUE);
}

ProgramRequest NextProgramRequest(int limit_ms) {
  for (;;) {
    if (g_stop.exchange(false, std::memory_order_relaxed)) return ProgramRequest::kStop;
    if (g_thread_ended.exchange(false, std::memory_order_relaxed)) return ProgramRequest::kThreadEnded;
    if (g_event == nullptr ||
        ::WaitForSingleObject(g_event, limit_ms < 0 ? INFINITE : static_cast<DWORD>(limit_ms)) !=
            WAIT_OBJECT_0)
      return ProgramRequest::kNone;
  }
}

void PostThreadEnded() {
  g_thread_ended.store(true, std::memory_order_relaxed);
  if (g_event != nullptr) ::SetEvent(g_event);
}

std::string ProgramPath() {
  wchar_t path[MAX_PATH];
  const DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  return n > 0 && n < MAX_PATH ? Utf8(path, n) : std::string();
}

char** Utf8Arguments(int argc, char** argv) {
  int count = 0;
  LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (wide == nullptr) return argv;
  // Kept for the program's life, as main's own.
  static std::vector<std::string> texts;
  static std::vector<char*> pointers;
  if (count == argc) {
    texts.clear();
    for (int i = 0; i < count; ++i) texts.push_back(Utf8(wide[i]));
    pointers.clear();
    for (std::string& t : texts) pointers.push_back(t.data());
    pointers.push_back(nullptr);
  }
  ::LocalFree(wide);
  return count == argc ? pointers.data() : argv;
}

void RunInstead(const std::string& program, char** argv) {
  std::vector<std::wstring> arguments;
  for (char** a = argv; *a != nullptr; ++a) arguments.push_back(Utf16(*a));
  std::vector<const wchar_t*> wide;
  for (const std::wstring& a : arguments) wide.push_back(a.c_str());
  wide.push_back(nullptr);
  ::_wexecv(Utf16(program).c_str(), wide.data());
}

std::string UserConfigFolder() {
  if (const wchar_t* d = ::_wgetenv(L"APPDATA"); d != nullptr && *d != L'\0') return Utf8(d);
  return {};
}

std::string UserDataFolder() {
  return UserConfigFolder();  // the roaming application data folder holds both
}

std::string SharedSettingsFolder() {
  wchar_t folder[MAX_PATH];
  const UINT n = ::GetWindowsDirectoryW(folder, MAX_PATH);
  return n > 0 && n < MAX_PATH ? Utf8(folder, n) : std::string();
}

const char* TextLineBreak() {
  return "\r\n";
}

Result MakeFolders(const std::string& folder) {
  if (folder.empty()) return Ok();
  const DWORD attributes = ::GetFileAttributesW(Utf16(folder).c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return Ok();
    return Fail(Status::kWriteFailed, folder + " is not a folder");
  }
  const std::size_t slash = folder.find_last_of("/\\");
  if (slash != std::string::npos && slash > 2) {
    if (Result above = MakeFolders(folder.substr(0, slash)); !above.ok()) return above;
  }
  // A new folder under the user's profile is the user's alone by the permissions it inherits.
  if (::_wmkdir(Utf16(folder).c_str()) != 0 && errno != EEXIST) {
    const int e = errno;
    return Fail(e == EACCES ? Status::kNoAccess : Status::kWriteFailed, folder + ": " + std::strerror(e));
  }
  return Ok();
}

// Who may change a file is said by its access list; a file in the user's profile is the user's.
bool OthersMayWrite(const std::string& /*path*/) {
  return false;
}

std::tm LocalTime(std::time_t t) {
  std::tm local{};
  localtime_s(&local, &t);
  return local;
}

}  // namespace platform
