// The control as an in-process COM object: automation (IDispatch over the member table, with
// automation's argument conversions and error codes) and its class information. It lives on the
// thread that created it (apartment threading) and polls through that thread's window timers.
#pragma once

#include <objbase.h>
#include <ocidl.h>
#include <windows.h>

#include "control/com/connection_point.h"
#include "control/com/embedding.h"
#include "control/com/window_host.h"
#include "control/control.h"

namespace control::com {

class ControlObject : public IDispatch,
                      public ISupportErrorInfo,
                      public IProvideClassInfo2,
                      public IConnectionPointContainer {
 public:
  ControlObject();
  ControlObject(const ControlObject&) = delete;
  ControlObject& operator=(const ControlObject&) = delete;

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  // IDispatch
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID, ITypeInfo** out) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                   EXCEPINFO* exception, UINT* bad_argument) override;
  // ISupportErrorInfo: a failed call of the dispatch interface leaves its error information.
  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID iid) override;
  // IProvideClassInfo2
  HRESULT STDMETHODCALLTYPE GetClassInfo(ITypeInfo** out) override;
  HRESULT STDMETHODCALLTYPE GetGUID(DWORD kind, GUID* out) override;
  // IConnectionPointContainer: the one connection point, for the event interface.
  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** out) override;
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** out) override;

 private:
  virtual ~ControlObject();
  // Calls every advised sink's handler for event `dispid`, synchronously, on this thread.
  void Fire(int dispid);
  // Runs `call` (which returns a status of the member table) as one call of the control, and
  // reports what the control refused in it as automation reports an error (see Raise).
  template <typename Call>
  HRESULT RunCall(EXCEPINFO* exception, Call call);

  LONG references_ = 1;
  bool told_error_ = false;  // a refusal's error information was set on this (the object's) thread
  ConnectionPoint events_;
  WindowHost host_;
  CZembrinSDKControlCtrl control_;
  Embedding embedding_{*static_cast<IDispatch*>(this), control_};
};

// Objects and server locks alive, for DllCanUnloadNow.
void CountObject(int delta);
bool AnyObjectOrLock();
void LockModule(bool lock);

// The identifiers of the type library, interfaces and classes, as GUIDs.
GUID LibraryId();
GUID DispatchId();
GUID EventsId();
GUID ControlClassId();
GUID PageClassId();

}  // namespace control::com
