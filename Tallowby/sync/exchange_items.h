// The processing of one new or changed item that the incremental
// synchronisation of an Exchange folder hands on: in a default folder
// towards the master folders whose categories it carries, in a master
// folder towards its default folder.
//
// Every write into the other side is registered as the add-in's own once its
// last save is done (ADDEXMODIF for an Exchange folder, the own-change
// records for a personal folder), so that the other side's next run does not
// take it for the user's change and copy it back. A step that fails makes
// the routine false: the run then keeps its state and the change comes
// again. Refusals (the item filter, a one-way job, a newer counterpart, a
// due reminder) are no failures.
//
// Everything runs on the handing folder's worker inside g_csFolderSync;
// folders of other folder objects are opened through the calling worker's
// own session.
#pragma once
#include <windows.h>
#include <oleauto.h>

#include <string>
#include <vector>

#include "item_time.h"
#include "rdo.h"

class CMAPIFolderObject;

// The item `message` (sync id `syncId`) of the default folder `folder`.
// False when the item could not be carried over (the run then keeps its
// state and the change comes again); *failure (when given) then holds the
// first failing status, which tells an outage from a broken item.
// `writer`, when given, is the EntryID of a master whose write this is: that
// master has the item as it is and is left out. `changedSinceLastState`:
// the run reports the item as changed since its last state (not a run from
// nothing), so it changed after the add-in last wrote it.
bool pExInDefFldr2(CMAPIFolderObject* folder, IRdoSession* session, IRdoUtils* utils, const std::wstring& syncId,
                   IRdoMessage* message, HRESULT* failure = nullptr, const std::wstring& writer = {},
                   bool changedSinceLastState = false);

// The item `message` (sync id `syncId`) of the master folder `folder`. False
// and `changedSinceLastState` as above.
bool pExInMasterFldr(CMAPIFolderObject* folder, IRdoSession* session, IRdoUtils* utils, const std::wstring& syncId,
                     IRdoMessage* message, HRESULT* failure = nullptr, bool changedSinceLastState = false);

// The per-job work of pExInDefFldr2: the item goes to the master of each of
// `categories` that is a two-way job of this default folder, each master
// once. `defaultFolder` is the default folder opened by the calling worker.
bool pExInDefFldr(CMAPIFolderObject* folder, IRdoSession* session, IRdoUtils* utils, const std::wstring& syncId,
                  const std::vector<std::wstring>& categories, IRdoFolder* defaultFolder, IRdoMessage* message,
                  HRESULT* failure = nullptr, const std::wstring& writer = {}, bool changedSinceLastState = false);

// Copies the default-folder item with the key `key` (its sync id in binary
// form, or its meeting GlobalObjectId in "HotMail" mode; `syncId` is its
// sync id text) over its master item, unless the master item is newer
// (item_time.h; `defaultItem`: what is known of the default-folder item's
// change). S_OK when copied or when the master item is newer; a failure when
// an item could not be found, opened, copied or saved.
HRESULT CopyDefaultItem2Master(IRdoSession* session, IRdoUtils* utils, const std::wstring& syncId, const VARIANT& key,
                               CMAPIFolderObject* master, CMAPIFolderObject* defaultFolder, IRdoFolder* masterFolder,
                               IRdoFolder* defaultWrapperFolder,
                               SinceOwnWrite defaultItem = SinceOwnWrite::kUnknown);

// The message class of an item made new in a folder whose default class is
// `folderClass`: a custom form's class is reduced to its standard class.
std::wstring NewItemMessageClass(const std::wstring& folderClass);

// CopyDefaultItem2Master looks for an item this many more times, after this
// pause each, before it gives up (the server may not show a new item yet).
inline constexpr int kItemLookupRetries = 3;
inline constexpr DWORD kItemLookupRetryMs = 5000;
