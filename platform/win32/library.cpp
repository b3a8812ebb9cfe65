#include "platform/library.h"

#include <windows.h>

#include "platform/win32/wide_text.h"

namespace platform {

void* OpenLibrary(const std::string& path) {
  return reinterpret_cast<void*>(::LoadLibraryW(Utf16(path).c_str()));
}

void* FindSymbol(void* library, const char* name) {
  if (library == nullptr) return nullptr;
  return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(library), name));
}

std::string LibraryPathOf(const void* address) {
  HMODULE module = nullptr;
  if (!::GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          static_cast<LPCWSTR>(address), &module))
    return {};
  wchar_t path[MAX_PATH];
  const DWORD n = ::GetModuleFileNameW(module, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return {};
  return ResolvedPath(Utf8(path, n));
}

std::string ResolvedPath(const std::string& path) {
  wchar_t full[MAX_PATH];
  const DWORD n = ::GetFullPathNameW(Utf16(path).c_str(), MAX_PATH, full, nullptr);
  if (n == 0 || n >= MAX_PATH || ::GetFileAttributesW(full) == INVALID_FILE_ATTRIBUTES) return {};
  return Utf8(full, n);
}

std::string AbsolutePath(const std::string& path) {
  wchar_t full[MAX_PATH];
  const DWORD n = ::GetFullPathNameW(Utf16(path).c_str(), MAX_PATH, full, nullptr);
  if (n == 0 || n >= MAX_PATH) return {};
  return Utf8(full, n);
}

}  // namespace platform
