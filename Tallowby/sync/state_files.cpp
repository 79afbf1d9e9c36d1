// The per-folder state files.
#include "state_files.h"

#include "folder_object.h"
#include "logs.h"
#include "sync_seams.h"

std::wstring StateFilePath(const CMAPIFolderObject*, const wchar_t*) { return {}; }

HRESULT LoadSynccData(CMAPIFolderObject*, IRdoSession*, IRdoUtils*, com::Bstr* state, bool) {
  DebugLog(L"LoadSynccData from HD=>start");
  if (state) state->Reset();
  return S_OK;
}

HRESULT SaveSyncData(CMAPIFolderObject*, const wchar_t*) { return S_OK; }
HRESULT SaveSyncData(CMAPIFolderObject*) { return S_OK; }
HRESULT SaveCacheTable(CMAPIFolderObject*) { return S_OK; }
HRESULT SaveCache2Table(CMAPIFolderObject*) { return S_OK; }

HRESULT LoadiCloudTable(CMAPIFolderObject*) {
  DebugLog(L"Load iCloud Table");
  return S_OK;
}

HRESULT SaveiCloudTable(CMAPIFolderObject*) { return S_OK; }

HRESULT LoadiCloudDeleteList(CMAPIFolderObject*) {
  DebugLog(L"LoadiCloudDeleteList");
  return S_OK;
}

HRESULT SaveiCloudDeleteList(CMAPIFolderObject*) {
  DebugLog(L"SaveiCloudDeleteList");
  return S_OK;
}

void ResetSyncData(CMAPIFolderObject*) { DebugLog(L"reset syncdata"); }
