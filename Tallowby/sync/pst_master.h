// Master-to-slave processing of one listed item of a personal-folder master.
#pragma once
#include <windows.h>
#include <oleauto.h>

#include <string>

#include "rdo.h"

class CItemsEvents;

// Finds the item's counterpart in the pair's default folder by `syncId` and
// copies a new item over, copies a newer master item onto its copy, hands a
// newer copy to CopyDefault2Master, or does nothing. `sink` is the master
// folder's; `masterDate` the row's modification time. A failure is returned
// so that the pass keeps the folder time and lists the item again.
HRESULT PSTprocessItemInMasterFolder(CItemsEvents* sink, IRdoSession* session, IRdoUtils* utils,
                                     const std::wstring& syncId, DATE masterDate);
