// Copying an item that has no counterpart yet into the other folder of a
// pair, and finishing the copy: reminders by origin, a complete distribution
// list, the job's category, and the copy's key in the target's delete list.
#pragma once
#include <windows.h>

#include "com_ptr.h"
#include "rdo.h"

class CItemsEvents;
class CMAPIFolderObject;

// The distribution-list object's ProgID and the placeholder member that
// makes the wrapper complete a copied list (it is taken out again).
inline constexpr wchar_t kRdoDistListProgId[] = L"TallowbyRDOx.OLSafeDistList";
inline constexpr wchar_t kPlaceholderMemberName[] = L"temp";
inline constexpr wchar_t kPlaceholderMemberAddress[] = L"temp@placeholder.invalid";

// Copies `source` (an item of `sourceObject`'s folder) into `targetObject`'s
// folder. `caller` is the sink whose pass runs. The copy must be found again
// under the source's sync id; only then is its key registered with the
// target and the copy finished. On success `copy` (optional) holds the
// finished copy. A copy that cannot be verified is reported once as a
// failure and never made again in this session.
HRESULT copyItemToFolder(CItemsEvents* caller, IRdoUtils* utils, IRdoSession* session, IRdoMessage* source,
                         CMAPIFolderObject* sourceObject, CMAPIFolderObject* targetObject,
                         com::ComPtr<IRdoMessage>* copy = nullptr);
