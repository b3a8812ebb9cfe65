#pragma once

#include <objbase.h>

namespace control::com {

// A class factory: one object for every instance of its class.
class ClassFactory : public IClassFactory {
 public:
  using Create = HRESULT (*)(REFIID iid, void** out);
  explicit ClassFactory(Create create) : create_(create) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override;
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

 private:
  Create create_;
};

ClassFactory& ControlFactory();
ClassFactory& PageFactory();

}  // namespace control::com
