#include "gal_sync.h"

#include "logs.h"

unsigned __stdcall GalSyncThread(void*) {
  DebugLog(L"GalSync init");
  return 0;
}
