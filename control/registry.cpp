#include "control/registry.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "control/dispatch.h"
#include "control/talvenorctl.h"
#include "platform/program.h"

namespace control {
namespace {

std::string DirName(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

bool MakeDirs(const std::string& dir) {
  return platform::MakeFolders(dir).ok();
}

std::string TypeLibFile() {
  return DirName(RegistryPath()) + "/typelib/" + std::string(Identity::kTypeLibId) + "-" +
         Identity::kTypeLibVersion + ".tlb";
}

}  // namespace

std::string RegistryPath() {
  if (const char* p = std::getenv("TALVENOR_REGISTRY"); p != nullptr && *p != '\0') return p;
  if (const char* x = std::getenv("XDG_DATA_HOME"); x != nullptr && *x != '\0')
    return std::string(x) + "/talvenor/registry";
  const std::string data = platform::UserDataFolder();
  return (data.empty() ? std::string("./.local/share") : data) + "/talvenor/registry";
}

bool RegistryFile::Load(const std::string& path) {
  keys_.clear();
  std::ifstream in(path);
  if (!in) {
    std::error_code error;
    return !std::filesystem::exists(path, error) &&
           !error;  // missing: empty; present but unreadable: failure
  }
  std::string line, key;
  while (std::getline(in, line)) {
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
      key = line.substr(1, line.size() - 2);
      keys_[key];
    } else if (std::size_t eq = line.find('='); eq != std::string::npos && !key.empty()) {
      keys_[key][line.substr(0, eq)] = line.substr(eq + 1);
    }
  }
  return true;
}

bool RegistryFile::Save(const std::string& path) const {
  if (!MakeDirs(DirName(path))) return false;
  const std::string temp = path + ".tmp";
  {
    std::ofstream out(temp, std::ios::trunc);
    if (!out) return false;
    for (const auto& [key, values] : keys_) {
      out << '[' << key << "]\n";
      for (const auto& [name, value] : values) out << name << '=' << value << '\n';
    }
    if (!out.flush()) return false;
  }
  if (std::rename(temp.c_str(), path.c_str()) != 0) {
    std::remove(temp.c_str());
    return false;
  }
  return true;
}

std::string RegistryFile::Get(const std::string& key, const std::string& name) const {
  auto k = keys_.find(key);
  if (k == keys_.end()) return {};
  auto v = k->second.find(name);
  return v == k->second.end() ? std::string() : v->second;
}

int32_t RegisterServer(const std::string& library_path) {
  // The type library first; without it no class is registered.
  const std::string tlb = TypeLibFile();
  if (!MakeDirs(DirName(tlb))) return SELFREG_E_TYPELIB;
  {
    std::ofstream out(tlb, std::ios::trunc);
    out << TypeLibraryText();
    if (!out.flush()) return SELFREG_E_TYPELIB;
  }
  const std::string path = RegistryPath();
  RegistryFile reg;
  // The type library's entries are written (and can fail) on their own, before the classes'.
  if (!reg.Load(path)) return SELFREG_E_TYPELIB;
  reg.Set(TypeLibKey(), "name", Identity::kTypeLibName);
  reg.Set(TypeLibKey(), "helpstring", Identity::kTypeLibHelp);
  reg.Set(TypeLibKey(), "lcid", std::to_string(Identity::kTypeLibLocale));
  reg.Set(TypeLibKey(), "path", tlb);
  reg.Set(TypeLibKey(), "helpdir", DirName(library_path));
  if (!reg.Save(path)) return SELFREG_E_TYPELIB;

  const std::string control = ClassKey(Identity::kControlClsid);
  reg.Set(control, "TypeName", Identity::kControlTypeName);
  reg.Set(control, "ProgID", Identity::kControlProgId);
  reg.Set(control, "InprocServer32", library_path);
  reg.Set(control, "ThreadingModel", "Apartment");
  reg.Set(control, "ToolboxBitmap32", library_path + ",1");
  reg.Set(control, "MiscStatus", std::to_string(Identity::kMiscStatus));
  reg.Set(control, "TypeLib", Identity::kTypeLibId);
  reg.Set(control, "Version", Identity::kTypeLibVersion);
  reg.Set(control, "Control", "");
  reg.Set(Identity::kControlProgId, "CLSID", Identity::kControlClsid);
  reg.Set(Identity::kControlProgId, "TypeName", Identity::kControlTypeName);
  reg.Set(control, "VersionIndependentProgID", Identity::kControlVersionIndependentProgId);
  reg.Set(Identity::kControlVersionIndependentProgId, "CLSID", Identity::kControlClsid);
  reg.Set(Identity::kControlVersionIndependentProgId, "CurVer", Identity::kControlProgId);
  reg.Set(Identity::kControlVersionIndependentProgId, "TypeName", Identity::kControlTypeName);

  const std::string page = ClassKey(Identity::kPropPageClsid);
  reg.Set(page, "TypeName", Identity::kPropPageTypeName);
  reg.Set(page, "InprocServer32", library_path);
  reg.Set(page, "ThreadingModel", "Apartment");
  reg.Set(page, "ProgID", Identity::kPropPageProgId);
  reg.Set(Identity::kPropPageProgId, "CLSID", Identity::kPropPageClsid);
  reg.Set(Identity::kPropPageProgId, "TypeName", Identity::kPropPageTypeName);
  return reg.Save(path) ? 0 : SELFREG_E_CLASS;
}

int32_t UnregisterServer() {
  const std::string tlb = TypeLibFile();
  if (std::remove(tlb.c_str()) != 0 && errno != ENOENT) return SELFREG_E_TYPELIB;
  const std::string path = RegistryPath();
  RegistryFile reg;
  if (!reg.Load(path)) return SELFREG_E_TYPELIB;
  reg.RemoveKey(TypeLibKey());
  reg.RemoveKey(ClassKey(Identity::kControlClsid));
  reg.RemoveKey(Identity::kControlProgId);
  reg.RemoveKey(Identity::kControlVersionIndependentProgId);
  reg.RemoveKey(ClassKey(Identity::kPropPageClsid));
  reg.RemoveKey(Identity::kPropPageProgId);
  return reg.Save(path) ? 0 : SELFREG_E_CLASS;
}

std::string LookUpServer(const std::string& progid_or_clsid, std::string& clsid) {
  RegistryFile reg;
  if (!reg.Load(RegistryPath())) return {};
  clsid = progid_or_clsid;
  if (!clsid.empty() && clsid.front() == '{') {
    clsid = RegistryClsid(clsid);
  } else {
    clsid = reg.Get(progid_or_clsid, "CLSID");
  }
  if (clsid.empty()) return {};
  return reg.Get(ClassKey(clsid), "InprocServer32");
}

}  // namespace control
