// An enumerator as containers walk them (IEnumConnectionPoints, IEnumConnections): a COM object of
// its own over a copy of the items taken when it was made, so that advising or unadvising meanwhile
// changes nothing it hands out. It holds each item while it lives, hands each out held (the caller
// releases it), and Clone makes an independent one at the same place.
#pragma once

#include <objbase.h>

#include <utility>
#include <vector>

#include "control/com/control_object.h"

namespace control::com {

// `Kind` says what is enumerated: `Interface` and `Item`, `Id()` (the interface's identifier),
// `Hold(Item&)` and `Let(Item&)` (take and give up a reference of what the item names).
template <typename Kind>
class Enumerator final : public Kind::Interface {
 public:
  using Interface = typename Kind::Interface;
  using Item = typename Kind::Item;

  // A new enumerator over `items` (held by it from now on) in *out.
  static HRESULT Make(std::vector<Item> items, Interface** out) {
    if (out == nullptr) return E_POINTER;
    *out = new Enumerator(std::move(items), 0);
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, Kind::Id())) return E_NOINTERFACE;
    *out = static_cast<Interface*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&references_)); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG left = InterlockedDecrement(&references_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }

  // Up to `count` items from the current place, each held for the caller; S_FALSE when fewer were
  // left. `fetched` may be null only when one item is asked for.
  HRESULT STDMETHODCALLTYPE Next(ULONG count, Item* items, ULONG* fetched) override {
    if (items == nullptr) return E_POINTER;
    if (fetched == nullptr && count != 1) return E_INVALIDARG;
    ULONG n = 0;
    for (; n < count && next_ < items_.size(); ++n, ++next_) {
      items[n] = items_[next_];
      Kind::Hold(items[n]);
    }
    if (fetched != nullptr) *fetched = n;
    return n == count ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
    const std::size_t left = items_.size() - next_;
    next_ += count < left ? count : left;
    return count <= left ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Reset() override {
    next_ = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(Interface** out) override {
    if (out == nullptr) return E_POINTER;
    for (Item& item : items_) Kind::Hold(item);  // the clone's own references
    *out = new Enumerator(items_, next_);
    return S_OK;
  }

 private:
  Enumerator(std::vector<Item> items, std::size_t next) : items_(std::move(items)), next_(next) {
    CountObject(1);  // the module's code runs while a client holds one
  }
  ~Enumerator() {
    for (Item& item : items_) Kind::Let(item);
    CountObject(-1);
  }

  LONG references_ = 1;
  std::vector<Item> items_;
  std::size_t next_;
};

struct ConnectionPointsKind {
  using Interface = IEnumConnectionPoints;
  using Item = IConnectionPoint*;
  static const IID& Id() { return IID_IEnumConnectionPoints; }
  static void Hold(Item& point) { point->AddRef(); }
  static void Let(Item& point) { point->Release(); }
};

struct ConnectionsKind {
  using Interface = IEnumConnections;
  using Item = CONNECTDATA;
  static const IID& Id() { return IID_IEnumConnections; }
  static void Hold(Item& connection) { connection.pUnk->AddRef(); }
  static void Let(Item& connection) { connection.pUnk->Release(); }
};

}  // namespace control::com
