#include "platform/library.h"

#include <windows.h>

namespace platform {

void* OpenLibrary(const std::string& path) {
  return reinterpret_cast<void*>(::LoadLibraryA(path.c_str()));
}

void* FindSymbol(void* library, const char* name) {
  if (library == nullptr) return nullptr;
  return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(library), name));
}

std::string LibraryPathOf(const void* address) {
  HMODULE module = nullptr;
  if (!::GetModuleHandleExA(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          static_cast<LPCSTR>(address), &module))
    return {};
  char path[MAX_PATH];
  const DWORD n = ::GetModuleFileNameA(module, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return {};
  return ResolvedPath(std::string(path, n));
}

std::string ResolvedPath(const std::string& path) {
  char full[MAX_PATH];
  const DWORD n = ::GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr);
  if (n == 0 || n >= MAX_PATH || ::GetFileAttributesA(full) == INVALID_FILE_ATTRIBUTES) return {};
  return std::string(full, n);
}

std::string AbsolutePath(const std::string& path) {
  char full[MAX_PATH];
  const DWORD n = ::GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr);
  if (n == 0 || n >= MAX_PATH) return {};
  return std::string(full, n);
}

}  // namespace platform
