// The Exchange incremental synchronisation.
#include "clock.h"
#include "folder_object.h"
#include "logs.h"
#include "sync_seams.h"

HRESULT RCI(CMAPIFolderObject* folder, IRdoSession*, IRdoUtils*) {
  DebugLogString(L"RCI", folder ? folder->DisplayName.c_str() : L"");
  if (DWORD ms = TestPassLengthMs()) clk::Sleep(ms);
  return S_OK;
}
