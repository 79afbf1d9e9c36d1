// CSyncEngine: the one engine object of the add-in, created when the add-in
// connects and destroyed when Outlook quits; every other part reaches it
// through g_pSyncEngine.
#pragma once
#include <windows.h>
#include <oleauto.h>

#include <atomic>

#include "com_ptr.h"
#include "variant.h"

class CSyncEngine;

// The one engine; null before the add-in connects and after Quit.
extern CSyncEngine* g_pSyncEngine;
// Set from shutdown on; the engine's threads end on it.
extern std::atomic<bool> g_bShutdown;

// Status numbers shown by the tray.
enum SyncStatusValue : int {
  kStatusIdle = 0,
  kStatusBusy = 1,
  kStatusNoSyncInterface = 3,
  kStatusOffline = 4,
  kStatusStarting = 5,
  kStatusFolderLocked = 6,
};

class CSyncEngine {
 public:
  // Keeps Outlook's "MAPI" namespace and its application, and publishes the
  // debug-log path.
  CSyncEngine(IDispatch* nameSpace, const wchar_t* debugLogPath);
  ~CSyncEngine();
  CSyncEngine(const CSyncEngine&) = delete;
  CSyncEngine& operator=(const CSyncEngine&) = delete;

  // Quit has begun: every thread and folder object is told to stop.
  void InitiateShutdown();

  // The user log, written into the debug-log file while UserLogOn is set.
  void WriteUserLog(const wchar_t* text, bool endLine, bool withTime);
  void UserLog(const wchar_t* text) { WriteUserLog(text, true, true); }
  // Takes over `value` and frees it in every case.
  void UserLogString(const wchar_t* label, BSTR value);

  // Stores a new status unless another thread holds g_csStatus (then the
  // change is dropped).
  void SetSyncStatus(int status);
  int GetSyncStatus() const { return SyncStatus; }
  bool IsReady() const { return SessionReady; }
  void SetReady() { SessionReady = true; }

  // Sets ErrorLogPath and publishes it as the process's error-log path.
  void SetErrorLogPath(const wchar_t* path);

  // Modification times closer than this (seconds) count as equal.
  double TimeTolerance = 5.0;
  // The user-log switch (0 or 1).
  std::atomic<int> UserLogOn{0};
  // Folder of the per-folder state files, ending in a backslash.
  wchar_t DataDir[MAX_PATH] = L"";
  // The add-in's DLL folder, ending in a backslash.
  wchar_t DllDir[MAX_PATH] = L"";
  wchar_t ErrorLogPath[MAX_PATH] = L"";
  // False in Outlook 2000-2002 mode: the session is ready at once.
  bool UseSessionThread = true;
  // Open flags for every wrapper call that opens a folder or message by id.
  com::Variant OpenFlags{528L};
  // The hidden window of the connection object (carries the start timer).
  HWND HiddenWindow = nullptr;
  com::ComPtr<IDispatch> OutlookNameSpace;
  com::ComPtr<IDispatch> OutlookApplication;
  std::atomic<bool> SyncPaused{false};
  std::atomic<bool> ShutdownInitiated{false};

  // ---------------------------------------------------------------------
  // Seam: the MAPI session and the synchronisation state come here next:
  // LockTime, FolderList with GetFolderObject, MapiUtils, RdoSession and
  // SessionThread, DefaultStoreID and DefaultStoreName, ServerTimeDiff,
  // SettingsLoaded, TrayMessage, StatusText, GalCopyOn, GetAccessDeniedText
  // and ShowWrapperNotRegistered; the constructor then goes on from the
  // Outlook version to the wrapper library's objects.
  // ---------------------------------------------------------------------

 private:
  void ReadOutlookVersionMode();

  std::atomic<int> SyncStatus{kStatusIdle};
  std::atomic<bool> SessionReady{false};
};
