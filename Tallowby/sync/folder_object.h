// One synchronised Outlook folder: CMAPIFolderObject (a master folder or a
// target default folder) and its item-event sink CItemsEvents, which also
// holds the folder pair's options and the state its passes share.
//
// Lifetime: the engine's folder list owns every folder object; a folder
// object owns its worker thread and one reference on its sink. Folder objects
// point at each other (a master's Partner, the owner of a category), so
// deleting any folder object first stops every folder's worker and waits
// until all of them have ended; only then does an object go.
#pragma once
#include <windows.h>
#include <ocidl.h>

#include <atomic>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "bstr.h"
#include "com_ptr.h"
#include "date_time.h"
#include "pst_listing.h"
#include "rdo.h"
#include "key_table.h"
#include "state_files.h"
#include "store_clocks.h"
#include "sync_id_list.h"

class CMAPIFolderObject;
class CSyncEngine;

// How the add-in left an item at its last write: the stamp (UTC) the item
// had right after it, and where it is known the stamp its counterpart on the
// other side of the pair had then (0 otherwise).
struct OwnWriteRecord {
  com::DateTime stamp;
  double counterpart = 0;
  bool operator==(const OwnWriteRecord& other) const {
    return stamp == other.stamp && counterpart == other.counterpart;
  }
};

// Owns a critical section.
class CriticalSection {
 public:
  CriticalSection() { InitializeCriticalSection(&cs_); }
  ~CriticalSection() { DeleteCriticalSection(&cs_); }
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;
  CRITICAL_SECTION& Get() { return cs_; }

 private:
  CRITICAL_SECTION cs_;
};

// The Items event sink of one folder object, and the holder of the folder
// pair's options. Reference-counted for real: the folder object holds one
// reference and Outlook's connection point another while advised, so an
// event that arrives late never reaches freed memory; once the folder
// object has let go (Owner null) events are ignored.
class CItemsEvents final : public IDispatch {
 public:
  CItemsEvents();
  CItemsEvents(const CItemsEvents&) = delete;
  CItemsEvents& operator=(const CItemsEvents&) = delete;

  // IUnknown / IDispatch.
  STDMETHODIMP QueryInterface(REFIID iid, void** ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;
  STDMETHODIMP GetTypeInfoCount(UINT* n) override;
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** ti) override;
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override;
  // ItemAdd, ItemChange and ItemRemove; always S_OK.
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*) override;

  // The marks through which the user-interface thread tells the worker that
  // work is waiting. Take reads and clears in one step.
  void MarkChanged();
  void MarkDeleted();
  bool TakeChanged();
  bool TakeDeleted();
  // Reads without clearing (tests and diagnostics).
  bool ChangedMarkSet();
  bool DeletedMarkSet();

  // Advises the sink on `items` (ItemsEvents); false when any step fails.
  bool Advise(IDispatch* items);
  // Unadvises and forgets the owner; the sink ignores events from now on.
  void Detach();

  // Appends a sync id to pstFolderCache unless it is there (under
  // g_csDeleteList); always 0.
  int AddToFolderCacheList(const wchar_t* syncId);
  int AddToFolderCacheList(std::wstring_view syncId);
  // The delete list with the keys of the items added since it was last
  // read; the caller holds g_csDeleteList.
  SyncIdList& DeleteList();
  // A copy of pstFolderCache, taken under g_csDeleteList.
  std::vector<std::wstring> FolderCacheSnapshot();
  // Whether pstFolderCache lists the sync id (under g_csDeleteList).
  bool InFolderCache(const std::wstring& syncId);

  // Asks the worker for a rebuild of pstFolderCache, which it makes inside
  // g_csFolderSync; Take reads and clears the request.
  void AskForRebuild() { RebuildWanted = true; }
  bool TakeRebuild() { return RebuildWanted.exchange(false); }

  // iCloudList, every access under g_csDeleteList: the passes of every
  // folder's worker use it, and the delete list's rebuild empties it.
  // Sets the key's EntryID unless some key names that EntryID already.
  void AddICloudEntry(const std::wstring& key, const std::wstring& entryId);
  // Sets the key's EntryID; false when the key was not listed before.
  bool SetICloudEntry(const std::wstring& key, const std::wstring& entryId);
  void ReplaceICloudList(std::unordered_map<std::wstring, std::wstring> list);
  void ClearICloudList();
  std::unordered_map<std::wstring, std::wstring> ICloudListSnapshot();
  size_t ICloudListSize();

  // The folder pair's options (written by the settings load before the
  // worker starts, read without locks afterwards).
  bool MARK_AS_PRIVATE = false;
  bool DONT_SYNC_PRIV_ITEMS = false;
  bool DONT_SYNC_BSP_ITEMS = false;
  bool BOTH_DIRECTIONS = false;
  bool DONT_SYNC_REMINDERS = false;
  bool CREATESUBFOLDER = false;
  bool MasterCreateSubfolder = false;
  com::Bstr StoreID;
  com::Bstr EntryID;
  int IsStandard = 0;
  std::atomic<bool> ResetRequest{false};
  bool ExchangeMode = false;
  bool AddUserName2Categories = false;
  std::wstring CategoryUserName;
  // SyncIDs of the folder's items; every change and walk under g_csDeleteList,
  // through DeleteList().
  SyncIdList pstFolderCache;
  std::atomic<bool> RebuildWanted{false};
  bool HotMailMode = false;
  bool iCloudMode = false;
  // The add-in's own writes, by SyncID (hashed: a pass records every item it
  // copies).
  std::unordered_map<std::wstring, OwnWriteRecord> PSTChangeKeyList;
  // SyncIDs whose copy into this folder could not be found again after the
  // copy was made; they are not copied again until a lookup finds the copy
  // (worker threads, inside g_csFolderSync).
  std::vector<std::wstring> UnverifiedCopies;
  // SyncIDs whose copy into this folder was made but not finished (a save,
  // the reminder or the list's members failed): the next try finishes it.
  std::unordered_set<std::wstring> UnfinishedCopies;
  // Default-folder items a walk could not handle: the next walks handle them
  // by themselves while the folder time moves on (worker only).
  std::vector<ListedItem> RetryItems;
  CriticalSection ItemsChangedLock;
  CriticalSection ItemsDeletedLock;
  bool ItemsChanged = false;
  bool ItemsDeleted = false;
  std::atomic<CMAPIFolderObject*> Owner{nullptr};
  std::atomic<LONG> RefCount{1};
  com::ComPtr<IConnectionPoint> ConnectionPoint;
  com::ComPtr<IDispatch> Items;
  DWORD AdviseCookie = 0;

 private:
  ~CItemsEvents() = default;  // only Release deletes
  std::unordered_map<std::wstring, std::wstring> iCloudList;
  // Keys of added items on their way into pstFolderCache: Outlook's thread
  // appends here, never waiting for g_csDeleteList; DeleteList() moves them
  // over. The lock is held for an append or a swap, nothing else.
  CriticalSection AddedKeysLock;
  std::vector<std::wstring> AddedKeys;
  void OnItemAdd(CSyncEngine* engine, const DISPPARAMS* params);
  bool RecordAddedItem(CSyncEngine* engine, const DISPPARAMS* params);
  void OnItemRemove(CSyncEngine* engine);
};

// A change of an Exchange folder whose hand-on failed: in how many runs in a
// row, and the change key the last try left on the item (the add-in's own
// writes while it tried).
struct FailedExchangeChange {
  int runs = 0;
  std::wstring changeKey;
};

// A write of the add-in into a mailbox folder that the server has not got
// yet (a cached mailbox uploads it later, and only then gives it its source
// key): the item's sync id and the print of what the add-in wrote
// (ContentPrint; empty when it could not be read). At the upload the write
// is the add-in's own only while the item still holds that.
struct WaitingWrite {
  std::wstring syncId;
  std::wstring print;
};

class CMAPIFolderObject {
 public:
  // Keeps the Outlook folder, creates and advises the sink. Reports nothing:
  // a folder without Items or connection point works on its tick alone.
  CMAPIFolderObject(IDispatch* folder, int isStandard, bool exchangeMode, bool iCloudMode, bool hotMailMode);
  // Stops every folder's worker, waits until all have ended (pumping
  // messages), saves the folder time and lets go of the sink.
  ~CMAPIFolderObject();
  CMAPIFolderObject(const CMAPIFolderObject&) = delete;
  CMAPIFolderObject& operator=(const CMAPIFolderObject&) = delete;

  // Sets RunFlag, runs FolderTime for a folder outside Exchange and starts
  // the worker (ExchangeThread or PSTThread).
  void StartThread();
  // Takes the user name for categories from the session's current user.
  void ReadCategoryUserName(IRdoSession* session);

  // Worker side (folder_threads.cpp).
  bool IsMyTurn();
  bool IsInspectorOpen(IRdoUtils* utils);

  // What names this object's state files and the registry key of its folder
  // time: the folder's EntryID. A default folder of Hotmail masters and of
  // other masters has an object for each (they key items apart); the Hotmail
  // one adds kHotmailStateMark (state_files.h), so neither loads the other's state.
  std::wstring StateName() const;
  // The engine this object belongs to (the one that existed when it was made).
  CSyncEngine* Engine() const { return engine_; }
  // The clock of the folder's store, kept by the engine for every folder of
  // that store (one of the object's own without an engine).
  StoreClock& Clock();
  // True until the worker has ended (and from before it starts).
  bool WorkerAlive() const { return ThreadRunning; }
  // A duplicate of the worker thread's handle (the caller closes it); null
  // when no worker was started (user-interface thread).
  HANDLE DuplicateWorkerHandle() const;

  std::atomic<bool> ThreadRunning{false};
  int SyncDataErrorCount = 0;
  std::atomic<DWORD> WaitStartTick{0};
  std::vector<com::Bstr> JobCategories;
  com::ComPtr<IRdoFolder> RdoFolder;
  com::Bstr SyncData;
  KeyTable FolderCache[2];
  KeyTable CacheTable;
  KeyTable Cache2Table;
  // What the ".cache2" file holds of Cache2Table, as its saver last left it
  // (state_files.cpp; worker only).
  TableFileMark Cache2File;
  // Items that left the Exchange run's restriction while they stayed in the
  // folder: sync id (or GlobalObjectId) -> source key (under
  // CacheTablesLock). The server reports no deletion of theirs any more, so
  // the run looks for them itself.
  KeyTable OutOfScope;
  // Whether a run of this object looked for them yet, and the runs since it
  // last did (worker only).
  bool OutOfScopeLooked = false;
  int RunsSinceOutOfScopeLook = 0;
  CriticalSection CacheTablesLock;
  // Writes of a master into this Exchange default folder of an item that
  // other jobs' masters share, by the item's source key: the writing
  // master's EntryID (under CacheTablesLock). The folder's run takes such a
  // write for its own, yet hands it on to the other masters.
  std::unordered_map<std::wstring, std::wstring> SharedItemWriters;
  // The add-in's writes into this mailbox folder that wait for their upload
  // (under CachedItemsLock); their file is written again when Dirty.
  std::vector<WaitingWrite> CachedItemsList;
  bool CachedItemsDirty = false;
  CriticalSection CachedItemsLock;
  bool InspectorWasOpen = false;
  DWORD InspectorWaitStart = 0;
  bool FolderPrepared = false;
  // Set once FolderCache holds the folder's contents; a fill that failed is
  // tried again by the next run (worker only).
  bool FolderCacheFilled = false;
  // The Exchange run's failed changes, by source key (worker only).
  std::unordered_map<std::wstring, FailedExchangeChange> FailedChanges;
  // The print of the job settings that the saved Exchange state was made
  // with (kept with the key maps); a reload starts the folder afresh only
  // when the settings differ from it (worker only).
  std::wstring SettingsPrint;
  bool AddDefaultCategory = false;
  std::vector<std::pair<std::wstring, int>> iCloudTable;
  CItemsEvents* Events = nullptr;
  int IsStandard = 0;
  std::atomic<bool> RunFlag{false};
  wchar_t Categorie[MAX_PATH] = L"";
  wchar_t DefaultCategorie[MAX_PATH] = L"";
  com::Bstr DisplayName;
  bool SyncStateReset = false;
  com::ComPtr<IDispatch> MAPIFolder;
  CMAPIFolderObject* Partner = nullptr;
  com::DateTime LastFolderSyncTime;
  // The job's store has left the profile; said once in the debug log.
  std::atomic<bool> StoreGoneReported{false};
  // The MAPI session object of the engine's session, read on the
  // user-interface thread when the worker starts; the worker attaches its own
  // session to it and lets it go.
  com::ComPtr<IUnknown> MapiSessionForWorker;

 private:
  CSyncEngine* engine_ = nullptr;
  HANDLE thread_ = nullptr;
  std::atomic<StoreClock*> clock_{nullptr};
  StoreClock ownClock_;
};

// Clears the RunFlag of every folder object in the process and waits
// (pumping messages) until every worker has ended.
void StopAllFolderWorkers();
// The number of folder objects alive in the process (tests).
size_t LiveFolderObjectCount();

// Sets the category text of a folder object (at most 259 characters).
void SetFolderCategory(wchar_t (&target)[MAX_PATH], const std::wstring& text);
