// Libraries loaded while a program runs, and which library a function lies in: what a control
// server needs to find itself and to load another one the registry names.
#pragma once

#include <string>

namespace platform {

// Loads the library at `path` for the rest of the process's life; null when it cannot be loaded.
void* OpenLibrary(const std::string& path);
// The address of the exported `name` in `library`, or null.
void* FindSymbol(void* library, const char* name);
// The resolved path of the library (or program) that holds `address`; empty when unknown.
std::string LibraryPathOf(const void* address);
// `path` made absolute with links and "." and ".." resolved; empty when it does not exist.
std::string ResolvedPath(const std::string& path);
// `path` made absolute against this process's current folder, with "." and ".." taken away by name
// alone: links stay as they are, and the file need not exist. For a path that another process (with
// a current folder of its own) opens. Empty when the current folder cannot be known.
std::string AbsolutePath(const std::string& path);

}  // namespace platform
