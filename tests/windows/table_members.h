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
  std::vector<std::string> param_names;
  // For each parameter: whether it picks one motor, servo or sensor channel, and its range then.
  std::vector<bool> selects;
  std::vector<int32_t> min, max;
  bool read_only = false;  // a property that cannot be written
};

std::vector<TableMember> TableMembers();

// The module's picture memory, as its C interface hands it out.
const uint8_t* ModuleImage();
