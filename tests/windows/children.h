// The test program started again as a process of its own ("--child <words>", see main.cpp), for
// tests that need a second process on Windows.
#pragma once

#include <windows.h>

#include <string>

#include "platform/win32/unique_handle.h"

namespace windows_test {

// This program started again as "--child <words>"; the caller ends it or waits for its exit code.
inline platform::UniqueHandle StartChild(const std::string& words) {
  char exe[MAX_PATH];
  ::GetModuleFileNameA(nullptr, exe, MAX_PATH);
  std::string command = std::string("\"") + exe + "\" --child " + words;
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!::CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
    return platform::UniqueHandle();
  ::CloseHandle(pi.hThread);
  return platform::UniqueHandle(pi.hProcess);
}

// Its exit code once it has ended (999 when it has not within a minute).
inline DWORD ExitCodeOf(const platform::UniqueHandle& process) {
  ::WaitForSingleObject(process.get(), 60000);
  DWORD code = 999;
  ::GetExitCodeProcess(process.get(), &code);
  return code;
}

}  // namespace windows_test
