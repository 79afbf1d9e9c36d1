// Delete lists and counterpart deletion.
#include "folder_object.h"
#include "logs.h"
#include "sync_seams.h"

namespace {
const wchar_t* NameOf(CMAPIFolderObject* folder) { return folder ? folder->DisplayName.c_str() : L""; }
}  // namespace

HRESULT FillDeleteList(CMAPIFolderObject* folder, IRdoSession*, IRdoUtils*) {
  DebugLogString(L"FillDeleteList(2)4:", NameOf(folder));
  return S_OK;
}

HRESULT FillDeleteList(CMAPIFolderObject* folder) {
  DebugLogString(L"FillDeleteList(0)4:", NameOf(folder));
  return S_OK;
}

HRESULT FillDeleteList(CMAPIFolderObject* folder, IRdoUtils*, IRdoFolder*) {
  DebugLogString(L"FillDeleteList(1)4:", NameOf(folder));
  return S_OK;
}

int deleteItem2(CMAPIFolderObject* folder, IRdoSession*, IRdoUtils*, const wchar_t* syncId) {
  DebugLogString(L"deleteItem2", syncId ? syncId : L"");
  (void)folder;
  return 0;
}

#include "delete_lists.h"

com::ComPtr<IRdoMessage> FindBySearchId(CMAPIFolderObject*, IRdoSession*, IRdoUtils*, const wchar_t*, IRdoFolder*,
                                        HRESULT* lookup) {
  if (lookup) *lookup = S_OK;
  return {};
}

com::ComPtr<IRdoMessage> FindBySearchIdVariant(CMAPIFolderObject*, IRdoSession*, IRdoUtils*, const VARIANT&,
                                               IRdoFolder*, HRESULT* lookup) {
  if (lookup) *lookup = S_OK;
  return {};
}
