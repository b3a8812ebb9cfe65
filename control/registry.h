// Where control servers record their classes, ProgIDs and type libraries. On Windows the system
// registry (com/registration.cpp); elsewhere a per-user registry file of [key] sections holding
// name=value lines (registry.cpp).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "control/dispatch.h"
#include "control/talvenorctl.h"

namespace control {

std::string RegistryPath();

// The keys of the control's classes and of its type library, named alike in both registries.
inline std::string ClassKey(const std::string& clsid) {
  return "CLSID\\" + clsid;
}
inline std::string TypeLibKey() {
  return std::string("TypeLib\\") + Identity::kTypeLibId + "\\" + Identity::kTypeLibVersion;
}
// A class identifier in braces as the registry spells it, upper-case.
inline std::string RegistryClsid(std::string clsid) {
  for (char& c : clsid)
    if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
  return clsid;
}

// One value under HKEY_CLASSES_ROOT: its key, its name ("" for the key's default value) and its text.
struct RegistryRow {
  std::string key;
  std::string name;
  std::string value;
};

// What registering the control writes for the module file `library_path` (Windows spelling): its
// class with ProgID, toolbox picture, status bits and type library, its ProgID, and the property
// page's class. DllRegisterServer writes exactly these, and the Windows installer carries the same
// rows (talvenor-registry-rows), since an installer cannot call the module to register itself.
std::vector<RegistryRow> ClassRows(const std::string& library_path);

// What the system's type-library registration writes for the library embedded in `library_path`
// (in the folder `folder`), for a 64-bit or a 32-bit module: the library's version key with its
// help text, flags, help folder and the file under the library's locale (InterfaceRows() apart). The
// installer writes them as rows; its test compares them with what regsvr32 leaves in the registry.
std::vector<RegistryRow> TypeLibRows(const std::string& library_path, const std::string& folder, bool win64);

// Each interface of the library with its name, the automation marshaller and the library. The
// registration writes them into both views of the registry, 64- and 32-bit, whatever the module's
// width, so that programs of either width can marshal the interfaces.
std::vector<RegistryRow> InterfaceRows();

class RegistryFile {
 public:
  // Loads the file; a missing file is an empty registry. False when it exists but cannot be read.
  bool Load(const std::string& path);
  // Writes the whole registry (to a temporary file, then renamed over the old one). False on failure.
  bool Save(const std::string& path) const;

  void Set(const std::string& key, const std::string& name, const std::string& value) {
    keys_[key][name] = value;
  }
  std::string Get(const std::string& key, const std::string& name) const;
  bool HasKey(const std::string& key) const { return keys_.count(key) != 0; }
  void RemoveKey(const std::string& key) { keys_.erase(key); }

 private:
  std::map<std::string, std::map<std::string, std::string>> keys_;
};

// Registers (or removes) the type library and the two classes for the library file `library_path`.
// Results as the control server exports them: 0, SELFREG_E_TYPELIB or SELFREG_E_CLASS.
int32_t RegisterServer(const std::string& library_path);
int32_t UnregisterServer();

// The library file that holds the class `progid_or_clsid`, from the registry; empty when unknown.
std::string LookUpServer(const std::string& progid_or_clsid, std::string& clsid);

// This library's own file; the class factories its C interface hands out (a tv_class_factory for
// the control's class or the property page's), and whether none of its objects is alive or locked.
std::string LibraryPath();
int32_t ClassFactory(const tv_guid* clsid, const tv_guid* iid, void** out);
int32_t CanUnloadNow();

}  // namespace control
