// Outlook's form of a folder's EntryID or StoreID, for tests of the option
// pages: the pages have Outlook's folders and name their registry keys and
// files by that form, which differs from the wrapper's in its bytes.
#pragma once
#include <windows.h>

#include <string>

#include "com_ptr.h"
#include "dispatch.h"
#include "variant.h"

namespace testing_support {

// The folder's `property` ("EntryID" or "StoreID") as Outlook's namespace
// gives it; an id that Outlook cannot open stays as it is.
inline std::wstring OutlookFolderId(IDispatch* nameSpace, const std::wstring& entryId,
                                    const wchar_t* property = L"EntryID") {
  com::Variant result, id;
  com::ComPtr<IDispatch> folder;
  if (FAILED(com::CallMethod(nameSpace, L"GetFolderFromID", {com::Variant(entryId.c_str())}, result.Put())) ||
      FAILED(com::ResultToDispatch(result, folder.Put())) || FAILED(com::GetProperty(folder.Get(), property, id.Put())))
    return entryId;
  return id.AsString();
}

}  // namespace testing_support
