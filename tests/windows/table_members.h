// The control's member table through its C interface, for tests that also need the system's COM
// headers (which declare the module's entry points with the system's own types).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct TableMember {
  enum Kind { kMethod, kProperty, kEvent } kind;
  int32_t dispid;
  std::string name;
  // The automation types: 0 nothing, 2 short, 3 long, 8 string, 11 boolean, 37 address, 65 buffer.
  int32_t type;
  std::vector<int32_t> params;
  bool read_only = false;  // a property that cannot be written
};

std::vector<TableMember> TableMembers();
