// The wrapper folder of an Exchange folder object and its key maps.
//
// OpenRdoFolder opens the folder through the calling worker's session and, the first time it
// succeeds, prepares the object: it loads the state files, repairs repeated
// sync ids and fills FolderCache. FolderCache turns the source key of a
// deleted item, the only identity a deletion report carries, back into its
// sync id.
//
// FolderCache holds two maps in insertion order: sync id -> source key, and
// meeting GlobalObjectId -> source key. Writers of other folder objects'
// threads add to a partner's maps, so every access goes through the helpers
// below, which hold the object's CacheTablesLock.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "rdo.h"

class CMAPIFolderObject;

inline constexpr long kTagSourceKey = 0x65E00102;  // PR_SOURCE_KEY
inline constexpr long kTagChangeKey = 0x65E20102;  // PR_CHANGE_KEY

// The hexadecimal text of `object`'s binary property `tag`; empty when it
// has none. *hr (when given) receives the failure of the read or the
// conversion, S_OK otherwise.
std::wstring HexOfProperty(IRdoUtils* utils, IUnknown* object, long tag, HRESULT* hr = nullptr);

// Which map of FolderCache.
enum FolderCacheMap : int { kSyncIdMap = 0, kGlobalObjectIdMap = 1 };

// True for the connection modes in which the folder is not opened
// (offline, disconnected, cached offline or cached disconnected).
inline bool IsOfflineConnectionMode(long mode) { return mode >= 200 && mode <= 400; }

// Opens the folder object's folder through the calling worker's session
// (not in the offline and cached modes: E_FAIL, status offline) and keeps it
// as RdoFolder; the first success prepares the object. A failed open lets go
// of the folder held before. Callers test RdoFolder.
HRESULT OpenRdoFolder(CMAPIFolderObject* folder, IRdoSession* session, IRdoUtils* utils);

// Fills FolderCache from the folder's contents table: the sync-id map keeps
// the first row of a search key, the GlobalObjectId map takes every row that
// has one; rows without a source key enter neither, and entries the maps
// hold already are not entered again. Uses the held RdoFolder, else opens
// the folder through `session`. 0 outside Exchange mode; a failure when the
// table could not be read whole (the maps then lack rows: the caller tries
// again later).
HRESULT FillFolderCache(CMAPIFolderObject* folder, IRdoSession* session, IRdoUtils* utils);

// The key of the first entry (in insertion order) of the chosen map whose
// source key is `sourceKey`: S_OK and *key (when given), or E_FAIL.
HRESULT LookupFolderCache(CMAPIFolderObject* folder, const std::wstring& sourceKey, std::wstring* key,
                          bool useGlobalObjectIdMap);

// Ties `key` to `sourceKey` in the chosen map. An item's source key never
// changes but its sync id may (duplicate repair), so an entry that already
// carries this source key takes the new key in its place.
void AddToFolderCache(CMAPIFolderObject* folder, FolderCacheMap map, const std::wstring& key,
                      const std::wstring& sourceKey);

// True when `folder` is an Exchange folder whose key maps name `syncId` (in
// either map): the folder held an item of that sync id. A writer of another
// folder that finds no such item there meets a deletion the folder's run has
// not followed yet (the maps forget an item once its followed deletion is
// saved); copying the item back now would undo the user's deletion.
bool ExchangeDeletionPending(CMAPIFolderObject* folder, const std::wstring& syncId);

// Takes the entries of these source keys out of both maps.
void ForgetFromFolderCache(CMAPIFolderObject* folder, const std::vector<std::wstring>& sourceKeys);

// Enters `item`, an item of `folder`'s Exchange folder, into the key maps by
// its source key: its own search key into the sync-id map, its meeting
// GlobalObjectId (when it has one) into the other. False when the item has
// no source key yet (it is learnt when the item is reported) or `folder` is
// not an Exchange folder.
bool RememberItemKeys(CMAPIFolderObject* folder, IRdoUtils* utils, IRdoMessage* item);
