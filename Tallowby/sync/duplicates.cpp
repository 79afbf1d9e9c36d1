// Repair of items that share a sync id.
#include "duplicates.h"

#include "folder_object.h"

HRESULT ChangeSyncIDFromDuplicatedItem(CItemsEvents*, IRdoSession*, IRdoUtils*, const wchar_t*, BYTE* changed,
                                       com::Bstr*, com::Bstr*) {
  if (changed) *changed = 0;
  return S_OK;
}

HRESULT SearchForDuplicates(CMAPIFolderObject*, IRdoSession*, IRdoUtils*) { return S_OK; }
