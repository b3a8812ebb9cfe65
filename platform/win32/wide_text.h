// Text between this system's UTF-8 strings and the UTF-16 of the system's wide functions.
#pragma once

#include <windows.h>

#include <cwchar>
#include <string>

namespace platform {

inline std::wstring Utf16(const char* text, std::size_t size) {
  const int n = ::MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(size), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) ::MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(size), out.data(), n);
  return out;
}

inline std::wstring Utf16(const std::string& text) {
  return Utf16(text.data(), text.size());
}

inline std::string Utf8(const wchar_t* text, std::size_t size) {
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(size), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(size), out.data(), n, nullptr, nullptr);
  return out;
}

inline std::string Utf8(const wchar_t* text) {
  return text != nullptr ? Utf8(text, std::wcslen(text)) : std::string();
}

inline std::string Utf8(const std::wstring& text) {
  return Utf8(text.data(), text.size());
}

}  // namespace platform
