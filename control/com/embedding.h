// The control in a container: OLE embedding with in-place activation in a window of its own, where
// it paints the camera picture; the Properties verb and the property page set; persistence of the
// control's version. A face of the control object: its IUnknown is the control's.
#pragma once

#include <objbase.h>
#include <ocidl.h>
#include <oleidl.h>
#include <windows.h>

#include "control/control.h"

namespace control::com {

class Embedding : public IOleObject,
                  public IOleInPlaceObject,
                  public IPersistStreamInit,
                  public ISpecifyPropertyPages {
 public:
  Embedding(IUnknown& owner, CZembrinSDKControlCtrl& control) : owner_(owner), control_(control) {}
  Embedding(const Embedding&) = delete;
  Embedding& operator=(const Embedding&) = delete;
  ~Embedding();

  // The interface asked for, when it is one of this face's; null otherwise.
  void* Find(REFIID iid);
  // The window the control paints in while active in place; null otherwise.
  HWND view() const { return view_; }

  // IUnknown, the owner's.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    return owner_.QueryInterface(iid, out);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return owner_.AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return owner_.Release(); }

  // IOleObject
  HRESULT STDMETHODCALLTYPE SetClientSite(IOleClientSite* site) override;
  HRESULT STDMETHODCALLTYPE GetClientSite(IOleClientSite** out) override;
  HRESULT STDMETHODCALLTYPE SetHostNames(LPCOLESTR, LPCOLESTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Close(DWORD) override;
  HRESULT STDMETHODCALLTYPE SetMoniker(DWORD, IMoniker*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetMoniker(DWORD, DWORD, IMoniker**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE InitFromData(IDataObject*, BOOL, DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetClipboardData(DWORD, IDataObject**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DoVerb(LONG verb, LPMSG, IOleClientSite* site, LONG, HWND parent,
                                   LPCRECT position) override;
  HRESULT STDMETHODCALLTYPE EnumVerbs(IEnumOLEVERB**) override { return OLE_S_USEREG; }
  HRESULT STDMETHODCALLTYPE Update() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE IsUpToDate() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetUserClassID(CLSID* out) override;
  HRESULT STDMETHODCALLTYPE GetUserType(DWORD, LPOLESTR*) override { return OLE_S_USEREG; }
  HRESULT STDMETHODCALLTYPE SetExtent(DWORD aspect, SIZEL* size) override;
  HRESULT STDMETHODCALLTYPE GetExtent(DWORD aspect, SIZEL* size) override;
  HRESULT STDMETHODCALLTYPE Advise(IAdviseSink*, DWORD*) override { return OLE_E_ADVISENOTSUPPORTED; }
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD) override { return OLE_E_NOCONNECTION; }
  HRESULT STDMETHODCALLTYPE EnumAdvise(IEnumSTATDATA**) override { return OLE_E_ADVISENOTSUPPORTED; }
  HRESULT STDMETHODCALLTYPE GetMiscStatus(DWORD aspect, DWORD* status) override;
  HRESULT STDMETHODCALLTYPE SetColorScheme(LOGPALETTE*) override { return E_NOTIMPL; }
  // IOleWindow, IOleInPlaceObject
  HRESULT STDMETHODCALLTYPE GetWindow(HWND* out) override;
  HRESULT STDMETHODCALLTYPE ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE InPlaceDeactivate() override;
  HRESULT STDMETHODCALLTYPE UIDeactivate() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE SetObjectRects(LPCRECT position, LPCRECT clip) override;
  HRESULT STDMETHODCALLTYPE ReactivateAndUndo() override { return E_NOTIMPL; }
  // IPersistStreamInit: the saved state is the control's version (1.0) and its extent.
  HRESULT STDMETHODCALLTYPE GetClassID(CLSID* out) override { return GetUserClassID(out); }
  HRESULT STDMETHODCALLTYPE IsDirty() override { return control_.modified() ? S_OK : S_FALSE; }
  HRESULT STDMETHODCALLTYPE Load(LPSTREAM stream) override;
  HRESULT STDMETHODCALLTYPE Save(LPSTREAM stream, BOOL clear_dirty) override;
  HRESULT STDMETHODCALLTYPE GetSizeMax(ULARGE_INTEGER* size) override;
  HRESULT STDMETHODCALLTYPE InitNew() override { return S_OK; }
  // ISpecifyPropertyPages: the "General" page.
  HRESULT STDMETHODCALLTYPE GetPages(CAUUID* pages) override;

 private:
  HRESULT ActivateInPlace(IOleClientSite* site, HWND parent, LPCRECT position);
  static LRESULT CALLBACK ViewProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

  IUnknown& owner_;
  CZembrinSDKControlCtrl& control_;
  IOleClientSite* site_ = nullptr;
  IOleInPlaceSite* in_place_site_ = nullptr;
  HWND view_ = nullptr;
  SIZEL extent_{4657, 3810};  // 176 x 144 pixels in hundredths of a millimetre at 96 pixels per inch
};

// The property page object, "General": dialog 200 of the module's resources.
HRESULT CreatePropertyPage(REFIID iid, void** out);

}  // namespace control::com
