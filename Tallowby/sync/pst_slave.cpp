// Slave-to-master processing. Until it is built, items of a default folder
// flow nowhere and a newer copy is left as it is; a one-way job already
// answers as it always will.
#include "pst_slave.h"

#include "folder_object.h"
#include "logs.h"

BYTE PSTprocessItemInDefaultFolder(CItemsEvents* sink, IRdoSession*, IRdoUtils*, const std::wstring& syncId, DATE,
                                   const std::vector<std::wstring>&) {
  if (sink && sink->ExchangeMode) return 1;
  DebugLogString(L"PSTprocessItemInDefaultFolder", syncId.c_str());
  return 0;
}

HRESULT CopyDefault2Master(CItemsEvents* sink, IRdoSession*, IRdoUtils*, const std::wstring& syncId,
                           CMAPIFolderObject* master, CMAPIFolderObject* defaultFolder) {
  if (!sink || sink->ExchangeMode) {
    LogError(0, L"!EXCH");
    return E_FAIL;
  }
  if (!master || !defaultFolder || !master->RunFlag || !defaultFolder->RunFlag) return E_FAIL;
  if (!master->Events || !master->Events->BOTH_DIRECTIONS) {
    DebugLog(L"Item detected, but BOTH_DIRECTIONS not activated");
    return 0;
  }
  DebugLogString(L"CopyDefault2Master", syncId.c_str());
  return S_OK;
}
