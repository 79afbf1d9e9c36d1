// The iCloud key list of a folder (the sink's iCloudList: sync id to the
// EntryID of the item that carries it), rebuilt from the folder's contents
// table. On the way two items of the folder that carry the same search key
// are told apart: the newer one (the one listed first on equal dates) gets
// a new PR_SEARCH_KEY. Runs on the folder's worker under g_csFolderSync.
#pragma once
#include <windows.h>

#include "rdo.h"

class CItemsEvents;

// Rebuilds the list from `rdoFolder`'s items; without a folder there is no
// collection and the result is E_FAIL.
HRESULT CreateList(CItemsEvents* sink, IRdoSession* session, IRdoUtils* utils, IRdoFolder* rdoFolder);
// The same after opening the sink's own folder through `session`.
HRESULT CreateList(CItemsEvents* sink, IRdoSession* session, IRdoUtils* utils);

// E_FAIL without engine or collection, S_OK at once in Exchange mode, the
// failure when the table cannot be set up, otherwise S_OK. Outside iCloud
// mode the table is read but the list is left as it is; a folder without
// rows leaves the previous list in place.
HRESULT FilliCoundList(CItemsEvents* sink, IRdoSession* session, IRdoUtils* utils, IRdoItems* items);
