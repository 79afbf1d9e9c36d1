// The writes of a personal-folder pair, each step one routine, called by
// the master walk and by the default-folder walk alike:
// - the master item onto its copy in the default folder (WriteMasterOntoCopy:
//   the job's category on a two-way master item, content, recipients, the
//   job's category and privacy on the copy, save, reminders, the records);
// - the reminder rule of a job for any item the add-in writes
//   (ApplyReminderRule), which the new copy (item_copy.h) and the copy back
//   onto the master (pst_slave.h) use too.
#pragma once
#include <windows.h>

#include <string>

#include "rdo.h"

class CItemsEvents;
class CMAPIFolderObject;
class CSyncEngine;

// One write between the master item of a job and its copy in the job's
// default folder.
struct PairWrite {
  CSyncEngine* engine = nullptr;
  IRdoSession* session = nullptr;
  IRdoUtils* utils = nullptr;
  CMAPIFolderObject* job = nullptr;            // the master folder object
  CMAPIFolderObject* defaultFolder = nullptr;  // the job's default-folder object
  IRdoMessage* masterItem = nullptr;
  IRdoMessage* copy = nullptr;                 // the item in the default folder
  IRdoFolder* copyFolder = nullptr;            // the default folder, for the user log
  std::wstring syncId;
  double copyStamp = 0;                        // the copy's stamp before this write (0: just made)
};

// Writes the master item onto its copy and finishes the copy. `freshCopy`:
// the copy was just made from the master item, its content is there
// already. `label` names the caller in the debug and error lines. The
// result is that of the content copy and the copy's save: only a completed
// write is recorded as the add-in's own and written to the user log
// ("NEW:" for a fresh copy, "CHANGE(M=>S):" otherwise).
HRESULT WriteMasterOntoCopy(const PairWrite& w, bool freshCopy, const wchar_t* label);

// The reminder rule of the pair of `job` for `written`, an item the add-in
// has just written on `side` (kSideMaster or kSideDefault) from `other`:
// with DONT_SYNC_REMINDERS the reminder stays on the item's origin side as
// it is there now (`writtenHadReminder`: whether `written` rang before the
// write; a fresh copy carries its marks already: it only loses the reminder
// of the side that is not its origin); in an iCloud master the iCloud
// reminder flag and the reminder follow each other.
HRESULT ApplyReminderRule(CSyncEngine* engine, IRdoUtils* utils, CItemsEvents* job, long side, IRdoMessage* written,
                          IRdoMessage* other, bool freshCopy, bool writtenHadReminder = false);

// Before a default-folder item is written over its master item: when the
// job's filter refuses the master item while `copy` would pass, the user has
// changed the master item since so that it left the job, and `copy` is its
// old copy. It is never written over the master item (true: nothing is to
// be written); it leaves the default folder, as a refused item has no copy
// there, unless another job's category keeps it. Its key leaves the
// folder's lists, so that its going is not followed to the master item.
bool HandledAsOldCopyOfRefusedItem(CMAPIFolderObject* defaultFolder, CMAPIFolderObject* job, IRdoUtils* utils,
                                   IRdoMessage* masterItem, IRdoMessage* copy, const std::wstring& syncId);

// Puts the job's category on an item of the default folder, with the job's
// private mark.
void PutJobCategoryOnCopy(CMAPIFolderObject* job, IRdoUtils* utils, IRdoMessage* copy);
// Puts the job's category on one of the user's items in the master folder:
// never marked private, whatever the job asks for its copies. The result is
// that of the item's save (S_OK when none was needed).
HRESULT PutJobCategoryOnOriginal(CMAPIFolderObject* job, IRdoUtils* utils, IRdoMessage* original);
