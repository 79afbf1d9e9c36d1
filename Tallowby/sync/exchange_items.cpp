// The processing of Exchange items. Until it is built each entry point writes
// one debug line and reports success, so that the runs around it go on.
#include "exchange_items.h"

#include "folder_object.h"
#include "logs.h"

bool pExInDefFldr2(CMAPIFolderObject*, IRdoSession*, IRdoUtils*, const std::wstring& syncId, IRdoMessage*) {
  DebugLogString(L"pExInDefFldr2", syncId.c_str());
  return true;
}

bool pExInMasterFldr(CMAPIFolderObject*, IRdoSession*, IRdoUtils*, const std::wstring& syncId, IRdoMessage*) {
  DebugLogString(L"pExInMasterFldr", syncId.c_str());
  return true;
}
