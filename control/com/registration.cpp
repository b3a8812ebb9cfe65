// Registration in the system registry, as control servers record themselves: the type library (from
// the module's own resource), then the control's class with its ProgID, and the property page's.
#include <objbase.h>
#include <oleauto.h>
#include <windows.h>

#include <string>

#include "control/com/control_object.h"
#include "control/com/utf8.h"
#include "control/dispatch.h"
#include "control/registry.h"
#include "control/talvenorctl.h"

namespace control {
namespace {

using com::Utf16;
using com::Utf8;

// Sets value `name` ("" for the key's default value) of key `key` under HKEY_CLASSES_ROOT.
bool SetValue(const std::string& key, const char* name, const std::string& value) {
  HKEY handle = nullptr;
  if (RegCreateKeyExW(HKEY_CLASSES_ROOT, Utf16(key).c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &handle,
                      nullptr) != ERROR_SUCCESS)
    return false;
  const std::wstring data = Utf16(value);
  const LSTATUS st = RegSetValueExW(handle, *name != '\0' ? Utf16(name).c_str() : nullptr, 0, REG_SZ,
                                    reinterpret_cast<const BYTE*>(data.c_str()),
                                    static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(handle);
  return st == ERROR_SUCCESS;
}

std::string GetValue(const std::string& key, const char* name) {
  wchar_t buffer[1024];
  DWORD size = sizeof buffer;
  if (RegGetValueW(HKEY_CLASSES_ROOT, Utf16(key).c_str(), *name != '\0' ? Utf16(name).c_str() : nullptr,
                   RRF_RT_REG_SZ, nullptr, buffer, &size) != ERROR_SUCCESS)
    return {};
  return Utf8(buffer);
}

bool KeyExists(const std::string& key) {
  HKEY handle = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, Utf16(key).c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS)
    return false;
  RegCloseKey(handle);
  return true;
}

bool RemoveKey(const std::string& key) {
  const LSTATUS st = RegDeleteTreeW(HKEY_CLASSES_ROOT, Utf16(key).c_str());
  return st == ERROR_SUCCESS || st == ERROR_FILE_NOT_FOUND;
}

}  // namespace

std::string RegistryPath() {
  return "HKEY_CLASSES_ROOT";
}

int32_t RegisterServer(const std::string& library_path) {
  // The type library first, from the module's resource; without it no class is registered.
  ITypeLib* library = nullptr;
  if (FAILED(LoadTypeLibEx(Utf16(library_path).c_str(), REGKIND_REGISTER, &library)))
    return SELFREG_E_TYPELIB;
  library->Release();

  for (const RegistryRow& row : ClassRows(library_path))
    if (!SetValue(row.key, row.name.c_str(), row.value)) return SELFREG_E_CLASS;
  return 0;
}

int32_t UnregisterServer() {
  // The type library is unregistered for locale 0; a system that keeps it under the library's own
  // locale only (1033) has it removed under that one, so that nothing of it is left behind.
  const GUID id = com::LibraryId();
  const SYSKIND kind = sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32;
  if (KeyExists(TypeLibKey())) UnRegisterTypeLib(id, 1, 0, 0, kind);
  if (KeyExists(TypeLibKey())) UnRegisterTypeLib(id, 1, 0, Identity::kTypeLibLocale, kind);
  if (KeyExists(TypeLibKey())) return SELFREG_E_TYPELIB;
  const bool ok = RemoveKey(ClassKey(Identity::kControlClsid)) && RemoveKey(Identity::kControlProgId) &&
                  RemoveKey(Identity::kControlVersionIndependentProgId) &&
                  RemoveKey(ClassKey(Identity::kPropPageClsid));
  return ok ? 0 : SELFREG_E_CLASS;
}

std::string LookUpServer(const std::string& progid_or_clsid, std::string& clsid) {
  clsid = progid_or_clsid;
  if (!clsid.empty() && clsid.front() == '{') {
    clsid = RegistryClsid(clsid);
  } else {
    clsid = GetValue(progid_or_clsid + "\\CLSID", "");
  }
  if (clsid.empty()) return {};
  return GetValue(ClassKey(clsid) + "\\InprocServer32", "");
}

}  // namespace control
