// The control's connection point for its event interface: the sinks advised on it hear every event
// the control fires. An object of its own, as containers expect: it answers IConnectionPoint and
// nothing of the control's, but its references are its container's, so a client that holds the
// point holds the control alive, and the point lives as long as the control.
#pragma once

#include <objbase.h>
#include <ocidl.h>

#include <vector>

namespace control::com {

class ConnectionPoint final : public IConnectionPoint {
 public:
  ConnectionPoint(IConnectionPointContainer& container, const IID& events)
      : container_(container), events_(events) {}
  ConnectionPoint(const ConnectionPoint&) = delete;
  ConnectionPoint& operator=(const ConnectionPoint&) = delete;
  ~ConnectionPoint();

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return container_.AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return container_.Release(); }
  HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* out) override;
  HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** out) override;
  HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override;
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override;
  HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** out) override;

  bool empty() const { return sinks_.empty(); }
  // Calls every advised sink's handler for event `dispid`, synchronously, in the order they were
  // advised. A handler may advise or unadvise meanwhile: the sinks of this event are held until
  // every one of them has run.
  void Fire(DISPID dispid);

 private:
  struct Sink {
    DWORD cookie;
    IDispatch* handler;
  };
  IConnectionPointContainer& container_;
  const IID events_;
  std::vector<Sink> sinks_;
  DWORD next_cookie_ = 1;
};

}  // namespace control::com
