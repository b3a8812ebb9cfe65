#include "control/com/type_library.h"

#include <oleauto.h>
#include <windows.h>

#include <mutex>

#include "control/com/window_host.h"

namespace control::com {
namespace {

// Controls of several apartments may ask at once; the library itself may be used from any of them.
std::mutex g_mutex;
ITypeLib* g_library = nullptr;  // guarded by g_mutex

}  // namespace

HRESULT ModuleTypeInfo(REFGUID guid, ITypeInfo** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_library == nullptr) {
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(ModuleHandle(), path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return E_FAIL;
    const HRESULT hr = LoadTypeLibEx(path, REGKIND_NONE, &g_library);
    if (FAILED(hr)) {
      g_library = nullptr;
      return hr;
    }
  }
  return g_library->GetTypeInfoOfGuid(guid, out);
}

void ReleaseModuleTypeLibrary() {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_library != nullptr) g_library->Release();
  g_library = nullptr;
}

}  // namespace control::com
