#include "sync_engine.h"

#include <process.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <cwchar>

#include "clock.h"
#include "com_apartment.h"
#include "connect.h"
#include "dispatch.h"
#include "hidden_window.h"
#include "language.h"
#include "locks.h"
#include "logs.h"
#include "res/resource.h"

CSyncEngine* g_pSyncEngine = nullptr;
std::atomic<bool> g_bShutdown{false};

namespace {

constexpr HRESULT kMapiTimeout = static_cast<HRESULT>(0x80040401);
constexpr HRESULT kMapiFailOneProvider = static_cast<HRESULT>(0x8004011D);
constexpr DISPID kDispidMapiObject = 0xF100;
constexpr long kInboxFolder = 6;
constexpr long kModeOnline = 800;
constexpr long kModeOfflineLow = 200;
constexpr long kModeOfflineHigh = 400;
constexpr DWORD kSessionRetryMs = 10000;

// The manual-reset event that shutdown signals; every worker wait ends on it.
class ShutdownSignal {
 public:
  ShutdownSignal() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~ShutdownSignal() { if (event_) CloseHandle(event_); }
  ShutdownSignal(const ShutdownSignal&) = delete;
  ShutdownSignal& operator=(const ShutdownSignal&) = delete;
  HANDLE Get() const { return event_; }

 private:
  HANDLE event_;
};

HANDLE ShutdownEvent() {
  static ShutdownSignal signal;
  return signal.Get();
}

void BeginShutdown() {
  g_bShutdown = true;
  SetEvent(ShutdownEvent());
}

// NameSpace.MAPIOBJECT, read by its DISPID as Outlook's own callers do.
HRESULT ReadMapiObject(IDispatch* nameSpace, com::ComPtr<IUnknown>& out) {
  if (!nameSpace) return E_POINTER;
  DISPPARAMS none{};
  com::Variant result;
  HRESULT hr = nameSpace->Invoke(kDispidMapiObject, IID_NULL, 0x400, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &none,
                                 result.Put(), nullptr, nullptr);
  if (FAILED(hr)) return hr;
  if ((result.vt == VT_UNKNOWN || result.vt == VT_DISPATCH) && result.punkVal) {
    out = result.punkVal;
    return S_OK;
  }
  return E_NOINTERFACE;
}

}  // namespace

bool ShutdownWait(DWORD ms) {
  if (g_bShutdown) return true;
  clk::Wait(ShutdownEvent(), ms);
  return g_bShutdown;
}

HRESULT LogOnWithDefaults(IRdoSession* session) {
  if (!session) return E_POINTER;
  com::Variant empty;
  return session->Logon(empty, empty, empty, empty, empty, com::Variant(true));
}

HRESULT CreateRdoObject(const wchar_t* progId, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  CLSID clsid{};
  HRESULT hr = CLSIDFromProgID(progId, &clsid);
  if (FAILED(hr)) return hr;
  hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, out);
  if (SUCCEEDED(hr) && !*out) hr = E_NOINTERFACE;
  if (FAILED(hr)) *out = nullptr;
  return hr;
}

#if !__has_include("folder_object.h")
// No folder object exists yet in this build, so the list stays empty and
// these are never reached with an object.
bool FolderObjectRunning(const CMAPIFolderObject*) { return false; }
void StopFolderObject(CMAPIFolderObject*) {}
void DeleteFolderObject(CMAPIFolderObject*) {}
#endif

// ---- Construction and destruction ----

CSyncEngine::CSyncEngine(IDispatch* nameSpace, const wchar_t* debugLogPath) {
  g_bShutdown = false;
  ResetEvent(ShutdownEvent());
  SetSyncStatus(kStatusStarting);
  OutlookNameSpace = nameSpace;
  if (nameSpace) {
    com::Variant app;
    if (SUCCEEDED(com::GetProperty(nameSpace, L"Application", app.Put())))
      com::ResultToDispatch(app, OutlookApplication.Put());
  }
  if (debugLogPath && debugLogPath != g_szDebugLogPath) SetDebugLogPath(debugLogPath);
  ReadOutlookVersionMode();
  if (!CreateWrapperObjects()) return;
  sessionUsable_ = AttachOrLogOn();
  lastLogonTry_ = clk::TickMs();
  srand(static_cast<unsigned>(time(nullptr)));
  if (UseSessionThread)
    StartSessionThread();
  else
    SetReady();
}

CSyncEngine::~CSyncEngine() {
  StopAndJoinThreads();
  OutlookNameSpace.Reset();
  OutlookApplication.Reset();
  RdoSession.Reset();
  MapiUtils.Reset();
  OpenFlags.Clear();
  DefaultStoreID.Reset();
}

void CSyncEngine::ReadOutlookVersionMode() {
  OpenFlags = com::Variant(kOpenFlagsNoCache);
  if (!OutlookApplication) return;  // mode unknown: keep the session thread and 528
  com::Variant version;
  if (FAILED(com::GetProperty(OutlookApplication.Get(), L"Version", version.Put()))) return;
  std::wstring text = version.AsString();
  if (text.starts_with(L"9.") || text.starts_with(L"10.")) {
    UseSessionThread = false;
    DebugLog(L"Using OL2000-OL2002 mode flags");
    OpenFlags = com::Variant(kOpenFlagsBestAccess);
  }
}

// The utility object and the session object. Without either the engine
// never becomes ready: nothing may call through a missing object.
bool CSyncEngine::CreateWrapperObjects() {
  if (FAILED(CreateRdoObject(kRdoUtilsProgId, IID_IRdoUtils, MapiUtils.PutVoid()))) {
    ShowWrapperNotRegistered();
    return false;
  }
  HRESULT hr = CreateRdoObject(kRdoSessionProgId, IID_IRdoSession, RdoSession.PutVoid());
  if (FAILED(hr)) {
    LogError(hr, L"no session");
    return false;
  }
  return true;
}

bool CSyncEngine::AttachOrLogOn() {
  com::ComPtr<IUnknown> mapiObject;
  if (SUCCEEDED(ReadMapiObject(OutlookNameSpace.Get(), mapiObject)) &&
      SUCCEEDED(RdoSession->put_MapiSession(mapiObject.Get())))
    return true;
  HRESULT hr = LogOnWithDefaults(RdoSession.Get());
  if (SUCCEEDED(hr)) return true;
  LogError(hr, L"no session");
  return false;
}

// The session thread's own logon proves nothing for this session, which
// the settings load, the pages and the workers' sessions use: while it has
// neither attached nor logged on, it tries again every 10 s, as the session
// thread does, and the synchronisation waits for it.
bool CSyncEngine::SessionUsable() {
  if (sessionUsable_) return true;
  if (!RdoSession || clk::TickMs() - lastLogonTry_ < kSessionRetryMs) return false;
  lastLogonTry_ = clk::TickMs();
  sessionUsable_ = AttachOrLogOn();
  if (!sessionUsable_) {
    DebugLog(L"Try enter Session again in 10s");
    SetSyncStatus(kStatusStarting);
  }
  return sessionUsable_;
}

void CSyncEngine::InitiateShutdown() {
  ShutdownInitiated = true;
  DebugLog(L"Shutdown initiated");
  BeginShutdown();
  for (int i = 0; CMAPIFolderObject* folder = GetFolderObject(i, false); ++i) StopFolderObject(folder);
}

// ---- Threads ----

void CSyncEngine::StartSessionThread() {
  unsigned id = 0;
  uintptr_t h = _beginthreadex(nullptr, 0, &CSyncEngine::SessionThreadProc, this, 0, &id);
  if (h == 0) {
    LogError(HRESULT_FROM_WIN32(GetLastError()), L"no session");
    return;
  }
  sessionThread_ = reinterpret_cast<HANDLE>(h);
}

unsigned __stdcall CSyncEngine::SessionThreadProc(void* engine) {
  static_cast<CSyncEngine*>(engine)->SessionThread();
  return 0;
}

// Waits until a session of its own is logged on and the connection is
// usable, then marks the engine ready. The engine joins this thread before
// it goes, and the thread touches the engine no more once shutdown began.
void CSyncEngine::SessionThread() {
  com::ComApartment apartment;
  com::ComPtr<IRdoSession> session;
  if (FAILED(CreateRdoObject(kRdoSessionProgId, IID_IRdoSession, session.PutVoid()))) {
    LogError(0, L"no session Interface");
    return;  // never ready: there is no session to synchronise with
  }
  if (LogOnLoop(session.Get())) ConnectionLoop(session.Get());
  DebugLog(L"Mission Possible");
  if (!g_bShutdown) SetReady();
}

// True once logged on; false when shutdown began first.
bool CSyncEngine::LogOnLoop(IRdoSession* session) {
  for (;;) {
    if (g_bShutdown) return false;
    HRESULT hr = LogOnWithDefaults(session);
    if (SUCCEEDED(hr)) return true;
    LogError(hr, hr == kMapiTimeout ? L"session Connectiontimeout" : L"no session");
    DebugLog(L"Try enter Session again in 10s");
    if (!g_bShutdown) SetSyncStatus(kStatusStarting);
    ShutdownWait(kSessionRetryMs);
  }
}

void CSyncEngine::ConnectionLoop(IRdoSession* session) {
  while (!g_bShutdown) {
    long mode = 0;
    session->get_ConnectionMode(&mode);
    if (mode == kModeOnline) return;
    if (mode >= kModeOfflineLow && mode <= kModeOfflineHigh) {
      DebugLog(L"Offline|Disconnected|CachedOffline|CachedDisconnected");
      if (!g_bShutdown) SetSyncStatus(kStatusOffline);
    } else if (TestOpenInbox(session)) {
      DebugLog(L"safe2init");
      return;
    } else if (!g_bShutdown) {
      SetSyncStatus(kStatusOffline);
    }
    ShutdownWait(kSessionRetryMs);
    DebugLog(L"Waiting for Init...");
  }
}

// Opens the Inbox again by its ids, as the synchronisation will open
// folders: proof that the store answers.
bool CSyncEngine::TestOpenInbox(IRdoSession* session) {
  com::Bstr storeId, entryId;
  HRESULT hr;
  {
    com::ComPtr<IRdoFolder> inbox;
    hr = session->GetDefaultFolder(kInboxFolder, inbox.Put());
    if (SUCCEEDED(hr) && !inbox) hr = E_FAIL;
    if (SUCCEEDED(hr)) hr = inbox->get_StoreID(storeId.Put());
    if (SUCCEEDED(hr)) hr = inbox->get_EntryID(entryId.Put());
  }
  if (SUCCEEDED(hr)) {
    com::ComPtr<IRdoFolder> again;
    hr = session->GetFolderById(entryId, com::Variant(storeId.c_str()), com::Variant(kOpenFlagsNoCache), again.Put());
    if (SUCCEEDED(hr) && !again) hr = E_FAIL;
  }
  if (hr == kMapiFailOneProvider) LogError(hr, L"Server is not available (or user not logged in)");
  return SUCCEEDED(hr);
}

void CSyncEngine::StopAndJoinThreads() {
  BeginShutdown();
  JoinThreads();
  DeleteFolderObjects();
}

void CSyncEngine::AdoptThread(HANDLE thread) {
  if (!thread) return;
  std::lock_guard<std::mutex> lock(threadsLock_);
  threads_.push_back(thread);
}

bool CSyncEngine::SessionThreadRunning() const {
  return sessionThread_ && WaitForSingleObject(sessionThread_, 0) == WAIT_TIMEOUT;
}

// Waits, pumping messages, for every thread the engine owns; shutdown has
// been signalled, so each ends at its next check.
void CSyncEngine::JoinThreads() {
  std::vector<HANDLE> threads;
  {
    std::lock_guard<std::mutex> lock(threadsLock_);
    threads.swap(threads_);
  }
  if (sessionThread_) threads.push_back(std::exchange(sessionThread_, nullptr));
  for (HANDLE h : threads) {
    clk::WaitPumping(h, INFINITE);
    CloseHandle(h);
  }
}

// ---- The folder list ----

CMAPIFolderObject* CSyncEngine::GetFolderObject(int index, bool includeStopped) {
  if (index < 0) return nullptr;
  CsLock lock(g_csFolderList);
  if (static_cast<size_t>(index) >= FolderList.size()) return nullptr;
  CMAPIFolderObject* folder = FolderList[index];
  return includeStopped || FolderObjectRunning(folder) ? folder : nullptr;
}

void CSyncEngine::AddFolderObject(CMAPIFolderObject* folder) {
  if (!folder) return;
  CsLock lock(g_csFolderList);
  FolderList.push_back(folder);
}

CMAPIFolderObject* CSyncEngine::TakeFirstFolderObject() {
  CsLock lock(g_csFolderList);
  if (FolderList.empty()) return nullptr;
  CMAPIFolderObject* folder = FolderList.front();
  FolderList.erase(FolderList.begin());
  return folder;
}

void CSyncEngine::StopAllFolderObjects() {
  CsLock lock(g_csFolderList);
  for (CMAPIFolderObject* folder : FolderList) StopFolderObject(folder);
}

// Each object is destroyed outside the lock: its destructor waits for its
// thread, which itself walks the list.
void CSyncEngine::DeleteFolderObjects() {
  if (!GlobalLocksLive()) return;
  while (CMAPIFolderObject* folder = TakeFirstFolderObject()) DeleteFolderObject(folder);
  CsLock lock(g_csFolderList);
  FolderList.clear();
  FolderList.shrink_to_fit();
}

// ---- Pauses ----

void CSyncEngine::PauseForNetwork(const CMAPIFolderObject* folder) {
  std::lock_guard<std::mutex> lock(networkPauseLock_);
  if (std::find(networkPausedBy_.begin(), networkPausedBy_.end(), folder) == networkPausedBy_.end())
    networkPausedBy_.push_back(folder);
  networkPauses_ = int(networkPausedBy_.size());
}

void CSyncEngine::EndNetworkPause(const CMAPIFolderObject* folder) {
  if (!networkPauses_) return;
  std::lock_guard<std::mutex> lock(networkPauseLock_);
  std::erase(networkPausedBy_, folder);
  networkPauses_ = int(networkPausedBy_.size());
}

// ---- What the tray shows ----

void CSyncEngine::SetSyncStatus(int status) { SyncStatus = status; }

void CSyncEngine::SetTrayMessage(const wchar_t* title, const wchar_t* text, DWORD level) {
  CsLock lock(g_csTrayMessage);
  TrayMessage.title = title ? title : L"";
  TrayMessage.text = text ? text : L"";
  TrayMessage.level = level;
}

bool CSyncEngine::TakeTrayMessage(std::wstring& title, std::wstring& text, DWORD& level) {
  CsLock lock(g_csTrayMessage);
  if (TrayMessage.title.empty() || TrayMessage.text.empty()) return false;
  title = std::exchange(TrayMessage.title, std::wstring());
  text = std::exchange(TrayMessage.text, std::wstring());
  level = std::exchange(TrayMessage.level, 0);
  return true;
}

bool CSyncEngine::SetStatusText(const wchar_t* text) {
  std::lock_guard<std::mutex> lock(statusTextLock_);
  StatusText = text ? text : L"";
  return true;
}

bool CSyncEngine::GetStatusText(std::wstring& text) const {
  std::lock_guard<std::mutex> lock(statusTextLock_);
  text = StatusText;
  return true;
}

bool CSyncEngine::GetAccessDeniedText(HRESULT hr, std::wstring& text) const {
  if (hr != E_ACCESSDENIED) return false;
  text = LoadUiString(IDS_NO_ACCESS, g_lcidUi);
  return true;
}

void CSyncEngine::ShowWrapperNotRegistered() {
  LogError(0, L"OLSaveDll may be not registered");
  const std::wstring caption = LoadUiString(IDS_WRAPPER_NOT_REGISTERED, g_lcidUi);
  const std::wstring text = LoadUiString(IDS_PRODUCT_NAME, g_lcidUi);
  // The product name is the text and the sentence the title, as users know
  // the box.
  MessageBoxW(nullptr, text.c_str(), caption.c_str(), MB_OK);
  RequestAddInDisconnect();
}

// ---- Logs ----

void CSyncEngine::SetErrorLogPath(const wchar_t* path) {
  ::SetErrorLogPath(path);  // whole, or no path at all when it does not fit
  const std::wstring published = ::ErrorLogPath();
  wmemcpy(ErrorLogPath, published.c_str(), published.size() + 1);
}

void CSyncEngine::WriteUserLog(const wchar_t* text, bool endLine, bool withTime) {
  WriteUserPieces({text}, endLine, withTime);
}

// One open and one write of the file for all pieces, so that another thread's
// line can never come between them.
void CSyncEngine::WriteUserPieces(std::initializer_list<const wchar_t*> pieces, bool endLine, bool withTime) {
  if (!UserLogOn || !g_bUserLogEnabled) return;
  logfile::Appender file(DebugLogPath());
  if (!file.IsOpen()) return;
  if (withTime) {
    file.Put(logfile::UserDateTime());
    file.Put(L" | ");
  }
  for (const wchar_t* piece : pieces) file.Put(piece);
  file.Put(endLine ? L"\n" : L" ");
  if (!file.Flush()) g_bUserLogEnabled = false;
}

void CSyncEngine::UserLogString(const wchar_t* label, BSTR value) {
  com::Bstr owned;
  owned.Attach(value);
  if (!label) return;
  if (owned.Get() && !owned.Empty()) {
    // The label with the time, a blank and the value, as one line.
    WriteUserPieces({label, L" ", owned.c_str()}, true, true);
    return;
  }
  WriteUserLog(label, false, true);
  if (owned.Get()) DebugLog(label);
}
