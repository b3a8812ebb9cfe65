// The class factories of the control and of its property page.
#include "control/com/class_factory.h"

#include "control/com/control_object.h"
#include "control/com/embedding.h"

namespace control::com {

HRESULT ClassFactory::QueryInterface(REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IClassFactory)) return E_NOINTERFACE;
  *out = static_cast<IClassFactory*>(this);
  return S_OK;
}

// The factory is not counted: it lives as long as the module, and locks keep the module loaded.
ULONG ClassFactory::AddRef() {
  return 2;
}
ULONG ClassFactory::Release() {
  return 1;
}

HRESULT ClassFactory::CreateInstance(IUnknown* outer, REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (outer != nullptr) return CLASS_E_NOAGGREGATION;
  return create_(iid, out);
}

HRESULT ClassFactory::LockServer(BOOL lock) {
  LockModule(lock != FALSE);
  return S_OK;
}

ClassFactory& ControlFactory() {
  static ClassFactory factory([](REFIID iid, void** out) {
    auto* object = new ControlObject();
    const HRESULT hr = object->QueryInterface(iid, out);
    object->Release();
    return hr;
  });
  return factory;
}

ClassFactory& PageFactory() {
  static ClassFactory factory(&CreatePropertyPage);
  return factory;
}

}  // namespace control::com
