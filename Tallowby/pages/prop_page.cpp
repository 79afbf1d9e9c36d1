#include "prop_page.h"

#include <commctrl.h>
#include <shellapi.h>
#include <uxtheme.h>

#include <string>

#include "addin_module.h"
#include "dispatch.h"
#include "language.h"
#include "res/resource.h"

namespace {

constexpr LONG kDefaultExtent = 5080;  // two inches, in HIMETRIC

constexpr com::DispMember kPageMembers[] = {{L"GetPageInfo", 0x2101}, {L"Dirty", 0x2102}, {L"Apply", 0x2103}};

// Reads a string or ordinal of a dialog template; returns the text (empty
// for an ordinal) and moves `p` past it.
std::wstring ReadTemplateString(const WORD*& p, const WORD* end) {
  if (p >= end) return {};
  if (*p == 0xFFFF) {
    p += 2;
    return {};
  }
  std::wstring s;
  while (p < end && *p) s += wchar_t(*p++);
  ++p;
  return s;
}

// The template font's average character size (dialog base units).
SIZE FontBaseUnits(const std::wstring& face, int points) {
  SIZE units{8, 16};
  HDC dc = GetDC(nullptr);
  if (!dc) return units;
  HFONT font = CreateFontW(-MulDiv(points, GetDeviceCaps(dc, LOGPIXELSY), 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE,
                           FALSE, DEFAULT_CHARSET, 0, 0, 0, 0, face.c_str());
  HGDIOBJ old = font ? SelectObject(dc, font) : nullptr;
  TEXTMETRICW tm{};
  SIZE size{};
  static const wchar_t kAlphabet[] = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  if (GetTextMetricsW(dc, &tm) && GetTextExtentPoint32W(dc, kAlphabet, 52, &size)) {
    units.cx = (size.cx / 26 + 1) / 2;
    units.cy = tm.tmHeight;
  }
  if (old) SelectObject(dc, old);
  if (font) DeleteObject(font);
  ReleaseDC(nullptr, dc);
  return units;
}

}  // namespace

bool FolderPageThemeVersion(DWORD platform, DWORD major, DWORD minor) {
  return platform == VER_PLATFORM_WIN32_NT && major > 5 && minor != 0;
}

SIZEL DialogTemplateExtent(HINSTANCE module, UINT dialogId, SIZEL fallback) {
  HRSRC found = module ? FindResourceW(module, MAKEINTRESOURCEW(dialogId), RT_DIALOG) : nullptr;
  HGLOBAL loaded = found ? LoadResource(module, found) : nullptr;
  const auto* words = loaded ? static_cast<const WORD*>(LockResource(loaded)) : nullptr;
  const DWORD bytes = found ? SizeofResource(module, found) : 0;
  if (!words || bytes < 26) return fallback;
  const WORD* end = words + bytes / sizeof(WORD);

  const bool extended = words[1] == 0xFFFF;
  const int cx = short(words[extended ? 11 : 7]), cy = short(words[extended ? 12 : 8]);
  const DWORD style = extended ? MAKELONG(words[6], words[7]) : MAKELONG(words[0], words[1]);
  std::wstring face = L"MS Shell Dlg";
  int points = 8;
  if (style & DS_SETFONT) {
    const WORD* p = words + (extended ? 13 : 9);
    ReadTemplateString(p, end);  // menu
    ReadTemplateString(p, end);  // class
    ReadTemplateString(p, end);  // title
    if (p < end) points = *p++;
    if (extended) p += 2;  // weight, italic and charset
    if (std::wstring f = ReadTemplateString(p, end); !f.empty()) face = f;
  }
  const SIZE units = FontBaseUnits(face, points);
  HDC dc = GetDC(nullptr);
  const int dpiX = dc ? GetDeviceCaps(dc, LOGPIXELSX) : 96, dpiY = dc ? GetDeviceCaps(dc, LOGPIXELSY) : 96;
  if (dc) ReleaseDC(nullptr, dc);
  const int width = MulDiv(cx, units.cx, 4), height = MulDiv(cy, units.cy, 8);
  return SIZEL{MulDiv(width, 2540, dpiX), MulDiv(height, 2540, dpiY)};
}

CPropPageCore::CPropPageCore(const PropPageClass& cls) : class_(cls) {
  natural_ = DialogTemplateExtent(g_hInstance, cls.dialogId, SIZEL{kDefaultExtent, kDefaultExtent});
  extent_ = natural_;
}

CPropPageCore::~CPropPageCore() {
  // The window goes before anything it might still reach.
  DestroyPageWindow();
  if (m_hThemeBrush) DeleteObject(m_hThemeBrush);
}

void CPropPageCore::DestroyPageWindow() {
  if (m_hWnd) ::DestroyWindow(m_hWnd);
  m_hWnd = nullptr;
}

HRESULT CPropPageCore::QueryFrame(REFIID riid, void** ppv, IUnknown* own) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  IUnknown* found = nullptr;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) || IsEqualIID(riid, IID_PropertyPage))
    found = static_cast<PropertyPage*>(this);
  else if (IsEqualIID(riid, *class_.ownIid)) found = own;
  else if (IsEqualIID(riid, IID_IOleObject)) found = static_cast<IOleObject*>(this);
  else if (IsEqualIID(riid, IID_IOleWindow) || IsEqualIID(riid, IID_IOleInPlaceObject))
    found = static_cast<IOleInPlaceObject*>(this);
  else if (IsEqualIID(riid, IID_IOleInPlaceActiveObject)) found = static_cast<IOleInPlaceActiveObject*>(this);
  else if (IsEqualIID(riid, IID_IOleControl)) found = static_cast<IOleControl*>(this);
  else if (IsEqualIID(riid, IID_IViewObject) || IsEqualIID(riid, IID_IViewObject2))
    found = static_cast<IViewObject2*>(this);
  else if (IsEqualIID(riid, IID_IPersist) || IsEqualIID(riid, IID_IPersistStreamInit))
    found = static_cast<IPersistStreamInit*>(this);
  else if (IsEqualIID(riid, IID_IPersistStorage)) found = static_cast<IPersistStorage*>(this);
  else if (IsEqualIID(riid, IID_IQuickActivate)) found = static_cast<IQuickActivate*>(this);
  else if (IsEqualIID(riid, IID_IDataObject)) found = static_cast<IDataObject*>(this);
  else if (IsEqualIID(riid, IID_IProvideClassInfo) || IsEqualIID(riid, IID_IProvideClassInfo2))
    found = static_cast<IProvideClassInfo2*>(this);
  else if (IsEqualIID(riid, IID_ISpecifyPropertyPages)) found = static_cast<ISpecifyPropertyPages*>(this);
  else if (IsEqualIID(riid, IID_ISupportErrorInfo)) found = static_cast<ISupportErrorInfo*>(this);
  if (!found) return E_NOINTERFACE;
  found->AddRef();
  *ppv = found;
  return S_OK;
}

// ---- IDispatch ----

STDMETHODIMP CPropPageCore::GetTypeInfoCount(UINT* n) {
  if (!n) return E_POINTER;
  *n = 0;
  return S_OK;
}

STDMETHODIMP CPropPageCore::GetTypeInfo(UINT, LCID, ITypeInfo** ti) {
  if (ti) *ti = nullptr;
  return E_NOTIMPL;
}

STDMETHODIMP CPropPageCore::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
  return com::IdsOfNames(kPageMembers, names, count, ids);
}

STDMETHODIMP CPropPageCore::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                                   UINT*) {
  if (result) VariantInit(result);
  switch (id) {
    case 0x2102: {
      if (!(flags & DISPATCH_PROPERTYGET)) return DISP_E_MEMBERNOTFOUND;
      VARIANT_BOOL dirty = VARIANT_FALSE;
      HRESULT hr = get_Dirty(&dirty);
      if (SUCCEEDED(hr) && result) {
        result->vt = VT_BOOL;
        result->boolVal = dirty;
      }
      return hr;
    }
    case 0x2103: return Apply();
    case 0x2101: return E_NOTIMPL;
    default: return DISP_E_MEMBERNOTFOUND;
  }
}

// ---- PropertyPage ----

STDMETHODIMP CPropPageCore::GetPageInfo(BSTR* helpFile, long* helpContext) {
  if (!helpFile || !helpContext) return E_POINTER;
  return E_NOTIMPL;
}

STDMETHODIMP CPropPageCore::get_Dirty(VARIANT_BOOL* dirty) {
  if (!dirty) return E_POINTER;
  *dirty = m_vDirty.vt == VT_BOOL ? m_vDirty.boolVal : VARIANT_FALSE;
  return S_OK;
}

void CPropPageCore::SetDirty(bool dirty) {
  if (m_vDirty.vt != VT_BOOL) {
    m_vDirty.Clear();
    m_vDirty.vt = VT_BOOL;
  }
  m_vDirty.boolVal = dirty ? VARIANT_TRUE : VARIANT_FALSE;
  // A container that gave no page site is not told (rather than crashing it).
  if (m_pPageSite) m_pPageSite->OnStatusChange();
}

// ---- IOleObject ----

STDMETHODIMP CPropPageCore::SetClientSite(IOleClientSite* site) {
  clientSite_ = site;
  ambient_.Reset();
  if (site) {
    site->QueryInterface(IID_IDispatch, ambient_.PutVoid());
    com::ComPtr<PropertyPageSite> pageSite;
    site->QueryInterface(IID_PropertyPageSite, pageSite.PutVoid());
    m_pPageSite = pageSite;
  }
  m_vDirty.Clear();
  m_vDirty.vt = VT_BOOL;
  m_vDirty.boolVal = VARIANT_FALSE;
  return S_OK;
}

STDMETHODIMP CPropPageCore::GetClientSite(IOleClientSite** site) {
  if (!site) return E_POINTER;
  return clientSite_.CopyTo(site);
}

STDMETHODIMP CPropPageCore::Close(DWORD) {
  InPlaceDeactivate();
  if (adviseHolder_) adviseHolder_->SendOnClose();
  return S_OK;
}

STDMETHODIMP CPropPageCore::GetMoniker(DWORD, DWORD, IMoniker** mk) {
  if (mk) *mk = nullptr;
  return E_NOTIMPL;
}

STDMETHODIMP CPropPageCore::GetClipboardData(DWORD, IDataObject** data) {
  if (data) *data = nullptr;
  return E_NOTIMPL;
}

STDMETHODIMP CPropPageCore::DoVerb(LONG verb, LPMSG, IOleClientSite*, LONG, HWND, LPCRECT) {
  switch (verb) {
    case OLEIVERB_PRIMARY:
    case OLEIVERB_SHOW:
    case OLEIVERB_INPLACEACTIVATE:
    case OLEIVERB_UIACTIVATE:
      return InPlaceActivate(verb);
    case OLEIVERB_HIDE:
      if (m_hWnd) ::ShowWindow(m_hWnd, SW_HIDE);
      return S_OK;
    default:
      return verb < 0 ? E_NOTIMPL : OLEOBJ_S_INVALIDVERB;
  }
}

HRESULT CPropPageCore::InPlaceActivate(LONG verb) {
  if (!clientSite_) return E_UNEXPECTED;
  if (!inPlaceActive_) {
    HRESULT hr = clientSite_->QueryInterface(IID_IOleInPlaceSite, inPlaceSite_.PutVoid());
    if (FAILED(hr)) return hr;
    if (inPlaceSite_->CanInPlaceActivate() != S_OK) return E_FAIL;
    inPlaceActive_ = true;
    inPlaceSite_->OnInPlaceActivate();
  }
  HWND parent = nullptr;
  if (FAILED(inPlaceSite_->GetWindow(&parent)) || !parent) return E_FAIL;
  com::ComPtr<IOleInPlaceFrame> frame;
  com::ComPtr<IOleInPlaceUIWindow> document;
  RECT pos{}, clip{};
  OLEINPLACEFRAMEINFO info{sizeof info};
  inPlaceSite_->GetWindowContext(frame.Put(), document.Put(), &pos, &clip, &info);

  if (!m_hWnd) {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_LISTVIEW_CLASSES | ICC_LINK_CLASS};
    InitCommonControlsEx(&controls);
    if (!CreateFromTemplate(parent, g_hInstance, class_.dialogId)) return HRESULT_FROM_WIN32(GetLastError());
  }
  ::SetWindowPos(m_hWnd, nullptr, pos.left, pos.top, pos.right - pos.left, pos.bottom - pos.top,
                 SWP_NOZORDER | SWP_NOACTIVATE | SWP_SHOWWINDOW);
  if ((verb == OLEIVERB_UIACTIVATE || verb == OLEIVERB_PRIMARY) && !uiActive_) {
    uiActive_ = true;
    inPlaceSite_->OnUIActivate();
  }
  clientSite_->ShowObject();
  return S_OK;
}

STDMETHODIMP CPropPageCore::EnumVerbs(IEnumOLEVERB** e) {
  if (e) *e = nullptr;
  return OLEOBJ_E_NOVERBS;
}

STDMETHODIMP CPropPageCore::GetUserClassID(CLSID* clsid) { return GetClassID(clsid); }

STDMETHODIMP CPropPageCore::GetUserType(DWORD form, LPOLESTR* type) {
  return OleRegGetUserType(*class_.clsid, form, type);
}

STDMETHODIMP CPropPageCore::SetExtent(DWORD aspect, SIZEL* size) {
  if (!size) return E_POINTER;
  if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
  extent_ = *size;
  return S_OK;
}

STDMETHODIMP CPropPageCore::GetExtent(DWORD aspect, SIZEL* size) {
  if (!size) return E_POINTER;
  if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
  *size = extent_;
  return S_OK;
}

STDMETHODIMP CPropPageCore::Advise(IAdviseSink* sink, DWORD* cookie) {
  if (!cookie) return E_POINTER;
  if (!adviseHolder_) {
    HRESULT hr = CreateOleAdviseHolder(adviseHolder_.Put());
    if (FAILED(hr)) return hr;
  }
  return adviseHolder_->Advise(sink, cookie);
}

STDMETHODIMP CPropPageCore::Unadvise(DWORD cookie) {
  return adviseHolder_ ? adviseHolder_->Unadvise(cookie) : OLE_E_NOCONNECTION;
}

STDMETHODIMP CPropPageCore::EnumAdvise(IEnumSTATDATA** e) {
  if (!e) return E_POINTER;
  *e = nullptr;
  return adviseHolder_ ? adviseHolder_->EnumAdvise(e) : S_OK;
}

STDMETHODIMP CPropPageCore::GetMiscStatus(DWORD, DWORD* status) {
  if (!status) return E_POINTER;
  *status = kPageMiscStatus;
  return S_OK;
}

// ---- IOleInPlaceObject ----

STDMETHODIMP CPropPageCore::GetWindow(HWND* hwnd) {
  if (!hwnd) return E_POINTER;
  *hwnd = m_hWnd;
  return m_hWnd ? S_OK : E_FAIL;
}

STDMETHODIMP CPropPageCore::InPlaceDeactivate() {
  if (!inPlaceActive_) return S_OK;
  UIDeactivate();
  DestroyPageWindow();
  inPlaceActive_ = false;
  com::ComPtr<IOleInPlaceSite> site = std::move(inPlaceSite_);
  if (site) site->OnInPlaceDeactivate();
  return S_OK;
}

STDMETHODIMP CPropPageCore::UIDeactivate() {
  if (!uiActive_) return S_OK;
  uiActive_ = false;
  if (inPlaceSite_) inPlaceSite_->OnUIDeactivate(FALSE);
  return S_OK;
}

STDMETHODIMP CPropPageCore::SetObjectRects(LPCRECT pos, LPCRECT) {
  if (!pos) return E_POINTER;
  if (m_hWnd)
    ::SetWindowPos(m_hWnd, nullptr, pos->left, pos->top, pos->right - pos->left, pos->bottom - pos->top,
                   SWP_NOZORDER | SWP_NOACTIVATE);
  return S_OK;
}

// ---- IOleInPlaceActiveObject ----

STDMETHODIMP CPropPageCore::TranslateAccelerator(LPMSG msg) {
  if (!msg || !m_hWnd || msg->message != WM_KEYDOWN) return S_FALSE;
  if (msg->hwnd != m_hWnd && !IsChild(m_hWnd, msg->hwnd)) return S_FALSE;
  switch (msg->wParam) {
    case VK_TAB: case VK_LEFT: case VK_RIGHT: case VK_UP: case VK_DOWN:
      return IsDialogMessageW(m_hWnd, msg) ? S_OK : S_FALSE;
    default:
      return S_FALSE;
  }
}

// ---- IOleControl ----

STDMETHODIMP CPropPageCore::GetControlInfo(CONTROLINFO* info) {
  if (!info) return E_POINTER;
  info->hAccel = nullptr;
  info->cAccel = 0;
  info->dwFlags = 0;
  return S_OK;
}

// ---- IViewObject2 ----

STDMETHODIMP CPropPageCore::Draw(DWORD aspect, LONG, void*, DVTARGETDEVICE*, HDC, HDC hdc, LPCRECTL bounds,
                                 LPCRECTL, BOOL(STDMETHODCALLTYPE*)(ULONG_PTR), ULONG_PTR) {
  if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
  if (!hdc || !bounds) return E_INVALIDARG;
  RECT r{bounds->left, bounds->top, bounds->right, bounds->bottom};
  FillRect(hdc, &r, GetSysColorBrush(COLOR_BTNFACE));
  if (m_hWnd) {
    POINT old{};
    SetViewportOrgEx(hdc, r.left, r.top, &old);
    ::SendMessageW(m_hWnd, WM_PRINT, WPARAM(hdc), PRF_CLIENT | PRF_CHILDREN | PRF_NONCLIENT);
    SetViewportOrgEx(hdc, old.x, old.y, nullptr);
  }
  return S_OK;
}

STDMETHODIMP CPropPageCore::SetAdvise(DWORD aspects, DWORD flags, IAdviseSink* sink) {
  viewAspects_ = aspects;
  viewFlags_ = flags;
  viewSink_ = sink;
  return S_OK;
}

STDMETHODIMP CPropPageCore::GetAdvise(DWORD* aspects, DWORD* flags, IAdviseSink** sink) {
  if (aspects) *aspects = viewAspects_;
  if (flags) *flags = viewFlags_;
  if (sink) viewSink_.CopyTo(sink);
  return S_OK;
}

STDMETHODIMP CPropPageCore::GetExtent(DWORD aspect, LONG, DVTARGETDEVICE*, LPSIZEL size) {
  return GetExtent(aspect, size);
}

// ---- IPersist*, IQuickActivate ----

STDMETHODIMP CPropPageCore::GetClassID(CLSID* clsid) {
  if (!clsid) return E_POINTER;
  *clsid = *class_.clsid;
  return S_OK;
}

STDMETHODIMP CPropPageCore::GetSizeMax(ULARGE_INTEGER* size) {
  if (!size) return E_POINTER;
  size->QuadPart = 0;
  return S_OK;
}

STDMETHODIMP CPropPageCore::QuickActivate(QACONTAINER* container, QACONTROL* control) {
  if (!container || !control) return E_POINTER;
  if (container->pClientSite) SetClientSite(container->pClientSite);
  const ULONG size = control->cbSize;
  *control = QACONTROL{};
  control->cbSize = size;
  control->dwMiscStatus = kPageMiscStatus;
  return S_OK;
}

// ---- IProvideClassInfo2, ISpecifyPropertyPages, ISupportErrorInfo ----

STDMETHODIMP CPropPageCore::GetClassInfo(ITypeInfo** info) {
  if (!info) return E_POINTER;
  *info = nullptr;
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(g_hInstance, path, MAX_PATH);
  com::ComPtr<ITypeLib> lib;
  HRESULT hr = LoadTypeLibEx(path, REGKIND_NONE, lib.Put());
  return SUCCEEDED(hr) ? lib->GetTypeInfoOfGuid(*class_.clsid, info) : hr;
}

STDMETHODIMP CPropPageCore::GetGUID(DWORD kind, GUID* guid) {
  if (!guid) return E_POINTER;
  *guid = GUID_NULL;  // the pages raise no events
  return kind == GUIDKIND_DEFAULT_SOURCE_DISP_IID ? S_OK : E_INVALIDARG;
}

STDMETHODIMP CPropPageCore::GetPages(CAUUID* pages) {
  if (!pages) return E_POINTER;
  pages->cElems = 0;
  pages->pElems = nullptr;
  return S_OK;
}

STDMETHODIMP CPropPageCore::InterfaceSupportsErrorInfo(REFIID riid) {
  return IsEqualIID(riid, *class_.ownIid) ? S_OK : S_FALSE;
}

// ---- The page window ----

BOOL CPropPageCore::ProcessWindowMessage(HWND, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult) {
  if (uMsg == WM_CTLCOLORSTATIC || uMsg == WM_CTLCOLORDLG) {
    BOOL handled = TRUE;
    lResult = OnCtlColor(uMsg, wParam, lParam, handled);
    return handled;
  }
  return FALSE;
}

void CPropPageCore::ClearRightToLeftLayout() {
  constexpr LONG_PTR kMask = ~LONG_PTR(WS_EX_LAYOUTRTL | WS_EX_NOINHERITLAYOUT);
  SetWindowLongPtrW(m_hWnd, GWL_EXSTYLE, GetWindowLongPtrW(m_hWnd, GWL_EXSTYLE) & kMask);
  // The controls were created mirrored after the page; they follow it.
  for (HWND child = ::GetWindow(m_hWnd, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT))
    SetWindowLongPtrW(child, GWL_EXSTYLE, GetWindowLongPtrW(child, GWL_EXSTYLE) & kMask);
}

void CPropPageCore::SetLabel(int id, UINT stringId, LCID lcid) {
  SetDlgItemTextW(m_hWnd, id, LoadUiString(stringId, lcid).c_str());
}

void CPropPageCore::SetupThemeBackground(bool versionGate, HWND textureTarget) {
  if (versionGate) {
    OSVERSIONINFOW v{sizeof v};
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (!GetVersionExW(&v) || !FolderPageThemeVersion(v.dwPlatformId, v.dwMajorVersion, v.dwMinorVersion)) return;
#pragma GCC diagnostic pop
  }
  EnableThemeDialogTexture(textureTarget, ETDT_ENABLETAB);
  m_hwndThemeParent = ::GetParent(m_hWnd);
  m_bThemed = IsAppThemed();
  if (m_hThemeBrush) DeleteObject(m_hThemeBrush);
  m_hThemeBrush = nullptr;
  if (!m_bThemed || !m_hwndThemeParent) return;

  RECT r{};
  GetWindowRect(m_hwndThemeParent, &r);
  HDC windowDc = GetWindowDC(m_hwndThemeParent);
  HDC memory = CreateCompatibleDC(windowDc);
  HBITMAP bitmap = CreateCompatibleBitmap(windowDc, r.right - r.left, r.bottom - r.top);
  HGDIOBJ old = SelectObject(memory, bitmap);
  // A parent that does not paint on WM_PRINTCLIENT leaves the dialog colour
  // rather than black under the texts.
  RECT all{0, 0, r.right - r.left, r.bottom - r.top};
  FillRect(memory, &all, GetSysColorBrush(COLOR_BTNFACE));
  ::SendMessageW(m_hwndThemeParent, WM_PRINTCLIENT, WPARAM(memory), PRF_NONCLIENT | PRF_CLIENT | PRF_ERASEBKGND);
  m_hThemeBrush = CreatePatternBrush(bitmap);
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(m_hwndThemeParent, windowDc);
}

LRESULT CPropPageCore::OnCtlColor(UINT, WPARAM wp, LPARAM lp, BOOL&) {
  if (!m_bThemed) return 0;
  HDC dc = reinterpret_cast<HDC>(wp);
  SetBkMode(dc, TRANSPARENT);
  RECT r{};
  GetWindowRect(reinterpret_cast<HWND>(lp), &r);
  MapWindowPoints(nullptr, m_hwndThemeParent, reinterpret_cast<POINT*>(&r), 2);
  SetBrushOrgEx(dc, -r.left, -r.top, nullptr);
  return reinterpret_cast<LRESULT>(m_hThemeBrush);
}

void CPropPageCore::CenterControls(int reference, std::initializer_list<int> others) {
  HWND parent = ::GetParent(m_hWnd);
  HWND ref = GetDlgItem(reference);
  if (!parent || !ref) return;
  RECT p{}, r{};
  GetWindowRect(parent, &p);
  GetWindowRect(ref, &r);
  MapWindowPoints(nullptr, m_hWnd, reinterpret_cast<POINT*>(&r), 2);
  const int offset = (r.left + (p.right - p.left) - r.right) / 2 - r.left;
  auto move = [&](HWND control) {
    if (!control) return;
    RECT c{};
    GetWindowRect(control, &c);
    MapWindowPoints(nullptr, m_hWnd, reinterpret_cast<POINT*>(&c), 2);
    MoveWindow(control, c.left + offset, c.top, c.right - c.left, c.bottom - c.top, TRUE);
  };
  move(ref);
  for (int id : others)
    if (id != reference) move(GetDlgItem(id));
}

LRESULT CPropPageCore::OnHelpLanguage(LCID lcid) {
  std::wstring folder = GetDllFolder();
  std::wstring path = folder + LoadUiString(IDS_HELP_FILE, lcid);
  ShellExecuteW(nullptr, L"open", path.c_str(), nullptr, folder.c_str(), SW_SHOW);
  return TRUE;
}
