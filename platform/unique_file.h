// A C stream owned by one object: closed when the owner goes. Writers that must know whether
// everything reached the disk close it themselves with CloseFile.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

namespace platform {

struct FileCloser {
  void operator()(FILE* f) const {
    if (f != nullptr) std::fclose(f);
  }
};
using UniqueFile = std::unique_ptr<FILE, FileCloser>;

// Opens the file at `path` (UTF-8, as every path in this system) with fopen's `mode`.
UniqueFile OpenFile(const std::string& path, const char* mode);

// Closes now; false when the stream could not flush what it held.
inline bool CloseFile(UniqueFile& file) {
  FILE* f = file.release();
  return f == nullptr || std::fclose(f) == 0;
}

}  // namespace platform
