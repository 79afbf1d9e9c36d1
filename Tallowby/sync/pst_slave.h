// Slave-to-master processing of a personal-folder default folder: items that
// the user puts into or changes in the default folder with a job's category
// reach that job's master folder, when the job goes both ways.
#pragma once
#include <windows.h>
#include <oleauto.h>

#include <optional>
#include <string>
#include <vector>

#include "rdo.h"

class CItemsEvents;
class CMAPIFolderObject;

// Handles one listed item of a default folder for each of its categories
// that names a two-way job of this folder (each job once): a new item is
// copied to the job's master folder, a newer master item is copied onto it,
// a newer default-folder item is copied back with CopyDefault2Master.
// Returns 1 when something was done for the last category (1 at once in
// Exchange mode). `outcome`, when given, is S_OK when every job was done or
// left out on purpose (no job, a job whose store has left the profile,
// one-way, refused by the filter, already in step, a master item deleted
// whose search is still to come) and a failure when the item has to be
// handled again by a later pass (a failed lookup, copy or save, or a due
// reminder that holds the item). `byObjectId`: the id is the meeting
// GlobalObjectId (unset: as the sink's mode says).
BYTE PSTprocessItemInDefaultFolder(CItemsEvents* sink, IRdoSession* session, IRdoUtils* utils,
                                   const std::wstring& syncId, DATE slaveDate,
                                   const std::vector<std::wstring>& categories, HRESULT* outcome = nullptr,
                                   std::optional<bool> byObjectId = std::nullopt);

// Copies a newer default-folder item over its master item. 0 when the master
// job is one-way (its changes never flow back) or when the default-folder
// item's last write was the add-in's own for this job; E_FAIL in Exchange
// mode or when either object is stopping; the failure of a lookup, the copy
// or a save otherwise. Only a completed copy is recorded as the add-in's own
// write and written to the user log. A job that marks its copies private
// leaves the master item's own privacy as it was.
HRESULT CopyDefault2Master(CItemsEvents* sink, IRdoSession* session, IRdoUtils* utils, const std::wstring& syncId,
                           CMAPIFolderObject* master, CMAPIFolderObject* defaultFolder,
                           std::optional<bool> byObjectId = std::nullopt);
