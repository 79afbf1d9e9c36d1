// The iCloud key list of a folder.
#include "icloud_lists.h"

#include "folder_object.h"
#include "logs.h"

HRESULT CreateList(CItemsEvents*, IRdoSession*, IRdoUtils*, IRdoFolder*) {
  DebugLog(L"CreateList");
  return S_OK;
}

HRESULT CreateList(CItemsEvents*, IRdoSession*, IRdoUtils*) { return S_OK; }

HRESULT FilliCoundList(CItemsEvents*, IRdoSession*, IRdoUtils*, IRdoItems*) { return S_OK; }
