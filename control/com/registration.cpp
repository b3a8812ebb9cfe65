// Registration in the system registry, as control servers record themselves: the type library (from
// the module's own resource), then the control's class with its ProgID, and the property page's.
#include <objbase.h>
#include <oleauto.h>
#include <windows.h>

#include <string>

#include "control/com/control_object.h"
#include "control/com/registry_journal.h"
#include "control/com/utf8.h"
#include "control/dispatch.h"
#include "control/registry.h"
#include "control/talvenorctl.h"

namespace control {
namespace {

using com::Utf16;
using com::Utf8;

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

// Unregisters the type library; false when some of it is left.
bool UnregisterTypeLibrary() {
  // For locale 0; a system that keeps it under the library's own locale only (1033) has it removed
  // under that one, so that nothing of it is left behind.
  const GUID id = com::LibraryId();
  const SYSKIND kind = sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32;
  if (KeyExists(TypeLibKey())) UnRegisterTypeLib(id, 1, 0, 0, kind);
  if (KeyExists(TypeLibKey())) UnRegisterTypeLib(id, 1, 0, Identity::kTypeLibLocale, kind);
  return !KeyExists(TypeLibKey());
}

}  // namespace

std::string RegistryPath() {
  return "HKEY_CLASSES_ROOT";
}

int32_t RegisterServer(const std::string& library_path) {
  // The type library first, from the module's resource; without it no class is registered. What a
  // failure leaves half-written is taken back: a registration is whole or not there (a type library
  // that was registered before stays, as a registration may find its own earlier one).
  const bool library_was_registered = KeyExists(TypeLibKey());
  ITypeLib* library = nullptr;
  if (FAILED(LoadTypeLibEx(Utf16(library_path).c_str(), REGKIND_REGISTER, &library))) {
    if (!library_was_registered) UnregisterTypeLibrary();
    return SELFREG_E_TYPELIB;
  }
  library->Release();

  com::RegistryJournal journal;
  for (const RegistryRow& row : ClassRows(library_path)) {
    if (journal.SetValue(row.key, row.name, row.value)) continue;
    journal.Undo();
    if (!library_was_registered) UnregisterTypeLibrary();
    return SELFREG_E_CLASS;
  }
  return 0;
}

int32_t UnregisterServer() {
  if (!UnregisterTypeLibrary()) return SELFREG_E_TYPELIB;
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
