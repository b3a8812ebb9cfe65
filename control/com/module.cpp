// The module's four entry points as COM calls them (regsvr32, CoCreateInstance, CoFreeUnusedLibraries).
#include <objbase.h>

#include "control/com/class_factory.h"
#include "control/com/control_object.h"
#include "control/com/type_library.h"
#include "control/com/utf8.h"
#include "control/com/window_host.h"
#include "control/registry.h"
#include "control/talvenorctl.h"

STDAPI DllRegisterServer() {
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(control::com::ModuleHandle(), path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return SELFREG_E_CLASS;
  return control::RegisterServer(control::com::Utf8(path));
}

STDAPI DllUnregisterServer() {
  return control::UnregisterServer();
}

STDAPI DllCanUnloadNow() {
  if (control::com::AnyObjectOrLock() || control::CanUnloadNow() != TV_OK) return S_FALSE;
  // The module goes: the type library it kept for its objects goes first.
  control::com::ReleaseModuleTypeLibrary();
  return S_OK;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (IsEqualCLSID(clsid, control::com::ControlClassId()))
    return control::com::ControlFactory().QueryInterface(iid, out);
  if (IsEqualCLSID(clsid, control::com::PageClassId()))
    return control::com::PageFactory().QueryInterface(iid, out);
  return CLASS_E_CLASSNOTAVAILABLE;
}
