// How long the robot's sections stay in the system's list of named objects: a relay or a client that
// ends normally takes its sections' names with it when it is the last holder (the platform does that
// at exit); one killed by Ctrl-C, SIGTERM or a crash cannot, so every relay and client that opens
// sections first removes the sections of any robot name that no live process holds. On Windows the
// system removes a section with its last holder, and there is never anything to remove.
#pragma once

#include <cstddef>
#include <string>

namespace exchange {

// True for the object name of a section of any robot: "/" + escaped robot name + one of the suffixes.
bool IsSectionObject(const std::string& object_name);

// Removes this user's sections, of every robot name, that no live process holds; the count removed.
std::size_t ReclaimLeftoverSections();

}  // namespace exchange
