// The per-folder state files in the engine's data folder (DataDir), each
// named by the folder's EntryID and a fixed suffix:
//   ".twysyncdata.ids"      Exchange sync state: raw UTF-16LE, no BOM, no NUL
//   ".twysyncdata.ids.bak"  the state as it was before the last save
//   ".twysyncdata.cache"    CacheTable, one "key;value" line per entry
//   ".twysyncdata.cache2"   Cache2Table, the same
//   ".twysyncdata.waiting"  the own writes waiting for their upload
//                           (CachedItemsList), "sync id;print" per entry
//   ".twy.keys.ids"         the key maps (FolderCache): "1;sync id;source key"
//                           and "2;GlobalObjectId;source key" per entry,
//                           "3;key;source key" per item out of the run's
//                           restriction (OutOfScope),
//                           after "0;print" of the job settings the saved
//                           state was made with (SettingsPrint)
//   ".iclouddlist"          the iCloud delete list, one key per line
//   ".icloud"               EntryID to version, "EntryID;%d" per line
// Text files are 8-bit with CR LF line ends; readers accept LF alone.
//
// Every writer builds the new content in "<name>.tmp" and only then puts it
// in place, so a failed or short write never leaves a truncated file behind:
// the previous file stays as it was, the failure is logged and E_FAIL
// returned. The one exception is the save of Cache2Table during a run,
// which adds the lines of the entries recorded since its last save to the
// end of the file (see SaveCache2Table). Readers skip lines that do not hold
// their format (no ";", keys that are not hexadecimal, lines longer than a
// reader takes) instead of making entries of them.
#pragma once
#include <windows.h>

#include <string>
#include <utility>

#include "bstr.h"
#include "key_table.h"
#include "rdo.h"

class CMAPIFolderObject;

inline constexpr wchar_t kSyncDataSuffix[] = L".twysyncdata.ids";
inline constexpr wchar_t kSyncDataBackupSuffix[] = L".twysyncdata.ids.bak";
inline constexpr wchar_t kCacheTableSuffix[] = L".twysyncdata.cache";
inline constexpr wchar_t kCache2TableSuffix[] = L".twysyncdata.cache2";
inline constexpr wchar_t kKeyMapSuffix[] = L".twy.keys.ids";
inline constexpr wchar_t kWaitingWritesSuffix[] = L".twysyncdata.waiting";
inline constexpr wchar_t kICloudDeleteListSuffix[] = L".iclouddlist";
inline constexpr wchar_t kICloudTableSuffix[] = L".icloud";
// Before the suffix, in the names of the state of a default folder's object
// for Hotmail masters (CMAPIFolderObject::StateName).
inline constexpr wchar_t kHotmailStateMark[] = L".hotmail";

// The longest line a reader takes (without its line end); longer lines are
// skipped whole.
inline constexpr size_t kCacheLineMax = 1023;
inline constexpr size_t kICloudLineMax = 511;
// A state file larger than this is treated as unreadable.
inline constexpr unsigned long long kSyncDataMaxBytes = 64ull << 20;

// DataDir + EntryID + suffix; empty when the folder has no engine or the
// path does not fit in MAX_PATH - 1 characters.
std::wstring StateFilePath(const CMAPIFolderObject* folder, const wchar_t* suffix);

// Loads the Exchange sync state into *state (normally &folder->SyncData) and
// appends the two cache files to CacheTable and Cache2Table. With
// `backupMode` the ".bak" file is read instead. When the state file is
// missing or unreadable (short, oversized, not UTF-16) and a backup exists,
// the backup is loaded. With
// neither, the folder starts afresh: SyncStateReset is set, *state becomes
// empty, the cache files are not read, and one RCI run with `session` and
// `utils` is made at once. E_FAIL without engine; else S_OK.
HRESULT LoadSynccData(CMAPIFolderObject* folder, IRdoSession* session, IRdoUtils* utils, com::Bstr* state,
                      bool backupMode = false);

// Saves `state` as the state file (the previous one is kept as ".bak"), then
// CacheTable. E_FAIL when either could not be written; the files then hold
// what they held before.
HRESULT SaveSyncData(CMAPIFolderObject* folder, const wchar_t* state);
// The same with the folder's SyncData.
HRESULT SaveSyncData(CMAPIFolderObject* folder);

// A file handle, closed with its holder.
class FileHandle {
 public:
  explicit FileHandle(HANDLE h = INVALID_HANDLE_VALUE) : h_(h) {}
  ~FileHandle() { Reset(); }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  bool IsOpen() const { return h_ != INVALID_HANDLE_VALUE; }
  HANDLE Get() const { return h_; }
  void Reset(HANDLE h = INVALID_HANDLE_VALUE) {
    if (IsOpen()) CloseHandle(h_);
    h_ = h;
  }
  HANDLE Release() { return std::exchange(h_, INVALID_HANDLE_VALUE); }

 private:
  HANDLE h_;
};

// What a table's file held when its saver last wrote it: the table's mark
// then and the file's length, and the file kept open for the appends of a
// run. Kept by the folder object for the file of a table that mostly grows
// (its worker's alone); not valid until the saver has written the whole
// file once.
struct TableFileMark {
  KeyTable::Mark table;
  unsigned long long bytes = 0;
  bool valid = false;
  FileHandle file;
};

// Write CacheTable or Cache2Table under CacheTablesLock. E_FAIL without
// engine or when the file could not be written.
//
// Cache2Table is saved every ten entries of a run, and grows by appends
// alone until the run ends: a save then adds only the lines of the entries
// recorded since the last one to the end of the file, so that a run of n
// entries writes n lines instead of the whole table each time. Where an
// entry was replaced or taken out, or the file is not as this object left
// it (its first save, another writer, a failed append), the whole file is
// written again through ".tmp". Neither is flushed: the lines need not
// survive more than the add-in's own end (the operating system writes
// them), and losing some to a crash of the system loses nothing but the
// skipping of those entries, which the next run then hands on again.
HRESULT SaveCacheTable(CMAPIFolderObject* folder);
HRESULT SaveCache2Table(CMAPIFolderObject* folder);
// Closes the file that the appends of a run kept open (at the end of a run).
void EndTableFileAppends(TableFileMark* mark);

// A fresh start of the Exchange state: SyncData and both tables empty; an
// empty state file, an empty ".cache" and an empty ".cache2" are written
// (the old state stays in ".bak").
void ResetSyncData(CMAPIFolderObject* folder);

// The key maps of an Exchange folder. A deletion names only the item's
// source key, and a folder object fills its maps from the items the folder
// holds: an item deleted while Outlook was closed is found only in the maps
// saved before. The loader adds the saved entries whose source key the maps
// lack (a missing file adds nothing); the maps' own entries, read from the
// folder, stay as they are. The items out of the run's restriction come
// with them: their deletion, too, may have happened while Outlook was closed.
HRESULT SaveKeyMaps(CMAPIFolderObject* folder);
HRESULT LoadKeyMaps(CMAPIFolderObject* folder);

// The own writes of an Exchange folder that wait for their upload
// (CachedItemsList, under CachedItemsLock): a copy the user deletes before
// its upload is never reported by the server, so only this list follows its
// deletion, after a Reload or a restart too. The save clears
// CachedItemsDirty; the loader adds the saved entries the list lacks (a
// missing file adds nothing).
HRESULT SaveWaitingWrites(CMAPIFolderObject* folder);
HRESULT LoadWaitingWrites(CMAPIFolderObject* folder);

// The iCloud delete list (the sink's pstFolderCache), under g_csDeleteList.
// A missing file loads as an empty list.
HRESULT LoadiCloudDeleteList(CMAPIFolderObject* folder);
HRESULT SaveiCloudDeleteList(CMAPIFolderObject* folder);

// The iCloud EntryID-to-version table (iCloudTable); outside iCloud mode the
// loader does nothing. A version that is not a number loads as 0.
HRESULT LoadiCloudTable(CMAPIFolderObject* folder);
HRESULT SaveiCloudTable(CMAPIFolderObject* folder);
