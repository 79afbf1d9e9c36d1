// The five process-wide locks. Order of taking: g_csFolderSync, then
// g_csDeleteList, then g_csFolderList; g_csStatus and g_csTrayMessage are
// leaves (nothing is taken while they are held).
#pragma once
#include <windows.h>

extern CRITICAL_SECTION g_csStatus;
extern CRITICAL_SECTION g_csFolderList;
extern CRITICAL_SECTION g_csDeleteList;
extern CRITICAL_SECTION g_csTrayMessage;
extern CRITICAL_SECTION g_csFolderSync;

// Initialises the five locks unless they are live already (a second
// connection before Quit must not initialise live locks again).
void InitializeGlobalLocks();
// Deletes them when they are live.
void DeleteGlobalLocks();
bool GlobalLocksLive();

// Holds a critical section for the lifetime of the object.
class CsLock {
 public:
  explicit CsLock(CRITICAL_SECTION& cs) : cs_(cs) { EnterCriticalSection(&cs_); }
  ~CsLock() { LeaveCriticalSection(&cs_); }
  CsLock(const CsLock&) = delete;
  CsLock& operator=(const CsLock&) = delete;

 private:
  CRITICAL_SECTION& cs_;
};
