// Copying an item that has no counterpart yet into the other folder of a
// pair, and finishing the copy: reminders by origin, a complete distribution
// list, the job's category, and the copy's key in the target's delete list.
#pragma once
#include <windows.h>

#include <string>
#include <string_view>

#include "com_ptr.h"
#include "rdo.h"

class CItemsEvents;
class CMAPIFolderObject;

// The distribution-list object's ProgID and the placeholder member that
// makes the wrapper complete a copied list (it is taken out again).
inline constexpr wchar_t kRdoDistListProgId[] = L"TallowbyRDOx.OLSafeDistList";
inline constexpr wchar_t kPlaceholderMemberName[] = L"temp";
inline constexpr wchar_t kPlaceholderMemberAddress[] = L"temp@placeholder.invalid";

// What copyItemToFolder returns for an item whose earlier copy exists but
// could not be found again under the item's sync id: it is not copied again
// (that would make a copy per pass), and the caller tries again later.
inline constexpr HRESULT kCopyNotVerified = E_PENDING;

// Writes `key` (binary) as the search key of `copy`, a copy the add-in has
// just made; a failed write is tried once more.
HRESULT WriteOriginalKey(IRdoUtils* utils, IRdoMessage* copy, const VARIANT& key);
// An iCloud store makes a copy anew, with a search key of its own: `copy`,
// just made by the wrapper's copy into such a store, gets its original's
// `key` (hexadecimal). S_OK when it carries it. Otherwise the copy is
// removed, as under a key of its own it would be taken for an item of the
// user's, and the failure returned (`removed`, when given, tells whether the
// removal succeeded).
HRESULT GiveFreshCopyTheKey(IRdoUtils* utils, IRdoMessage* copy, std::wstring_view key, bool* removed = nullptr);

// Copies `source` (an item of `sourceObject`'s folder) into `targetObject`'s
// folder. `caller` is the sink whose pass runs. The copy must be found again
// under the source's sync id; only then is its key registered with the
// target and the copy finished. On success `copy` (optional) holds the
// finished copy. A copy that cannot be verified is remembered and reported
// as kCopyNotVerified until a lookup finds it. A copy whose finishing fails
// (a save, the reminder, the list's members) is remembered as unfinished and
// the failure returned: the caller's next try finishes it with
// finishItemCopy instead of taking it for a complete counterpart. `stamp`
// (optional) receives the finished copy's stamp (item_time.h).
HRESULT copyItemToFolder(CItemsEvents* caller, IRdoUtils* utils, IRdoSession* session, IRdoMessage* source,
                         CMAPIFolderObject* sourceObject, CMAPIFolderObject* targetObject,
                         com::ComPtr<IRdoMessage>* copy = nullptr, double* stamp = nullptr);

// True when the copy of the item with this sync id in `targetObject`'s
// folder was left unfinished by copyItemToFolder.
bool IsUnfinishedCopy(CMAPIFolderObject* targetObject, const std::wstring& syncId);
// Runs the finishing steps of copyItemToFolder again on `copy`, the
// unfinished copy of `source`; the result as copyItemToFolder's.
HRESULT finishItemCopy(CItemsEvents* caller, IRdoUtils* utils, IRdoSession* session, IRdoMessage* source,
                       CMAPIFolderObject* sourceObject, CMAPIFolderObject* targetObject, IRdoMessage* copy);
// Forgets that the copy under this sync id could not be verified: a lookup
// has found it.
void CopyVerified(CMAPIFolderObject* targetObject, const std::wstring& syncId);
