// The per-folder state files.
#include "folder_object.h"
#include "logs.h"
#include "sync_seams.h"

HRESULT LoadiCloudTable(CMAPIFolderObject*) {
  DebugLog(L"Load iCloud Table");
  return S_OK;
}

HRESULT LoadiCloudDeleteList(CMAPIFolderObject*) {
  DebugLog(L"LoadiCloudDeleteList");
  return S_OK;
}

HRESULT SaveiCloudDeleteList(CMAPIFolderObject*) {
  DebugLog(L"SaveiCloudDeleteList");
  return S_OK;
}

void ResetSyncData(CMAPIFolderObject*) { DebugLog(L"reset syncdata"); }
