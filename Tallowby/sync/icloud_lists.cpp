// The iCloud key list of a folder.
#include "folder_object.h"
#include "logs.h"
#include "sync_seams.h"

HRESULT CreateList(CItemsEvents*, IRdoSession*, IRdoUtils*, IRdoFolder*) {
  DebugLog(L"CreateList");
  return S_OK;
}
