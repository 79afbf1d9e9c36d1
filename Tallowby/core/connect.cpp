#include "connect.h"

#include <cwchar>
#include <functional>
#include <iterator>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "addin_module.h"
#include "date_time.h"
#include "dispatch.h"
#include "language.h"
#include "locks.h"
#include "logs.h"
#include "page_requests.h"
#include "registry.h"
#include "settings.h"
#include "sync_engine.h"

LCID g_lcidUi = 0;
IDispatch* g_pComAddIn = nullptr;

namespace {


constexpr com::DispMember kMethods[] = {
    {L"OnConnection", 1}, {L"OnDisconnection", 2}, {L"OnAddInsUpdate", 3},
    {L"OnStartupComplete", 4}, {L"OnBeginShutdown", 5},
};

void ShowStartupError(const wchar_t* step, HRESULT hr) {
  wchar_t text[128];
  swprintf(text, std::size(text), L"error on %ls:%d", step, static_cast<int>(hr));
  MessageBoxW(nullptr, text, L"Error", MB_OK);
}

constexpr HRESULT kPathTooLong = HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);

// Connections that hold the global locks: the first one made them, the last
// one to go deletes them. Locks that were live before any connection (a
// host's own) are no connection's to delete.
int g_lockHolders = 0;

// Shutdowns waiting for their engine's threads (the wait pumps messages),
// and the engine starts of connections made meanwhile, put off until no
// shutdown waits: two engines never live at once, so that neither one's
// shutdown signal ends the other's threads.
int g_shutdownsWaiting = 0;
std::vector<std::function<void()>> g_startsAfterShutdown;

// The folder of the log files (ending in a backslash): the temporary folder,
// or the DLL folder when the system cannot give the temporary folder or a
// log's full path would not fit a path buffer there; empty when it fits
// neither. Paths are never cut. `tempTooLong`: the temporary folder was
// there but too long.
std::wstring LogFolder(const std::wstring& dllFolder, bool* tempTooLong) {
  wchar_t path[MAX_PATH] = {};
  DWORD n = GetTempPathW(MAX_PATH, path);
  const std::wstring temp = n == 0 || n >= MAX_PATH ? std::wstring() : std::wstring(path, n);
  *tempTooLong = n >= MAX_PATH || (!temp.empty() && !LogFilesFitIn(temp));
  if (!temp.empty() && !*tempTooLong) return temp;
  return !dllFolder.empty() && LogFilesFitIn(dllFolder) ? dllFolder : std::wstring();
}

std::wstring LogFilePath(const std::wstring& folder, const wchar_t* name) {
  return folder.empty() ? std::wstring() : folder + name;
}

// Copies a path into a path buffer whole, or leaves the buffer empty.
void CopyPath(wchar_t (&target)[MAX_PATH], const std::wstring& path) {
  if (path.size() >= MAX_PATH) {
    target[0] = L'\0';
    return;
  }
  wmemcpy(target, path.c_str(), path.size() + 1);
}

long ArgAsLong(const com::DispArgs& args, UINT i) {
  const VARIANT* v = args.At(i);
  return v ? com::Variant(*v).AsLong() : 0;
}

}  // namespace

CConnect::CConnect() {
  m_hiddenWindow.CreateHidden();
  ShowTrayWhenConfigured();
}

CConnect::~CConnect() {
  // Last resort: a connection released without Quit or disconnection must
  // leave no window, timer, engine or lock behind.
  Shutdown();
}

void CConnect::ShowTrayWhenConfigured() {
  reg::Key config;
  if (config.Open(HKEY_CURRENT_USER, reg::kConfigPath, KEY_ALL_ACCESS) != ERROR_SUCCESS) return;
  if (!reg::IsOne(config.ReadDword(L"trayicon", reg::DwordType::kMustBeDword)) || m_tray.IsVisible()) return;
  m_tray.SetTooltipText(L"Tallowby");
  m_tray.SetIconId(kIconStarting);
  m_tray.SetVisible(true);
  m_tray.SetTrayTimer(true, kTrayFirstTimerMs);
}

// ---- IDispatch ----

STDMETHODIMP CConnect::GetTypeInfoCount(UINT* n) {
  if (!n) return E_POINTER;
  *n = 0;
  return S_OK;
}

STDMETHODIMP CConnect::GetTypeInfo(UINT, LCID, ITypeInfo** ti) {
  if (ti) *ti = nullptr;
  return E_NOTIMPL;
}

STDMETHODIMP CConnect::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
  return com::IdsOfNames(kMethods, names, count, ids);
}

STDMETHODIMP CConnect::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                              EXCEPINFO*, UINT*) {
  if (!(flags & DISPATCH_METHOD)) return DISP_E_MEMBERNOTFOUND;
  if (result) VariantInit(result);
  com::DispArgs args(params);
  switch (id) {
    case 1:
      if (args.Count() < 3) return DISP_E_BADPARAMCOUNT;
      return OnConnection(args.DispatchAt(0), static_cast<ext_ConnectMode>(ArgAsLong(args, 1)),
                          args.DispatchAt(2), nullptr);
    case 2:
      return OnDisconnection(static_cast<ext_DisconnectMode>(ArgAsLong(args, 0)), nullptr);
    case 3: return OnAddInsUpdate(nullptr);
    case 4: return OnStartupComplete(nullptr);
    case 5: return OnBeginShutdown(nullptr);
    default: return DISP_E_MEMBERNOTFOUND;
  }
}

// ---- _IDTExtensibility2 ----

STDMETHODIMP CConnect::OnConnection(IDispatch* application, ext_ConnectMode, IDispatch* addInInst, SAFEARRAY**) {
  try {
    HoldGlobalLocks();
    m_quitDone = false;
    g_lcidUi = GetUiLanguage();
    // Connected again after Quit (the add-in turned off and on): what Quit
    // took down is set up again, from this connection's objects.
    const bool again = std::exchange(m_connectionEnded, false);
    if (again) {
      ShowTrayWhenConfigured();
      m_pApplication.Reset();
      m_pNameSpace.Reset();
    }

    HRESULT hr = ConnectToOutlook(application, addInInst, again);
    if (FAILED(hr)) return hr;
    hr = AdviseSinks();
    if (FAILED(hr)) return hr;

    const std::wstring dllFolder = GetDllFolder();
    bool tempTooLong = false;
    const std::wstring logFolder = LogFolder(dllFolder, &tempTooLong);
    if (!logFolder.empty()) RotateDebugLogs(logFolder);
    SetDebugLogPath(LogFilePath(logFolder, kDebugLogName).c_str());

    reg::Key config;
    if (config.Open(HKEY_CURRENT_USER, reg::kConfigPath, KEY_READ | KEY_WRITE) == ERROR_SUCCESS)
      g_bDebugLog = reg::IsOne(config.ReadDword(L"debug", reg::DwordType::kAnyType));

    auto start = [this, logFolder, dllFolder, tempTooLong] {
      StartEngine(logFolder);
      if (tempTooLong) LogError(kPathTooLong, L"Temporary folder too long for the log files");
      PrepareDataFolder(dllFolder);
      m_hiddenWindow.StartTimer();
    };
    if (g_shutdownsWaiting == 0) {
      start();
      return S_OK;
    }
    // Another connection's shutdown is waiting for its engine's threads:
    // this connection's engine is made once that one has gone.
    m_startPutOff = true;
    com::ComPtr<IUnknown> keepAlive(GetUnknown());
    g_startsAfterShutdown.push_back([this, keepAlive, start] {
      if (std::exchange(m_startPutOff, false)) start();
    });
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT CConnect::ConnectToOutlook(IDispatch* application, IDispatch* addInInst, bool again) {
  if (!m_pApplication && application)
    application->QueryInterface(IID__Application, m_pApplication.PutVoid());
  if ((again || !g_pComAddIn) && addInInst) {
    IDispatch* fresh = nullptr;
    if (SUCCEEDED(addInInst->QueryInterface(IID_COMAddIn, reinterpret_cast<void**>(&fresh))) && fresh)
      if (IDispatch* stale = std::exchange(g_pComAddIn, fresh)) stale->Release();
  }

  com::Variant nameSpace;
  HRESULT hr = com::CallMethod(m_pApplication.Get(), L"GetNamespace", {com::Variant(L"MAPI")}, nameSpace.Put());
  if (SUCCEEDED(hr)) hr = com::ResultToDispatch(nameSpace, m_pNameSpace.Put());
  if (FAILED(hr)) ShowStartupError(L"GetNamespace", hr);
  return hr;
}

HRESULT CConnect::AdviseSinks() {
  HRESULT hr = m_appSink.IsAdvised() ? E_FAIL : m_appSink.Advise(m_pApplication.Get());
  if (FAILED(hr)) {
    ShowStartupError(L"DispEventAdvise AppEvents", hr);
    return hr;
  }
  // When this one fails the application sink stays advised, so that Quit
  // still arrives and tears down what was built.
  hr = m_nameSpaceSink.IsAdvised() ? E_FAIL : m_nameSpaceSink.Advise(m_pNameSpace.Get());
  if (FAILED(hr)) ShowStartupError(L"DispEventAdvise NamespaceEvents", hr);
  return hr;
}

void CConnect::StartEngine(const std::wstring& logFolder) {
  m_hiddenWindow.CreateHidden();  // gone after an earlier Quit of this object
  auto* engine = new CSyncEngine(m_pNameSpace.Get(), LogFilePath(logFolder, kDebugLogName).c_str());
  g_pSyncEngine = engine;
  m_engine = engine;
  // Armed only for a new engine: a repeated connection that fails must not
  // make the running start timer start the running engine again.
  g_bStartPending = true;
  engine->HiddenWindow = m_hiddenWindow.m_hWnd;

  const std::wstring errorLog = LogFilePath(logFolder, kErrorLogName);
  engine->SetErrorLogPath(errorLog.c_str());
  if (!errorLog.empty()) DeleteFileW(errorLog.c_str());
}

void CConnect::PrepareDataFolder(const std::wstring& dllFolder) {
  CSyncEngine* engine = m_engine;
  wchar_t special[MAX_PATH] = {};
  std::wstring dataDir = dllFolder;
  if (GetSpecialFolderPath(special, false)) {
    const std::wstring own = std::wstring(special) + L"\\Tallowby\\";
    // A folder that does not fit the engine's path buffer counts as
    // unavailable, as when the special folder cannot be had.
    if (own.size() < MAX_PATH) {
      dataDir = own;
      // Tested without changing the process's current directory, which
      // belongs to Outlook.
      if (GetFileAttributesW(dataDir.c_str()) == INVALID_FILE_ATTRIBUTES) CreateDirectoryW(dataDir.c_str(), nullptr);
    } else {
      LogError(kPathTooLong, L"Data folder too long, the DLL folder is used");
    }
  }
  CopyPath(engine->DataDir, dataDir);
  CopyPath(engine->DllDir, dllFolder);
}

STDMETHODIMP CConnect::OnDisconnection(ext_DisconnectMode, SAFEARRAY**) {
  if (m_quitDone) return S_OK;
  // Disconnected without Quit (the user turned the add-in off, or it turned
  // itself off): nothing may stay behind that points at this object.
  com::ComPtr<IUnknown> keepAlive(GetUnknown());
  ShutdownWhenSafe();
  return S_OK;
}

STDMETHODIMP CConnect::OnAddInsUpdate(SAFEARRAY**) { return S_OK; }
STDMETHODIMP CConnect::OnStartupComplete(SAFEARRAY**) { return S_OK; }
STDMETHODIMP CConnect::OnBeginShutdown(SAFEARRAY**) { return S_OK; }

// ---- Outlook events ----

HRESULT CConnect::OnAppOptionsPagesAdd(const com::DispArgs& args) { return OfferGlobalPage(args); }

HRESULT CConnect::OnNameSpaceOptionsPagesAdd(const com::DispArgs& args) {
  return OfferFolderPage(m_pNameSpace.Get(), args);
}

HRESULT CConnect::OnReminder(const com::DispArgs&) { return S_OK; }

HRESULT CConnect::OnQuit(const com::DispArgs&) {
  m_quitDone = true;
  // Outlook quits while this connection's shutdown waits for the engine's
  // threads (the user turned the add-in off, then closed Outlook): the
  // running shutdown finishes the work.
  if (m_shutdownRunning) return S_OK;
  if (CSyncEngine* engine = m_engine) {
    engine->InitiateShutdown();
    if (engine->UserLogOn) {
      engine->UserLog(L"Tallowby shutdown");
      DebugLog(L"Tallowby shutdown");
    }
    StoreQuitTime();
  }
  ShutdownWhenSafe();
  return S_OK;
}

void CConnect::StoreQuitTime() {
  reg::Key config;  // opened, never created: no Config key, no write
  if (config.Open(HKEY_CURRENT_USER, reg::kConfigPath, KEY_ALL_ACCESS) == ERROR_SUCCESS)
    config.WriteDate(L"LastSyncTime", com::DateTime::Now().Date());
}

// Quit or a disconnection may arrive while a folder page's Apply waits in
// Reload for the workers (the wait pumps messages). Reload then still uses
// the engine, its folder objects and the locks, so only the stop of the
// workers happens now; the rest follows once Reload has returned.
void CConnect::ShutdownWhenSafe() {
  if (!ReloadRunning()) {
    Shutdown();
    return;
  }
  if (m_engine && !m_engine->ShutdownInitiated) m_engine->InitiateShutdown();
  if (m_shutdownPending) return;
  m_shutdownPending = true;
  DebugLog(L"Shutdown waits for the running Reload");
  com::ComPtr<IUnknown> keepAlive(GetUnknown());
  RunAfterReload([this, keepAlive] {
    m_shutdownPending = false;
    Shutdown();
  });
}

// The wait for the engine's threads pumps messages, so a Quit or a
// disconnection may arrive inside it: they find the shutdown running and
// leave the rest to it.
void CConnect::Shutdown() {
  if (m_shutdownRunning) return;
  m_shutdownRunning = true;
  m_connectionEnded = true;
  m_startPutOff = false;
  if (m_engine && !m_engine->ShutdownInitiated) m_engine->InitiateShutdown();
  m_hiddenWindow.Destroy();
  if (m_tray.IsVisible()) m_tray.SetVisible(false);
  if (CSyncEngine* engine = m_engine) {
    // A worker in its last pass still reaches the engine through
    // g_pSyncEngine: it is unpublished only once every worker has ended.
    ++g_shutdownsWaiting;
    engine->StopAndJoinThreads();
    --g_shutdownsWaiting;
    if (g_pSyncEngine == engine) g_pSyncEngine = nullptr;
    m_engine = nullptr;
    delete engine;
  }
  ReleasePageFolder();  // while Outlook's objects are still alive
  m_appSink.Unadvise();  // the sinks' references on this object go here
  m_nameSpaceSink.Unadvise();
  ReleaseGlobalLocks();
  m_shutdownRunning = false;
  if (g_shutdownsWaiting == 0)
    for (auto& start : std::exchange(g_startsAfterShutdown, {})) start();
}

void CConnect::HoldGlobalLocks() {
  if (m_holdsLocks) return;
  if (!GlobalLocksLive())
    InitializeGlobalLocks();
  else if (g_lockHolders == 0)
    return;  // made by the host itself
  m_holdsLocks = true;
  ++g_lockHolders;
}

void CConnect::ReleaseGlobalLocks() {
  if (!std::exchange(m_holdsLocks, false)) return;
  if (--g_lockHolders == 0) DeleteGlobalLocks();
}
