// Repair of items that share a sync id (a copied and pasted item keeps its
// PR_SEARCH_KEY): one of them, normally the newer, gets a new key.
#pragma once
#include <windows.h>

#include "bstr.h"
#include "rdo.h"

class CItemsEvents;
class CMAPIFolderObject;

// Finds the items of the sink's folder whose PR_SEARCH_KEY text is
// `searchKey` and gives one of them a new key. `*changed` is 1 only when an
// item's key really changed; `newSyncId` then holds its new key text and
// `entryId` (optional) its EntryID. A write that fails (a read-only item)
// raises the access-denied balloon and leaves `*changed` 0.
// With `byObjectId` the key is a meeting GlobalObjectId (a folder that finds
// counterparts by meeting id, where a pasted appointment keeps the
// original's): the items carrying it are found by it, and the one chosen
// gets a new search key and a meeting id made of that key and its EntryID,
// which `newSyncId` then holds.
HRESULT ChangeSyncIDFromDuplicatedItem(CItemsEvents* sink, IRdoSession* session, IRdoUtils* utils,
                                       const wchar_t* searchKey, BYTE* changed, com::Bstr* newSyncId,
                                       com::Bstr* entryId = nullptr, bool byObjectId = false);

// Scans an Exchange folder object's whole folder for repeated search keys
// and repairs each repeat; 0 at once outside Exchange mode.
HRESULT SearchForDuplicates(CMAPIFolderObject* folder, IRdoSession* session, IRdoUtils* utils);
