// The folder workers: PSTThread for folders outside Exchange, ExchangeThread
// for Exchange folders; the wait for g_csFolderSync with its turn order; and
// the Inspector test.
//
// Outlook's objects belong to its user-interface thread, so a worker never
// calls them: a thread timer on the user-interface thread keeps a copy of
// what the active Inspector shows (OpenedElements), refreshed every second,
// and the workers read that copy. A worker therefore never waits for the
// user-interface thread, which may itself be waiting for the workers to end.
#pragma once
#include <windows.h>

#include <string>

#include "bstr.h"
#include "locks.h"

class CMAPIFolderObject;

unsigned __stdcall PSTThread(void* folderObject);
unsigned __stdcall ExchangeThread(void* folderObject);

// On the user-interface thread before a worker starts: reads the engine
// session's MAPI session object for the worker to attach to.
void PrepareWorkerSession(CMAPIFolderObject* folder);

// Waits for g_csFolderSync, polling with `pauseMs` pauses and letting the
// longest waiter of the same kind go first. False when the folder was told
// to stop meanwhile (the lock was then never entered). `warnEveryMinute`
// writes a debug line after each 61 failed tries.
bool WaitForFolderSync(CMAPIFolderObject* folder, DWORD pauseMs, bool warnEveryMinute);

// Leaves g_csFolderSync (entered by WaitForFolderSync) when it goes.
class FolderSyncHeld {
 public:
  FolderSyncHeld() = default;
  ~FolderSyncHeld() { LeaveCriticalSection(&g_csFolderSync); }
  FolderSyncHeld(const FolderSyncHeld&) = delete;
  FolderSyncHeld& operator=(const FolderSyncHeld&) = delete;
};

// The item open in Outlook's active Inspector: its EntryID and its folder's.
class OpenedElements {
 public:
  // Reads the active Inspector's item from Outlook's application (on the
  // user-interface thread).
  explicit OpenedElements(IDispatch* application);
  OpenedElements() = default;
  com::Bstr GetParentEntryID() const { return ParentEntryID; }
  com::Bstr GetItemEntryID() const { return ItemEntryID; }
  int IsValid() const { return Valid; }

  com::Bstr ItemEntryID;
  com::Bstr ParentEntryID;
  int Valid = 0;
  std::wstring ParentName;  // for the debug log only
};

// The last copy the user-interface thread made.
OpenedElements CurrentOpenedElements();
// Starts and stops the thread timer that keeps the copy (user-interface
// thread; starting twice is harmless).
void StartInspectorWatch();
void StopInspectorWatch();
// Refreshes the copy at once (what the timer does each second).
void RefreshOpenedElements();
