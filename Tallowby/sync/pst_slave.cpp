// Slave-to-master processing of a personal-folder default folder.
//
// Every write either direction makes is recorded (the master item's time in
// the master's sink, the default-folder item's time per job in the default
// folder's sink), so that the next pass of either folder recognises the
// add-in's own write and copies nothing back. A write is recorded only once
// it is complete: a failed copy or save is returned, so the pass handles the
// item again later.
#include "pst_slave.h"

#include <mapicode.h>

#include <algorithm>
#include <cwchar>
#include <optional>

#include "bstr.h"
#include "clock.h"
#include "com_ptr.h"
#include "delete_lists.h"
#include "duplicates.h"
#include "folder_object.h"
#include "item_content.h"
#include "item_copy.h"
#include "item_filter.h"
#include "item_identity.h"
#include "logs.h"
#include "pst_items.h"
#include "rdo_folder.h"
#include "pst_pass.h"
#include "pst_write.h"
#include "reminders.h"
#include "settings.h"
#include "sync_engine.h"
#include "variant.h"

namespace {

// An item whose due reminder holds it is handled again by a later pass.
constexpr HRESULT kHeldByReminder = E_PENDING;
constexpr wchar_t kLabel[] = L"PSTprocessItemInDefaultFolder";

double Tolerance(CSyncEngine* engine) { return engine ? engine->TimeTolerance : 5.0; }

// The default folder's own categories go on its items as they are: no
// private mark, which is for the copies of a job.
void PutDefaultCategories(CMAPIFolderObject* folder, IRdoUtils* utils, IRdoMessage* item) {
  if (!folder->AddDefaultCategory) return;
  for (const std::wstring& piece : SplitCategories(folder->DefaultCategorie, L";,"))
    Cat2Item(folder, utils, item, piece.c_str(), PrivateMark::kNever);
}

// Writes the item's sensitivity back unchanged and saves it: the save gives
// it a new modification time, close to its partner's. `folder` and
// `before` as for SaveOwnWrite.
HRESULT TouchAndSave(CMAPIFolderObject* folder, IRdoUtils* utils, IRdoMessage* item, double before) {
  long sensitivity = 0;
  HRESULT hr = item->get_Sensitivity(&sensitivity);
  if (SUCCEEDED(hr)) hr = item->put_Sensitivity(sensitivity);
  if (SUCCEEDED(hr)) hr = SaveOwnWrite(folder, utils, item, before);
  return hr;
}

void DebugElapsed(const wchar_t* what, DWORD start) {
  if (!g_bDebugLog) return;
  wchar_t line[96];
  swprintf(line, 96, L"%ls = %lu msec", what, static_cast<unsigned long>(DWORD(clk::TickMs()) - start));
  DebugLog(line);
}

// The item of `folder` with the sync id, and its stamp when asked;
// MAPI_E_NOT_FOUND when there is none.
HRESULT FindItem(IRdoUtils* utils, IRdoFolder* folder, const std::wstring& syncId, bool byObjectId,
                 const wchar_t* label, com::ComPtr<IRdoMessage>* out, double* stamp = nullptr) {
  const FoundItem found = FindBySyncId(utils, folder, syncId, byObjectId);
  if (!CheckHr(found.hr, label)) return found.hr;
  if (!found.item) return MAPI_E_NOT_FOUND;
  *out = found.item;
  if (stamp) *stamp = found.modified;
  return S_OK;
}

// One call of CopyDefault2Master.
class CopyBack {
 public:
  CopyBack(CItemsEvents* sink, IRdoSession* session, IRdoUtils* utils, const std::wstring& syncId,
           CMAPIFolderObject* master, CMAPIFolderObject* defaultFolder, bool byObjectId)
      : sink_(sink), session_(session), utils_(utils), engine_(g_pSyncEngine), syncId_(syncId), master_(master),
        default_(defaultFolder), byObjectId_(byObjectId) {}

  HRESULT Run();

 private:
  HRESULT OpenItems();
  HRESULT CopyOntoMaster();
  HRESULT SaveBoth();

  CItemsEvents* sink_;
  IRdoSession* session_;
  IRdoUtils* utils_;
  CSyncEngine* engine_;
  std::wstring syncId_;
  CMAPIFolderObject* master_;
  CMAPIFolderObject* default_;
  bool byObjectId_;
  com::ComPtr<IRdoFolder> defaultFolder_, masterFolder_;
  com::ComPtr<IRdoMessage> masterItem_, slaveItem_;
  bool masterHadReminder_ = false;
  double masterStamp_ = 0, slaveStamp_ = 0;
  bool unchanged_ = false;  // the master item held the default item's content already
};

HRESULT CopyBack::Run() {
  const DWORD start = DWORD(clk::TickMs());
  DebugLogString(L"CopyDefault2Master::Start", syncId_.c_str());
  HRESULT hr = OpenItems();
  if (SUCCEEDED(hr) &&
      (DefaultItemSinceOwnWrite(master_, default_, syncId_, slaveStamp_) == SinceOwnWrite::kUnchanged ||
       HandledAsOldCopyOfRefusedItem(default_, master_, utils_, masterItem_.Get(), slaveItem_.Get(), syncId_))) {
    DebugElapsed(L"CopyDefault2Master", start);
    return S_OK;
  }
  if (SUCCEEDED(hr)) hr = CopyOntoMaster();
  if (SUCCEEDED(hr) && unchanged_) {
    // Nothing to carry (an echo of the default folder's store, a time
    // without a change): both items as they are are the pair in step.
    DebugLog(L"CopyDefault2Master::master item holds the default item's content: not written");
    const double slaveStamp = StampOf(utils_, slaveItem_.Get());
    RecordDefaultItemWrite(master_, default_, slaveStamp, syncId_);
    RecordMasterWrite(master_, utils_, session_, masterItem_.Get(), syncId_, slaveStamp);
    DebugElapsed(L"CopyDefault2Master", start);
    return S_OK;
  }
  if (SUCCEEDED(hr)) hr = SaveBoth();
  if (SUCCEEDED(hr)) {
    UserLogWrite(engine_, L"CHANGE(S=>M):", masterItem_.Get(), masterFolder_.Get());
    const double slaveStamp = StampOf(utils_, slaveItem_.Get());
    RecordDefaultItemWrite(master_, default_, slaveStamp, syncId_);
    RecordMasterWrite(master_, utils_, session_, masterItem_.Get(), syncId_, slaveStamp);
  }
  DebugElapsed(L"CopyDefault2Master", start);
  return hr;
}

HRESULT CopyBack::OpenItems() {
  HRESULT hr = OpenFolderOf(session_, default_->Events, &defaultFolder_);
  if (!CheckHr(hr, L"CopyDefault2Master::GetDefaultFolder")) return hr;
  hr = OpenFolderOf(session_, master_->Events, &masterFolder_);
  if (!CheckHr(hr, L"CopyDefault2Master::GetMasterFolder")) return hr;
  hr = FindItem(utils_, masterFolder_.Get(), syncId_, byObjectId_, L"CopyDefault2Master::EIDFromSKEY.MASTER",
                &masterItem_, &masterStamp_);
  if (hr == MAPI_E_NOT_FOUND) LogError(hr, L"CopyDefault2Master::MsgIDFromMasterNotFound");
  if (FAILED(hr)) return hr;
  hr = FindItem(utils_, defaultFolder_.Get(), syncId_, byObjectId_, L"CopyDefault2Master::EIDFromSKEY.SLAVE",
                &slaveItem_, &slaveStamp_);
  if (hr == MAPI_E_NOT_FOUND) LogError(hr, L"CopyDefault2Master::MsgIDFromSlaveNotFound");
  return hr;
}

HRESULT CopyBack::CopyOntoMaster() {
  PutDefaultCategories(default_, utils_, slaveItem_.Get());
  if (ItemContent::Of(masterItem_.Get()).Holds(ItemContent::Of(slaveItem_.Get()), WriteRulesOf(master_, false))) {
    unchanged_ = true;
    return S_OK;
  }
  // The copy is private because the job marks its copies so: the user's own
  // item in the master keeps its privacy.
  long ownSensitivity = 0;
  const bool keepSensitivity =
      master_->Events->MARK_AS_PRIVATE && SUCCEEDED(masterItem_->get_Sensitivity(&ownSensitivity));
  masterHadReminder_ = ReminderIsSet(masterItem_.Get());
  HRESULT hr = slaveItem_->CopyTo(com::Variant(static_cast<IDispatch*>(masterItem_.Get())), nullptr);
  if (!CheckHr(hr, L"CopyDefault2Master::CopyTo")) return hr;
  if (keepSensitivity) masterItem_->put_Sensitivity(ownSensitivity);
  cleanRecipients(engine_, masterItem_.Get());
  return S_OK;
}

// The default-folder item first: when it cannot be saved (the user changed it
// meanwhile), the master keeps its old content, so the user's newer change is
// not overwritten by the next pass and is copied then.
HRESULT CopyBack::SaveBoth() {
  HRESULT hr = TouchAndSave(default_, utils_, slaveItem_.Get(), slaveStamp_);
  if (FAILED(hr)) {
    LogError(hr, L"CopyDefault2Master::SaveDefaultMail");
    return hr;
  }
  CheckHr(ApplyReminderRule(engine_, utils_, master_->Events, kSideMaster, masterItem_.Get(), slaveItem_.Get(), false,
                            masterHadReminder_),
          L"CopyDefault2Master::RemoveReminders");
  hr = SaveOwnWrite(master_, utils_, masterItem_.Get(), masterStamp_);
  if (FAILED(hr)) LogError(hr, L"CopyDefault2Master::SaveMasterItem");
  return hr;
}

// One call of PSTprocessItemInDefaultFolder.
class DefaultItem {
 public:
  DefaultItem(CItemsEvents* sink, IRdoSession* session, IRdoUtils* utils, const std::wstring& syncId, DATE slaveDate,
              bool byObjectId)
      : sink_(sink), owner_(sink->Owner), session_(session), utils_(utils), engine_(g_pSyncEngine), syncId_(syncId),
        slaveDate_(slaveDate), byObjectId_(byObjectId) {}

  BYTE Run(const std::vector<std::wstring>& categories, HRESULT* outcome);

 private:
  HRESULT Prepare();
  HRESULT ForCategory(const std::wstring& category, bool* holdItem);
  bool JobMissedByLookup(const std::wstring& category);
  bool StoreLeftProfile(CMAPIFolderObject* job);
  bool HeldByReminder();
  bool DeletionPending(CMAPIFolderObject* job);
  HRESULT NewItem(CMAPIFolderObject* job);
  HRESULT GiveObjectId(IRdoMessage* item, bool* given);
  HRESULT FinishUnfinishedCopy(CMAPIFolderObject* job, IRdoMessage* masterItem);
  HRESULT MasterIsNewer(CMAPIFolderObject* job, IRdoMessage* masterItem, DATE masterDate);
  HRESULT SlaveIsNewer(CMAPIFolderObject* job, DATE masterDate);
  bool RekeyedPaste(CMAPIFolderObject* job);
  bool RekeyedItemsOfNoJob(CMAPIFolderObject* job, com::ComPtr<IRdoMessage>* jobItem = nullptr);

  CItemsEvents* sink_;
  CMAPIFolderObject* owner_;
  IRdoSession* session_;
  IRdoUtils* utils_;
  CSyncEngine* engine_;
  std::wstring syncId_;
  DATE slaveDate_;
  bool byObjectId_;
  com::ComPtr<IRdoFolder> ownFolder_;
  long itemType_ = -1;
  std::vector<CMAPIFolderObject*> jobsSeen_;
  std::optional<bool> inReminders_;
  BYTE result_ = 0;
};

BYTE DefaultItem::Run(const std::vector<std::wstring>& categories, HRESULT* outcome) {
  const DWORD start = DWORD(clk::TickMs());
  DebugLogString(L"PSTprocessItemInDefaultFolder::Start", syncId_.c_str());
  HRESULT first = Prepare();
  if (SUCCEEDED(first)) {
    for (const std::wstring& category : categories) {
      if (!owner_->RunFlag) {
        DebugLog(L"PSTprocessItemInDefaultFolder::break");
        if (outcome) *outcome = E_ABORT;
        return 0;
      }
      bool hold = false;
      const HRESULT hr = ForCategory(category, &hold);
      if (FAILED(hr) && SUCCEEDED(first)) first = hr;
      if (hold) {
        result_ = 0;
        break;
      }
    }
  }
  DebugElapsed(L"PSTprocessItemInDefaultFolder", start);
  if (outcome) *outcome = first;
  return result_;
}

HRESULT DefaultItem::Prepare() {
  HRESULT hr = OpenFolderOf(session_, sink_, &ownFolder_);
  if (SUCCEEDED(hr)) hr = ownFolder_->get_DefaultItemType(&itemType_);
  CheckHr(hr, L"PSTprocessItemInDefaultFolder::OwnFolder");
  return hr;
}

HRESULT DefaultItem::ForCategory(const std::wstring& category, bool* holdItem) {
  CMAPIFolderObject* job = nullptr;
  HRESULT hr = GetFolderFromCategorie(engine_, session_, category.c_str(), &job, itemType_);
  if (FAILED(hr)) {
    DebugLog(L"PSTprocessItemInDefaultFolder::Category not defined as SYNCJOB");
    return JobMissedByLookup(category) ? E_FAIL : S_OK;
  }
  if (!job || !job->Events) {
    LogError(hr, L"PSTprocessItemInDefaultFolder::masterFldrObj=NULL");
    DebugLog(L"PSTprocessItemInDefaultFolder::masterRdoFolder=NULL");
    return S_OK;
  }
  // A job whose items go to another folder (a category subfolder, another
  // store's default folder) is not this folder's: copying there would make a
  // second copy beside the one in its own target.
  if (job->Partner != owner_) {
    DebugLog(L"PSTprocessItemInDefaultFolder::job of another default folder");
    return S_OK;
  }
  if (std::find(jobsSeen_.begin(), jobsSeen_.end(), job) != jobsSeen_.end()) return S_OK;
  jobsSeen_.push_back(job);
  if (!job->Events->BOTH_DIRECTIONS) {
    DebugLog(L"PSTprocessItemInDefaultFolder::Item detected, but BOTH_DIRECTIONS not activated");
    return S_OK;
  }
  com::ComPtr<IRdoFolder> jobFolder;
  hr = OpenFolderOf(session_, job->Events, &jobFolder);
  if (!CheckHr(hr, L"PSTprocessItemInDefaultFolder::F1")) {
    DebugLog(L"PSTprocessItemInDefaultFolder::masterRdoFolder=NULL");
    return StoreLeftProfile(job) ? S_OK : hr;
  }
  if (HeldByReminder()) {
    DebugLog(L"PSTprocessItemInDefaultFolder::Sorry, Elem is in reminders");
    *holdItem = true;
    return kHeldByReminder;
  }
  const FoundItem master = FindBySyncId(utils_, jobFolder.Get(), syncId_, byObjectId_);
  if (!CheckHr(master.hr, L"PSTprocessItemInDefaultFolder::LastModifErr")) return master.hr;
  if (!master.item) return DeletionPending(job) ? S_OK : NewItem(job);
  if (IsUnfinishedCopy(job, syncId_)) return FinishUnfinishedCopy(job, master.item.Get());
  switch (CompareItemDates(TimeOf(job, master.modified), TimeOf(owner_, slaveDate_), Tolerance(engine_))) {
    case NewerSide::kMaster: return MasterIsNewer(job, master.item.Get(), master.modified);
    case NewerSide::kEqual: result_ = 0; return S_OK;
    case NewerSide::kSlave: return SlaveIsNewer(job, master.modified);
  }
  return S_OK;
}

// The job lookup also fails when a job's folder could not be opened for a
// moment; such a job's change must wait for a later pass, not be passed over
// for good. True when a running job of this category and item kind exists
// whose store is still in the profile.
bool DefaultItem::JobMissedByLookup(const std::wstring& category) {
  if (!engine_) return false;
  for (int i = 0; CMAPIFolderObject* f = engine_->GetFolderObject(i, true); ++i) {
    if (!f->RunFlag || f->IsStandard || !f->Events || category != f->Categorie) continue;
    com::ComPtr<IRdoFolder> folder;
    long type = -1;
    HRESULT hr = OpenFolderOf(session_, f->Events, &folder);
    if (SUCCEEDED(hr)) hr = folder->get_DefaultItemType(&type);
    if (FAILED(hr) && StoreLeftProfile(f)) continue;
    if (FAILED(hr) || type == itemType_) {
      LogError(FAILED(hr) ? hr : E_FAIL, L"PSTprocessItemInDefaultFolder::F1");
      return true;
    }
  }
  return false;
}

// A job whose store was closed while Outlook runs has nothing to receive:
// its items are left alone, and that is said once.
bool DefaultItem::StoreLeftProfile(CMAPIFolderObject* job) {
  com::ComPtr<IRdoStore> store;
  if (session_->GetStoreById(job->Events->StoreID, com::Variant(), store.Put()) != MAPI_E_NOT_FOUND) return false;
  if (!job->StoreGoneReported.exchange(true))
    DebugLogString(L"PSTprocessItemInDefaultFolder::the job's store is not in the profile, skipped:", job->Categorie);
  return true;
}

bool DefaultItem::HeldByReminder() {
  if (!inReminders_) inReminders_ = IsItemInReminders(session_, utils_, syncId_);
  return *inReminders_;
}

// The master item was deleted and its deletion waits for the master's
// search, which will remove this item too: copying it back would undo the
// user's deletion.
bool DefaultItem::DeletionPending(CMAPIFolderObject* job) {
  // An Exchange master learns of the deletion through its own run.
  if (job->Events->ExchangeMode ? !ExchangeDeletionPending(job, syncId_) : !job->Events->InFolderCache(syncId_))
    return false;
  DebugLogString(L"PSTprocessItemInDefaultFolder::master item deleted, its search is pending:", syncId_.c_str());
  return true;
}

HRESULT DefaultItem::NewItem(CMAPIFolderObject* job) {
  // The item given the job's category may be a paste of an item of no job:
  // the first item the search by key meets is then the original.
  com::ComPtr<IRdoMessage> item;
  RekeyedItemsOfNoJob(job, &item);
  HRESULT hr = S_OK;
  if (!item)
    hr = FindItem(utils_, ownFolder_.Get(), syncId_, byObjectId_, L"PSTprocessItemInDefaultFolder::EIDFromSKAY", &item);
  bool bySearchKey = !byObjectId_;
  if (hr == MAPI_E_NOT_FOUND && byObjectId_) {
    // An id that is no GlobalObjectId: the item's search key.
    hr = FindItem(utils_, ownFolder_.Get(), syncId_, false, L"PSTprocessItemInDefaultFolder::EIDFromSKAY", &item);
    bySearchKey = true;
  }
  if (FAILED(hr)) {
    // Gone since the listing, or unreadable: nothing is copied.
    LogError(hr, L"PSTprocessItemInDefaultFolder::MessageFromID");
    return hr;
  }
  if (sink_->HotMailMode && bySearchKey) {
    bool given = false;
    hr = GiveObjectId(item.Get(), &given);
    if (FAILED(hr) || given) return hr;
  }
  result_ = 0;
  if (!iIA(owner_, item.Get(), job)) {
    DebugLog(L"PSTprocessItemInDefaultFolder::refused by the item filter");
    return S_OK;
  }
  com::ComPtr<IRdoMessage> copy;
  HRESULT t = copyItemToFolder(sink_, utils_, session_, item.Get(), owner_, job, &copy);
  if (FAILED(t)) {
    LogError(t, L"PSTprocessItemInDefaultFolder::AddItem");
    return t;
  }
  sink_->AddToFolderCacheList(syncId_.c_str());
  // The copy is the master item now; the master's next walk finds it newer
  // than the default-folder item and must not write it back.
  if (copy) RecordMasterWrite(job, utils_, session_, copy.Get(), syncId_);
  FollowRefiling(owner_, job, session_, utils_, item.Get(), syncId_, byObjectId_, slaveDate_);
  result_ = 1;
  return S_OK;
}

// An item of an Internet-calendar store that has no meeting GlobalObjectId
// gets one made of its sync id and EntryID; the next pass lists it under
// that one and copies it then. The name is mapped where the store never
// held a meeting: a copy without the id would get one of its own in the
// master's store and come back as another item. A store that cannot take
// it lets the item go on under its search key (`given` false).
HRESULT DefaultItem::GiveObjectId(IRdoMessage* item, bool* given) {
  DebugLog(L"PSTprocessItemInDefaultFolder:ObjectID prop missing");
  *given = false;
  if (!sink_->BOTH_DIRECTIONS) {
    *given = true;  // nothing to give, nothing to copy
    return S_OK;
  }
  // A store that cannot take the name: the item goes on under its search key.
  if (!MapGlobalObjectIdName(utils_, item)) return S_OK;
  HRESULT hr = GiveGlobalObjectId(utils_, item, syncId_);
  if (!CheckHr(hr, L"PSTprocessItemInDefaultFolder::SetObjectId")) return hr;
  PutDefaultCategories(owner_, utils_, item);
  *given = true;
  return S_OK;
}

HRESULT DefaultItem::FinishUnfinishedCopy(CMAPIFolderObject* job, IRdoMessage* masterItem) {
  com::ComPtr<IRdoMessage> item;
  HRESULT hr = FindItem(utils_, ownFolder_.Get(), syncId_, byObjectId_, L"PSTprocessItemInDefaultFolder::EIDFromSKAY",
                        &item);
  if (SUCCEEDED(hr)) hr = finishItemCopy(sink_, utils_, session_, item.Get(), owner_, job, masterItem);
  if (FAILED(hr)) {
    LogError(hr, L"PSTprocessItemInDefaultFolder::AddItem");
    return hr;
  }
  RecordMasterWrite(job, utils_, session_, masterItem, syncId_);
  result_ = 1;
  return S_OK;
}

HRESULT DefaultItem::MasterIsNewer(CMAPIFolderObject* job, IRdoMessage* masterItem, DATE masterDate) {
  result_ = 1;
  if (MasterItemSinceOwnWrite(job, syncId_, masterDate) == SinceOwnWrite::kUnchanged) return S_OK;
  // The job's filter holds for changes as the master's pass applies it: a
  // master item made private or marked NO_SYNC after its copy was made does
  // not reach the copy from this side either.
  if (!iIA(job, masterItem, job)) {
    DebugLog(L"PSTprocessItemInDefaultFolder::changed master item refused by the filter");
    result_ = 0;
    return S_OK;
  }
  com::ComPtr<IRdoMessage> slaveItem;
  HRESULT hr = FindItem(utils_, ownFolder_.Get(), syncId_, byObjectId_,
                        L"PSTprocessItemInDefaultFolder::EIDFromSKEY.SLAVE", &slaveItem);
  if (FAILED(hr)) return hr;
  if (g_bDebugLog) {
    DebugLog(L"PSTprocessItemInDefaultFolder::Masteritem is newer");
    DebugLogString(DateText(masterDate).c_str(), (L" > " + DateText(slaveDate_)).c_str());
  }
  PairWrite w{engine_, session_, utils_, job, owner_, masterItem, slaveItem.Get(), ownFolder_.Get(), syncId_};
  w.copyStamp = slaveDate_;
  return WriteMasterOntoCopy(w, false, kLabel);
}

HRESULT DefaultItem::SlaveIsNewer(CMAPIFolderObject* job, DATE masterDate) {
  result_ = 1;
  if (g_bDebugLog) {
    DebugLog(L"PSTprocessItemInDefaultFolder::Slave (Item im Standardordner) is newer:");
    DebugLogString(DateText(masterDate).c_str(), (L" < " + DateText(slaveDate_)).c_str());
  }
  if (RekeyedPaste(job)) return NewItem(job);
  return CopyDefault2Master(sink_, session_, utils_, syncId_, job, owner_, byObjectId_);
}

// A copy the user pasted beside its original keeps the original's key, and
// the walk lists it alone once the original is older than the folder's time:
// carried back under that key it would never reach a master item of its own,
// and its edits would meet the original's. The newer of the two takes a key
// of its own (true) and, as a new item, gets its own master item.
bool DefaultItem::RekeyedPaste(CMAPIFolderObject* job) {
  if (RekeyedItemsOfNoJob(job)) return false;
  BYTE changed = 0;
  com::Bstr newId;
  HRESULT hr = ChangeSyncIDFromDuplicatedItem(sink_, session_, utils_, syncId_.c_str(), &changed, &newId, nullptr,
                                              byObjectId_);
  if (!changed) return false;
  if (FAILED(hr) || newId.Empty()) {
    LogError(FAILED(hr) ? hr : E_FAIL, L"PSTprocessItemInDefaultFolder::pasted item not given its own key");
    return false;
  }
  syncId_ = newId.Str();
  return true;
}

// A paste of an item of no job, listed alone, shares its key unseen; once
// the original joins a job it is the original that the master item is
// linked to, however new the paste. So when this item alone of those that
// carry the key has the job's category, and the others are of no job, the
// others take keys of their own (nothing refers to theirs) and this one
// keeps its link: true then. `jobItem` gets the one item of the job when
// no other job's item carries the key.
bool DefaultItem::RekeyedItemsOfNoJob(CMAPIFolderObject* job, com::ComPtr<IRdoMessage>* jobItem) {
  if (byObjectId_ || !ownFolder_) return false;
  com::ComPtr<IRdoItems> items;
  if (FAILED(ownFolder_->get_Items(items.Put())) || !items) return false;
  std::vector<com::ComPtr<IRdoMessage>> ofNoJob;
  int ofThisJob = 0;
  com::ComPtr<IRdoMessage> hit, ofJob;
  HRESULT hr = items->Find(SyncIdFilter(syncId_, false), hit.Put());
  while (SUCCEEDED(hr) && hit) {
    if (HasCategory(hit.Get(), job->Categorie)) {
      ++ofThisJob;
      ofJob = hit;
    } else if (CarriesOtherJobCategory(job, hit.Get()))
      return false;  // another job's item: the masters' repair decides
    else
      ofNoJob.push_back(hit);
    hr = items->FindNext(hit.Put());
  }
  if (FAILED(hr) || ofThisJob != 1) return false;
  for (const auto& other : ofNoJob) {
    com::Bstr newKey;
    if (FAILED(SetNewSyncID(engine_, utils_, other.Get(), &newKey, true))) return false;
    DebugLogString(L"PSTprocessItemInDefaultFolder::key of an item of no job renewed:", newKey.c_str());
  }
  if (jobItem) *jobItem = ofJob;
  return !ofNoJob.empty();
}

}  // namespace

BYTE PSTprocessItemInDefaultFolder(CItemsEvents* sink, IRdoSession* session, IRdoUtils* utils,
                                   const std::wstring& syncId, DATE slaveDate,
                                   const std::vector<std::wstring>& categories, HRESULT* outcome,
                                   std::optional<bool> byObjectId) {
  if (outcome) *outcome = S_OK;
  if (!sink) return 0;
  if (sink->ExchangeMode) return 1;
  if (!session || !utils || !sink->Owner) {
    if (outcome) *outcome = E_FAIL;
    return 0;
  }
  return DefaultItem(sink, session, utils, syncId, slaveDate, byObjectId.value_or(sink->HotMailMode))
      .Run(categories, outcome);
}

HRESULT CopyDefault2Master(CItemsEvents* sink, IRdoSession* session, IRdoUtils* utils, const std::wstring& syncId,
                           CMAPIFolderObject* master, CMAPIFolderObject* defaultFolder,
                           std::optional<bool> byObjectId) {
  if (!sink || sink->ExchangeMode) {
    LogError(0, L"!EXCH");
    return E_FAIL;
  }
  if (!master || !defaultFolder || !master->RunFlag || !defaultFolder->RunFlag) return E_FAIL;
  if (!master->Events || !defaultFolder->Events || !session || !utils) {
    LogError(E_FAIL, L"CopyDefault2Master::ThreadStop?");
    return E_FAIL;
  }
  if (!master->Events->BOTH_DIRECTIONS) {
    DebugLog(L"Item detected, but BOTH_DIRECTIONS not activated");
    return 0;
  }
  return CopyBack(sink, session, utils, syncId, master, defaultFolder, byObjectId.value_or(sink->HotMailMode)).Run();
}
