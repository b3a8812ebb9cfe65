// Which named section of this process an address lies in, for the Windows side's own use (the
// doorbells key their named objects on the section's name and the word's offset in it).
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// True when `address` lies in a view of a named section this process has mapped now: its name ("/"
// and the name; the string lives as long as the process), the section's mapping (held by this process until
// it ends, so a view made from it outlives the caller's) and the address's offset from the section's first
// byte.
// How many times a view of this process has been mapped or unmapped: what FindSection answered for
// an address stays true while this stays the same.
uint64_t SectionsChanged();

bool FindSection(const void* address, const std::string*& name, HANDLE& mapping, std::size_t& offset);

}  // namespace platform
