// What belongs to one synchronisation job outside the folder itself: its
// registry key, the default folders' category entries once no job is left,
// and its state files. Removing them ends the job, or, when the job is
// written again right after, makes it start from scratch.
#pragma once
#include <windows.h>
#include <oaidl.h>

#include <string>

// State file of the key maps, named by a folder's EntryID.
inline constexpr wchar_t kKeyMapSuffix[] = L".twy.keys.ids";

// Whether the default folders' category entries go with the last job.
enum class CategoryEntries {
  kRemoveWithLastJob,  // the job ends
  kKeep,               // the job is reset and written again at once
};

// Removes the job of the master folder `entryId`: its key under Folders,
// the AddCategorieFolders entries when it was the last job (and `entries`
// allows it), and its state files in `dataDir` (ending in a backslash),
// together with the default folders' key-map and cache files that
// `nameSpace` (Outlook's) names. Nothing is reported; a step that fails is
// passed over. An empty EntryID removes nothing.
void RemoveFolderConfig(const std::wstring& entryId, const std::wstring& dataDir, IDispatch* nameSpace,
                        CategoryEntries entries);
