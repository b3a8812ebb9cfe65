#include "platform/library.h"

#include <dlfcn.h>

#include <climits>
#include <cstdlib>

namespace platform {

void* OpenLibrary(const std::string& path) {
  return dlopen(path.c_str(), RTLD_NOW);
}

void* FindSymbol(void* library, const char* name) {
  return library != nullptr ? dlsym(library, name) : nullptr;
}

std::string LibraryPathOf(const void* address) {
  Dl_info info{};
  if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) return {};
  const std::string resolved = ResolvedPath(info.dli_fname);
  return resolved.empty() ? std::string(info.dli_fname) : resolved;
}

std::string ResolvedPath(const std::string& path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : std::string();
}

}  // namespace platform
