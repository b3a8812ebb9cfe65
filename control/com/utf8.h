// Text has one encoding inside the control: UTF-8. Every text that crosses to or from the system
// (automation strings, member and parameter names, paths, registry values, message boxes, section
// names) is converted between that UTF-8 and the system's UTF-16 here, and never through the ANSI
// code page: a robot name or a path in any script reaches the file system, the registry and the
// relay's sections as the caller wrote it, on a system of any language.
#pragma once

#include <oleauto.h>
#include <windows.h>

#include <string>

#include "platform/win32/wide_text.h"

namespace control::com {

using platform::Utf16;
using platform::Utf8;

// An automation string (which may hold a zero: its length is its own).
inline std::string FromBstr(const BSTR text) {
  return text != nullptr ? platform::Utf8(text, SysStringLen(text)) : std::string();
}

// A new automation string; the caller frees it.
inline BSTR NewBstr(const std::string& text) {
  const std::wstring wide = Utf16(text);
  return SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
}

}  // namespace control::com
