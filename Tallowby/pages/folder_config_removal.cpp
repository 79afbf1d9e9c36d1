#include "folder_config_removal.h"

#include "com_ptr.h"
#include "dispatch.h"
#include "registry.h"
#include "state_files.h"
#include "variant.h"

namespace {

struct DefaultFolderFiles {
  long kind;  // Outlook's default-folder number
  bool cache;  // its change cache goes too
};
// Contacts, notes, tasks, calendar, journal.
constexpr DefaultFolderFiles kDefaultFolders[] = {{10, false}, {12, false}, {13, false}, {9, true}, {11, true}};

// Deletes the job's key; true when that was the last job under Folders. A
// folder that had no job removes nothing, so it is never the last one, even
// when Folders holds no job at all.
bool RemoveJobKey(const std::wstring& entryId) {
  reg::Key folders;
  if (folders.Open(HKEY_CURRENT_USER, reg::kFoldersPath, KEY_ALL_ACCESS) != ERROR_SUCCESS) return false;
  if (folders.DeleteTree(entryId.c_str()) != ERROR_SUCCESS) return false;
  return !folders.SubkeyName(0);
}

void RemoveCategoryEntries() {
  reg::Key entries;
  if (entries.Open(HKEY_CURRENT_USER, reg::kAddCategorieFoldersPath, KEY_READ | KEY_WRITE) != ERROR_SUCCESS) return;
  while (auto first = entries.SubkeyName(0, 256))
    if (entries.DeleteTree(first->c_str()) != ERROR_SUCCESS) return;
  entries.Close();
  RegDeleteKeyW(HKEY_CURRENT_USER, reg::kAddCategorieFoldersPath);
}

std::wstring DefaultFolderEntryId(IDispatch* nameSpace, long kind) {
  com::Variant result, id;
  com::ComPtr<IDispatch> folder;
  if (!nameSpace || FAILED(com::CallMethod(nameSpace, L"GetDefaultFolder", {com::Variant(kind)}, result.Put())) ||
      FAILED(com::ResultToDispatch(result, folder.Put())) ||
      FAILED(com::GetProperty(folder.Get(), L"EntryID", id.Put())) || id.vt != VT_BSTR)
    return {};
  return id.AsString();
}

void DeleteStateFile(const std::wstring& dataDir, const std::wstring& entryId, const wchar_t* suffix) {
  const std::wstring path = dataDir + entryId + suffix;
  if (path.size() < MAX_PATH) DeleteFileW(path.c_str());
}

}  // namespace

void RemoveFolderConfig(const std::wstring& entryId, const std::wstring& dataDir, IDispatch* nameSpace) {
  // Without a name the job key would be Folders itself, and the files would
  // be every folder's.
  if (entryId.empty()) return;
  if (RemoveJobKey(entryId)) RemoveCategoryEntries();
  RemoveJobStateFiles(entryId, dataDir, nameSpace);
}

void RemoveJobStateFiles(const std::wstring& entryId, const std::wstring& dataDir, IDispatch* nameSpace) {
  if (entryId.empty()) return;
  DeleteStateFile(dataDir, entryId, kKeyMapSuffix);
  DeleteStateFile(dataDir, entryId, kSyncDataSuffix);
  DeleteStateFile(dataDir, entryId, kSyncDataBackupSuffix);
  DeleteStateFile(dataDir, entryId, kWaitingWritesSuffix);
  for (const DefaultFolderFiles& d : kDefaultFolders) {
    const std::wstring folder = DefaultFolderEntryId(nameSpace, d.kind);
    if (folder.empty()) continue;
    for (const std::wstring& name : {folder, folder + kHotmailStateMark}) {
      DeleteStateFile(dataDir, name, kKeyMapSuffix);
      if (d.cache) DeleteStateFile(dataDir, name, kCacheTableSuffix);
    }
  }
}
