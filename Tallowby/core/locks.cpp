#include "locks.h"

CRITICAL_SECTION g_csStatus;
CRITICAL_SECTION g_csFolderList;
CRITICAL_SECTION g_csDeleteList;
CRITICAL_SECTION g_csTrayMessage;
CRITICAL_SECTION g_csFolderSync;

namespace {
bool g_locksLive = false;  // changed only on the user-interface thread
}

void InitializeGlobalLocks() {
  if (g_locksLive) return;
  InitializeCriticalSection(&g_csStatus);
  InitializeCriticalSection(&g_csFolderList);
  InitializeCriticalSection(&g_csDeleteList);
  InitializeCriticalSection(&g_csTrayMessage);
  InitializeCriticalSection(&g_csFolderSync);
  g_locksLive = true;
}

void DeleteGlobalLocks() {
  if (!g_locksLive) return;
  DeleteCriticalSection(&g_csFolderList);
  DeleteCriticalSection(&g_csDeleteList);
  DeleteCriticalSection(&g_csTrayMessage);
  DeleteCriticalSection(&g_csStatus);
  DeleteCriticalSection(&g_csFolderSync);
  g_locksLive = false;
}

bool GlobalLocksLive() { return g_locksLive; }
