// The registry rows of the control's classes and type library (registry.h).
#include <cstdio>
#include <utility>

#include "control/dispatch.h"
#include "control/registry.h"
#include "control/resources/resource_texts.h"

namespace control {

std::vector<RegistryRow> ClassRows(const std::string& library_path) {
  const std::string control = ClassKey(Identity::kControlClsid);
  const std::string page = ClassKey(Identity::kPropPageClsid);
  char status[16];
  std::snprintf(status, sizeof status, "%u", static_cast<unsigned>(Identity::kMiscStatus));
  // Containers read the status bits of the content aspect (1) and, without them, the key's default.
  return {
      {control, "", Identity::kControlTypeName},
      {control + "\\InprocServer32", "", library_path},
      {control + "\\InprocServer32", "ThreadingModel", "Apartment"},
      {control + "\\ProgID", "", Identity::kControlProgId},
      {control + "\\ToolboxBitmap32", "", library_path + ", " + std::to_string(TV_IDB_TOOLBOX)},
      {control + "\\MiscStatus", "", "0"},
      {control + "\\MiscStatus\\1", "", status},
      {control + "\\Control", "", ""},
      {control + "\\TypeLib", "", Identity::kTypeLibId},
      {control + "\\Version", "", Identity::kTypeLibVersion},
      {Identity::kControlProgId, "", Identity::kControlTypeName},
      {std::string(Identity::kControlProgId) + "\\CLSID", "", Identity::kControlClsid},
      // The ProgID without its version, as CreateObject is often given it: CurVer names the current.
      {control + "\\VersionIndependentProgID", "", Identity::kControlVersionIndependentProgId},
      {Identity::kControlVersionIndependentProgId, "", Identity::kControlTypeName},
      {std::string(Identity::kControlVersionIndependentProgId) + "\\CLSID", "", Identity::kControlClsid},
      {std::string(Identity::kControlVersionIndependentProgId) + "\\CurVer", "", Identity::kControlProgId},
      {page, "", Identity::kPropPageTypeName},
      {page + "\\InprocServer32", "", library_path},
      {page + "\\InprocServer32", "ThreadingModel", "Apartment"},
  };
}

std::vector<RegistryRow> TypeLibRows(const std::string& library_path, const std::string& folder, bool win64) {
  const std::string library = TypeLibKey();
  char locale[16];
  std::snprintf(locale, sizeof locale, "%x", static_cast<unsigned>(Identity::kTypeLibLocale));
  // FLAGS 8: the library has a disk image (the module's resource), as the system records it.
  return {
      {library, "", Identity::kTypeLibHelp},
      {library + "\\FLAGS", "", "8"},
      {library + "\\HELPDIR", "", folder},
      {library + "\\" + locale + (win64 ? "\\win64" : "\\win32"), "", library_path},
  };
}

std::vector<RegistryRow> InterfaceRows() {
  // Dispatch interfaces are marshalled by the automation marshaller, from the type library.
  constexpr const char* kDispatchMarshaller = "{00020420-0000-0000-C000-000000000046}";
  std::vector<RegistryRow> rows;
  for (const auto& [id, name] : {std::pair{Identity::kDispatchId, Identity::kDispatchName},
                                 std::pair{Identity::kEventsId, Identity::kEventsName}}) {
    const std::string key = std::string("Interface\\") + id;
    rows.push_back({key, "", name});
    rows.push_back({key + "\\ProxyStubClsid", "", kDispatchMarshaller});
    rows.push_back({key + "\\ProxyStubClsid32", "", kDispatchMarshaller});
    rows.push_back({key + "\\TypeLib", "", Identity::kTypeLibId});
    rows.push_back({key + "\\TypeLib", "Version", Identity::kTypeLibVersion});
  }
  return rows;
}

}  // namespace control
