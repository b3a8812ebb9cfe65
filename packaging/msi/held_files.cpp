// The installer's own action, carried inside the installer and never installed: after an
// uninstall has removed its files, it removes those that a running program still holds (the relay,
// its dialog, or a script that loaded the control), which cannot be deleted while they are in use.
// Each such file is renamed beside itself, so that its name is free at once for an installation
// made before the restart, and the renamed file, then the folders it leaves empty, are deleted when
// Windows next starts; the uninstall then asks for that restart (3010) and says in its log which
// file waits for it.
// The installer's headers need windows.h before them.
// clang-format off
#include <windows.h>
#include <msi.h>
#include <msiquery.h>
// clang-format on

#include <string>
#include <vector>

namespace {

// The action's data, separated by '|', which no Windows path holds: the installer's upgrade code,
// its product code, then the paths to remove, files before the folders that hold them (a folder's
// path ends in a backslash).
std::vector<std::wstring> Fields(MSIHANDLE install) {
  wchar_t none[1] = L"";
  DWORD size = 0;
  if (MsiGetPropertyW(install, L"CustomActionData", none, &size) != ERROR_MORE_DATA) return {};
  std::wstring data(size + 1, L'\0');
  size += 1;
  if (MsiGetPropertyW(install, L"CustomActionData", data.data(), &size) != ERROR_SUCCESS) return {};
  data.resize(size);
  std::vector<std::wstring> fields;
  for (size_t start = 0; start <= data.size();) {
    size_t end = data.find(L'|', start);
    if (end == std::wstring::npos) end = data.size();
    if (end > start) fields.push_back(data.substr(start, end - start));
    start = end + 1;
  }
  return fields;
}

// Whether another version of this installer is installed: during an upgrade the older version is
// removed after, or while, the newer one puts its files in place, and those files are then the
// newer version's, held or not.
bool AnotherVersionInstalled(const std::wstring& upgrade_code, const std::wstring& product_code) {
  wchar_t product[39];
  for (DWORD i = 0; MsiEnumRelatedProductsW(upgrade_code.c_str(), 0, i, product) == ERROR_SUCCESS; ++i) {
    if (product_code != product) return true;
  }
  return false;
}

// A line in the installer's log (msiexec /l*v).
void Log(MSIHANDLE install, const std::wstring& text) {
  PMSIHANDLE record = MsiCreateRecord(1);
  MsiRecordSetStringW(record, 0, L"[1]");  // the text as it is, brackets and all
  MsiRecordSetStringW(record, 1, text.c_str());
  MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
}

}  // namespace

extern "C" __declspec(dllexport) UINT __stdcall RemoveHeldFiles(MSIHANDLE install) {
  const std::vector<std::wstring> fields = Fields(install);
  if (fields.size() < 2 || AnotherVersionInstalled(fields[0], fields[1])) return ERROR_SUCCESS;
  bool restart = false;
  for (size_t i = 2; i < fields.size(); ++i) {
    const std::wstring& path = fields[i];
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) continue;  // removed already, as files not in use are
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
      // Empty now, or once the held files in it are deleted; one holding files of the user stays.
      if (!RemoveDirectoryW(path.c_str()) && restart)
        MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
      continue;
    }
    if (DeleteFileW(path.c_str())) continue;  // its program ended meanwhile
    std::wstring doomed = path;
    const std::wstring folder = path.substr(0, path.find_last_of(L'\\') + 1);
    wchar_t renamed[MAX_PATH];
    if (GetTempFileNameW(folder.c_str(), L"del", 0, renamed) != 0) {
      if (MoveFileExW(path.c_str(), renamed, MOVEFILE_REPLACE_EXISTING))
        doomed = renamed;
      else
        DeleteFileW(renamed);
    }
    if (MoveFileExW(doomed.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
      restart = true;
      Log(install, path + L" is in use by a running program: it is deleted when Windows restarts" +
                       (doomed != path ? L" (as " + doomed + L")" : L""));
    } else {
      const DWORD error = GetLastError();
      Log(install, path + L" is in use by a running program and could not be removed (error " +
                       std::to_wstring(error) + L")");
    }
  }
  if (restart) MsiSetMode(install, MSIRUNMODE_REBOOTATEND, TRUE);
  return ERROR_SUCCESS;
}
