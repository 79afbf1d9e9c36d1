// Opening the wrapper folder of a folder object and its key maps.
#include "folder_object.h"
#include "logs.h"
#include "sync_seams.h"

HRESULT OpenRdoFolder(CMAPIFolderObject* folder, IRdoSession*, IRdoUtils*) {
  DebugLogString(L"OpenRdoFolder", folder ? folder->DisplayName.c_str() : L"");
  return S_OK;
}
