// The folder time of a folder object and the folder lock of shared folders.
#include "folder_time.h"

#include <cwchar>
#include <string>

#include "date_time.h"
#include "folder_object.h"
#include "item_time.h"
#include "logs.h"
#include "pst_pass.h"
#include "registry.h"
#include "sync_engine.h"
#include "variant.h"

namespace {

constexpr double kDate1900 = 2.0;  // 1900-01-01 00:00:00
constexpr double kSecondsPerDay = 86400.0;
// A finished walk never stores a time this far ahead of now.
constexpr double kFolderTimeFutureLimitDays = 1.0;

std::wstring FolderKeyPath(const CMAPIFolderObject* folder) {
  const wchar_t* base = folder->IsStandard ? reg::kDefaultFoldersPath : reg::kFoldersPath;
  return std::wstring(base) + L"\\" + folder->StateName();
}

// A default-folder object's key is created when missing (it has no other
// values); a master's is only opened, so that a removed job's key is not
// brought back.
LONG OpenFolderKey(const CMAPIFolderObject* folder, reg::Key* key) {
  const std::wstring path = FolderKeyPath(folder);
  if (folder->IsStandard) return key->Create(HKEY_CURRENT_USER, path.c_str(), KEY_ALL_ACCESS);
  return key->Open(HKEY_CURRENT_USER, path.c_str(), KEY_READ | KEY_WRITE);
}

std::wstring Format(const wchar_t* pattern, DATE date) {
  const SYSTEMTIME t = com::DateTime(date).ToSystemTime();
  wchar_t text[64];
  if (std::wcscmp(pattern, L"%d%m%Y-%H%M%S") == 0)
    swprintf(text, 64, L"%02u%02u%04u-%02u%02u%02u", t.wDay, t.wMonth, t.wYear, t.wHour, t.wMinute, t.wSecond);
  else  // "%d%m%y-%H%M"
    swprintf(text, 64, L"%02u%02u%02u-%02u%02u", t.wDay, t.wMonth, t.wYear % 100, t.wHour, t.wMinute);
  return text;
}

void RequestReset(CMAPIFolderObject* folder, const wchar_t* label) {
  folder->Events->ResetRequest = true;
  folder->LastFolderSyncTime = com::DateTime(kDate1900);
  DebugLogString(label, Format(L"%d%m%Y-%H%M%S", kDate1900).c_str());
}

}  // namespace

bool IsStoredFolderTimeUsable(DATE stored, DATE now) { return stored <= now + kFolderTimeFutureLimitDays; }

void FolderTime(CMAPIFolderObject* folder) {
  if (!folder || !folder->Events) return;
  reg::Key key;
  if (OpenFolderKey(folder, &key) != ERROR_SUCCESS) {
    RequestReset(folder, L"FolderTime::no key::reset2:");
    return;
  }
  const std::optional<double> stored = key.ReadDate(reg::kLastFolderSyncTime);
  // The folder time holds the times of the folder's rows, by its store's
  // clock, which at the start is known only as it was last measured.
  if (!stored || !IsStoredFolderTimeUsable(*stored, StoreNowUtc(folder))) {
    // A time in the far future would hide every change until that date.
    RequestReset(folder, L"FolderTime::no value::reset2:");
    return;
  }
  folder->LastFolderSyncTime = com::DateTime(*stored);
  DebugLogString(L"FolderTime::last:", Format(L"%d%m%Y-%H%M%S", *stored).c_str());
}

void saveMasterfoldertime(CMAPIFolderObject* folder) {
  if (!folder || !folder->Events) return;
  reg::Key key;
  if (OpenFolderKey(folder, &key) != ERROR_SUCCESS) {
    if (!folder->IsStandard) LogError(0, L"saveMasterfoldertime");
    return;
  }
  key.WriteDate(reg::kLastFolderSyncTime, FolderTimeToStore(folder).Date());
}

// ---- The folder lock ----

bool IsCommitTimeLocked(DATE commit, DATE now, DWORD lockSeconds) {
  const double lockDays = lockSeconds / kSecondsPerDay;
  const DATE threshold = now - lockDays;
  // A commit further ahead than the lock interval comes from a wrong clock
  // or a wrong server offset, not from a writer: it must not lock the
  // folder for the rest of the session.
  return commit > threshold && commit <= now + lockDays;
}

bool LockFldr(CMAPIFolderObject* folder, IRdoSession* session, IRdoUtils* utils, IRdoFolder* rdoFolder) {
  CSyncEngine* engine = folder ? folder->Engine() : nullptr;
  if (!engine || !session || !utils || !rdoFolder) return true;
  const DATE now = AddinNowUtc();
  const DWORD lockSeconds = engine->LockTime;

  com::Variant commitUtc;
  if (!CheckHr(utils->GetPropByTag(rdoFolder, kTagLocalCommitTimeMax, commitUtc.Put()), L"LOCKFAILEDMAXCOMMITTIME") ||
      commitUtc.vt != VT_DATE)
    return true;
  // The folder's store stamps its commits with its own clock; compared as
  // instants on the add-in's, the hour that repeats when daylight saving
  // ends is no different from any other.
  const DATE commit = TimeOf(folder, commitUtc.date).OnAddinClock();
  // The debug lines show local times.
  auto local = [&](DATE utc) {
    DATE shown = utc;
    CheckHr(session->UtcToLocal(utc, &shown), L"LOCKFAILEDMAXMODIF");
    return Format(L"%d%m%y-%H%M", shown);
  };

  const DATE threshold = now - lockSeconds / kSecondsPerDay;
  if (commit > now + lockSeconds / kSecondsPerDay) {
    if (g_bDebugLog) DebugLogString(L"LockFldr:CommitTimeInTheFuture", local(commit).c_str());
    return true;
  }
  if (IsCommitTimeLocked(commit, now, lockSeconds)) {
    if (g_bDebugLog)
      DebugLogString(L"LockFldr:FolderIsLockedByOtherUser", (local(commit) + L" <=?=> " + local(threshold)).c_str());
    return false;
  }
  DebugLog(L"LockFldr:We Have Locked Folder");
  return true;
}

bool AreMasterFoldersUnlocked(CMAPIFolderObject* folder, IRdoSession* session, IRdoUtils* utils) {
  CSyncEngine* engine = folder ? folder->Engine() : nullptr;
  if (!engine || !session) return true;
  for (int i = 0; CMAPIFolderObject* other = engine->GetFolderObject(i, false); ++i) {
    if (other == folder || other->IsStandard != 0 || !other->Events->BOTH_DIRECTIONS) continue;
    // Another worker's folder belongs to that worker's apartment: open it
    // through this worker's own session instead.
    com::ComPtr<IRdoFolder> masterFolder;
    if (FAILED(session->GetFolderById(other->Events->EntryID, com::Variant(other->Events->StoreID.c_str()),
                                      engine->OpenFlags, masterFolder.Put())) ||
        !masterFolder)
      continue;
    if (!LockFldr(other, session, utils, masterFolder.Get())) return false;
  }
  return true;
}

bool IsFolderUnlocked(CMAPIFolderObject* folder, IRdoSession* session, IRdoUtils* utils) {
  if (!folder || !folder->Events || !folder->Events->BOTH_DIRECTIONS) return true;
  if (folder->IsStandard) return AreMasterFoldersUnlocked(folder, session, utils);
  CSyncEngine* engine = folder->Engine();
  if (!engine || !session) return true;
  // The master's own worker asks, so the folder it holds is its own.
  com::ComPtr<IRdoFolder> own = folder->RdoFolder;
  if (!own)
    session->GetFolderById(folder->Events->EntryID, com::Variant(folder->Events->StoreID.c_str()), engine->OpenFlags,
                           own.Put());
  if (!own) return true;
  return LockFldr(folder, session, utils, own.Get());
}
