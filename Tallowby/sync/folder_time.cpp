// The folder time of a folder object.
#include "folder_object.h"
#include "logs.h"
#include "sync_seams.h"

void FolderTime(CMAPIFolderObject* folder) {
  DebugLogString(L"FolderTime", folder ? folder->DisplayName.c_str() : L"");
}

void saveMasterfoldertime(CMAPIFolderObject* folder) {
  DebugLogString(L"saveMasterfoldertime", folder ? folder->DisplayName.c_str() : L"");
}
