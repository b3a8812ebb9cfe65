// The values a registration writes under HKEY_CLASSES_ROOT, each noted before it is written, so that
// a registration that fails half-way takes back all it wrote: the keys it created go, and a value
// it replaced in a key that was there before gets its old data again (or goes, if it had none).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace control::com {

class RegistryJournal {
 public:
  // Sets value `name` ("" for the key's default value) of `key` to the text `value`.
  bool SetValue(const std::string& key, const std::string& name, const std::string& value);
  // Takes back every write, the last first.
  void Undo();

 private:
  struct Entry {
    std::wstring key;  // the topmost key the write created, or the key whose value it replaced
    bool created = false;
    std::wstring name;  // the replaced value's name, and what it held
    bool had_value = false;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
  };
  std::vector<Entry> entries_;
};

}  // namespace control::com
