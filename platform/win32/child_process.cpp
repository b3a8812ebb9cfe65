#include "platform/child_process.h"

#include <windows.h>

namespace platform {
namespace {

// A command line as the C runtime's parser splits it again: each argument quoted, with the
// backslashes before a quote doubled.
std::string Quoted(const std::string& arg) {
  std::string out = "\"";
  std::size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, '\\');
  return out + "\"";
}

}  // namespace

int ChildProcess::Stop() {
  if (native_ == 0) return -1;
  HANDLE process = reinterpret_cast<HANDLE>(native_);
  ::TerminateProcess(process, 1);
  ::WaitForSingleObject(process, INFINITE);
  DWORD code = 0;
  ::GetExitCodeProcess(process, &code);
  ::CloseHandle(process);
  native_ = 0;
  id_ = 0;
  return static_cast<int>(code);
}

Result StartChildProcess(const std::vector<std::string>& argv, ChildProcess& out) {
  out.Stop();
  if (argv.empty()) return Fail(Status::kStartFailed, "no program to start");
  std::string command;
  for (const std::string& a : argv) command += (command.empty() ? "" : " ") + Quoted(a);
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!::CreateProcessA(argv[0].c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi)) {
    return Fail(Status::kStartFailed,
                argv[0] + ": cannot be started (error " + std::to_string(::GetLastError()) + ")");
  }
  ::CloseHandle(pi.hThread);
  out.native_ = reinterpret_cast<uintptr_t>(pi.hProcess);
  out.id_ = pi.dwProcessId;
  return Ok();
}

}  // namespace platform
