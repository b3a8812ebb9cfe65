#include "control/com/registry_journal.h"

#include "control/com/utf8.h"

namespace control::com {
namespace {

// Only a key the system says is not there: one this user may not open is someone else's to keep.
bool Missing(const std::wstring& key) {
  HKEY handle = nullptr;
  const LSTATUS st = RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_QUERY_VALUE, &handle);
  if (st == ERROR_SUCCESS) RegCloseKey(handle);
  return st == ERROR_FILE_NOT_FOUND;
}

// The first key on the way to `key`, from the root, that does not exist yet; empty when all do.
std::wstring FirstMissing(const std::wstring& key) {
  for (std::size_t end = key.find(L'\\');; end = key.find(L'\\', end + 1)) {
    const std::wstring prefix = key.substr(0, end);
    if (Missing(prefix)) return prefix;
    if (end == std::wstring::npos) return {};
  }
}

}  // namespace

bool RegistryJournal::SetValue(const std::string& key, const std::string& name, const std::string& value) {
  const std::wstring wide_key = Utf16(key);
  const std::wstring wide_name = Utf16(name);
  Entry entry;
  entry.key = FirstMissing(wide_key);
  entry.created = !entry.key.empty();
  if (!entry.created) {
    // The key was there: what its value holds now is what an undo gives it back.
    entry.key = wide_key;
    entry.name = wide_name;
    DWORD size = 0;
    if (RegGetValueW(HKEY_CLASSES_ROOT, wide_key.c_str(), wide_name.c_str(), RRF_RT_ANY | RRF_NOEXPAND,
                     &entry.type, nullptr, &size) == ERROR_SUCCESS) {
      entry.data.resize(size);
      entry.had_value =
          RegGetValueW(HKEY_CLASSES_ROOT, wide_key.c_str(), wide_name.c_str(), RRF_RT_ANY | RRF_NOEXPAND,
                       &entry.type, entry.data.data(), &size) == ERROR_SUCCESS;
      entry.data.resize(size);
    }
  }
  // Noted before the write: a write that fails may have created some of the keys on its way.
  entries_.push_back(std::move(entry));

  HKEY handle = nullptr;
  if (RegCreateKeyExW(HKEY_CLASSES_ROOT, wide_key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &handle,
                      nullptr) != ERROR_SUCCESS)
    return false;
  const std::wstring data = Utf16(value);
  const LSTATUS st = RegSetValueExW(handle, name.empty() ? nullptr : wide_name.c_str(), 0, REG_SZ,
                                    reinterpret_cast<const BYTE*>(data.c_str()),
                                    static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(handle);
  return st == ERROR_SUCCESS;
}

void RegistryJournal::Undo() {
  for (auto it = entries_.rbegin(); it != entries_.rend(); ++it) {
    if (it->created) {
      RegDeleteTreeW(HKEY_CLASSES_ROOT, it->key.c_str());  // the key with all below it
      continue;
    }
    HKEY handle = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, it->key.c_str(), 0, KEY_SET_VALUE, &handle) != ERROR_SUCCESS)
      continue;
    const wchar_t* name = it->name.empty() ? nullptr : it->name.c_str();
    if (it->had_value)
      RegSetValueExW(handle, name, 0, it->type, it->data.data(), static_cast<DWORD>(it->data.size()));
    else
      RegDeleteValueW(handle, name);
    RegCloseKey(handle);
  }
  entries_.clear();
}

}  // namespace control::com
