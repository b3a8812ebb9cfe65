// Which named section of this process an address lies in, for the POSIX side's own use (the
// doorbells keep their counts of queued waits in an object named after the section).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// How many times a view of this process has been mapped or unmapped: what FindSection answered for
// an address stays true while this stays the same.
uint64_t SectionsChanged();

// True when `address` lies in a view of a named section this process has mapped now: its name ("/"
// and the name) and the address's offset from the section's first byte.
bool FindSection(const void* address, std::string& name, std::size_t& offset);

// Kept by the shared memory side: a view mapped, a view about to be unmapped.
void NoteView(const unsigned char* data, std::size_t size, const std::string& name);
void ForgetView(const unsigned char* data);

}  // namespace platform
