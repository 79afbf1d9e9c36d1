// The delete list of a folder (pstFolderCache: the sync ids of its items, so
// that the worker can tell which item went after Outlook's ItemRemove) and
// the deletion of a deleted item's counterparts in the other folders.
//
// The FillDeleteList forms and deleteItem2 are declared in sync_seams.h:
// - FillDeleteList rebuilds the list from the folder's contents table and
//   keeps the keys of items not in the folder any more (their deletion is
//   still to be searched; the deleted mark is set for them).
// - deleteItem2 returns 0 when every counterpart was deleted or not found,
//   and 1 when a counterpart could not be reached or deleted, so that the
//   caller keeps the key and tries again; after kDeleteRetries failed tries
//   of one key it gives up with an error line and returns 0.
#pragma once
#include <windows.h>
#include <oleauto.h>

#include <functional>

#include "com_ptr.h"
#include "rdo.h"
#include "sync_seams.h"

class CMAPIFolderObject;

inline constexpr int kDeleteRetries = 5;

// Rebuilds the folder's delete list (the thread form of FillDeleteList) on
// the folder's worker, inside g_csFolderSync: no other folder's pass, and so
// no counterpart deletion, runs meanwhile, which could take a key out that
// the rebuild then puts back. False, without a rebuild, while another folder
// holds the lock: the worker asks again at its next tick instead of waiting,
// so its own ticks keep their pace.
bool RebuildDeleteList(CMAPIFolderObject* folder, IRdoSession* session, IRdoUtils* utils);

// The default folder's item `syncId` (of `item`, stamped `itemDate`) was
// filed by the user under `newJob`, whose master has just been given a copy
// of it: in every other two-way master of this default folder whose category
// the item no longer carries, the item that was its counterpart leaves that
// job, as a desktop move between masters would take it. Left there, it would
// be copied to the default folder once more under a key of its own. Such a
// master item is kept where it changed after the default folder's item (both
// edits stay, as two items), and where another item of the default folder
// still carries the key (a pasted copy: the duplicates' repair parts them).
void FollowRefiling(CMAPIFolderObject* defaultFolder, CMAPIFolderObject* newJob, IRdoSession* session,
                    IRdoUtils* utils, IRdoMessage* item, const std::wstring& syncId, bool byObjectId, DATE itemDate);

// Tests: called on the rebuilding thread after each row a rebuild has read.
void SetDeleteListRowHook(std::function<void()> hook);

// The item of `rdoFolder` whose sync id is `syncId` (the key property is
// chosen by `folder`'s mode), or none. `lookup` (optional) tells a real
// "not found" (S_OK with none) from a failed lookup (the failure). The
// caller keeps its reference on `rdoFolder`.
com::ComPtr<IRdoMessage> FindBySearchId(CMAPIFolderObject* folder, IRdoSession* session, IRdoUtils* utils,
                                        const wchar_t* syncId, IRdoFolder* rdoFolder, HRESULT* lookup = nullptr);

// The same with the key as its binary value (VT_ARRAY|VT_UI1); a text key is
// refused as a failed lookup.
com::ComPtr<IRdoMessage> FindBySearchIdVariant(CMAPIFolderObject* folder, IRdoSession* session, IRdoUtils* utils,
                                               const VARIANT& key, IRdoFolder* rdoFolder, HRESULT* lookup = nullptr);
