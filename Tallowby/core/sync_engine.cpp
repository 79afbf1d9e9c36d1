#include "sync_engine.h"

#include <cwchar>

#include "bstr.h"
#include "dispatch.h"
#include "locks.h"
#include "logs.h"

CSyncEngine* g_pSyncEngine = nullptr;
std::atomic<bool> g_bShutdown{false};

CSyncEngine::CSyncEngine(IDispatch* nameSpace, const wchar_t* debugLogPath) {
  g_bShutdown = false;
  SetSyncStatus(kStatusStarting);
  OutlookNameSpace = nameSpace;
  if (nameSpace) {
    com::Variant app;
    if (SUCCEEDED(com::GetProperty(nameSpace, L"Application", app.Put())))
      com::ResultToDispatch(app, OutlookApplication.Put());
  }
  SetDebugLogPath(debugLogPath);
  ReadOutlookVersionMode();
}

CSyncEngine::~CSyncEngine() {
  g_bShutdown = true;
  OutlookNameSpace.Reset();
  OutlookApplication.Reset();
  OpenFlags.Clear();
}

void CSyncEngine::ReadOutlookVersionMode() {
  OpenFlags = com::Variant(528L);
  if (!OutlookApplication) return;  // mode unknown: keep the session thread and 528
  com::Variant version;
  if (FAILED(com::GetProperty(OutlookApplication.Get(), L"Version", version.Put()))) return;
  std::wstring text = version.AsString();
  if (text.starts_with(L"9.") || text.starts_with(L"10.")) {
    UseSessionThread = false;
    DebugLog(L"Using OL2000-OL2002 mode flags");
    OpenFlags = com::Variant(16L);
  }
}

void CSyncEngine::InitiateShutdown() {
  ShutdownInitiated = true;
  DebugLog(L"Shutdown initiated");
  g_bShutdown = true;
}

void CSyncEngine::SetSyncStatus(int status) {
  if (status == SyncStatus || !GlobalLocksLive()) return;
  if (!TryEnterCriticalSection(&g_csStatus)) return;
  SyncStatus = status;
  LeaveCriticalSection(&g_csStatus);
}

void CSyncEngine::SetErrorLogPath(const wchar_t* path) {
  wcsncpy(ErrorLogPath, path ? path : L"", MAX_PATH - 1);
  ErrorLogPath[MAX_PATH - 1] = L'\0';
  ::SetErrorLogPath(ErrorLogPath);
}

void CSyncEngine::WriteUserLog(const wchar_t* text, bool endLine, bool withTime) {
  if (!UserLogOn || !g_bUserLogEnabled) return;
  logfile::Appender file(DebugLogPath());
  if (!file.IsOpen()) return;
  if (withTime) {
    file.Put(logfile::UserDateTime());
    file.Put(L" | ");
  }
  file.Put(text);
  file.Put(endLine ? L"\n" : L" ");
  if (!file.Flush()) g_bUserLogEnabled = false;
}

void CSyncEngine::UserLogString(const wchar_t* label, BSTR value) {
  com::Bstr owned;
  owned.Attach(value);
  if (!label) return;
  WriteUserLog(label, false, true);
  if (!owned.Get()) return;
  if (!owned.Empty())
    WriteUserLog(owned.c_str(), true, false);
  else
    DebugLog(label);
}
