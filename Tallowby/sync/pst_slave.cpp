// Slave-to-master processing of a personal-folder default folder.
//
// Every write either direction makes is recorded (the master item's time in
// the master's sink, the default-folder item's time per job in the default
// folder's sink), so that the next pass of either folder recognises the
// add-in's own write and copies nothing back. A write is recorded only once
// it is complete: a failed copy or save is returned, so the pass keeps its
// folder time and a later pass tries again.
#include "pst_slave.h"

#include <mapicode.h>

#include <algorithm>
#include <cwchar>
#include <optional>

#include "bstr.h"
#include "clock.h"
#include "com_ptr.h"
#include "folder_object.h"
#include "item_copy.h"
#include "item_filter.h"
#include "item_identity.h"
#include "logs.h"
#include "pst_items.h"
#include "pst_pass.h"
#include "reminders.h"
#include "settings.h"
#include "sync_engine.h"
#include "variant.h"

namespace {

// An item whose due reminder holds it is handled again by a later pass.
constexpr HRESULT kHeldByReminder = E_PENDING;

double Tolerance(CSyncEngine* engine) { return engine ? engine->TimeTolerance : 5.0; }

void PutDefaultCategories(CMAPIFolderObject* folder, IRdoUtils* utils, IRdoMessage* item) {
  if (!folder->AddDefaultCategory) return;
  for (const std::wstring& piece : SplitCategories(folder->DefaultCategorie, L";,"))
    Cat2Item(folder, utils, item, piece.c_str());
}

// Writes the item's sensitivity back unchanged and saves it: the save gives
// it a new modification time, close to its partner's.
HRESULT TouchAndSave(IRdoMessage* item) {
  long sensitivity = 0;
  HRESULT hr = item->get_Sensitivity(&sensitivity);
  if (SUCCEEDED(hr)) hr = item->put_Sensitivity(sensitivity);
  if (SUCCEEDED(hr)) hr = item->Save();
  return hr;
}

void DebugElapsed(const wchar_t* what, DWORD start) {
  if (!g_bDebugLog) return;
  wchar_t line[96];
  swprintf(line, 96, L"%ls = %lu msec", what, static_cast<unsigned long>(DWORD(clk::TickMs()) - start));
  DebugLog(line);
}

// Finds the item of `folder` with the sync id `key` and opens it through the
// store of `owner`. MAPI_E_NOT_FOUND when there is none.
HRESULT FindItem(CSyncEngine* engine, IRdoSession* session, IRdoUtils* utils, IRdoFolder* folder,
                 CItemsEvents* owner, const VARIANT& key, bool byObjectId, const wchar_t* findLabel,
                 const wchar_t* openLabel, com::ComPtr<IRdoMessage>* out) {
  BYTE found = 0;
  com::Bstr entryId;
  HRESULT hr = GetEntryIDFromPR_SEARCH_KEY(engine, utils, &found, &entryId, folder, key, byObjectId);
  if (!CheckHr(hr, findLabel)) return hr;
  if (!found) return MAPI_E_NOT_FOUND;
  hr = OpenMessageOf(session, owner, entryId.Get(), out);
  CheckHr(hr, openLabel);
  return hr;
}

// One call of CopyDefault2Master.
class CopyBack {
 public:
  CopyBack(CItemsEvents* sink, IRdoSession* session, IRdoUtils* utils, const std::wstring& syncId,
           CMAPIFolderObject* master, CMAPIFolderObject* defaultFolder)
      : sink_(sink), session_(session), utils_(utils), engine_(g_pSyncEngine), syncId_(syncId), master_(master),
        default_(defaultFolder) {}

  HRESULT Run();

 private:
  HRESULT OpenItems();
  HRESULT CopyOntoMaster();
  HRESULT SaveBoth();
  void ReminderSteps();
  void WriteUserLog();

  CItemsEvents* sink_;
  IRdoSession* session_;
  IRdoUtils* utils_;
  CSyncEngine* engine_;
  std::wstring syncId_;
  CMAPIFolderObject* master_;
  CMAPIFolderObject* default_;
  com::Variant key_;
  com::ComPtr<IRdoFolder> defaultFolder_, masterFolder_;
  com::ComPtr<IRdoMessage> masterItem_, slaveItem_;
};

HRESULT CopyBack::Run() {
  const DWORD start = DWORD(clk::TickMs());
  DebugLogString(L"CopyDefault2Master::Start", syncId_.c_str());
  HRESULT hr = OpenItems();
  if (SUCCEEDED(hr) && IsDefaultItemOwnWrite(master_, default_, syncId_, slaveItem_.Get())) {
    DebugElapsed(L"CopyDefault2Master", start);
    return S_OK;
  }
  if (SUCCEEDED(hr)) hr = CopyOntoMaster();
  if (SUCCEEDED(hr)) hr = SaveBoth();
  if (SUCCEEDED(hr)) {
    WriteUserLog();
    RecordDefaultItemWrite(master_, default_, utils_, session_, slaveItem_.Get(), syncId_);
    RecordMasterWrite(master_, utils_, session_, masterItem_.Get(), syncId_);
  }
  DebugElapsed(L"CopyDefault2Master", start);
  return hr;
}

HRESULT CopyBack::OpenItems() {
  HRESULT hr = OpenFolderOf(session_, default_->Events, &defaultFolder_);
  if (!CheckHr(hr, L"CopyDefault2Master::GetDefaultFolder")) return hr;
  hr = OpenFolderOf(session_, master_->Events, &masterFolder_);
  if (!CheckHr(hr, L"CopyDefault2Master::GetMasterFolder")) return hr;
  hr = utils_->HexToBin(com::Bstr(syncId_), key_.Put());
  if (!CheckHr(hr, L"CopyDefault2Master::Str2Arr")) return hr;

  hr = FindItem(engine_, session_, utils_, masterFolder_.Get(), master_->Events, key_, sink_->HotMailMode,
                L"CopyDefault2Master::EIDFromSKEY.MASTER", L"CopyDefault2Master::MSGFromEID.MASTER", &masterItem_);
  if (hr == MAPI_E_NOT_FOUND) LogError(hr, L"CopyDefault2Master::MsgIDFromMasterNotFound");
  if (FAILED(hr)) return hr;
  hr = FindItem(engine_, session_, utils_, defaultFolder_.Get(), default_->Events, key_, sink_->HotMailMode,
                L"CopyDefault2Master::EIDFromSKEY.SLAVE", L"CopyDefault2Master::MSGFromEID.SLAVE", &slaveItem_);
  if (hr == MAPI_E_NOT_FOUND) LogError(hr, L"CopyDefault2Master::MsgIDFromSlaveNotFound");
  return hr;
}

HRESULT CopyBack::CopyOntoMaster() {
  PutDefaultCategories(default_, utils_, slaveItem_.Get());
  HRESULT hr = slaveItem_->CopyTo(com::Variant(static_cast<IDispatch*>(masterItem_.Get())), nullptr);
  if (!CheckHr(hr, L"CopyDefault2Master::CopyTo")) return hr;
  cleanRecipients(engine_, masterItem_.Get());
  return S_OK;
}

// The default-folder item first: when it cannot be saved (the user changed it
// meanwhile), the master keeps its old content, so the user's newer change is
// not overwritten by the next pass and is copied then.
HRESULT CopyBack::SaveBoth() {
  HRESULT hr = TouchAndSave(slaveItem_.Get());
  if (FAILED(hr)) {
    LogError(hr, L"CopyDefault2Master::SaveDefaultMail");
    return hr;
  }
  ReminderSteps();
  hr = masterItem_->Save();
  if (FAILED(hr)) LogError(hr, L"CopyDefault2Master::SaveMasterItem");
  return hr;
}

void CopyBack::ReminderSteps() {
  CItemsEvents* job = master_->Events;
  if (job->DONT_SYNC_REMINDERS) {
    HRESULT hr = CopyOldReminder(engine_, utils_, masterItem_.Get(), kSideMaster);
    if (SUCCEEDED(hr)) hr = RemoveReminder(engine_, utils_, masterItem_.Get(), kSideMaster, true);
    CheckHr(hr, L"CopyDefault2Master::RemoveReminders");
  } else if (job->iCloudMode) {
    CheckHr(ReminderToiCloud(engine_, masterItem_.Get(), slaveItem_.Get()), L"CopyDefault2Master::ReminderToiCloud");
  }
}

void CopyBack::WriteUserLog() {
  if (!engine_ || !engine_->UserLogOn) return;
  com::Bstr folderName;
  if (FAILED(masterFolder_->get_Name(folderName.Put()))) return;
  engine_->UserLog(kUserLogRule);
  engine_->UserLogString(L"CHANGE(S=>M):", com::Bstr(SubjectOr(masterItem_.Get(), kNoSubject)).Detach());
  engine_->UserLogString(L"IN:", folderName.Detach());
  engine_->UserLog(kUserLogRule);
}

// One call of PSTprocessItemInDefaultFolder.
class DefaultItem {
 public:
  DefaultItem(CItemsEvents* sink, IRdoSession* session, IRdoUtils* utils, const std::wstring& syncId, DATE slaveDate)
      : sink_(sink), owner_(sink->Owner), session_(session), utils_(utils), engine_(g_pSyncEngine), syncId_(syncId),
        slaveDate_(slaveDate) {}

  BYTE Run(const std::vector<std::wstring>& categories, HRESULT* outcome);

 private:
  HRESULT Prepare();
  HRESULT ForCategory(const std::wstring& category, bool* holdItem);
  bool JobMissedByLookup(const std::wstring& category);
  bool HeldByReminder();
  HRESULT NewItem(CMAPIFolderObject* job);
  HRESULT GiveObjectId();
  HRESULT MasterIsNewer(CMAPIFolderObject* job, IRdoFolder* jobFolder, DATE masterDate);
  HRESULT SlaveIsNewer(CMAPIFolderObject* job, DATE masterDate);

  CItemsEvents* sink_;
  CMAPIFolderObject* owner_;
  IRdoSession* session_;
  IRdoUtils* utils_;
  CSyncEngine* engine_;
  std::wstring syncId_;
  DATE slaveDate_;
  com::Variant key_;
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
  if (!CheckHr(hr, L"PSTprocessItemInDefaultFolder::OwnFolder")) return hr;
  hr = utils_->HexToBin(com::Bstr(syncId_), key_.Put());
  CheckHr(hr, L"PSTprocessItemInDefaultFolder::Str2Arr");
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
    return hr;
  }
  if (HeldByReminder()) {
    DebugLog(L"PSTprocessItemInDefaultFolder::Sorry, Elem is in reminders");
    *holdItem = true;
    return kHeldByReminder;
  }
  bool found = false;
  DATE masterDate = 0;
  hr = GetLastModificationFromSearchKey(sink_, utils_, session_, &found, &masterDate, jobFolder.Get(), syncId_);
  if (!CheckHr(hr, L"PSTprocessItemInDefaultFolder::LastModifErr")) return hr;
  if (!found) return NewItem(job);
  switch (CompareItemDates(masterDate, slaveDate_, Tolerance(engine_), false)) {
    case NewerSide::kMaster: return MasterIsNewer(job, jobFolder.Get(), masterDate);
    case NewerSide::kEqual: result_ = 0; return S_OK;
    case NewerSide::kSlave: return SlaveIsNewer(job, masterDate);
  }
  return S_OK;
}

// The job lookup also fails when a job's folder could not be opened for a
// moment; such a job's change must wait for a later pass, not be passed over
// for good. True when a running job of this category and item kind exists.
bool DefaultItem::JobMissedByLookup(const std::wstring& category) {
  if (!engine_) return false;
  for (int i = 0; CMAPIFolderObject* f = engine_->GetFolderObject(i, true); ++i) {
    if (!f->RunFlag || f->IsStandard || !f->Events || category != f->Categorie) continue;
    com::ComPtr<IRdoFolder> folder;
    long type = -1;
    HRESULT hr = OpenFolderOf(session_, f->Events, &folder);
    if (SUCCEEDED(hr)) hr = folder->get_DefaultItemType(&type);
    if (FAILED(hr) || type == itemType_) {
      LogError(FAILED(hr) ? hr : E_FAIL, L"PSTprocessItemInDefaultFolder::F1");
      return true;
    }
  }
  return false;
}

bool DefaultItem::HeldByReminder() {
  if (!inReminders_) inReminders_ = IsItemInReminders(session_, utils_, syncId_);
  return *inReminders_;
}

HRESULT DefaultItem::NewItem(CMAPIFolderObject* job) {
  com::ComPtr<IRdoMessage> item;
  HRESULT hr = FindItem(engine_, session_, utils_, ownFolder_.Get(), sink_, key_, sink_->HotMailMode,
                        L"PSTprocessItemInDefaultFolder::EIDFromSKAY", L"PSTprocessItemInDefaultFolder::MessageFromID",
                        &item);
  if (hr == MAPI_E_NOT_FOUND && sink_->HotMailMode) return GiveObjectId();
  if (FAILED(hr)) {
    // Gone since the listing, or unreadable: nothing is copied.
    LogError(hr, L"PSTprocessItemInDefaultFolder::MessageFromID");
    return hr;
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
  result_ = 1;
  return S_OK;
}

// An item of an Internet-calendar store that has no meeting GlobalObjectId
// gets one made of its sync id and EntryID; the next pass lists it under
// that one and copies it then.
HRESULT DefaultItem::GiveObjectId() {
  DebugLog(L"PSTprocessItemInDefaultFolder:ObjectID prop missing");
  com::ComPtr<IRdoMessage> item;
  HRESULT hr = FindItem(engine_, session_, utils_, ownFolder_.Get(), sink_, key_, false,
                        L"PSTprocessItemInDefaultFolder::EIDFromSKAY", L"PSTprocessItemInDefaultFolder::MessageFromID",
                        &item);
  if (FAILED(hr)) {
    LogError(hr, L"PSTprocessItemInDefaultFolder::MessageFromID");
    return hr;
  }
  if (!sink_->BOTH_DIRECTIONS) return S_OK;
  long id = 0;
  hr = utils_->GetNamedPropId(item.Get(), com::Bstr(kMeetingSet), com::Variant(0x0003L), 0, &id);
  // A store that never mapped the property cannot take it; trying again
  // would not change that.
  if (!CheckHr(hr, L"GlobalObjId?")) return S_OK;
  com::Bstr entryId;
  hr = item->get_EntryID(entryId.Put());
  com::Variant objectId;
  if (SUCCEEDED(hr)) hr = utils_->HexToBin(com::Bstr(syncId_ + entryId.Str()), objectId.Put());
  if (SUCCEEDED(hr)) hr = utils_->SetPropByTag(item.Get(), id | kTypeBinary, objectId, 1);
  if (!CheckHr(hr, L"PSTprocessItemInDefaultFolder::SetObjectId")) return hr;
  PutDefaultCategories(owner_, utils_, item.Get());
  return S_OK;
}

HRESULT DefaultItem::MasterIsNewer(CMAPIFolderObject* job, IRdoFolder* jobFolder, DATE masterDate) {
  result_ = 1;
  com::ComPtr<IRdoMessage> masterItem, slaveItem;
  HRESULT hr = FindItem(engine_, session_, utils_, jobFolder, job->Events, key_, sink_->HotMailMode,
                        L"PSTprocessItemInDefaultFolder::EIDFromSKEY.MASTER",
                        L"PSTprocessItemInDefaultFolder::MSGFromEID.MASTER", &masterItem);
  if (FAILED(hr)) return hr;
  if (IsPSTMyChange(job->Events, syncId_, masterItem.Get())) return S_OK;
  hr = FindItem(engine_, session_, utils_, ownFolder_.Get(), sink_, key_, sink_->HotMailMode,
                L"PSTprocessItemInDefaultFolder::EIDFromSKEY.SLAVE", L"PSTprocessItemInDefaultFolder::MSGFromEID.SLAVE",
                &slaveItem);
  if (FAILED(hr)) return hr;

  hr = masterItem->CopyTo(com::Variant(static_cast<IDispatch*>(slaveItem.Get())), nullptr);
  if (FAILED(hr)) {
    LogError(hr, L"PSTprocessItemInDefaultFolder::SlaveItem CopyTo MasterItem");
    return hr;
  }
  cleanRecipients(engine_, slaveItem.Get());
  // After the copy, which brings the master's categories: a master item
  // without the job's category must not take it off the default-folder item,
  // or the user's later changes there would never be listed again.
  Cat2Item(owner_, utils_, slaveItem.Get(), job->Categorie);
  if (job->Events->DONT_SYNC_REMINDERS) {
    HRESULT r = CopyOldReminder(engine_, utils_, slaveItem.Get(), kSideDefault);
    if (SUCCEEDED(r)) r = RemoveReminder(engine_, utils_, slaveItem.Get(), kSideDefault, !job->Events->BOTH_DIRECTIONS);
    CheckHr(r, L"PSTprocessItemInDefaultFolder::Reminder");
  } else if (job->Events->iCloudMode) {
    CheckHr(ReminderFromiCloud2PST(engine_, masterItem.Get(), slaveItem.Get()), L"PSTprocessItemInDefaultFolder::Reminder");
  }
  if (g_bDebugLog) {
    DebugLog(L"PSTprocessItemInDefaultFolder::Masteritem is newer");
    DebugLogString(DateText(masterDate).c_str(), (L" > " + DateText(slaveDate_)).c_str());
  }
  hr = TouchAndSave(slaveItem.Get());
  if (FAILED(hr)) {
    LogError(hr, L"PSTprocessItemInDefaultFolder::SlaveItem CopyTo MasterItem");
    return hr;
  }
  hr = TouchAndSave(masterItem.Get());
  if (FAILED(hr)) {
    LogError(hr, L"PSTprocessItemInDefaultFolder::CopyDefault2Master::SaveMasterItem");
    return hr;
  }
  RecordMasterWrite(job, utils_, session_, masterItem.Get(), syncId_);
  RecordDefaultItemWrite(job, owner_, utils_, session_, slaveItem.Get(), syncId_);
  return S_OK;
}

HRESULT DefaultItem::SlaveIsNewer(CMAPIFolderObject* job, DATE masterDate) {
  result_ = 1;
  if (g_bDebugLog) {
    DebugLog(L"PSTprocessItemInDefaultFolder::Slave (Item im Standardordner) is newer:");
    DebugLogString(DateText(masterDate).c_str(), (L" < " + DateText(slaveDate_)).c_str());
  }
  return CopyDefault2Master(sink_, session_, utils_, syncId_, job, owner_);
}

}  // namespace

BYTE PSTprocessItemInDefaultFolder(CItemsEvents* sink, IRdoSession* session, IRdoUtils* utils,
                                   const std::wstring& syncId, DATE slaveDate,
                                   const std::vector<std::wstring>& categories, HRESULT* outcome) {
  if (outcome) *outcome = S_OK;
  if (!sink) return 0;
  if (sink->ExchangeMode) return 1;
  if (!session || !utils || !sink->Owner) {
    if (outcome) *outcome = E_FAIL;
    return 0;
  }
  return DefaultItem(sink, session, utils, syncId, slaveDate).Run(categories, outcome);
}

HRESULT CopyDefault2Master(CItemsEvents* sink, IRdoSession* session, IRdoUtils* utils, const std::wstring& syncId,
                           CMAPIFolderObject* master, CMAPIFolderObject* defaultFolder) {
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
  return CopyBack(sink, session, utils, syncId, master, defaultFolder).Run();
}
