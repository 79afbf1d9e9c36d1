#include "page_site.h"

#include <commctrl.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "com_object.h"

namespace host {

namespace {

PageFactory g_pageFactory = nullptr;

constexpr wchar_t kSiteClass[] = L"TallowbyPageSite";
constexpr wchar_t kTabPageClass[] = L"TallowbyTabPage";
constexpr wchar_t kFrameClass[] = L"TallowbyOptionsFrame";
constexpr DISPID kDispidOnStatusChange = 0x2100;
constexpr int kApplyButton = 0x3021;
constexpr int kButtonHeight = 23, kButtonWidth = 75, kMargin = 7;

// The site and tab windows paint the dialog colour, also when a page asks
// for their picture with WM_PRINTCLIENT to draw its own background.
LRESULT CALLBACK PlainWindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_PRINTCLIENT || msg == WM_ERASEBKGND) {
    RECT r{};
    GetClientRect(hwnd, &r);
    FillRect(reinterpret_cast<HDC>(wp), &r, GetSysColorBrush(COLOR_BTNFACE));
    return 1;
  }
  if (msg == WM_NOTIFY || msg == WM_COMMAND || msg == WM_CTLCOLORSTATIC || msg == WM_CTLCOLORBTN)
    if (HWND parent = GetParent(hwnd); parent && (GetWindowLongW(hwnd, GWL_STYLE) & WS_CHILD))
      return SendMessageW(parent, msg, wp, lp);
  return DefWindowProcW(hwnd, msg, wp, lp);
}

LRESULT CALLBACK FrameProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  auto* dialog = reinterpret_cast<OptionsDialog*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (msg == WM_NOTIFY && dialog) {
    auto* hdr = reinterpret_cast<NMHDR*>(lp);
    if (hdr->code == TCN_SELCHANGE) dialog->SelectTab(size_t(TabCtrl_GetCurSel(hdr->hwndFrom)));
    return 0;
  }
  if (msg == WM_CLOSE) return 0;  // closed by the host, not by the user
  return PlainWindowProc(hwnd, msg, wp, lp);
}

void RegisterClasses() {
  static const bool done = [] {
    WNDCLASSEXW wc{sizeof wc};
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
    wc.lpfnWndProc = &PlainWindowProc;
    wc.lpszClassName = kSiteClass;
    RegisterClassExW(&wc);
    wc.lpszClassName = kTabPageClass;
    RegisterClassExW(&wc);
    wc.lpfnWndProc = &FrameProc;
    wc.lpszClassName = kFrameClass;
    RegisterClassExW(&wc);
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_TAB_CLASSES | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    return true;
  }();
  (void)done;
}

std::wstring HrText(HRESULT hr) {
  wchar_t buf[16];
  swprintf(buf, 16, L"0x%08lX", static_cast<unsigned long>(hr));
  return buf;
}

}  // namespace

// The COM side of one site.
class PageSiteObject : public IOleClientSite, public IOleInPlaceSite, public IOleControlSite, public PropertyPageSite {
 public:
  PageSiteObject(HWND window, bool pageSite) : window_(window), pageSite_(pageSite) {}

  HRESULT InternalQueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    IUnknown* found = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IOleClientSite)) found = static_cast<IOleClientSite*>(this);
    else if (IsEqualIID(riid, IID_IOleWindow) || IsEqualIID(riid, IID_IOleInPlaceSite)) found = static_cast<IOleInPlaceSite*>(this);
    else if (IsEqualIID(riid, IID_IOleControlSite)) found = static_cast<IOleControlSite*>(this);
    // The ambient properties come through the same IDispatch.
    else if (IsEqualIID(riid, IID_IDispatch) || (pageSite_ && IsEqualIID(riid, IID_PropertyPageSite)))
      found = static_cast<PropertyPageSite*>(this);
    if (!found) return E_NOINTERFACE;
    found->AddRef();
    *ppv = found;
    return S_OK;
  }

  int statusChanges = 0;
  com::ComPtr<PropertyPage> page;  // read back at each OnStatusChange, as Outlook does
  bool lastDirty = false;

  // IOleClientSite
  STDMETHODIMP SaveObject() override { return S_OK; }
  STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker** mk) override { if (mk) *mk = nullptr; return E_NOTIMPL; }
  STDMETHODIMP GetContainer(IOleContainer** c) override { if (c) *c = nullptr; return E_NOINTERFACE; }
  STDMETHODIMP ShowObject() override { return S_OK; }
  STDMETHODIMP OnShowWindow(BOOL) override { return S_OK; }
  STDMETHODIMP RequestNewObjectLayout() override { return E_NOTIMPL; }
  // IOleWindow, IOleInPlaceSite
  STDMETHODIMP GetWindow(HWND* hwnd) override { if (!hwnd) return E_POINTER; *hwnd = window_; return S_OK; }
  STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
  STDMETHODIMP CanInPlaceActivate() override { return S_OK; }
  STDMETHODIMP OnInPlaceActivate() override { return S_OK; }
  STDMETHODIMP OnUIActivate() override { return S_OK; }
  STDMETHODIMP GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** doc, LPRECT pos, LPRECT clip,
                                LPOLEINPLACEFRAMEINFO) override {
    if (frame) *frame = nullptr;
    if (doc) *doc = nullptr;
    RECT r{};
    GetClientRect(window_, &r);
    if (pos) *pos = r;
    if (clip) *clip = r;
    return S_OK;
  }
  STDMETHODIMP Scroll(SIZE) override { return E_NOTIMPL; }
  STDMETHODIMP OnUIDeactivate(BOOL) override { return S_OK; }
  STDMETHODIMP OnInPlaceDeactivate() override { return S_OK; }
  STDMETHODIMP DiscardUndoState() override { return S_OK; }
  STDMETHODIMP DeactivateAndUndo() override { return S_OK; }
  STDMETHODIMP OnPosRectChange(LPCRECT) override { return S_OK; }
  // IOleControlSite
  STDMETHODIMP OnControlInfoChanged() override { return S_OK; }
  STDMETHODIMP LockInPlaceActive(BOOL) override { return S_OK; }
  STDMETHODIMP GetExtendedControl(IDispatch** d) override { if (d) *d = nullptr; return E_NOTIMPL; }
  STDMETHODIMP TransformCoords(POINTL*, POINTF*, DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP TranslateAccelerator(MSG*, DWORD) override { return S_FALSE; }
  STDMETHODIMP OnFocus(BOOL) override { return S_OK; }
  STDMETHODIMP ShowPropertyFrame() override { return E_NOTIMPL; }
  // PropertyPageSite
  STDMETHODIMP get_Application(IDispatch** app) override { if (app) *app = nullptr; return E_NOTIMPL; }
  STDMETHODIMP get_Class(long* cls) override { if (!cls) return E_POINTER; *cls = 69; return S_OK; }
  STDMETHODIMP get_Session(IDispatch** s) override { if (s) *s = nullptr; return E_NOTIMPL; }
  STDMETHODIMP get_Parent(IDispatch** p) override { if (p) *p = nullptr; return E_NOTIMPL; }
  STDMETHODIMP OnStatusChange() override {
    ++statusChanges;
    VARIANT_BOOL dirty = VARIANT_FALSE;
    if (page && SUCCEEDED(page->get_Dirty(&dirty))) lastDirty = dirty != VARIANT_FALSE;
    return S_OK;
  }
  // IDispatch: OnStatusChange by name; no ambient property is set.
  STDMETHODIMP GetTypeInfoCount(UINT* n) override { if (!n) return E_POINTER; *n = 0; return S_OK; }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** ti) override { if (ti) *ti = nullptr; return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    if (!names || !ids || count == 0) return E_POINTER;
    for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
    if (_wcsicmp(names[0], L"OnStatusChange") != 0) return DISP_E_UNKNOWNNAME;
    ids[0] = kDispidOnStatusChange;
    return count == 1 ? S_OK : DISP_E_UNKNOWNNAME;
  }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT* result, EXCEPINFO*, UINT*) override {
    if (result) VariantInit(result);
    return id == kDispidOnStatusChange ? OnStatusChange() : DISP_E_MEMBERNOTFOUND;
  }

 private:
  HWND window_;
  bool pageSite_;
};

// ---- HostedPage ----

HostedPage::HostedPage() = default;
HostedPage::~HostedPage() { Release(); }

void SetPageFactory(PageFactory factory) { g_pageFactory = factory; }

HRESULT HostedPage::Create(const std::wstring& progId, HWND parent, const RECT& rect, bool pageSite) {
  RegisterClasses();
  progId_ = progId;
  HRESULT hr = S_OK;
  if (g_pageFactory) {
    hr = g_pageFactory(progId, control_.Put());
  } else {
    CLSID clsid{};
    hr = CLSIDFromProgID(progId.c_str(), &clsid);
    if (SUCCEEDED(hr))
      hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IOleObject, control_.PutVoid());
  }
  if (FAILED(hr)) return hr;
  site_ = CreateWindowExW(WS_EX_CONTROLPARENT, kSiteClass, L"", WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN, rect.left,
                          rect.top, rect.right - rect.left, rect.bottom - rect.top, parent, nullptr,
                          GetModuleHandleW(nullptr), nullptr);
  if (!site_) return HRESULT_FROM_WIN32(GetLastError());
  com::ComObject<PageSiteObject>* site = nullptr;
  hr = com::ComObject<PageSiteObject>::Create(&site, site_, pageSite);
  if (FAILED(hr)) return hr;
  site->AddRef();
  siteObject_ = site;
  control_->QueryInterface(IID_PropertyPage, site->page.PutVoid());
  hr = control_->SetClientSite(site);
  if (SUCCEEDED(hr)) hr = control_->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, site, 0, site_, &rect);
  return hr;
}

void HostedPage::Release() {
  if (control_) {
    control_->Close(OLECLOSE_NOSAVE);
    control_->SetClientSite(nullptr);
    control_.Reset();
  }
  if (siteObject_) {
    siteObject_->page.Reset();
    static_cast<IOleClientSite*>(siteObject_)->Release();
    siteObject_ = nullptr;
  }
  if (site_) DestroyWindow(site_);
  site_ = nullptr;
}

bool HostedPage::Dirty() const {
  com::ComPtr<PropertyPage> page;
  VARIANT_BOOL dirty = VARIANT_FALSE;
  if (control_ && SUCCEEDED(control_.As(IID_PropertyPage, page.PutVoid()))) page->get_Dirty(&dirty);
  return dirty != VARIANT_FALSE;
}

HRESULT HostedPage::Apply() {
  com::ComPtr<PropertyPage> page;
  HRESULT hr = control_ ? control_.As(IID_PropertyPage, page.PutVoid()) : E_UNEXPECTED;
  return SUCCEEDED(hr) ? page->Apply() : hr;
}

HWND HostedPage::PageWindow() const {
  com::ComPtr<IOleInPlaceObject> inPlace;
  HWND hwnd = nullptr;
  if (control_ && SUCCEEDED(control_.As(IID_IOleInPlaceObject, inPlace.PutVoid()))) inPlace->GetWindow(&hwnd);
  return hwnd;
}

int HostedPage::StatusChanges() const { return siteObject_ ? siteObject_->statusChanges : 0; }

bool HostedPage::TranslateAccelerator(MSG* msg) {
  com::ComPtr<IOleInPlaceActiveObject> active;
  return control_ && SUCCEEDED(control_.As(IID_IOleInPlaceActiveObject, active.PutVoid())) &&
         active->TranslateAccelerator(msg) == S_OK;
}

// ---- OptionsDialog ----

bool OptionsDialog::Open(const std::wstring& title, const std::vector<std::wstring>& progIds,
                         std::vector<std::wstring>* report) {
  Close();
  RegisterClasses();
  HINSTANCE instance = GetModuleHandleW(nullptr);
  constexpr int kPageWidth = 420, kPageHeight = 480, kTabTop = 24;
  const int clientWidth = kPageWidth + 2 * kMargin + 8;
  const int clientHeight = kPageHeight + kTabTop + 3 * kMargin + kButtonHeight + 8;
  RECT frame{0, 0, clientWidth, clientHeight};
  const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_VISIBLE | WS_CLIPCHILDREN;
  AdjustWindowRectEx(&frame, style, FALSE, WS_EX_CONTROLPARENT | WS_EX_DLGMODALFRAME);
  frame_ = CreateWindowExW(WS_EX_CONTROLPARENT | WS_EX_DLGMODALFRAME, kFrameClass, title.c_str(), style, 40, 40,
                           frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr, instance, nullptr);
  if (!frame_) return false;
  SetWindowLongPtrW(frame_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  HFONT font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
  tabs_ = CreateWindowExW(0, WC_TABCONTROLW, L"", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS, kMargin, kMargin,
                          clientWidth - 2 * kMargin, clientHeight - 3 * kMargin - kButtonHeight, frame_, nullptr,
                          instance, nullptr);
  SendMessageW(tabs_, WM_SETFONT, WPARAM(font), TRUE);
  const wchar_t* buttons[] = {L"OK", L"Cancel", L"Apply"};
  const int ids[] = {IDOK, IDCANCEL, kApplyButton};
  for (int i = 0; i < 3; ++i) {
    HWND b = CreateWindowExW(0, L"BUTTON", buttons[i], WS_CHILD | WS_VISIBLE | WS_TABSTOP,
                             clientWidth - (3 - i) * (kButtonWidth + kMargin), clientHeight - kMargin - kButtonHeight,
                             kButtonWidth, kButtonHeight, frame_, reinterpret_cast<HMENU>(INT_PTR(ids[i])), instance,
                             nullptr);
    SendMessageW(b, WM_SETFONT, WPARAM(font), TRUE);
  }
  for (const std::wstring& progId : progIds) {
    TCITEMW item{TCIF_TEXT};
    std::wstring caption = L"Tallowby";
    item.pszText = caption.data();
    TabCtrl_InsertItem(tabs_, int(tabPages_.size()), &item);
    RECT area{0, 0, clientWidth - 2 * kMargin, clientHeight - 3 * kMargin - kButtonHeight};
    TabCtrl_AdjustRect(tabs_, FALSE, &area);
    HWND tabPage = CreateWindowExW(WS_EX_CONTROLPARENT, kTabPageClass, L"", WS_CHILD | WS_CLIPCHILDREN,
                                   kMargin + area.left, kMargin + area.top, area.right - area.left,
                                   area.bottom - area.top, frame_, nullptr, instance, nullptr);
    tabPages_.push_back(tabPage);
    auto page = std::make_unique<HostedPage>();
    RECT siteRect{0, 0, area.right - area.left, area.bottom - area.top};
    HRESULT hr = page->Create(progId, tabPage, siteRect);
    if (FAILED(hr)) report->push_back(L"page " + progId + L" cannot be shown: " + HrText(hr));
    pages_.push_back(std::move(page));
  }
  SelectTab(0);
  UpdateWindow(frame_);
  return true;
}

void OptionsDialog::SelectTab(size_t i) {
  for (size_t k = 0; k < tabPages_.size(); ++k) ShowWindow(tabPages_[k], k == i ? SW_SHOW : SW_HIDE);
  if (tabs_ && i < tabPages_.size()) TabCtrl_SetCurSel(tabs_, int(i));
}

bool OptionsDialog::Apply(std::vector<std::wstring>* report) {
  bool ok = true;
  for (auto& page : pages_) {
    if (!page->Dirty()) continue;
    HRESULT hr = page->Apply();
    report->push_back(L"Apply " + page->ProgId() + L": " + HrText(hr));
    if (hr != S_OK) ok = false;
  }
  return ok;
}

void OptionsDialog::Close() {
  for (auto& page : pages_) page->Release();
  pages_.clear();
  tabPages_.clear();
  if (frame_) DestroyWindow(frame_);
  frame_ = tabs_ = nullptr;
}

std::wstring ArtifactsFolder() {
  wchar_t exe[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, exe, MAX_PATH);
  wchar_t env[MAX_PATH] = {};
  std::filesystem::path dir = GetEnvironmentVariableW(L"TALLOWBY_ARTIFACTS", env, MAX_PATH)
                                  ? std::filesystem::path(env)
                                  : std::filesystem::path(exe).parent_path().parent_path() / L"artifacts";
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  return dir.wstring();
}

bool SaveWindowBitmap(HWND window, const std::wstring& path) {
  RECT r{};
  if (!GetWindowRect(window, &r)) return false;
  const int width = r.right - r.left, height = r.bottom - r.top;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
  SelectObject(memory, old);
  BITMAPINFOHEADER info{sizeof info, width, height, 1, 24, BI_RGB};
  const DWORD row = (DWORD(width) * 3 + 3) & ~3u;
  std::vector<char> bits(size_t(row) * height);
  const int lines = GetDIBits(memory, bitmap, 0, UINT(height), bits.data(), reinterpret_cast<BITMAPINFO*>(&info),
                              DIB_RGB_COLORS);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  if (lines != height) return false;
  BITMAPFILEHEADER file{0x4D42, DWORD(sizeof(BITMAPFILEHEADER) + sizeof info + bits.size()), 0, 0,
                        DWORD(sizeof(BITMAPFILEHEADER) + sizeof info)};
  std::ofstream out(std::filesystem::path(path), std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(&file), sizeof file);
  out.write(reinterpret_cast<const char*>(&info), sizeof info);
  out.write(bits.data(), std::streamsize(bits.size()));
  return bool(out);
}

}  // namespace host
