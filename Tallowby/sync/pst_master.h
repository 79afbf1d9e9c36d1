// Master-to-slave processing of one listed item of a personal-folder master.
#pragma once
#include <windows.h>
#include <oleauto.h>

#include <optional>
#include <string>

#include "rdo.h"

class CItemsEvents;

// Finds the item's counterpart in the pair's default folder by `syncId` and
// copies a new item over, copies a newer master item onto its copy, hands a
// newer copy to CopyDefault2Master, or does nothing. `sink` is the master
// folder's; `masterDate` the row's modification time; `byObjectId` whether
// the id is the meeting GlobalObjectId (unset: as the sink's mode says).
// Before that, a key that another item carries as well (a pasted copy in
// this folder, or a copy the user made from another job's master that feeds
// the same default folder) is repaired: the copy gets a sync id of its own.
// A counterpart deleted in the default folder whose deletion has not been
// searched for yet is not copied again. A failure is returned so that the
// pass keeps the folder time and lists the item again.
HRESULT PSTprocessItemInMasterFolder(CItemsEvents* sink, IRdoSession* session, IRdoUtils* utils,
                                     const std::wstring& syncId, DATE masterDate,
                                     std::optional<bool> byObjectId = std::nullopt);
