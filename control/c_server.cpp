// The module's entry points as control servers export them, on systems without COM: they register
// in the registry file and hand out the C interface's class factories (talvenor-regsvr and
// tv_create_from_registry use them).
#include "control/registry.h"
#include "control/talvenorctl_server.h"

extern "C" {

int32_t DllRegisterServer(void) {
  const std::string path = control::LibraryPath();
  if (path.empty()) return SELFREG_E_CLASS;
  return control::RegisterServer(path);
}

int32_t DllUnregisterServer(void) {
  return control::UnregisterServer();
}

int32_t DllCanUnloadNow(void) {
  return control::CanUnloadNow();
}

int32_t DllGetClassObject(const tv_guid* clsid, const tv_guid* iid, void** out) {
  return control::ClassFactory(clsid, iid, out);
}

}  // extern "C"
