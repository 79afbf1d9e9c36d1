// The Exchange incremental synchronisation.
#include "exchange_sync.h"

#include <algorithm>
#include <cstdint>
#include <cwchar>
#include <optional>
#include <string>
#include <unordered_set>

#include "clock.h"
#include "connect.h"
#include "delete_lists.h"
#include "duplicates.h"
#include "exchange_items.h"
#include "folder_object.h"
#include "folder_time.h"
#include "item_content.h"
#include "item_filter.h"
#include "item_identity.h"
#include "language.h"
#include "locks.h"
#include "logs.h"
#include "pst_items.h"
#include "pst_pass.h"
#include "rdo_folder.h"
#include "res/resource.h"
#include "state_files.h"
#include "sync_engine.h"
#include "sync_seams.h"
#include "variant.h"

namespace {

constexpr HRESULT kMapiNoSupport = HRESULT(0x80040102);
constexpr HRESULT kMapiNetworkError = HRESULT(0x80040115);
constexpr HRESULT kMapiCorruptData = HRESULT(0x8004011B);
constexpr HRESULT kMapiFailOneProvider = HRESULT(0x8004011D);
constexpr HRESULT kMapiEndOfSession = HRESULT(0x80040200);
constexpr long kKindDeletion = 1;
constexpr long kKindNew = 0;
constexpr long kKindChanged = 2;
constexpr DWORD kEntryPauseMs = 2;
constexpr size_t kStatusTextMax = 150;
constexpr wchar_t kKeywordsName[] = L"\"urn:schemas:mailheader:keywords\"";
constexpr EXECUTION_STATE kKeepAwake = ES_CONTINUOUS | ES_SYSTEM_REQUIRED | ES_AWAYMODE_REQUIRED;

void DebugFormat(const wchar_t* format, long a, long b = 0) {
  if (!g_bDebugLog) return;
  wchar_t line[128];
  swprintf(line, 128, format, int(a), int(b));
  DebugLog(line);
}

// A category as the pattern of a like-test that matches it literally: an
// apostrophe stands doubled (it would end the literal), the wildcards and
// the bracket that opens a character set stand in brackets of their own.
std::wstring LikeLiteral(const std::wstring& text) {
  std::wstring out;
  for (wchar_t c : text) {
    if (c == L'%' || c == L'_' || c == L'[')
      out += std::wstring(L"[") + c + L"]";
    else if (c == L'\'')
      out += L"''";
    else
      out += c;
  }
  return out;
}

// Upserts source key -> change key in a table (caller holds CacheTablesLock).
void PutKey(KeyTable& table, const std::wstring& sourceKey, const std::wstring& changeKey, bool* replaced = nullptr) {
  auto it = table.FindKey(sourceKey);
  if (replaced) *replaced = it != table.end();
  if (it != table.end())
    table.SetValue(it, changeKey);
  else
    table.PushBack(sourceKey, changeKey);
}

// Keeps an own write that cannot be registered yet for a later run, with
// the print of what was written (a later write of the same item replaces
// it).
void KeepForLater(CMAPIFolderObject* target, const std::wstring& syncId, const std::wstring& print) {
  CsLock lock(target->CachedItemsLock.Get());
  auto& list = target->CachedItemsList;
  auto it = std::find_if(list.begin(), list.end(), [&](const WaitingWrite& w) { return w.syncId == syncId; });
  if (it == list.end())
    list.push_back({syncId, print});
  else if (it->print == print)
    return;
  else
    it->print = print;
  target->CachedItemsDirty = true;
}

void ForgetCachedWrite(CMAPIFolderObject* target, const std::wstring& syncId) {
  CsLock lock(target->CachedItemsLock.Get());
  auto& list = target->CachedItemsList;
  auto it = std::find_if(list.begin(), list.end(), [&](const WaitingWrite& w) { return w.syncId == syncId; });
  if (it == list.end()) return;
  list.erase(it);
  target->CachedItemsDirty = true;
}

// The balloon's title in the user's language; a language without this text
// gets the English one, as a balloon without a title is never shown.
std::wstring IcsNotSupportedTitle() {
  std::wstring title = LoadUiString(IDS_ICS_NOT_SUPPORTED, g_lcidUi);
  if (title.empty())
    title = LoadUiString(IDS_ICS_NOT_SUPPORTED, MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT));
  return title;
}

// Failures that say the store or the network is away, not that the item is
// broken: such a run counts nothing toward giving a change up.
bool IsOutageStatus(HRESULT hr) {
  switch (hr) {
    case kMapiNetworkError:
    case kMapiFailOneProvider:
    case kMapiEndOfSession:
    case RPC_E_DISCONNECTED:
    case HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE):
    case HRESULT_FROM_WIN32(RPC_S_CALL_FAILED):
      return true;
    default:
      return false;
  }
}

// Keeps the machine awake while the entries are handed on.
class KeepAwakeWhileRunning {
 public:
  KeepAwakeWhileRunning() = default;
  ~KeepAwakeWhileRunning() {
    if (on_) SetThreadExecutionState(ES_CONTINUOUS);
  }
  KeepAwakeWhileRunning(const KeepAwakeWhileRunning&) = delete;
  KeepAwakeWhileRunning& operator=(const KeepAwakeWhileRunning&) = delete;
  void Renew() {
    SetThreadExecutionState(kKeepAwake);
    on_ = true;
  }

 private:
  bool on_ = false;
};

// What became of one entry.
enum class Outcome {
  kHandled,  // handed on: recorded as handled in this run
  kSkipped,  // nothing to do now (an own write, a repaired duplicate)
  kFailed,   // to be tried again: the run keeps its old state
};

// One run of RCI.
class IncrementalRun {
 public:
  IncrementalRun(CMAPIFolderObject* folder, IRdoSession* session, IRdoUtils* utils)
      : f_(folder), sink_(folder->Events), engine_(folder->Engine()), session_(session), utils_(utils) {}

  void Run();

 private:
  void OfferCachedWrites();
  void FollowVanishedWrites();
  com::Variant Restriction();
  void TakeCount();
  void ReportIcsFailure(HRESULT hr);
  void AdoptPresentState();
  // False when a shutdown ended the run at once.
  bool HandOnEntries(KeepAwakeWhileRunning& awake);
  void HandOnEntry(long t);
  void FollowDeletion(const std::wstring& sourceKey);
  void FollowItemsGoneMeanwhile();
  void FollowItemsGoneOutOfScope();
  void NoteOutOfScope(const std::wstring& key, const std::wstring& sourceKey);
  void NoteBackInScope(const std::wstring& sourceKey);
  // S_OK, or the status that kept a deletion from being followed; *counts
  // is cleared when the failure is retried under a cap of its own.
  HRESULT HandOnDeletion(const std::wstring& sourceKey, bool* counts);
  Outcome HandOnChange(IRdoChange* entry, const std::wstring& sourceKey, const std::wstring& changeKey,
                       HRESULT* failure, std::wstring* leftChangeKey);
  Outcome HandOnSharedWrite(IRdoChange* entry, const std::wstring& sourceKey, const std::wstring& changeKey,
                            HRESULT* failure);
  // An entry (named by `key`) that could not be handed on; true when it is
  // given up, false when the run keeps its state for the entry to come again.
  bool Failed(const std::wstring& key, const std::wstring& seenChangeKey, const std::wstring& leftChangeKey,
              HRESULT hr);
  bool IsOutage(HRESULT hr);
  void GiveUpChange(const std::wstring& sourceKey, const std::wstring& seenChangeKey,
                    const std::wstring& leftChangeKey);
  std::wstring ChangeKeyOfItem(const com::Bstr& entryId);
  bool RepairedDuplicate(const std::wstring& syncId, const std::wstring& sourceKey, const com::Bstr& entryId,
                         const std::wstring& globalObjectId);
  std::wstring GlobalObjectIdOf(IRdoMessage* message);
  std::wstring OwnMeetingIdOfRepaired(IRdoMessage* item, const std::wstring& newSyncId);
  // Opens the entry's item through the run's session.
  HRESULT OpenEntry(IRdoChange* entry, com::ComPtr<IRdoMessage>* message, com::Bstr* entryId = nullptr);
  void SetProgress(long t);
  void Record(const std::wstring& sourceKey, const std::wstring& changeKey);
  void Finish();
  void LetFolderGo() { f_->RdoFolder.Reset(); }

  CMAPIFolderObject* f_;
  CItemsEvents* sink_;
  CSyncEngine* engine_;
  IRdoSession* session_;
  IRdoUtils* utils_;
  com::ComPtr<IRdoChanges> changes_;
  long count_ = 0;   // entries to hand on
  long entries_ = 0;  // entries the synchronizer reported
  int errors_ = 0;
  bool locked_ = false;
  bool adopted_ = false;  // the run took the present contents as its starting point
  HRESULT lastHr_ = S_OK;
  HRESULT keyMapHr_ = S_OK;  // the last try to fill the key maps
  std::vector<std::wstring> followed_;  // source keys of the deletions done with
  std::vector<std::wstring> vanished_;  // own writes no longer found before they were registered
  bool fromNothing_ = false;            // the run reports every item, and no deletion
  bool outOfScopeChanged_ = false;      // OutOfScope differs from the saved one
  std::unordered_set<std::wstring> reported_;  // source keys of the entries of a run from nothing
  std::optional<std::wstring> progressName_;   // the job's category, else the folder's name
  long long shownPercent_ = -1;
};

void IncrementalRun::Run() {
  OfferCachedWrites();
  com::Variant restriction = Restriction();
  if (!f_->RdoFolder) OpenRdoFolder(f_, session_, utils_);
  if (!f_->RdoFolder) {
    DebugLog(L"RCI:Outlook Offline");
    engine_->SetSyncStatus(kStatusOffline);
    return;
  }
  // A key map whose fill failed at start is filled by the next run (not by
  // the run a fresh start makes during that very preparation); until then,
  // deletions it cannot map wait (HandOnDeletion).
  if (!f_->FolderCacheFilled && f_->FolderPrepared && !f_->SyncStateReset) {
    keyMapHr_ = FillFolderCache(f_, session_, utils_);
    f_->FolderCacheFilled = SUCCEEDED(keyMapHr_);
  }
  if (!f_->IsStandard && !f_->Partner) {
    // Nothing could be handed on: the changes wait for a folder to go to.
    LogError(E_FAIL, L"RCI:master without default folder");
    LetFolderGo();
    return;
  }
  FollowVanishedWrites();
  com::ComPtr<IRdoSynchronizer> synchronizer;
  HRESULT hr = f_->RdoFolder->get_Synchronizer(synchronizer.Put());
  if (FAILED(hr) || !synchronizer) {
    LogError(FAILED(hr) ? hr : E_FAIL, L"RCI:getsynchronizer");
    LetFolderGo();
    return;
  }
  if (g_bDebugLog && f_->SyncData.Empty()) DebugLog(L"RCI::----BASICSYNC----");
  fromNothing_ = f_->SyncData.Empty() && !f_->SyncStateReset;
  hr = synchronizer->GetChanges(f_->SyncData, restriction, changes_.Put());
  if (FAILED(hr) || !changes_) {
    ReportIcsFailure(hr);
    return;
  }
  engine_->EndNetworkPause(f_);
  TakeCount();
  KeepAwakeWhileRunning awake;
  if (!HandOnEntries(awake)) return;
  FollowItemsGoneMeanwhile();
  FollowItemsGoneOutOfScope();
  Finish();
}

// Every waiting write that has reached the server is registered (or, when
// the item changed since the add-in wrote it, left to come as a change);
// the others wait on, and the folder runs again soon.
void IncrementalRun::OfferCachedWrites() {
  CsLock lock(f_->CachedItemsLock.Get());
  auto& list = f_->CachedItemsList;
  if (f_->SyncStateReset && !list.empty()) {
    list.clear();
    f_->CachedItemsDirty = true;
  }
  if (!list.empty()) {
    const std::vector<WaitingWrite> waiting = list;
    for (const WaitingWrite& write : waiting) {
      HRESULT hr = RegisterUploadedWrite(f_, session_, utils_, write);
      if (hr == kAddExModifNotFound)
        vanished_.push_back(write.syncId);  // leaves the list once the folder is searched
      else if (hr == S_OK || hr == S_FALSE)
        ForgetCachedWrite(f_, write.syncId);
    }
    sink_->MarkChanged();
    DebugFormat(L"RCI:waiting for exchange (items only cached) items: %d", long(list.size()));
  }
  if (f_->CachedItemsDirty) SaveWaitingWrites(f_);
}

// An own write that left the folder before it was uploaded (in a cached
// mailbox the user deleted or moved it) is never reported by the server:
// its deletion is followed here, as the run follows a reported one. An item
// still found by the sync id takes nothing along; a failed search or
// deletion keeps the write waiting for a later run.
void IncrementalRun::FollowVanishedWrites() {
  for (const std::wstring& syncId : vanished_) {
    HRESULT lookup = S_OK;
    com::ComPtr<IRdoMessage> still = FindBySearchId(f_, session_, utils_, syncId.c_str(), f_->RdoFolder.Get(), &lookup);
    if (FAILED(lookup)) {
      LogError(lookup, L"RCI:own write not looked up");
      continue;
    }
    if (!still) {
      DebugLogString(L"RCI:own write gone before its upload:", syncId.c_str());
      if (deleteItem2(f_, session_, utils_, syncId.c_str()) != 0) continue;
    }
    ForgetCachedWrite(f_, syncId);
  }
  CsLock lock(f_->CachedItemsLock.Get());
  if (f_->CachedItemsDirty) SaveWaitingWrites(f_);
}

com::Variant IncrementalRun::Restriction() {
  std::vector<std::wstring> filter;
  if (!f_->IsStandard) GetCategoriesFilter(engine_, filter, sink_->EntryID.c_str());
  const bool addsDefault = f_->DefaultCategorie[0] != 0 && f_->AddDefaultCategory;
  std::optional<std::wstring> text = BuildRciRestriction(f_->IsStandard != 0, addsDefault, filter);
  return text ? com::Variant(text->c_str()) : com::Variant();
}

void IncrementalRun::ReportIcsFailure(HRESULT hr) {
  const bool offlineShown = engine_->GetSyncStatus() == kStatusOffline;
  if (hr == kMapiNoSupport) {
    LogError(hr, L"RCI::no connection to Exchange (User doesn't use Exchange)");
    if (!offlineShown)
      engine_->SetTrayMessage(IcsNotSupportedTitle().c_str(), L"EXCHANGE ICS NOT SUPPORTED", kTrayError);
    engine_->SetSyncStatus(kStatusOffline);
    return;
  }
  if (hr == kMapiNetworkError) {
    LogError(hr, L"RCI:MAPI_E_NETWORK_ERROR");
    if (!offlineShown) engine_->SetTrayMessage(L"NETWORK ERROR", L"EXCHANGE OFFLINE", kTrayError);
    engine_->SetSyncStatus(kStatusOffline);
    engine_->PauseForNetwork(f_);
    return;
  }
  LogError(hr, L"RCI::syncdata fehlerhaft");
  LogError(hr, L"no syncinterface");
  engine_->SetSyncStatus(kStatusNoSyncInterface);
  // Only a state the server refuses (damaged, or one it no longer keeps),
  // or runs that get no changes at all, count towards giving the state up:
  // a run from nothing reads every item of the folder again, and a passing
  // failure says nothing against the state.
  if (hr == kMapiCorruptData || SUCCEEDED(hr)) ++f_->SyncDataErrorCount;
  if (f_->SyncDataErrorCount > kSyncDataRecoveryRuns) {
    LogError(hr, L"RCI:Recovering from SyncDataError...");
    f_->SyncData.Reset();
    f_->SyncDataErrorCount = kSyncDataRecoveryRestart;
  } else {
    LogError(hr, L"RCI:It's something else???");
  }
  LetFolderGo();
}

// How many entries this run hands on: none after a reset or while another
// user writes to the folder.
void IncrementalRun::TakeCount() {
  f_->SyncDataErrorCount = 0;
  if (FAILED(changes_->get_Count(&entries_)) || entries_ < 0) entries_ = 0;
  count_ = entries_;
  if (f_->SyncStateReset) {
    AdoptPresentState();
  } else if (count_ > 0 && !IsFolderUnlocked(f_, session_, utils_)) {
    sink_->MarkChanged();
    count_ = 0;
    locked_ = true;
  } else if (count_ > 0) {
    DebugFormat(L"RCI:CountDifferingItems: %d:", count_);
    DebugLogString(sink_->CREATESUBFOLDER && !f_->IsStandard ? L"RCI:ChangeExItems:FLDR: SUB:"
                                                              : L"RCI:ChangeExItems:FLDR: ",
                   f_->DisplayName.c_str());
    size_t own = 0;
    {
      CsLock lock(f_->CacheTablesLock.Get());
      own = f_->CacheTable.size();
    }
    DebugFormat(L"RCI:SELFMDFCACHE: %d", long(own));
  }
}

// A folder without stored state takes its present contents as the starting
// point: nothing is handed on, and the new state is kept as after a complete
// run.
void IncrementalRun::AdoptPresentState() {
  DebugLog(L"RCI::reset");
  {
    CsLock lock(f_->CacheTablesLock.Get());
    f_->Cache2Table.clear();
  }
  f_->SyncData.Reset();
  f_->SyncStateReset = false;
  sink_->MarkChanged();
  engine_->SetTrayMessage(L"Tallowby Reset", f_->DisplayName.c_str(), kTrayInfo);
  count_ = 0;
  adopted_ = true;
}

bool IncrementalRun::HandOnEntries(KeepAwakeWhileRunning& awake) {
  for (long t = 1; t <= count_; ++t) {
    if (errors_ > 0) {
      DebugLog(L"RCI::Errors in sync, Try again later");
      break;
    }
    if (t % 10 == 0) SaveCache2Table(f_);
    if (engine_->ShutdownInitiated) {
      DebugLog(L"RCI::OLShutdown ends syncthread");
      SaveCacheTable(f_);
      SaveCache2Table(f_);
      return false;
    }
    if (!f_->RunFlag) {
      DebugLog(L"Reconfiguration ends the syncthread");
      count_ = 0;
      break;
    }
    awake.Renew();
    HandOnEntry(t);
  }
  return true;
}

void IncrementalRun::HandOnEntry(long t) {
  // An entry whose keys cannot be read is named by its position.
  auto position = [t] { return L"#" + std::to_wstring(t); };
  com::ComPtr<IRdoChange> entry;
  HRESULT hr = changes_->Item(t, entry.Put());
  if (SUCCEEDED(hr) && !entry) hr = E_FAIL;
  if (!CheckHr(hr, L"RCI::GetItemFromCollection")) {
    Failed(position(), {}, {}, hr);
    return;
  }
  clk::Sleep(kEntryPauseMs);
  const int status = engine_->GetSyncStatus();
  if (status == kStatusIdle || status == kStatusFolderLocked) engine_->SetSyncStatus(kStatusBusy);
  com::Bstr sourceKey;
  long kind = -1;
  hr = entry->get_SourceKey(sourceKey.Put());
  if (FAILED(hr) || sourceKey.Empty()) {
    LogError(FAILED(hr) ? hr : E_FAIL, L"failed to get sourceKey");
    Failed(position(), {}, {}, FAILED(hr) ? hr : E_FAIL);
    return;
  }
  const std::wstring source = sourceKey.Str();
  if (fromNothing_) reported_.insert(source);
  hr = entry->get_Kind(&kind);
  if (!CheckHr(hr, L"failed to get ItemKind")) {
    Failed(source, {}, {}, hr);
    return;
  }
  if (kind == kKindDeletion) {
    FollowDeletion(source);
    return;
  }
  if (kind != kKindNew && kind != kKindChanged) return;
  NoteBackInScope(source);

  DebugFormat(L"RCI:: exchange_Change: i=%d / %d ------------", t, count_);
  SetProgress(t);
  com::Bstr changeKey;
  hr = entry->get_ChangeKey(changeKey.Put());
  if (FAILED(hr)) {
    LogError(hr, L"RCI:failed to get changekey");
    Failed(source, {}, {}, hr);
    return;
  }
  const std::wstring change = changeKey.Str();
  HRESULT failure = S_OK;
  std::wstring left;  // the item's change key after a failed try, when it wrote the item
  switch (HandOnChange(entry.Get(), source, change, &failure, &left)) {
    case Outcome::kHandled:
      if (!f_->FailedChanges.empty()) f_->FailedChanges.erase(source);
      Record(source, change);
      break;
    case Outcome::kSkipped:
      break;
    case Outcome::kFailed:
      if (left.empty()) left = change;
      if (Failed(source, change, left, failure)) GiveUpChange(source, change, left);
      break;
  }
}

void IncrementalRun::FollowDeletion(const std::wstring& sourceKey) {
  bool counts = true;
  HRESULT hr = HandOnDeletion(sourceKey, &counts);
  if (SUCCEEDED(hr)) {
    f_->FailedChanges.erase(sourceKey);
    followed_.push_back(sourceKey);
  } else if (!counts) {
    ++errors_;
  } else if (Failed(sourceKey, {}, {}, hr)) {
    followed_.push_back(sourceKey);  // given up: the deletion is not followed
  }
}

// A run from nothing (the state was given up: damaged, or refused by the
// server) reports the items there are, and no deletion. An item the key
// maps know that it did not report went while the folder had no usable
// state: its deletion is followed now (an item still in the folder, only
// out of the restriction, takes nothing along).
void IncrementalRun::FollowItemsGoneMeanwhile() {
  if (!fromNothing_ || locked_ || errors_ > 0 || !f_->RunFlag || !f_->FolderCacheFilled || count_ < entries_) return;
  std::vector<std::wstring> unreported;
  {
    CsLock lock(f_->CacheTablesLock.Get());
    std::unordered_set<std::wstring_view> taken;
    for (const auto& map : f_->FolderCache)
      for (const auto& [key, source] : map)
        if (!reported_.count(source) && taken.insert(source).second) unreported.push_back(source);
  }
  for (const std::wstring& source : unreported) {
    if (errors_ > 0) break;
    DebugLogString(L"RCI:known item not reported by a run from nothing:", source.c_str());
    FollowDeletion(source);
  }
}

// A failed entry keeps the run's state, so that it comes again. One that
// fails in kChangeRetryRuns runs in a row is given up, so that one broken
// item cannot hold back every later change of its folder; the add-in's own
// writes while it tried do not count as a new change, somebody else's do.
// Runs that failed because the store or the network was away count nothing.
bool IncrementalRun::Failed(const std::wstring& key, const std::wstring& seenChangeKey,
                            const std::wstring& leftChangeKey, HRESULT hr) {
  auto& failed = f_->FailedChanges;
  if (IsOutage(hr)) {
    auto known = failed.find(key);
    if (known != failed.end()) known->second.changeKey = leftChangeKey;
    ++errors_;
    return false;
  }
  FailedExchangeChange& record = failed[key];
  if (record.runs > 0 && record.changeKey != seenChangeKey) record.runs = 0;
  record.changeKey = leftChangeKey;
  if (++record.runs < kChangeRetryRuns) {
    ++errors_;
    return false;
  }
  failed.erase(key);
  LogError(hr, L"RCI:change given up after repeated failures");
  DebugLogString(L"RCI:change given up:", key.c_str());
  return true;
}

bool IncrementalRun::IsOutage(HRESULT hr) {
  if (IsOutageStatus(hr)) return true;
  long mode = 0;
  return SUCCEEDED(session_->get_ConnectionMode(&mode)) &&
         (IsOfflineConnectionMode(mode) || IsCachingConnectionMode(mode));
}

// A change given up counts as handled; what the add-in itself wrote on the
// item while it tried is its own write, not a new change to try again.
void IncrementalRun::GiveUpChange(const std::wstring& sourceKey, const std::wstring& seenChangeKey,
                                  const std::wstring& leftChangeKey) {
  Record(sourceKey, seenChangeKey);
  if (leftChangeKey.empty() || leftChangeKey == seenChangeKey) return;
  CsLock lock(f_->CacheTablesLock.Get());
  PutKey(f_->CacheTable, sourceKey, leftChangeKey);
}

std::wstring IncrementalRun::ChangeKeyOfItem(const com::Bstr& entryId) {
  com::ComPtr<IRdoMessage> item;
  if (FAILED(session_->GetMessageById(entryId, com::LentBstr(sink_->StoreID), engine_->OpenFlags, item.Put())) ||
      !item)
    return {};
  HRESULT hr = S_OK;
  return HexOfProperty(utils_, item.Get(), kTagChangeKey, &hr);
}

// The deletion of an item whose source key the folder's key maps know. An
// item that is still in the folder (it only left the restriction, or it
// shares its key with a copy) is not deleted anywhere. A failure when a
// counterpart could not be reached or deleted, or the folder could not be
// asked: the run then keeps its state and the deletion comes again.
HRESULT IncrementalRun::HandOnDeletion(const std::wstring& sourceKey, bool* counts) {
  std::vector<std::wstring> keys;
  std::wstring key;
  if (SUCCEEDED(LookupFolderCache(f_, sourceKey, &key, false))) keys.push_back(key);
  if (SUCCEEDED(LookupFolderCache(f_, sourceKey, &key, true)) &&
      std::find(keys.begin(), keys.end(), key) == keys.end())
    keys.push_back(key);
  if (keys.empty() && !f_->FolderCacheFilled) {
    // The item may be one of those the missing map would have named.
    LogError(keyMapHr_, L"RCI:deleted item not in the key map, which could not be filled");
    return FAILED(keyMapHr_) ? keyMapHr_ : E_FAIL;
  }
  HRESULT result = S_OK;
  for (const std::wstring& syncId : keys) {
    HRESULT lookup = S_OK;
    com::ComPtr<IRdoMessage> still = FindBySearchId(f_, session_, utils_, syncId.c_str(), f_->RdoFolder.Get(), &lookup);
    if (FAILED(lookup)) {
      LogError(lookup, L"RCI:deleted item not looked up");
      result = lookup;
      continue;
    }
    if (still) {
      DebugLogString(L"RCI:deleted item still in the folder:", syncId.c_str());
      HRESULT read = S_OK;
      if (HexOfProperty(utils_, still.Get(), kTagSourceKey, &read) == sourceKey) NoteOutOfScope(syncId, sourceKey);
      continue;
    }
    if (deleteItem2(f_, session_, utils_, syncId.c_str()) != 0 && SUCCEEDED(result)) {
      // deleteItem2 gives a counterpart up after its own number of tries.
      result = E_FAIL;
      *counts = false;
    }
  }
  return result;
}

// The same item, reported gone yet still in the folder, only left the
// restriction: from now on the server reports nothing of it, its deletion
// included, until it comes back into the restriction as a new item.
void IncrementalRun::NoteOutOfScope(const std::wstring& key, const std::wstring& sourceKey) {
  CsLock lock(f_->CacheTablesLock.Get());
  auto known = f_->OutOfScope.FindKey(key);
  if (known != f_->OutOfScope.end() && known->second == sourceKey) return;
  if (known != f_->OutOfScope.end()) f_->OutOfScope.Erase(known);
  f_->OutOfScope.PushBack(key, sourceKey);
  outOfScopeChanged_ = true;
}

void IncrementalRun::NoteBackInScope(const std::wstring& sourceKey) {
  CsLock lock(f_->CacheTablesLock.Get());
  if (f_->OutOfScope.FindValue(sourceKey) == f_->OutOfScope.end()) return;
  f_->OutOfScope.EraseValue(sourceKey);
  outOfScopeChanged_ = true;
}

// An item out of the restriction that is no longer in the folder was
// deleted (or moved away): its counterparts go, as with a reported
// deletion. Only a complete run looks, and only when an item may have gone:
// at the object's first run (Outlook was closed), after Outlook reported an
// item gone from the folder, and every kOutOfScopeLookRuns runs (many items
// deleted at once raise no event). A lookup or a deletion that fails keeps
// the item for the next look.
void IncrementalRun::FollowItemsGoneOutOfScope() {
  if (locked_ || errors_ > 0 || !f_->RunFlag) return;
  const bool removed = sink_->TakeDeleted();
  if (f_->OutOfScopeLooked && !removed && ++f_->RunsSinceOutOfScopeLook < kOutOfScopeLookRuns) return;
  f_->OutOfScopeLooked = true;
  f_->RunsSinceOutOfScopeLook = 0;
  std::vector<KeyTable::Entry> outOfScope;
  {
    CsLock lock(f_->CacheTablesLock.Get());
    outOfScope.assign(f_->OutOfScope.begin(), f_->OutOfScope.end());
  }
  for (const auto& [key, sourceKey] : outOfScope) {
    HRESULT lookup = S_OK;
    com::ComPtr<IRdoMessage> still = FindBySearchId(f_, session_, utils_, key.c_str(), f_->RdoFolder.Get(), &lookup);
    if (FAILED(lookup)) {
      LogError(lookup, L"RCI:item out of the restriction not looked up");
      f_->RunsSinceOutOfScopeLook = kOutOfScopeLookRuns;  // the next run looks again
      return;
    }
    if (still) continue;
    DebugLogString(L"RCI:item out of the restriction gone:", key.c_str());
    if (deleteItem2(f_, session_, utils_, key.c_str()) != 0) {
      f_->RunsSinceOutOfScopeLook = kOutOfScopeLookRuns;
      continue;
    }
    CsLock lock(f_->CacheTablesLock.Get());
    auto entry = f_->OutOfScope.FindKey(key);
    if (entry != f_->OutOfScope.end()) f_->OutOfScope.Erase(entry);
    outOfScopeChanged_ = true;
  }
}

Outcome IncrementalRun::HandOnChange(IRdoChange* entry, const std::wstring& sourceKey, const std::wstring& changeKey,
                                     HRESULT* failure, std::wstring* leftChangeKey) {
  VARIANT_BOOL isNew = VARIANT_FALSE;
  entry->get_IsNew(&isNew);
  if (isNew) DebugLog(L"RCI:isNew");
  if (IsFromLastRun(f_, sourceKey, changeKey)) {
    DebugLog(L"RCI:selfchanged exchangemessage");
    // An own write registered without its keys (the item had no source key
    // yet) is learnt now: its deletion must be followed like any other.
    if (FAILED(LookupFolderCache(f_, sourceKey, nullptr, false))) {
      com::ComPtr<IRdoMessage> written;
      if (SUCCEEDED(OpenEntry(entry, &written))) RememberItemKeys(f_, utils_, written.Get());
    }
    if (f_->IsStandard) {
      const Outcome shared = HandOnSharedWrite(entry, sourceKey, changeKey, failure);
      if (shared != Outcome::kSkipped) return shared;
    }
    // Its record is gone now; should the run fail later, the run that
    // repeats it must still know this write as handled.
    Record(sourceKey, changeKey);
    return Outcome::kSkipped;
  }
  if (f_->IsStandard) {
    // A change of somebody else's: every master gets it.
    CsLock lock(f_->CacheTablesLock.Get());
    f_->SharedItemWriters.erase(sourceKey);
  }
  com::ComPtr<IRdoMessage> message;
  com::Bstr entryId;
  HRESULT hr = OpenEntry(entry, &message, &entryId);
  if (FAILED(hr) || !message) {
    *failure = FAILED(hr) ? hr : E_FAIL;
    LogError(*failure, L"RCI:failed to get rdomail");
    return Outcome::kFailed;
  }
  // The item's own search key, not the key map: the map may still hold a
  // key the item had before a duplicate repair.
  com::Bstr searchKey;
  hr = SetNewSyncID(engine_, utils_, message.Get(), &searchKey, false);
  if (FAILED(hr) || searchKey.Empty()) {
    *failure = FAILED(hr) ? hr : E_FAIL;
    LogError(*failure, L"RCI:Message=NULL");
    return Outcome::kFailed;
  }
  const std::wstring syncId = searchKey.Str();
  std::wstring globalObjectId;
  if (isNew) {
    globalObjectId = GlobalObjectIdOf(message.Get());
    if (RepairedDuplicate(syncId, sourceKey, entryId, globalObjectId)) return Outcome::kSkipped;
    AddToFolderCache(f_, kGlobalObjectIdMap, globalObjectId, sourceKey);
  }
  AddToFolderCache(f_, kSyncIdMap, syncId, sourceKey);
  bool handedOn;
  if (f_->IsStandard) {
    DebugLog(L"RCI:process Exchange item in a slave folder");
    handedOn = pExInDefFldr2(f_, session_, utils_, syncId, message.Get(), failure, {}, !fromNothing_);
  } else {
    DebugLog(L"RCI:process Exchange item in a master folder");
    handedOn = pExInMasterFldr(f_, session_, utils_, syncId, message.Get(), failure, !fromNothing_);
  }
  if (handedOn) return Outcome::kHandled;
  LogError(E_FAIL, L"processExchangeItemInMasterFolder");
  // The try may have written the item itself (a category, an origin mark).
  const std::wstring left = ChangeKeyOfItem(entryId);
  if (!left.empty()) *leftChangeKey = left;
  return Outcome::kFailed;
}

// A master's write of an item that other masters share: the writer has the
// change already, the others get it from here. kSkipped when the write is
// no such write. On a failure the write is registered again, so that the
// run that repeats this entry tries the others again.
Outcome IncrementalRun::HandOnSharedWrite(IRdoChange* entry, const std::wstring& sourceKey,
                                          const std::wstring& changeKey, HRESULT* failure) {
  std::wstring writer;
  {
    CsLock lock(f_->CacheTablesLock.Get());
    auto noted = f_->SharedItemWriters.find(sourceKey);
    if (noted == f_->SharedItemWriters.end()) return Outcome::kSkipped;
    writer = noted->second;
  }
  DebugLog(L"RCI:own write of a shared item: to the other masters");
  com::ComPtr<IRdoMessage> message;
  com::Bstr syncId;
  HRESULT hr = OpenEntry(entry, &message);
  if (SUCCEEDED(hr)) hr = SetNewSyncID(engine_, utils_, message.Get(), &syncId, false);
  if (SUCCEEDED(hr) && syncId.Empty()) hr = E_FAIL;
  if (FAILED(hr)) *failure = hr;
  if (SUCCEEDED(hr) &&
      pExInDefFldr2(f_, session_, utils_, syncId.Str(), message.Get(), failure, writer, !fromNothing_)) {
    CsLock lock(f_->CacheTablesLock.Get());
    auto noted = f_->SharedItemWriters.find(sourceKey);
    if (noted != f_->SharedItemWriters.end() && noted->second == writer) f_->SharedItemWriters.erase(noted);
    return Outcome::kHandled;
  }
  LogError(*failure, L"RCI:shared item not handed on");
  CsLock lock(f_->CacheTablesLock.Get());
  PutKey(f_->CacheTable, sourceKey, changeKey);
  return Outcome::kFailed;
}

// A new item may be a pasted copy that shares its sync id with another
// item. True when this entry's own item got a new sync id: its key write
// comes back as a change of its own, so the entry is done. When the other
// item got it, the entry goes on under its own, unchanged, key.
bool IncrementalRun::RepairedDuplicate(const std::wstring& syncId, const std::wstring& sourceKey,
                                       const com::Bstr& entryId, const std::wstring& globalObjectId) {
  BYTE changed = 0;
  com::Bstr newSyncId, changedEntryId;
  HRESULT hr = ChangeSyncIDFromDuplicatedItem(sink_, session_, utils_, syncId.c_str(), &changed, &newSyncId,
                                              &changedEntryId);
  if (FAILED(hr)) {
    // The check only repairs; the item itself is handed on under its key.
    LogError(hr, L"RCI:duplicate check");
    return false;
  }
  if (!changed || newSyncId.Empty()) return false;
  VARIANT_BOOL same = VARIANT_FALSE;
  if (FAILED(utils_->CompareIds(changedEntryId, entryId, &same))) same = VARIANT_FALSE;
  com::ComPtr<IRdoMessage> repaired;
  if (FAILED(session_->GetMessageById(changedEntryId, com::LentBstr(sink_->StoreID), engine_->OpenFlags,
                                      repaired.Put())))
    repaired.Reset();
  const std::wstring objectId = repaired ? OwnMeetingIdOfRepaired(repaired.Get(), newSyncId.Str()) : std::wstring();
  if (same) {
    AddToFolderCache(f_, kGlobalObjectIdMap, objectId.empty() ? globalObjectId : objectId, sourceKey);
    AddToFolderCache(f_, kSyncIdMap, newSyncId.Str(), sourceKey);
    return true;
  }
  if (repaired) {
    HRESULT read = S_OK;
    std::wstring otherSource = HexOfProperty(utils_, repaired.Get(), kTagSourceKey, &read);
    AddToFolderCache(f_, kSyncIdMap, newSyncId.Str(), otherSource);
    if (!objectId.empty()) AddToFolderCache(f_, kGlobalObjectIdMap, objectId, otherSource);
  }
  return false;
}

// The masters of a Hotmail pair find counterparts by meeting id, and a
// pasted appointment carries its original's: with a sync id of its own
// alone, its master copy would still be the original's, and its deletion
// would take the original's along. The item that took the new sync id takes
// a meeting id made of it; returns that id, empty when it keeps the one it
// had (not such a pair, no meeting id, or the store refused it).
std::wstring IncrementalRun::OwnMeetingIdOfRepaired(IRdoMessage* item, const std::wstring& newSyncId) {
  std::wstring objectId;
  if (sink_->HotMailMode) CheckHr(RenewGlobalObjectId(utils_, item, newSyncId, &objectId), L"RCI:pasted item's meeting id");
  return objectId;
}

HRESULT IncrementalRun::OpenEntry(IRdoChange* entry, com::ComPtr<IRdoMessage>* message, com::Bstr* entryId) {
  com::Bstr id;
  HRESULT hr = entry->get_EntryID(id.Put());
  if (SUCCEEDED(hr))
    hr = session_->GetMessageById(id, com::LentBstr(sink_->StoreID), engine_->OpenFlags, message->Put());
  if (SUCCEEDED(hr) && !*message) hr = E_FAIL;
  if (entryId) *entryId = std::move(id);
  return hr;
}

std::wstring IncrementalRun::GlobalObjectIdOf(IRdoMessage* message) {
  HRESULT lookup = S_OK;
  std::wstring text = GlobalObjectIdHex(utils_, message, &lookup);
  if (!CheckHr(lookup, L"GlobalObjId?")) return {};
  if (text.empty()) DebugLog(L"GetSyncID_AS_PR_SEARCH_KEY (no GlobalId found)");
  return text;
}

// The text changes with the percentage only; the folder's name is read once
// per run.
void IncrementalRun::SetProgress(long t) {
  if (!progressName_) {
    progressName_ = std::wstring(f_->Categorie);
    if (progressName_->empty()) {
      com::Bstr folderName;
      if (f_->RdoFolder) f_->RdoFolder->get_Name(folderName.Put());
      progressName_ = folderName.Str();
    }
  }
  const long long percent = static_cast<long long>(t) * 100 / count_;
  if (progressName_->empty() || percent == shownPercent_) return;
  shownPercent_ = percent;
  std::wstring text = L" " + std::to_wstring(percent) + L"% / " + *progressName_;
  engine_->SetStatusText(text.substr(0, kStatusTextMax).c_str());
}

void IncrementalRun::Record(const std::wstring& sourceKey, const std::wstring& changeKey) {
  CsLock lock(f_->CacheTablesLock.Get());
  PutKey(f_->Cache2Table, sourceKey, changeKey);
}

void IncrementalRun::Finish() {
  if (f_->RunFlag) {
    if (engine_->GetSyncStatus() != kStatusOffline) engine_->SetSyncStatus(kStatusIdle);
    const bool complete = !locked_ && errors_ == 0;
    if (complete) {
      // A state that cannot be read is no reason to start from nothing:
      // the old one stays and the run counts as failed.
      com::Bstr state;
      lastHr_ = changes_->get_NewState(state.Put());
      if (SUCCEEDED(lastHr_) && state.Empty()) lastHr_ = E_FAIL;
      if (SUCCEEDED(lastHr_)) f_->SyncData = std::move(state);
    } else if (locked_ && engine_->GetSyncStatus() != kStatusOffline) {
      engine_->SetSyncStatus(kStatusFolderLocked);
      engine_->SetStatusText(f_->DisplayName.c_str());
    }
    if (FAILED(lastHr_)) {
      LogError(lastHr_, L"RCI::getSyncData");
      DebugLog(L"RCI::Outlook Offline");
      engine_->SetSyncStatus(kStatusOffline);
      engine_->SetStatusText(L"");
    } else if ((entries_ > 0 || !followed_.empty() || adopted_) && complete) {
      // The starting point is kept even when the folder was empty: without
      // it the next start would start from nothing again and take what the
      // user added meanwhile for part of its starting point.
      DebugLog(L"RCI::SAVIND STATUS2DISK");
      // The handled changes are forgotten only once the state that covers
      // them is on disk.
      if (SUCCEEDED(SaveSyncData(f_))) {
        {
          CsLock lock(f_->CacheTablesLock.Get());
          f_->Cache2Table.clear();
        }
        SaveCache2Table(f_);
        // The saved state covers the deletions followed: their items are
        // not named again.
        ForgetFromFolderCache(f_, followed_);
        SaveKeyMaps(f_);
        outOfScopeChanged_ = false;
      }
      engine_->SetStatusText(L"");
    }
    if (complete && outOfScopeChanged_) SaveKeyMaps(f_);
  } else {
    // A page's Apply stopped the run: the folder's object is made again from
    // the files, and the state stays as it was, so the next run repeats
    // these changes. What this run handed on and wrote is kept, as at
    // Outlook's end, so that the repeat skips it: repeated, a copy the user
    // deleted meanwhile would be made again.
    SaveCacheTable(f_);
    SaveCache2Table(f_);
  }
  changes_.Reset();
  LetFolderGo();
  if (FAILED(lastHr_)) LogError(lastHr_, L"RCI:getsyncData");
}

std::wstring MasterSettingsText(CMAPIFolderObject* master) {
  const CItemsEvents* sink = master->Events;
  std::wstring text = L"M|" + std::wstring(master->Categorie) + L"|";
  for (bool option : {sink->MARK_AS_PRIVATE, sink->DONT_SYNC_PRIV_ITEMS, sink->DONT_SYNC_BSP_ITEMS,
                      sink->BOTH_DIRECTIONS, sink->DONT_SYNC_REMINDERS, sink->CREATESUBFOLDER, sink->HotMailMode,
                      sink->AddUserName2Categories})
    text += option ? L'1' : L'0';
  std::vector<std::wstring> filter;
  GetCategoriesFilter(master->Engine(), filter, sink->EntryID.c_str());
  for (const std::wstring& category : filter) text += L"|" + category;
  // The separators cannot stand in an EntryID (hexadecimal).
  text += L"|>";
  if (master->Partner && master->Partner->Events) text += master->Partner->Events->EntryID.Str();
  return text;
}


// The state runs save from now on goes on under the settings loaded now.
// Not noted: while a load is still going on (a default folder's masters may
// be missing), and in the run that adopts a folder's contents as they are,
// which a reset request that follows must still turn into a run from
// nothing.
void NoteSettings(CMAPIFolderObject* folder) {
  if (!folder->Engine()->IsSettingsLoaded() || folder->SyncStateReset) return;
  std::wstring now = JobSettingsPrint(folder);
  if (now == folder->SettingsPrint) return;
  folder->SettingsPrint = std::move(now);
  if (folder->FolderCacheFilled) SaveKeyMaps(folder);
}

}  // namespace

std::optional<std::wstring> BuildRciRestriction(bool isDefaultFolder, bool addsDefaultCategory,
                                                const std::vector<std::wstring>& filterCategories) {
  const std::wstring withCategories = std::wstring(kKeywordsName) + L"  is not null";
  if (isDefaultFolder) {
    if (addsDefaultCategory) return std::nullopt;
    return withCategories;
  }
  if (filterCategories.empty()) return std::nullopt;
  std::wstring text = withCategories;
  for (const std::wstring& category : filterCategories)
    text = L"(" + text + L") OR (" + kKeywordsName + L" like '%" + LikeLiteral(category) + L"%')";
  return text;
}

HRESULT RCI(CMAPIFolderObject* folder, IRdoSession* session, IRdoUtils* utils) {
  if (!folder || !folder->Events || !folder->Engine() || !session || !utils) return E_FAIL;
  NoteSettings(folder);
  if (DWORD ms = TestPassLengthMs()) clk::Sleep(ms);
  {
    // The run asks for the job's category filter for every item, and the
    // duplicate check opens the folder for every new one.
    CategoriesFilterPassCache filters;
    PassFolders folders;
    IncrementalRun(folder, session, utils).Run();
  }
  EndTableFileAppends(&folder->Cache2File);
  return S_OK;
}

bool IsFromLastRun(CMAPIFolderObject* folder, const std::wstring& sourceKey, const std::wstring& changeKey) {
  CsLock lock(folder->CacheTablesLock.Get());
  auto handled = folder->Cache2Table.FindKey(sourceKey);
  if (handled != folder->Cache2Table.end() && handled->second == changeKey) {
    DebugLog(L"IsFromLastRun");
    return true;
  }
  auto own = folder->CacheTable.FindKey(sourceKey);
  if (own == folder->CacheTable.end()) return false;
  // Seen once, the record goes: with its own key it was the add-in's write;
  // with another, somebody changed the item since, and that change must
  // come again as a change should the run that meets it fail.
  const bool mine = own->second == changeKey;
  folder->CacheTable.Erase(own);
  return mine;
}

namespace {

// ADDEXMODIF's work. `written`: the item as its writer just saved it (null
// when only the sync id is known); `waiting`: the write is one that waited
// for its upload, offered again; `targetFolder`: the target's folder as the
// writer opened it, or null.
HRESULT RegisterWrite(CMAPIFolderObject* target, IRdoSession* session, IRdoUtils* utils, const std::wstring& syncId,
                      IRdoMessage* written, const WaitingWrite* waiting, IRdoFolder* targetFolder = nullptr) {
  if (!target || !target->RunFlag) return E_FAIL;
  CItemsEvents* sink = target->Events;
  CSyncEngine* engine = target->Engine();
  if (!sink) {
    LogError(0, L"EXCH1");
    return E_FAIL;
  }
  if (!engine || !session || !utils) return E_FAIL;
  if (!sink->ExchangeMode) {
    AddToPSTChangeKeyList(sink, utils, session, syncId);
    DebugLog(L"EXCH<=>PST");
    return E_FAIL;
  }
  // What the add-in wrote, kept with a write that waits: a print taken when
  // the waiting write is offered again would be of the item as it is then,
  // with whatever the user changed meanwhile.
  auto keep = [&](IRdoMessage* item) {
    KeepForLater(target, syncId, waiting ? waiting->print : ContentPrint(item));
    return E_FAIL;
  };
  long mode = 0;
  if (FAILED(session->get_ConnectionMode(&mode))) mode = 0;
  if (IsCachingConnectionMode(mode)) {
    DebugLog(L"ADDEXMODIF:Collecting Items:Offline|Disconnected|CachedOffline|CachedDisconnected");
    engine->SetSyncStatus(kStatusOffline);
    return keep(written);
  }
  com::Variant key;
  if (FAILED(utils->HexToBin(com::Bstr(syncId), key.Put()))) return kAddExModifNotFound;
  com::ComPtr<IRdoFolder> folder(targetFolder);
  HRESULT hr = S_OK;
  if (!folder) hr = session->GetFolderById(sink->EntryID, com::LentBstr(sink->StoreID), engine->OpenFlags, folder.Put());
  if (FAILED(hr) || !folder) return kAddExModifNotFound;
  BYTE found = 0;
  com::Bstr entryId;
  hr = GetEntryIDFromPR_SEARCH_KEY(engine, utils, &found, &entryId, folder.Get(), key, sink->HotMailMode);
  if (FAILED(hr) || !found) return kAddExModifNotFound;
  com::ComPtr<IRdoMessage> message;
  hr = session->GetMessageById(entryId, com::LentBstr(sink->StoreID), engine->OpenFlags, message.Put());
  if (FAILED(hr)) LogError(hr, L"ADDEXMODIF:GetMessageFromID");
  if (FAILED(hr) || !message) return keep(written);
  com::Variant sourceValue;
  hr = utils->GetPropByTag(message.Get(), kTagSourceKey, sourceValue.Put());
  if (FAILED(hr)) {
    LogError(hr, L"ADDEXMODIF:no sourcekey");
    return hr;
  }
  if (sourceValue.IsEmpty() || sourceValue.vt == VT_ERROR) {
    // Not on the server yet: registered by a later run.
    engine->SetSyncStatus(kStatusOffline);
    return keep(message.Get());
  }
  com::Bstr sourceHex;
  if (FAILED(hr = utils->BinToHex(sourceValue, sourceHex.Put()))) return hr;
  const std::wstring sourceKey = sourceHex.Str();
  std::wstring changeKey = HexOfProperty(utils, message.Get(), kTagChangeKey, &hr);
  if (FAILED(hr)) return hr;
  com::Bstr subject;
  if (g_bDebugLog) message->get_Subject(subject.Put());
  // The run would skip this write when it comes back, and never learn the
  // item's source key: the key map learns it here.
  AddToFolderCache(target, sink->HotMailMode ? kGlobalObjectIdMap : kSyncIdMap, syncId, sourceKey);
  if (waiting && (waiting->print.empty() || ContentPrint(message.Get()) != waiting->print)) {
    // Changed since the add-in wrote it (the user edited it before its
    // upload): that change comes from the server as anybody's.
    DebugLogString(L"ADDEXMODIF:changed before its upload, not the add-in's own:",
                   subject.Empty() ? L"<no subject>" : subject.c_str());
    return S_FALSE;
  }
  bool replaced = false;
  {
    CsLock lock(target->CacheTablesLock.Get());
    PutKey(target->CacheTable, sourceKey, changeKey, &replaced);
  }
  DebugLogString(replaced ? L"ADDEXMODIF:changed:ChangeKey" : L"ADDEXMODIF:added:ChangeKey",
                 subject.Empty() ? L"<no subject>" : subject.c_str());
  return S_OK;
}

}  // namespace

HRESULT ADDEXMODIF(CMAPIFolderObject* target, IRdoSession* session, IRdoUtils* utils, const std::wstring& syncId) {
  return RegisterWrite(target, session, utils, syncId, nullptr, nullptr);
}

HRESULT RegisterUploadedWrite(CMAPIFolderObject* target, IRdoSession* session, IRdoUtils* utils,
                              const WaitingWrite& write) {
  return RegisterWrite(target, session, utils, write.syncId, nullptr, &write);
}

HRESULT RegisterExchangeWrite(CMAPIFolderObject* target, IRdoSession* session, IRdoUtils* utils, IRdoMessage* item,
                              std::wstring_view syncId, IRdoFolder* targetFolder) {
  if (!target || !target->Events || !target->Events->ExchangeMode) return S_FALSE;
  RememberItemKeys(target, utils, item);
  return RegisterWrite(target, session, utils, std::wstring(syncId), item, nullptr, targetFolder);
}

void NoteSharedItemWriter(CMAPIFolderObject* target, CMAPIFolderObject* writer, IRdoUtils* utils, IRdoMessage* item) {
  if (!target || !writer || target == writer || !target->IsStandard || !target->Events || !writer->Events ||
      !target->Events->ExchangeMode || !CarriesOtherJobCategory(writer, item))
    return;
  HRESULT hr = S_OK;
  const std::wstring sourceKey = HexOfProperty(utils, item, kTagSourceKey, &hr);
  // Not on the server yet: the write comes back with a source key the run
  // cannot tie to this record, and is handed on as any change.
  if (FAILED(hr) || sourceKey.empty()) return;
  CsLock lock(target->CacheTablesLock.Get());
  target->SharedItemWriters[sourceKey] = writer->Events->EntryID.Str();
}

std::wstring JobSettingsPrint(CMAPIFolderObject* folder) {
  if (!folder || !folder->Events || !folder->Engine()) return {};
  if (!folder->IsStandard) return TextPrint(MasterSettingsText(folder));
  std::wstring text = L"D|" + std::wstring(folder->DefaultCategorie) + L"|";
  text += folder->AddDefaultCategory ? L'1' : L'0';
  text += folder->Events->MasterCreateSubfolder ? L'1' : L'0';
  text += folder->Events->MARK_AS_PRIVATE ? L'1' : L'0';
  std::vector<std::wstring> masters;
  CSyncEngine* engine = folder->Engine();
  for (int i = 0; CMAPIFolderObject* f = engine->GetFolderObject(i, true); ++i)
    if (!f->IsStandard && f->Partner == folder && f->Events) masters.push_back(MasterSettingsText(f));
  std::sort(masters.begin(), masters.end());
  for (const std::wstring& master : masters) text += L"\n" + master;
  return TextPrint(text);
}

bool HonourResetRequest(CMAPIFolderObject* folder) {
  if (!folder) return false;
  const std::wstring now = JobSettingsPrint(folder);
  if (!folder->SettingsPrint.empty() && folder->SettingsPrint == now) {
    DebugLog(L"reset request: the job is unchanged, its state goes on");
    return false;
  }
  ResetSyncData(folder);
  folder->SettingsPrint = now;
  return true;
}
