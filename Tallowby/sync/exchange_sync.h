// The incremental synchronisation of a folder in an Exchange store.
//
// RCI runs on the folder's own worker inside g_csFolderSync: it asks the wrapper folder's
// synchronizer for the changes since the stored state (SyncData), hands
// deletions to deleteItem2 and new or changed items to the item processing,
// and takes the new state only after a complete run in which nothing
// failed; the state is saved when the run had changes.
//
// The add-in's own writes must not come back as foreign changes:
// ADDEXMODIF records a write (source key -> change key in CacheTable), and
// IsFromLastRun recognises it, or a change already handled in a run whose
// state is not saved yet (Cache2Table), when the synchronizer reports it.
#pragma once
#include <windows.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rdo.h"

class CMAPIFolderObject;
struct WaitingWrite;

// One incremental run of the folder with the worker's session and utility
// object; it reports through the engine, the logs and the folder's members.
HRESULT RCI(CMAPIFolderObject* folder, IRdoSession* session, IRdoUtils* utils);

// ADDEXMODIF's result when the written item cannot be found (it is not
// looked for again).
inline constexpr HRESULT kAddExModifNotFound = 2;

// A change (or a deletion, or an entry that cannot be read) whose handing-on
// fails in this many runs in a row is given up (logged and counted as
// handled), so that one broken item cannot hold back every later change of
// its folder. The add-in's own writes while it tries do not start the count
// afresh; a run that failed because the store or the network was away does
// not count. The counts belong to the folder object.
inline constexpr int kChangeRetryRuns = 3;
// Items out of a run's scope are looked for at least every this many runs.
inline constexpr int kOutOfScopeLookRuns = 10;

// Runs in a row without a change collection before the state is dropped
// and the folder synchronised from nothing; the count then starts at
// kSyncDataRecoveryRestart, so that the next recovery is further away.
inline constexpr int kSyncDataRecoveryRuns = 5;
inline constexpr int kSyncDataRecoveryRestart = -50;

// The connection modes in which an own write cannot be registered yet
// (offline or cached): the write waits in CachedItemsList.
inline bool IsCachingConnectionMode(long mode) { return mode > 200 && mode < 400; }

// The restriction a run passes to the synchronizer: a default folder asks
// only for items with categories unless it gives its items a default
// category; a master with filter categories asks for items with any
// category or one of the filter categories; otherwise everything.
std::optional<std::wstring> BuildRciRestriction(bool isDefaultFolder, bool addsDefaultCategory,
                                                const std::vector<std::wstring>& filterCategories);

// True when this change (source key, change key) is the add-in's own write
// or was handled already in the run not yet saved. A recorded own write is
// forgotten once seen: with its change key it is the add-in's write, with
// another one a foreign change.
bool IsFromLastRun(CMAPIFolderObject* folder, const std::wstring& sourceKey, const std::wstring& changeKey);

// Registers a write of the add-in into `target`'s folder (the item with
// sync id `syncId`) in its CacheTable. S_OK registered; kAddExModifNotFound
// the item was not found; E_FAIL nothing registered (target stopped, a
// personal-folder target, which records the write its own way, or the write
// kept in CachedItemsList for a later run); another failure when a key of
// the found item could not be read. The folder is opened through `session`,
// the calling thread's own.
HRESULT ADDEXMODIF(CMAPIFolderObject* target, IRdoSession* session, IRdoUtils* utils, const std::wstring& syncId);

// Offers a write that waited for its upload (CachedItemsList) again: S_OK
// registered as ADDEXMODIF does; S_FALSE uploaded, but the item no longer
// holds what the add-in wrote (its keys are learnt, its change comes as
// anybody's); kAddExModifNotFound the item is gone; E_FAIL still waiting.
HRESULT RegisterUploadedWrite(CMAPIFolderObject* target, IRdoSession* session, IRdoUtils* utils,
                              const WaitingWrite& write);

// Every writer of the add-in into an Exchange folder calls this once its
// last save of the item is done: `item` (sync id `syncId`, may be null when
// only the sync id is known) was written into `target`'s folder. The write
// is registered as the add-in's own (ADDEXMODIF) and the item enters the
// folder's key maps, so that the folder's run skips the write but follows
// the item's later deletion. Outside Exchange nothing happens (S_FALSE):
// personal folders keep their own-write records their own way. Otherwise
// ADDEXMODIF's result. `targetFolder`, when given, is the target's folder as
// the writer opened it through `session` with the engine's open flags: the
// written item is looked for there instead of in the folder opened again.
HRESULT RegisterExchangeWrite(CMAPIFolderObject* target, IRdoSession* session, IRdoUtils* utils, IRdoMessage* item,
                              std::wstring_view syncId, IRdoFolder* targetFolder = nullptr);

// After the master of `writer` wrote `item` into the Exchange default
// folder `target` (and registered the write): when the item carries another
// job's category as well, the default folder's run will hand this write on
// to the other jobs' masters, though it is the add-in's own.
void NoteSharedItemWriter(CMAPIFolderObject* target, CMAPIFolderObject* writer, IRdoUtils* utils, IRdoMessage* item);

// What an Exchange folder's worker does with a reset request. A reload asks
// every folder to start afresh; that rewrites every item of a pair that was
// in step, so the folder starts afresh only when it has nothing to go on
// from (no saved key maps: a new job, or the job's Reset on its page, which
// removes them) or when the job settings differ from those its saved state
// was made with (JobSettingsPrint). Otherwise the state is kept. True when
// the folder was reset.
bool HonourResetRequest(CMAPIFolderObject* folder);

// The print of what decides where a folder object's items go: for a master
// its category, options, filter categories and default folder; for a default
// folder its default category and the prints of the masters that write into
// it. Sixteen hexadecimal digits.
std::wstring JobSettingsPrint(CMAPIFolderObject* folder);
