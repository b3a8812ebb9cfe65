// The parts of ROS 2's type hash: the type description as the canonical JSON text ROS 2 hashes, and
// SHA-256 over it.
#pragma once

#include <string>
#include <string_view>

namespace ros2 {

// SHA-256 of `data` as 64 lower-case hex digits.
std::string Sha256Hex(std::string_view data);

// The JSON text whose SHA-256 is the type's hash: the type's own description and those of the
// types it refers to (sorted by name), fields in .msg order, without default values, with ", " and
// ": " between items. "" for a type the table does not know.
std::string TypeDescriptionJson(std::string_view ros_type);

}  // namespace ros2
