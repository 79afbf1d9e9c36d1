// Slave-to-master processing of a personal-folder default folder.
#pragma once
#include <windows.h>
#include <oleauto.h>

#include <string>
#include <vector>

#include "rdo.h"

class CItemsEvents;
class CMAPIFolderObject;

// Handles one listed item of a default folder for each of its categories
// that names a two-way job; 1 when something was done for the last category.
BYTE PSTprocessItemInDefaultFolder(CItemsEvents* sink, IRdoSession* session, IRdoUtils* utils,
                                   const std::wstring& syncId, DATE slaveDate,
                                   const std::vector<std::wstring>& categories);

// Copies a newer default-folder item over its master item. 0 when the master
// job is one-way (its changes never flow back); E_FAIL in Exchange mode or
// when either object is stopping.
HRESULT CopyDefault2Master(CItemsEvents* sink, IRdoSession* session, IRdoUtils* utils, const std::wstring& syncId,
                           CMAPIFolderObject* master, CMAPIFolderObject* defaultFolder);
