// The folder time of a folder object.
#include "folder_object.h"
#include "logs.h"
#include "sync_seams.h"

void FolderTime(CMAPIFolderObject* folder) {
  DebugLogString(L"FolderTime", folder ? folder->DisplayName.c_str() : L"");
}

void saveMasterfoldertime(CMAPIFolderObject* folder) {
  DebugLogString(L"saveMasterfoldertime", folder ? folder->DisplayName.c_str() : L"");
}

#include "folder_time.h"

bool IsFolderUnlocked(CMAPIFolderObject*, IRdoSession*, IRdoUtils*) { return true; }
bool AreMasterFoldersUnlocked(CMAPIFolderObject*, IRdoSession*, IRdoUtils*) { return true; }
bool LockFldr(CMAPIFolderObject*, IRdoSession*, IRdoUtils*, IRdoFolder*) { return true; }
bool IsCommitTimeLocked(DATE, DATE, DWORD) { return false; }
bool IsStoredFolderTimeUsable(DATE, DATE) { return true; }
