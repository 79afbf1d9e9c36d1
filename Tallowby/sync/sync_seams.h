// The routines of the synchronisation that the folder object and its worker
// call but that belong to the passes, the folder time, the delete lists, the
// state files and the iCloud lists. Each lives in the file named after what
// it will hold; until then it writes one debug line and returns a neutral
// result (nothing changed, nothing found, success). Those already built have
// headers of their own, included here.
#pragma once
#include <windows.h>

#include "rdo.h"

class CMAPIFolderObject;
class CItemsEvents;

// pst_pass.cpp: the personal-folder comparison pass.
HRESULT checkIfSomethingChanged(CMAPIFolderObject* folder, IRdoSession* session, IRdoUtils* utils);

// folder_time.cpp: the folder time, loaded before the worker starts and
// saved after a complete walk and by the destructor.
void FolderTime(CMAPIFolderObject* folder);
void saveMasterfoldertime(CMAPIFolderObject* folder);

// delete_lists.cpp: pstFolderCache and the counterpart deletion.
// Thread form: the worker's own session and utility object.
HRESULT FillDeleteList(CMAPIFolderObject* folder, IRdoSession* session, IRdoUtils* utils);
// Event form: the engine's session and utility object (user-interface thread).
HRESULT FillDeleteList(CMAPIFolderObject* folder);
// Open-folder form.
HRESULT FillDeleteList(CMAPIFolderObject* folder, IRdoUtils* utils, IRdoFolder* rdoFolder);
// Deletes the counterparts of a deleted item; called with g_csDeleteList held.
int deleteItem2(CMAPIFolderObject* folder, IRdoSession* session, IRdoUtils* utils, const wchar_t* syncId);

// The per-folder state files, the iCloud key list, the Exchange wrapper
// folder and the Exchange incremental synchronisation.
#include "exchange_sync.h"
#include "icloud_lists.h"
#include "rdo_folder.h"
#include "state_files.h"

// Test setting: the environment variable TALLOWBY_TEST_PASS_SECONDS (read
// once per process) makes every pass and incremental run last that many
// seconds of the add-in's clock, so that tests can stop the add-in while a
// long pass holds the folder-sync lock. 0 (unset) in production, and always
// 0 in the shipping build.
DWORD TestPassLengthMs();
