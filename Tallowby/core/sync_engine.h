// CSyncEngine: the one engine object of the add-in, created when the add-in
// connects and destroyed when Outlook quits; every other part reaches it
// through g_pSyncEngine.
//
// It holds the Outlook and wrapper-library objects that every part shares,
// the list of folder objects, the switches and paths read at start-up, and
// what the tray shows (status number, status text, one pending balloon).
#pragma once
#include <windows.h>
#include <oleauto.h>

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <string>
#include <vector>

#include "bstr.h"
#include "com_ptr.h"
#include "rdo.h"
#include "store_clocks.h"
#include "variant.h"

class CSyncEngine;
class CMAPIFolderObject;

// The one engine; null before the add-in connects and after Quit.
extern CSyncEngine* g_pSyncEngine;
// Set from shutdown on; the engine's threads end on it and touch the engine
// no more.
extern std::atomic<bool> g_bShutdown;

// Waits up to `ms` of the add-in's clock, ending early when shutdown begins.
// True when shutdown has begun (at once, when it had begun already). Every
// wait of a worker thread goes through here instead of a bare sleep.
bool ShutdownWait(DWORD ms);

// The folder object's side of the folder list, defined with the folder
// object (Tallowby/sync/folder_object.cpp) so that the engine needs no more
// than the forward declaration:
// - FolderObjectRunning: its RunFlag is set.
// - StopFolderObject: clears its RunFlag.
// - DeleteFolderObject: destroys it; its destructor clears RunFlag and waits
//   (pumping messages) until its thread has ended.
bool FolderObjectRunning(const CMAPIFolderObject* folder);
void StopFolderObject(CMAPIFolderObject* folder);
void DeleteFolderObject(CMAPIFolderObject* folder);

// Status numbers shown by the tray.
enum SyncStatusValue : int {
  kStatusIdle = 0,
  kStatusBusy = 1,
  kStatusNoSyncInterface = 3,
  kStatusOffline = 4,
  kStatusStarting = 5,
  kStatusFolderLocked = 6,
};

// Balloon icons of a tray message.
inline constexpr DWORD kTrayInfo = 1;
inline constexpr DWORD kTrayError = 3;

// The wrapper library's ProgIDs.
inline constexpr wchar_t kRdoSessionProgId[] = L"TallowbyRDOx.OLSafeRDOSession";
inline constexpr wchar_t kRdoUtilsProgId[] = L"TallowbyRDOx.OLMAPIUtils";

// Open flags: MAPI_BEST_ACCESS, plus MAPI_NO_CACHE outside Outlook 2000-2002.
inline constexpr long kOpenFlagsBestAccess = 16;
inline constexpr long kOpenFlagsNoCache = 528;

// Creates a wrapper-library object by ProgID, in-process, asking for `iid`.
// Fails (and leaves *out null) when the ProgID is unknown, the creation fails
// or it gives no object.
HRESULT CreateRdoObject(const wchar_t* progId, REFIID iid, void** out);
// Logs a wrapper session on with the profile's defaults: five empty
// arguments and "no mail" VT_BOOL true.
HRESULT LogOnWithDefaults(IRdoSession* session);

class CSyncEngine {
 public:
  // Keeps Outlook's "MAPI" namespace and its application, publishes the
  // debug-log path, chooses the Outlook-version mode, creates the wrapper's
  // utility and session objects and starts the session thread.
  CSyncEngine(IDispatch* nameSpace, const wchar_t* debugLogPath);
  // Stops the session thread, destroys every folder object (each waits for
  // its thread) and releases what the engine holds.
  ~CSyncEngine();
  CSyncEngine(const CSyncEngine&) = delete;
  CSyncEngine& operator=(const CSyncEngine&) = delete;

  // Quit has begun: every thread and running folder object is told to stop.
  void InitiateShutdown();

  // ---- The folder list (guarded by g_csFolderList) ----
  // The object at `index` when its RunFlag is set or includeStopped is true;
  // null at or past the end, or for a stopped object when !includeStopped.
  // Callers walk from 0 and stop at the first null.
  CMAPIFolderObject* GetFolderObject(int index, bool includeStopped);
  // Appends a folder object; the engine owns it from now on.
  void AddFolderObject(CMAPIFolderObject* folder);
  // Removes the object at index 0 (stopped or not) and hands it to the
  // caller, who destroys it outside the lock; null when the list is empty.
  CMAPIFolderObject* TakeFirstFolderObject();
  // Clears the RunFlag of every object in the list.
  void StopAllFolderObjects();

  // ---- What the tray shows ----
  // Stores a new status. Never blocks and never drops a change, so an idle
  // status cannot be lost while another thread reports.
  void SetSyncStatus(int status);
  int GetSyncStatus() const { return SyncStatus; }
  // Replaces the pending balloon message (the newest wins).
  void SetTrayMessage(const wchar_t* title, const wchar_t* text, DWORD level);
  // False when title or text is empty (the message stays); else copies the
  // message out and empties it.
  bool TakeTrayMessage(std::wstring& title, std::wstring& text, DWORD& level);
  // Progress text appended to the tray tooltip; safe from any thread.
  bool SetStatusText(const wchar_t* text);
  bool GetStatusText(std::wstring& text) const;

  // ---- Pauses ----
  // SyncPaused is the user's pause from the tray: every job waits while it
  // is set. A network error in a mailbox folder's run holds the jobs outside
  // Exchange back as well, until that folder's next run gets its changes
  // (the connection is back) or the folder object goes. The two are kept
  // apart: neither ends the other.
  void PauseForNetwork(const CMAPIFolderObject* folder);
  void EndNetworkPause(const CMAPIFolderObject* folder);
  bool NetworkPaused() const { return networkPauses_ > 0; }

  // ---- Flags ----
  bool IsSettingsLoaded() const { return SettingsLoaded; }
  void SetSettingsLoaded(bool loaded) { SettingsLoaded = loaded; }
  bool IsReady() const { return SessionReady; }
  void SetReady() { SessionReady = true; }
  // Whether RdoSession is attached to Outlook's session or logged on; when
  // neither worked, tries again at most every 10 s. User-interface thread.
  bool SessionUsable();

  // For E_ACCESSDENIED: the "No access" text in the user-interface language
  // and true; for anything else false, leaving `text` alone.
  bool GetAccessDeniedText(HRESULT hr, std::wstring& text) const;
  // Reports that the wrapper library is not registered (a box), then turns
  // the add-in off (COMAddIn.Connect = false) once the current call into the
  // add-in has returned. Any thread may call it.
  static void ShowWrapperNotRegistered();

  // ---- The user log, written into the debug-log file while UserLogOn ----
  void WriteUserLog(const wchar_t* text, bool endLine, bool withTime);
  void UserLog(const wchar_t* text) { WriteUserLog(text, true, true); }
  // Takes over `value` and frees it in every case.
  void UserLogString(const wchar_t* label, BSTR value);

  // Sets ErrorLogPath and publishes it as the process's error-log path.
  void SetErrorLogPath(const wchar_t* path);

  // Hands a worker thread's handle to the engine: the destructor waits for
  // the thread (after shutdown has been signalled) and closes the handle.
  void AdoptThread(HANDLE thread);
  // True while the session thread has not ended (for the tests).
  bool SessionThreadRunning() const;
  // Signals shutdown and waits, pumping messages, until every thread of the
  // engine has ended: the session thread, adopted threads and the folder
  // workers, whose objects it destroys. The engine itself stays usable for
  // what is left of the shutdown; the destructor does the same first.
  void StopAndJoinThreads();

  // ---- Fields ----
  // Modification times closer than this (seconds) count as equal.
  double TimeTolerance = 5.0;
  // Folder-lock interval in seconds (set by the settings load).
  std::atomic<DWORD> LockTime{0};
  // Every folder object, masters and default-folder objects; owned by the
  // engine. Guarded by g_csFolderList.
  std::vector<CMAPIFolderObject*> FolderList;
  // The wrapper library's utility object.
  com::ComPtr<IRdoUtils> MapiUtils;
  // The user-log switch (0 or 1).
  std::atomic<int> UserLogOn{0};
  // StoreID (hex) of the store used as default store.
  com::Bstr DefaultStoreID;
  // Folder of the per-folder state files, ending in a backslash.
  wchar_t DataDir[MAX_PATH] = L"";
  // The add-in's DLL folder, ending in a backslash.
  wchar_t DllDir[MAX_PATH] = L"";
  wchar_t ErrorLogPath[MAX_PATH] = L"";
  // False in Outlook 2000-2002 mode: the session is ready at once.
  bool UseSessionThread = true;
  // Open flags (VT_I4) for every wrapper call that opens a folder or message
  // by id.
  com::Variant OpenFlags{kOpenFlagsNoCache};
  // The hidden window of the connection object (carries the start timer).
  HWND HiddenWindow = nullptr;
  com::ComPtr<IDispatch> OutlookNameSpace;
  // The MAPI session of the user-interface thread (folder threads make their
  // own); null when the wrapper gave none, and then the engine never becomes
  // ready.
  com::ComPtr<IRdoSession> RdoSession;
  com::ComPtr<IDispatch> OutlookApplication;
  // The user's pause (the tray's double click); see Pauses above.
  std::atomic<bool> SyncPaused{false};
  // How far each store's clock is from the add-in's (store_clocks.h).
  StoreClocks Clocks;
  std::atomic<bool> ShutdownInitiated{false};
  // Config "syncGAL" = 1 (set by the settings load).
  std::atomic<bool> GalCopyOn{false};
  // Config "defaultStoreName"; empty means the session's default store.
  wchar_t DefaultStoreName[512] = L"";

 private:
  void WriteUserPieces(std::initializer_list<const wchar_t*> pieces, bool endLine, bool withTime);

  struct PendingTrayMessage {
    std::wstring title;
    std::wstring text;
    DWORD level = 0;
  };

  void ReadOutlookVersionMode();
  bool CreateWrapperObjects();
  bool AttachOrLogOn();
  void StartSessionThread();
  void JoinThreads();
  void DeleteFolderObjects();
  static unsigned __stdcall SessionThreadProc(void* engine);
  void SessionThread();
  bool LogOnLoop(IRdoSession* session);
  void ConnectionLoop(IRdoSession* session);
  bool TestOpenInbox(IRdoSession* session);

  std::atomic<int> SyncStatus{kStatusIdle};
  std::atomic<bool> SettingsLoaded{false};
  std::atomic<bool> SessionReady{false};
  PendingTrayMessage TrayMessage;  // guarded by g_csTrayMessage
  mutable std::mutex statusTextLock_;
  std::wstring StatusText;         // guarded by statusTextLock_
  bool sessionUsable_ = false;      // RdoSession attached or logged on
  uint64_t lastLogonTry_ = 0;       // clock ms of its last try
  std::mutex networkPauseLock_;    // a leaf
  std::vector<const CMAPIFolderObject*> networkPausedBy_;  // guarded by networkPauseLock_
  std::atomic<int> networkPauses_{0};
  HANDLE sessionThread_ = nullptr;
  std::vector<HANDLE> threads_;    // adopted worker threads
  std::mutex threadsLock_;
};
