// The frame of the add-in's option pages: a windowed ActiveX control built
// on a dialog template, which Outlook creates by ProgID, sites, activates in
// place and drives through its PropertyPage interface.
//
// CPropPageCore holds everything the three pages share: the OLE control
// interfaces, the PropertyPage contract (GetPageInfo, Dirty, Apply), the
// dirty flag and its report to Outlook's PropertyPageSite, sizing from the
// dialog template, the themed background, left-to-right layout, centring,
// labels in the user-interface language and help. CPropPage<Own> adds the
// page's own dual interface. A page derives from CPropPage<IItsInterface>,
// gives its CLSID, interface and template to the constructor, handles its
// messages in its own map (chaining to the frame's and reflecting the rest
// to its controls) and overrides Apply.
#pragma once
#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include <initializer_list>

#include "com_object.h"
#include "com_ptr.h"
#include "outlook.h"
#include "variant.h"
#include "window.h"

// MiscStatus of the pages (OLEMISC_RECOMPOSEONRESIZE | CANTLINKINSIDE |
// INSIDEOUT | ACTIVATEWHENVISIBLE | SETCLIENTSITEFIRST).
inline constexpr DWORD kPageMiscStatus = 0x20191;

struct PropPageClass {
  const CLSID* clsid;
  const IID* ownIid;
  UINT dialogId;
};

// Whether the folder pages' themed background runs on this Windows version:
// NT, major above 5 and minor other than 0 (6.1 to 6.3 pass; 6.0 and 10.0 not).
bool FolderPageThemeVersion(DWORD platform, DWORD major, DWORD minor);

// The natural size of a dialog template in HIMETRIC, from its size in dialog
// units and its font; `fallback` when the template is missing or unreadable.
SIZEL DialogTemplateExtent(HINSTANCE module, UINT dialogId, SIZEL fallback);

class CPropPageCore : public PropertyPage,
                      public IOleObject,
                      public IOleInPlaceObject,
                      public IOleInPlaceActiveObject,
                      public IOleControl,
                      public IViewObject2,
                      public IPersistStreamInit,
                      public IPersistStorage,
                      public IQuickActivate,
                      public IDataObject,
                      public IProvideClassInfo2,
                      public ISpecifyPropertyPages,
                      public ISupportErrorInfo,
                      public win::DialogImpl<CPropPageCore> {
 public:
  explicit CPropPageCore(const PropPageClass& cls);
  virtual ~CPropPageCore();

  // Answers every interface of the frame; `own` is the page's own dual interface.
  HRESULT QueryFrame(REFIID riid, void** ppv, IUnknown* own);

  // ---- IDispatch (of PropertyPage and of the page's own interface) ----
  STDMETHODIMP GetTypeInfoCount(UINT* n) override;
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** ti) override;
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override;
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                      UINT*) override;

  // ---- PropertyPage ----
  STDMETHODIMP GetPageInfo(BSTR* helpFile, long* helpContext) override;
  STDMETHODIMP get_Dirty(VARIANT_BOOL* dirty) override;
  // The page's own; the frame's saves nothing.
  STDMETHODIMP Apply() override { return E_NOTIMPL; }

  // ---- IOleObject ----
  STDMETHODIMP SetClientSite(IOleClientSite* site) override;
  STDMETHODIMP GetClientSite(IOleClientSite** site) override;
  STDMETHODIMP SetHostNames(LPCOLESTR, LPCOLESTR) override { return S_OK; }
  STDMETHODIMP Close(DWORD) override;
  STDMETHODIMP SetMoniker(DWORD, IMoniker*) override { return E_NOTIMPL; }
  STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker** mk) override;
  STDMETHODIMP InitFromData(IDataObject*, BOOL, DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP GetClipboardData(DWORD, IDataObject** data) override;
  STDMETHODIMP DoVerb(LONG verb, LPMSG, IOleClientSite*, LONG, HWND, LPCRECT) override;
  STDMETHODIMP EnumVerbs(IEnumOLEVERB** e) override;
  STDMETHODIMP Update() override { return S_OK; }
  STDMETHODIMP IsUpToDate() override { return S_OK; }
  STDMETHODIMP GetUserClassID(CLSID* clsid) override;
  STDMETHODIMP GetUserType(DWORD form, LPOLESTR* type) override;
  STDMETHODIMP SetExtent(DWORD aspect, SIZEL* size) override;
  STDMETHODIMP GetExtent(DWORD aspect, SIZEL* size) override;
  STDMETHODIMP Advise(IAdviseSink* sink, DWORD* cookie) override;
  STDMETHODIMP Unadvise(DWORD cookie) override;
  STDMETHODIMP EnumAdvise(IEnumSTATDATA** e) override;
  STDMETHODIMP GetMiscStatus(DWORD aspect, DWORD* status) override;
  STDMETHODIMP SetColorScheme(LOGPALETTE*) override { return E_NOTIMPL; }

  // ---- IOleWindow, IOleInPlaceObject ----
  STDMETHODIMP GetWindow(HWND* hwnd) override;
  STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
  STDMETHODIMP InPlaceDeactivate() override;
  STDMETHODIMP UIDeactivate() override;
  STDMETHODIMP SetObjectRects(LPCRECT pos, LPCRECT clip) override;
  STDMETHODIMP ReactivateAndUndo() override { return E_NOTIMPL; }

  // ---- IOleInPlaceActiveObject ----
  // Tab and arrow keys move between the page's controls; every other key
  // goes back to the container's own handling.
  STDMETHODIMP TranslateAccelerator(LPMSG msg) override;
  STDMETHODIMP OnFrameWindowActivate(BOOL) override { return S_OK; }
  STDMETHODIMP OnDocWindowActivate(BOOL) override { return S_OK; }
  STDMETHODIMP ResizeBorder(LPCRECT, IOleInPlaceUIWindow*, BOOL) override { return S_OK; }
  STDMETHODIMP EnableModeless(BOOL) override { return S_OK; }

  // ---- IOleControl ----
  STDMETHODIMP GetControlInfo(CONTROLINFO* info) override;
  STDMETHODIMP OnMnemonic(MSG*) override { return E_NOTIMPL; }
  STDMETHODIMP OnAmbientPropertyChange(DISPID) override { return S_OK; }
  STDMETHODIMP FreezeEvents(BOOL) override { return S_OK; }

  // ---- IViewObject2 ----
  STDMETHODIMP Draw(DWORD aspect, LONG, void*, DVTARGETDEVICE*, HDC, HDC hdc, LPCRECTL bounds, LPCRECTL,
                    BOOL(STDMETHODCALLTYPE*)(ULONG_PTR), ULONG_PTR) override;
  STDMETHODIMP GetColorSet(DWORD, LONG, void*, DVTARGETDEVICE*, HDC, LOGPALETTE**) override { return E_NOTIMPL; }
  STDMETHODIMP Freeze(DWORD, LONG, void*, DWORD*) override { return E_NOTIMPL; }
  STDMETHODIMP Unfreeze(DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP SetAdvise(DWORD aspects, DWORD flags, IAdviseSink* sink) override;
  STDMETHODIMP GetAdvise(DWORD* aspects, DWORD* flags, IAdviseSink** sink) override;
  STDMETHODIMP GetExtent(DWORD aspect, LONG, DVTARGETDEVICE*, LPSIZEL size) override;

  // ---- IPersistStreamInit, IPersistStorage (the pages keep no state of their own) ----
  STDMETHODIMP GetClassID(CLSID* clsid) override;
  STDMETHODIMP IsDirty() override { return S_FALSE; }
  STDMETHODIMP Load(LPSTREAM) override { return S_OK; }
  STDMETHODIMP Save(LPSTREAM, BOOL) override { return S_OK; }
  STDMETHODIMP GetSizeMax(ULARGE_INTEGER* size) override;
  STDMETHODIMP InitNew() override { return S_OK; }
  STDMETHODIMP InitNew(IStorage*) override { return S_OK; }
  STDMETHODIMP Load(IStorage*) override { return S_OK; }
  STDMETHODIMP Save(IStorage*, BOOL) override { return S_OK; }
  STDMETHODIMP SaveCompleted(IStorage*) override { return S_OK; }
  STDMETHODIMP HandsOffStorage() override { return S_OK; }

  // ---- IQuickActivate ----
  STDMETHODIMP QuickActivate(QACONTAINER* container, QACONTROL* control) override;
  STDMETHODIMP SetContentExtent(LPSIZEL size) override { return SetExtent(DVASPECT_CONTENT, size); }
  STDMETHODIMP GetContentExtent(LPSIZEL size) override { return GetExtent(DVASPECT_CONTENT, size); }

  // ---- IDataObject (no data to offer) ----
  STDMETHODIMP GetData(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
  STDMETHODIMP GetDataHere(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
  STDMETHODIMP QueryGetData(FORMATETC*) override { return E_NOTIMPL; }
  STDMETHODIMP GetCanonicalFormatEtc(FORMATETC*, FORMATETC*) override { return E_NOTIMPL; }
  STDMETHODIMP SetData(FORMATETC*, STGMEDIUM*, BOOL) override { return E_NOTIMPL; }
  STDMETHODIMP EnumFormatEtc(DWORD, IEnumFORMATETC**) override { return E_NOTIMPL; }
  STDMETHODIMP DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) override { return OLE_E_ADVISENOTSUPPORTED; }
  STDMETHODIMP DUnadvise(DWORD) override { return OLE_E_ADVISENOTSUPPORTED; }
  STDMETHODIMP EnumDAdvise(IEnumSTATDATA**) override { return OLE_E_ADVISENOTSUPPORTED; }

  // ---- IProvideClassInfo2, ISpecifyPropertyPages, ISupportErrorInfo ----
  STDMETHODIMP GetClassInfo(ITypeInfo** info) override;
  STDMETHODIMP GetGUID(DWORD kind, GUID* guid) override;
  STDMETHODIMP GetPages(CAUUID* pages) override;
  STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid) override;

  // ---- The page window ----
  virtual BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult);

  // What the tests may observe.
  bool Themed() const { return m_bThemed != 0; }
  HBRUSH ThemeBrush() const { return m_hThemeBrush; }

 protected:
  // Marks the page changed (true) or clean (false) and tells the page site.
  void SetDirty(bool dirty = true);
  // Lays the page out left to right, also inside a right-to-left Outlook.
  void ClearRightToLeftLayout();
  // Puts string `stringId` in the language `lcid` into control `id`.
  void SetLabel(int id, UINT stringId, LCID lcid);
  // The parent's themed background as the brush of the page's texts.
  // `versionGate`: only on the versions FolderPageThemeVersion passes;
  // `textureTarget`: the window that gets the tab texture.
  void SetupThemeBackground(bool versionGate, HWND textureTarget);
  LRESULT OnCtlColor(UINT msg, WPARAM wp, LPARAM lp, BOOL& handled);
  // Moves every control by one offset so that `reference` stands centred in
  // the width of the page's parent.
  void CenterControls(int reference, std::initializer_list<int> others);
  // Opens the help file named by string 1221 from the add-in's folder.
  LRESULT OnHelpLanguage(LCID lcid);
  void DestroyPageWindow();

  HBRUSH m_hThemeBrush = nullptr;
  BOOL m_bThemed = 0;
  HWND m_hwndThemeParent = nullptr;
  com::Variant m_vDirty;
  com::ComPtr<PropertyPageSite> m_pPageSite;

 private:
  HRESULT InPlaceActivate(LONG verb);

  PropPageClass class_;
  SIZEL extent_;
  SIZEL natural_;
  com::ComPtr<IOleClientSite> clientSite_;
  com::ComPtr<IDispatch> ambient_;
  com::ComPtr<IOleInPlaceSite> inPlaceSite_;
  com::ComPtr<IOleAdviseHolder> adviseHolder_;
  com::ComPtr<IAdviseSink> viewSink_;
  DWORD viewAspects_ = 0, viewFlags_ = 0;
  bool inPlaceActive_ = false;
  bool uiActive_ = false;
};

// A page with its own dual interface `Own` (no members of its own).
template <class Own>
class CPropPage : public CPropPageCore, public Own {
 public:
  explicit CPropPage(const PropPageClass& cls) : CPropPageCore(cls) {}

  HRESULT InternalQueryInterface(REFIID riid, void** ppv) {
    return QueryFrame(riid, ppv, static_cast<Own*>(this));
  }
  STDMETHODIMP GetTypeInfoCount(UINT* n) override { return CPropPageCore::GetTypeInfoCount(n); }
  STDMETHODIMP GetTypeInfo(UINT i, LCID l, ITypeInfo** ti) override { return CPropPageCore::GetTypeInfo(i, l, ti); }
  STDMETHODIMP GetIDsOfNames(REFIID r, LPOLESTR* n, UINT c, LCID l, DISPID* ids) override {
    return CPropPageCore::GetIDsOfNames(r, n, c, l, ids);
  }
  STDMETHODIMP Invoke(DISPID id, REFIID r, LCID l, WORD f, DISPPARAMS* p, VARIANT* v, EXCEPINFO* e,
                      UINT* a) override {
    return CPropPageCore::Invoke(id, r, l, f, p, v, e, a);
  }
};
