#include "platform/library.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <vector>

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

std::string AbsolutePath(const std::string& path) {
  std::string joined = path;
  if (path.empty() || path[0] != '/') {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) return {};
    joined = std::string(cwd) + "/" + path;
  }
  std::vector<std::string> parts;
  std::size_t at = 0;
  while (at <= joined.size()) {
    std::size_t end = joined.find('/', at);
    if (end == std::string::npos) end = joined.size();
    const std::string part = joined.substr(at, end - at);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    at = end + 1;
  }
  std::string out;
  for (const std::string& part : parts) out += "/" + part;
  return out.empty() ? "/" : out;
}

}  // namespace platform
