// The personal-folder comparison pass (checkIfSomethingChanged, declared with
// the other worker routines in sync_seams.h) and the small tools of a sink
// that the master-side and default-folder processing share: the list of the
// add-in's own writes, the modification time of an item by sync id, and the
// reminder test.
//
// Everything here runs on a folder worker inside g_csFolderSync.
#pragma once
#include <windows.h>
#include <oleauto.h>

#include <string>
#include <vector>

#include "date_time.h"
#include "item_time.h"
#include "pst_listing.h"
#include "rdo.h"
#include "sync_seams.h"

class CItemsEvents;
class CMAPIFolderObject;

// Property tags of the contents-table walk.
inline constexpr long kTypeMvUnicode = 0x101F;
inline constexpr wchar_t kPublicStringsSet[] = L"{00020329-0000-0000-C000-000000000046}";

// The pass sleeps this long after each item, so that Outlook keeps up.
inline constexpr DWORD kPassPauseMs = 20;


// What MakeFolderList saw.
struct FolderListing {
  std::vector<ListedItem> items;
  // The newest date seen, never earlier than the folder's LastFolderSyncTime.
  com::DateTime newest;
  // False when a table step failed on the way, so rows may be missing and
  // the folder time must stay.
  bool complete = true;
};

// Lists the rows of `rdoFolder` changed since the owner's
// LastFolderSyncTime, newest first (a default folder only those with
// categories), repairs repeated sync ids and enters every listed key into
// the sink's pstFolderCache.
FolderListing MakeFolderList(CMAPIFolderObject* folder, IRdoSession* session, IRdoUtils* utils, IRdoFolder* rdoFolder);

// The modification time (in the contents table's time base) of the item of
// `rdoFolder` whose sync id is `syncId`. S_OK with *found false when there is
// none; E_FAIL when the query fails.
HRESULT GetLastModificationFromSearchKey(CItemsEvents* sink, IRdoUtils* utils, IRdoSession* session, bool* found,
                                         DATE* date, IRdoFolder* rdoFolder, const std::wstring& syncId);

// Records the stamp of `item` (UTC, item_time.h), as the add-in has just
// left it, under `syncId`. E_FAIL in Exchange mode.
HRESULT AddToPSTChangeKeyList(CItemsEvents* sink, IRdoUtils* utils, IRdoSession* session, IRdoMessage* item,
                              const std::wstring& syncId);
// The same for the item of the sink's own folder with that sync id.
HRESULT AddToPSTChangeKeyList(CItemsEvents* sink, IRdoUtils* utils, IRdoSession* session, const std::wstring& syncId);
// The same for a stamp the caller has read already, under `key`, with the
// stamp its counterpart had at that write (0: not known).
void AddToPSTChangeKeyList(CItemsEvents* sink, double stamp, std::wstring key, double counterpart = 0);

// The own-change test: what the record says of an item of the sink's folder
// that carries `stamp`: unchanged (within half a second: its last write was
// the add-in's own), changed since (a later stamp of its store), or not known
// (no record, or a change that carries an older time).
SinceOwnWrite PSTChangeSince(CItemsEvents* sink, const std::wstring& syncId, double stamp);
// The same for the counterpart of that item, which carries `stamp`, by the
// stamp the record kept of it.
SinceOwnWrite PSTCounterpartSince(CItemsEvents* sink, const std::wstring& syncId, double stamp);

// True when a due reminder of any store belongs to an item with this sync id.
bool IsItemInReminders(IRdoSession* session, IRdoUtils* utils, const std::wstring& syncId);

// The progress text of item k (0-based) of n: " M=>S: 40% / Private".
std::wstring PassStatusText(const wchar_t* prefix, size_t k, size_t n, const std::wstring& name);
// The same into `text`, whose room is kept.
void PassStatusText(std::wstring* text, const wchar_t* prefix, size_t k, size_t n, const std::wstring& name);

// The newest date a walk may store as the folder time: a row dated in the
// future (a wrong device clock) must not stop the listing of later changes.
com::DateTime CappedFolderTime(com::DateTime newest, com::DateTime stored, com::DateTime now);

// The folder time to keep in the registry: the folder's LastFolderSyncTime,
// but never later than an item still waiting for a retry, so that the first
// walk after a restart lists that item again.
com::DateTime FolderTimeToStore(CMAPIFolderObject* folder);
