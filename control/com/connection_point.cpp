#include "control/com/connection_point.h"

#include <oleauto.h>
#include <olectl.h>

#include "control/com/enumerator.h"

namespace control::com {

ConnectionPoint::~ConnectionPoint() {
  for (const Sink& s : sinks_) s.handler->Release();
}

HRESULT ConnectionPoint::QueryInterface(REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IConnectionPoint)) return E_NOINTERFACE;
  *out = static_cast<IConnectionPoint*>(this);
  AddRef();
  return S_OK;
}

HRESULT ConnectionPoint::GetConnectionInterface(IID* out) {
  if (out == nullptr) return E_POINTER;
  *out = events_;
  return S_OK;
}

HRESULT ConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** out) {
  if (out == nullptr) return E_POINTER;
  *out = &container_;
  container_.AddRef();
  return S_OK;
}

HRESULT ConnectionPoint::Advise(IUnknown* sink, DWORD* cookie) {
  if (sink == nullptr || cookie == nullptr) return E_POINTER;
  *cookie = 0;
  // The sink implements the event interface, which is a dispatch interface: its IDispatch.
  IDispatch* handler = nullptr;
  if (FAILED(sink->QueryInterface(events_, reinterpret_cast<void**>(&handler))) &&
      FAILED(sink->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&handler))))
    return CONNECT_E_CANNOTCONNECT;
  *cookie = next_cookie_++;
  sinks_.push_back({*cookie, handler});
  return S_OK;
}

HRESULT ConnectionPoint::Unadvise(DWORD cookie) {
  for (auto it = sinks_.begin(); it != sinks_.end(); ++it) {
    if (it->cookie != cookie) continue;
    IDispatch* handler = it->handler;
    sinks_.erase(it);
    handler->Release();
    return S_OK;
  }
  return CONNECT_E_NOCONNECTION;
}

HRESULT ConnectionPoint::EnumConnections(IEnumConnections** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  std::vector<CONNECTDATA> connections;
  for (const Sink& s : sinks_) {
    connections.push_back({s.handler, s.cookie});
    s.handler->AddRef();  // the enumerator's
  }
  return Enumerator<ConnectionsKind>::Make(std::move(connections), out);
}

void ConnectionPoint::Fire(DISPID dispid) {
  std::vector<Sink> sinks = sinks_;
  for (const Sink& s : sinks) s.handler->AddRef();
  DISPPARAMS none{};
  for (const Sink& s : sinks) {
    VARIANT ignored;
    VariantInit(&ignored);
    s.handler->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, &ignored, nullptr,
                      nullptr);
    VariantClear(&ignored);
  }
  for (const Sink& s : sinks) s.handler->Release();
}

}  // namespace control::com
