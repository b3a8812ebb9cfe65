// talvenor-regsvr: registers (or with -u unregisters) a control server library in the per-user
// registry by calling its exported DllRegisterServer / DllUnregisterServer.
#include <dlfcn.h>

#include <cstdio>
#include <cstring>

#include "control/talvenorctl.h"

int main(int argc, char** argv) {
  bool unregister = false;
  const char* library = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-u") == 0 || std::strcmp(argv[i], "/u") == 0) {
      unregister = true;
    } else if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
      std::printf(
          "usage: talvenor-regsvr [-u] LIBRARY\n  registers LIBRARY's control classes and type library in "
          "%s\n",
          "the per-user registry ($TALVENOR_REGISTRY, else $XDG_DATA_HOME/talvenor/registry)");
      return 0;
    } else {
      library = argv[i];
    }
  }
  if (library == nullptr) {
    std::fprintf(
        stderr,
        "talvenor-regsvr: name the library to register (for example build/control/libtalvenorctl.so)\n");
    return 2;
  }
  void* handle = dlopen(library, RTLD_NOW);
  if (handle == nullptr) {
    std::fprintf(stderr, "talvenor-regsvr: %s\n", dlerror());
    return 2;
  }
  const char* entry = unregister ? "DllUnregisterServer" : "DllRegisterServer";
  auto call = reinterpret_cast<int32_t (*)()>(dlsym(handle, entry));
  if (call == nullptr) {
    std::fprintf(stderr, "talvenor-regsvr: %s is no control server (it has no %s)\n", library, entry);
    return 2;
  }
  int32_t result = call();
  if (result != 0) {
    std::fprintf(stderr, "talvenor-regsvr: %s failed: 0x%08X (%s)\n", entry, static_cast<uint32_t>(result),
                 result == SELFREG_E_TYPELIB ? "the type library cannot be registered"
                 : result == SELFREG_E_CLASS ? "a class cannot be registered"
                                             : "error");
    return 1;
  }
  auto where = reinterpret_cast<const char* (*)()>(dlsym(handle, "tv_registry_path"));
  std::printf("%s succeeded%s%s\n", entry, where != nullptr ? ": " : "", where != nullptr ? where() : "");
  return 0;
}
