#include "exchange_items.h"

#include <mapicode.h>

#include <algorithm>
#include <cwchar>
#include <string>

#include "bstr.h"
#include "clock.h"
#include "com_ptr.h"
#include "delete_lists.h"
#include "exchange_sync.h"
#include "folder_object.h"
#include "item_content.h"
#include "item_copy.h"
#include "item_filter.h"
#include "item_identity.h"
#include "item_time.h"
#include "logs.h"
#include "pst_items.h"
#include "pst_pass.h"
#include "pst_write.h"
#include "rdo_folder.h"
#include "reminders.h"
#include "settings.h"
#include "sync_engine.h"
#include "variant.h"

namespace {

constexpr DWORD kTrayWarning = 2;
constexpr DWORD kICloudPauseMs = 2;
// The master-to-slave blocks of the user log use a shorter rule.
constexpr wchar_t kShortUserLogRule[] = L"---------------";

void DebugElapsed(const wchar_t* format, DWORD start) {
  if (!g_bDebugLog) return;
  wchar_t line[96];
  swprintf(line, 96, format, int(DWORD(clk::TickMs()) - start));
  DebugLog(line);
}


// Opens the folder of another folder object through the calling worker's
// own session (a wrapper folder held by another worker belongs to that
// worker's apartment).
HRESULT OpenFolderOfObject(IRdoSession* session, CMAPIFolderObject* f, com::ComPtr<IRdoFolder>* out) {
  CItemsEvents* sink = f->Events;
  HRESULT hr = session->GetFolderById(sink->EntryID, com::LentBstr(sink->StoreID), f->Engine()->OpenFlags,
                                      out->Put());
  if (SUCCEEDED(hr) && !*out) hr = MAPI_E_NOT_FOUND;
  return hr;
}

HRESULT OpenItemOfObject(IRdoSession* session, CMAPIFolderObject* f, BSTR entryId, com::ComPtr<IRdoMessage>* out) {
  HRESULT hr = session->GetMessageById(entryId, com::LentBstr(f->Events->StoreID), f->Engine()->OpenFlags,
                                       out->Put());
  if (SUCCEEDED(hr) && !*out) hr = MAPI_E_NOT_FOUND;
  return hr;
}

bool ReadModificationTime(IRdoMessage* message, DATE* time) {
  *time = 0;
  return message && SUCCEEDED(message->get_LastModificationTime(time)) && *time != 0;
}

// What tells one write of an item from the next: its change key, which every
// commit renews (two commits within one tick of the store's clock carry the
// same modification time), and the time where a store has no change key.
struct ItemVersion {
  std::wstring changeKey;
  DATE time = 0;
  bool operator==(const ItemVersion&) const = default;
};

ItemVersion VersionOf(IRdoUtils* utils, IRdoMessage* message) {
  ItemVersion version;
  if (!message) return version;
  ReadModificationTime(message, &version.time);
  version.changeKey = HexOfProperty(utils, message, kTagChangeKey);
  return version;
}

// What is known of an item that the run hands on: a change the run reports
// since its last state came after the add-in's last write of the item (its
// own writes do not come); a run from nothing reports every item.
SinceOwnWrite ReportedItem(bool changedSinceLastState) {
  return changedSinceLastState ? SinceOwnWrite::kChanged : SinceOwnWrite::kUnknown;
}

// Records a write of the add-in into `target`'s folder (the item `item`
// with sync id `syncId`, just saved for the job of `job`), so that the next
// run or pass of `target` does not take it for the user's change; an
// Exchange folder also learns the item's keys, so that its deletion can be
// followed. `targetFolder`: that folder as this worker opened it, if it did.
void RegisterOwnWrite(CMAPIFolderObject* target, CMAPIFolderObject* job, IRdoSession* session, IRdoUtils* utils,
                      IRdoMessage* item, const std::wstring& syncId, IRdoFolder* targetFolder = nullptr) {
  CItemsEvents* sink = target->Events;
  if (sink->ExchangeMode) {
    RegisterExchangeWrite(target, session, utils, item, syncId, targetFolder);
    NoteSharedItemWriter(target, job, utils, item);
  } else if (target->IsStandard) {
    // A personal default folder keeps its own writes per job.
    RecordDefaultItemWrite(job, target, utils, session, item, syncId);
  } else {
    AddToPSTChangeKeyList(sink, utils, session, item, syncId);
  }
}

// A new item of a personal folder: its sync id goes into the folder's list
// for the deleted-items search (an Exchange folder's key maps learnt it
// with the registration).
void RememberNewItem(CMAPIFolderObject* target, const std::wstring& syncId) {
  if (!target->Events->ExchangeMode) target->Events->AddToFolderCacheList(syncId.c_str());
}

// Hands a failing status to the caller that asked for it; false.
bool ReportFailure(HRESULT* failure, HRESULT hr) {
  if (failure) *failure = FAILED(hr) ? hr : E_FAIL;
  return false;
}

// Shows that the store refused a write; `route` gives the names of the way
// the item took ("from => to"), which are read only then.
template <typename Route>
void ReportAccessDenied(CSyncEngine* engine, HRESULT hr, Route route) {
  std::wstring title;
  if (!engine->GetAccessDeniedText(hr, title)) return;
  engine->SetTrayMessage(title.c_str(), route().c_str(), kTrayWarning);
}

// Finds the EntryID of the item of `folder` with the key `key`.
HRESULT FindEntryId(CSyncEngine* engine, IRdoUtils* utils, IRdoFolder* folder, const VARIANT& key, bool byObjectId,
                    bool* found, com::Bstr* entryId) {
  BYTE hit = 0;
  HRESULT hr = GetEntryIDFromPR_SEARCH_KEY(engine, utils, &hit, entryId, folder, key, byObjectId);
  *found = SUCCEEDED(hr) && hit;
  return hr;
}

// A new, unsaved item in `folder` of the folder's default class (a custom
// form's class reduced to its standard one).
HRESULT AddItemOfFolderClass(IRdoFolder* folder, const wchar_t* itemsLabel, const wchar_t* classLabel,
                             const wchar_t* addLabel, com::ComPtr<IRdoMessage>* item) {
  com::ComPtr<IRdoItems> items;
  HRESULT hr = folder->get_Items(items.Put());
  if (SUCCEEDED(hr) && !items) hr = E_FAIL;
  if (!CheckHr(hr, itemsLabel)) return hr;
  com::Bstr folderClass;
  hr = folder->get_DefaultMessageClass(folderClass.Put());
  if (!CheckHr(hr, classLabel)) return hr;
  hr = items->Add(com::Variant(NewItemMessageClass(folderClass.Str()).c_str()), item->Put());
  if (SUCCEEDED(hr) && !*item) hr = E_FAIL;
  CheckHr(hr, addLabel);
  return hr;
}

// ---------------------------------------------------------------------------
// Master folder -> default folder.

class MasterToDefault {
 public:
  MasterToDefault(CMAPIFolderObject* master, IRdoSession* session, IRdoUtils* utils, const std::wstring& syncId,
                  IRdoMessage* item, bool changedSinceLastState)
      : master_(master), sink_(master->Events), engine_(master->Engine()), session_(session), utils_(utils),
        syncId_(syncId), masterItem_(item), reported_(ReportedItem(changedSinceLastState)) {}

  bool Run();
  HRESULT Failure() const { return failure_; }

 private:
  // Keeps the first failing status of the hand-on for the caller; false.
  bool Fail(HRESULT hr) {
    if (SUCCEEDED(failure_)) failure_ = FAILED(hr) ? hr : E_FAIL;
    return false;
  }
  bool Process();
  bool CreateCopy();
  bool CreateByFolderCopy();
  bool UpdateCopy(BSTR entryId);
  bool KeyOfAnotherJobsItem(BSTR copyEntryId);
  bool PutCategoryOnMasterItem();
  bool FinishCopy(bool isNew);
  void WriteUserLog(const wchar_t* word);
  std::wstring RouteToDefaultFolder() const {
    return master_->DisplayName.Str() + L" => " + FolderName(defaultFolder_.Get());
  }
  bool TwoWay() const { return sink_->BOTH_DIRECTIONS; }

  CMAPIFolderObject* master_;
  CItemsEvents* sink_;
  CMAPIFolderObject* partner_ = nullptr;
  CSyncEngine* engine_;
  IRdoSession* session_;
  IRdoUtils* utils_;
  std::wstring syncId_;
  IRdoMessage* masterItem_;
  SinceOwnWrite reported_;
  com::Variant key_;
  com::ComPtr<IRdoFolder> defaultFolder_;
  com::ComPtr<IRdoMessage> copy_;
  bool copyHadReminder_ = false;  // before the master item was written over it
  double copyStamp_ = 0;          // the existing copy's, before it is written
  HRESULT failure_ = S_OK;
};

bool MasterToDefault::Run() {
  DebugLog(L"pExInMasterFldr start");
  const DWORD start = DWORD(clk::TickMs());
  const ItemVersion before = VersionOf(utils_, masterItem_);
  const bool ok = Process();
  // A category or origin mark put on the master item is the add-in's write
  // as well; registered last, with the master item's final change.
  if (ok && masterItem_ && VersionOf(utils_, masterItem_) != before)
    RegisterOwnWrite(master_, master_, session_, utils_, masterItem_, syncId_);
  if (ok) DebugLog(L"pExInMasterFldr::MASTERFOLDERITEM=>DEFAULTFOLDER:ExchangeMode");
  DebugElapsed(L"pExInMasterFldr = %d msec", start);
  return ok;
}

bool MasterToDefault::Process() {
  partner_ = master_->Partner;
  if (!partner_ || !partner_->Events) {
    LogError(E_FAIL, L"Destinationfolder does not exist");
    return Fail(E_FAIL);
  }
  if (!sink_->DONT_SYNC_REMINDERS && IsItemInReminders(session_, utils_, syncId_)) {
    DebugLog(L"pExInMasterFldr::Sorry, Elem is in reminders:break");
    return true;
  }
  HRESULT hr = utils_->HexToBin(com::Bstr(syncId_), key_.Put());
  if (!CheckHr(hr, L"pExInMasterFldr::Str2Arr")) return Fail(hr);
  hr = OpenFolderOfObject(session_, partner_, &defaultFolder_);
  if (!CheckHr(hr, L"pExInMasterFldr::GetDefaultFolder")) return Fail(hr);
  bool found = false;
  com::Bstr entryId;
  hr = FindEntryId(engine_, utils_, defaultFolder_.Get(), key_, sink_->HotMailMode, &found, &entryId);
  if (FAILED(hr)) {
    // Not knowing whether the copy exists, nothing is made or overwritten.
    LogError(hr, L"pExInMasterFldr::EIDFromSKEY");
    return Fail(hr);
  }
  if (!masterItem_) {
    LogError(E_FAIL, L"pExInMasterFldr::NO Message from SyncID");
    return Fail(E_FAIL);
  }
  // The filter holds for changes as well: an item made private or marked
  // NO_SYNC after its copy was made stops flowing (its copy stays).
  if (!iIA(master_, masterItem_, master_)) {
    DebugLog(L"pExInMasterFldr::refused by the item filter");
    return true;
  }
  if (found && KeyOfAnotherJobsItem(entryId)) {
    // Under its new key the item has no copy yet.
    HRESULT rekeyed = utils_->HexToBin(com::Bstr(syncId_), key_.Put());
    if (!CheckHr(rekeyed, L"pExInMasterFldr::Str2Arr")) return Fail(rekeyed);
    return CreateCopy();
  }
  return found ? UpdateCopy(entryId) : CreateCopy();
}

// Another master of this default folder holds an item with this key too:
// the user copied it from there into this one. When WhoseKeyChanges names
// this item, it takes a sync id of its own and gets a copy of its own; true.
// Otherwise the other master's worker makes the same repair from its side.
bool MasterToDefault::KeyOfAnotherJobsItem(BSTR copyEntryId) {
  if (sink_->HotMailMode) return false;
  com::ComPtr<IRdoMessage> copy;
  for (int i = 0; CMAPIFolderObject* other = engine_->GetFolderObject(i, false); ++i) {
    if (other == master_ || other->IsStandard || other->Partner != partner_ || !other->Events ||
        other->Events->HotMailMode)
      continue;
    com::ComPtr<IRdoFolder> otherFolder;
    if (FAILED(OpenFolderOfObject(session_, other, &otherFolder))) continue;
    bool theirs = false;
    com::Bstr theirEntryId;
    if (FAILED(FindEntryId(engine_, utils_, otherFolder.Get(), key_, false, &theirs, &theirEntryId)) || !theirs)
      continue;
    if (!copy && FAILED(OpenItemOfObject(session_, partner_, copyEntryId, &copy))) return false;
    // The other side's item is re-keyed by its own worker.
    const NewKeyFor who = WhoseKeyChanges(HasCategory(copy.Get(), master_->Categorie),
                                          HasCategory(copy.Get(), other->Categorie), [&] {
                                            com::ComPtr<IRdoMessage> theirItem;
                                            if (FAILED(OpenItemOfObject(session_, other, theirEntryId, &theirItem)))
                                              return false;
                                            const double mine = StampOf(utils_, masterItem_);
                                            const double theirs = StampOf(utils_, theirItem.Get());
                                            return mine != 0 && theirs != 0 &&
                                                   !IsLater(TimeOf(other, theirs), TimeOf(master_, mine));
                                          });
    if (who != NewKeyFor::kMine) continue;
    com::Bstr newKey;
    HRESULT hr = SetNewSyncID(engine_, utils_, masterItem_, &newKey, true);
    if (FAILED(hr) || newKey.Empty() || newKey.Str() == syncId_) {
      LogError(FAILED(hr) ? hr : E_FAIL, L"pExInMasterFldr::new sync id");
      return false;
    }
    DebugLogString(L"pExInMasterFldr::key shared with another job, new sync id for:",
                   SubjectOr(masterItem_, kNoSubject).c_str());
    syncId_ = newKey.Str();
    return true;
  }
  return false;
}

bool MasterToDefault::CreateCopy() {
  if (TwoWay()) {
    // On the master first, so that the copy carries the category. "Mark as
    // private" is for the copies: the user's own item keeps its sensitivity.
    DebugLog(L"pExInMasterFldr::Category2MasterItem");
    if (!PutCategoryOnMasterItem()) return false;
  }
  if (g_bDebugLog) DebugLogString(L"Destination is", FolderName(defaultFolder_.Get()).c_str());
  if (TwoWay()) {
    HRESULT hr = MarkAsSource(engine_, utils_, masterItem_, kSideMaster);
    if (!CheckHr(hr, L"pExInMasterFldr::MarkAsSource")) return Fail(hr);
  }
  HRESULT hr = AddItemOfFolderClass(defaultFolder_.Get(), L"pExInMasterFldr::destItems",
                                    L"pExInMasterFldr::DefaultMessageClass", L"pExInMasterFldr::Add", &copy_);
  if (FAILED(hr)) {
    if (partner_->Events->iCloudMode) return CreateByFolderCopy();
    LogError(hr, L"pExInMasterFldr::MASTERFOLDERITEM=>DEFAULTFOLDER::AddItem");
    return Fail(hr);
  }
  hr = masterItem_->CopyTo(com::Variant(static_cast<IDispatch*>(copy_.Get())), nullptr);
  ReportAccessDenied(engine_, hr, [&] { return RouteToDefaultFolder(); });
  if (!CheckHr(hr, L"pExInMasterFldr::CopyToFolder")) {
    // The unsaved new item is dropped with its reference.
    LogError(hr, L"pExInMasterFldr::MASTERFOLDERITEM=>DEFAULTFOLDER::AddItem");
    return Fail(hr);
  }
  // A two-way copy carries the category already; the private mark it gets
  // here all the same.
  Cat2Item(master_, utils_, copy_.Get(), master_->Categorie);
  hr = copy_->Save();
  if (!CheckHr(hr, L"pExInMasterFldr::Save")) {
    LogError(hr, L"pExInMasterFldr::SaveMasterItem");
    return Fail(hr);
  }
  DebugLog(L"Copy2Ready");
  return FinishCopy(true);
}

// A store that cannot make new items (iCloud) takes a copy of the whole
// item instead, which is then found by its key.
bool MasterToDefault::CreateByFolderCopy() {
  DebugLog(L"FallBack.CopyTo(iCloud)");
  com::ComPtr<IRdoMessage> returned;
  HRESULT hr = masterItem_->CopyTo(com::Variant(static_cast<IDispatch*>(defaultFolder_.Get())), returned.Put());
  clk::Sleep(kICloudPauseMs);
  ReportAccessDenied(engine_, hr, [&] { return RouteToDefaultFolder(); });
  if (!CheckHr(hr, L"CopyTo(iCloud)")) return Fail(hr);
  if (returned && FAILED(hr = GiveFreshCopyTheKey(utils_, returned.Get(), syncId_))) return Fail(hr);
  bool found = false;
  com::Bstr entryId;
  hr = FindEntryId(engine_, utils_, defaultFolder_.Get(), key_, false, &found, &entryId);
  if (FAILED(hr) || !found) {
    LogError(FAILED(hr) ? hr : MAPI_E_NOT_FOUND, L"pExInDefFldr:Just copied msg not found");
    return Fail(FAILED(hr) ? hr : MAPI_E_NOT_FOUND);
  }
  hr = OpenItemOfObject(session_, partner_, entryId, &copy_);
  if (!CheckHr(hr, L"pExInMasterFldr::FallBackiCloud")) return Fail(hr);
  clk::Sleep(kICloudPauseMs);
  Cat2Item(master_, utils_, copy_.Get(), master_->Categorie);
  partner_->Events->SetICloudEntry(syncId_, entryId.Str());
  clk::Sleep(kICloudPauseMs);
  return FinishCopy(true);
}

bool MasterToDefault::UpdateCopy(BSTR entryId) {
  HRESULT hr = OpenItemOfObject(session_, partner_, entryId, &copy_);
  if (FAILED(hr)) {
    LogError(hr, L"pExInMasterFldr::GetMessageFromID");
    return Fail(hr);
  }
  const double masterStamp = StampOf(utils_, masterItem_);
  copyStamp_ = StampOf(utils_, copy_.Get());
  const ItemTime copyTime =
      TimeOf(partner_, copyStamp_, DefaultItemSinceOwnWrite(master_, partner_, syncId_, copyStamp_));
  if (CheckHr(masterStamp != 0 && copyStamp_ != 0 ? S_OK : E_FAIL, L"pExInMasterFldr::GetDate") &&
      IsLater(copyTime, TimeOf(master_, masterStamp, reported_))) {
    // Changed in the default folder since: that change goes the other way.
    DebugLog(L"Cannot copy M=>S (MDATE < SDATE)");
    return true;
  }
  if (ItemContent::Of(copy_.Get()).Holds(ItemContent::Of(masterItem_), WriteRulesOf(master_, true))) {
    // The copy holds the master item's content already (an echo of either
    // side, a run from nothing): nothing is copied.
    DebugLog(L"pExInMasterFldr::copy holds the master item's content: not written");
    copy_.Reset();
    return !TwoWay() || PutCategoryOnMasterItem();
  }
  const CopyPrivacy before = PrivacyBeforeWrite(copy_.Get());
  copyHadReminder_ = ReminderIsSet(copy_.Get());
  hr = masterItem_->CopyTo(com::Variant(static_cast<IDispatch*>(copy_.Get())), nullptr);
  ReportAccessDenied(engine_, hr, [&] { return RouteToDefaultFolder(); });
  if (FAILED(hr)) {
    LogError(hr, L"pExInMasterFldr MasterItem CopyTo Defaultitem");
    return Fail(hr);
  }
  cleanRecipients(engine_, copy_.Get());
  ClearCategoriesTheSourceLacks(master_, masterItem_, copy_.Get());
  DebugLog(L"pExInMasterFldr::Category4Slave");
  Cat2Item(master_, utils_, copy_.Get(), master_->Categorie, PrivateMark::kNever);
  KeepCopyPrivacy(master_, copy_.Get(), before);
  if (TwoWay() && !PutCategoryOnMasterItem()) return false;
  return FinishCopy(false);
}

// The copy is written from the master item as it was read. When the store
// refused to save the category on it, the item changed meanwhile (the user
// edited it while the run held it): a copy of what was read would be newer
// than that edit and hide it, so the hand-on fails and the change comes
// again with the item as it is.
bool MasterToDefault::PutCategoryOnMasterItem() {
  HRESULT saved = S_OK;
  Cat2Item(master_, utils_, masterItem_, master_->Categorie, PrivateMark::kNever, &saved);
  return CheckHr(saved, L"pExInMasterFldr::SaveMasterItem") || Fail(saved);
}

// The reminder rule, the save and the registration of the copy.
bool MasterToDefault::FinishCopy(bool isNew) {
  if (sink_->DONT_SYNC_REMINDERS) {
    HRESULT hr = isNew ? RemoveReminder(engine_, utils_, copy_.Get(), kSideDefault, !TwoWay())
                       : ReminderAfterWrite(engine_, utils_, copy_.Get(), kSideDefault, copyHadReminder_,
                                            masterItem_, !TwoWay());
    if (FAILED(hr)) {
      LogError(hr, L"pExInMasterFldr MasterItem CopyTo Defaultitem");
      return Fail(hr);
    }
  }
  HRESULT hr = SaveOwnWrite(partner_, utils_, copy_.Get(), isNew ? 0 : copyStamp_);
  if (!CheckHr(hr, L"pExInMasterFldr::SaveSlaveFailed")) {
    LogError(hr, L"pExInMasterFldr MasterItem CopyTo Defaultitem");
    return Fail(hr);
  }
  RegisterOwnWrite(partner_, master_, session_, utils_, copy_.Get(), syncId_, defaultFolder_.Get());
  if (isNew) RememberNewItem(partner_, syncId_);
  WriteUserLog(isNew ? L"NEW:" : L"CHANGE:");
  return true;
}

void MasterToDefault::WriteUserLog(const wchar_t* word) {
  if (!engine_->UserLogOn) return;
  engine_->UserLog(kShortUserLogRule);
  engine_->UserLogString(word, com::Bstr(SubjectOr(masterItem_, kNoSubject)).Detach());
  engine_->UserLogString(L"IN:", com::Bstr(partner_->DisplayName.Str()).Detach());
}

// ---------------------------------------------------------------------------
// Default folder -> master folders.

class DefaultToMasters {
 public:
  DefaultToMasters(CMAPIFolderObject* folder, IRdoSession* session, IRdoUtils* utils, const std::wstring& syncId,
                   IRdoFolder* defaultFolder, IRdoMessage* item, const std::wstring& writer, bool changedSinceLastState)
      : default_(folder), sink_(folder->Events), engine_(folder->Engine()), session_(session), utils_(utils),
        syncId_(syncId), defaultFolder_(defaultFolder), item_(item), writer_(writer),
        reported_(ReportedItem(changedSinceLastState)) {}

  bool Run(const std::vector<std::wstring>& categories);
  HRESULT Failure() const { return failure_; }

 private:
  // Keeps the first failing status of the hand-on for the caller; false.
  bool Fail(HRESULT hr) {
    if (SUCCEEDED(failure_)) failure_ = FAILED(hr) ? hr : E_FAIL;
    return false;
  }
  bool ForCategory(const std::wstring& category);
  CMAPIFolderObject* JobOf(const std::wstring& category);
  bool CreateInMaster(CMAPIFolderObject* job, IRdoFolder* masterFolder, const VARIANT& key);
  HRESULT AddToMaster(CMAPIFolderObject* job, IRdoFolder* masterFolder, const VARIANT& key,
                      com::ComPtr<IRdoMessage>* created);
  HRESULT CopyIntoMasterFolder(CMAPIFolderObject* job, IRdoFolder* masterFolder, const VARIANT& key,
                               com::ComPtr<IRdoMessage>* created);
  bool FinishNewMasterItem(CMAPIFolderObject* job, IRdoMessage* created);

  CMAPIFolderObject* default_;
  CItemsEvents* sink_;
  CSyncEngine* engine_;
  IRdoSession* session_;
  IRdoUtils* utils_;
  std::wstring syncId_;
  IRdoFolder* defaultFolder_;
  IRdoMessage* item_;
  std::wstring writer_;  // the master whose write this is, left out
  SinceOwnWrite reported_;
  long itemType_ = -1;
  std::vector<CMAPIFolderObject*> jobsSeen_;
  HRESULT failure_ = S_OK;
};

bool DefaultToMasters::Run(const std::vector<std::wstring>& categories) {
  DebugLog(L"process Exchange Item from slave folder");
  const DWORD start = DWORD(clk::TickMs());
  HRESULT hr = defaultFolder_->get_DefaultItemType(&itemType_);
  if (!CheckHr(hr, L"pExInDefFldr::DefaultItemType")) return Fail(hr);
  bool ok = true;
  for (const std::wstring& category : categories) {
    if (!default_->RunFlag) return Fail(E_ABORT);
    if (!ForCategory(category)) ok = false;
  }
  DebugElapsed(L"pExInDefFldr = %d msec", start);
  if (!ok) LogError(E_FAIL, L"pExInDefFldr");
  return ok;
}

// The running two-way master of `category` whose items come to this
// default folder, each master once per item; null when there is none.
CMAPIFolderObject* DefaultToMasters::JobOf(const std::wstring& category) {
  CMAPIFolderObject* job = nullptr;
  HRESULT hr = GetFolderFromCategorie(engine_, session_, category.c_str(), &job, itemType_);
  if (hr == E_FAIL) {
    DebugLog(L"pExInDefFldr::Category not defined as SYNCJOB");
    return nullptr;
  }
  if (FAILED(hr) || !job || !job->Events) return nullptr;
  // A job whose items go to another folder (a category subfolder, another
  // store's default folder) is not this folder's: copying there would make
  // a second item beside the one its own target sends.
  if (job->Partner != default_) {
    DebugLog(L"pExInDefFldr::job of another default folder");
    return nullptr;
  }
  if (std::find(jobsSeen_.begin(), jobsSeen_.end(), job) != jobsSeen_.end()) return nullptr;
  if (!writer_.empty() && job->Events->EntryID.Str() == writer_) return nullptr;
  jobsSeen_.push_back(job);
  if (!job->Events->BOTH_DIRECTIONS) {
    DebugLog(L"pExInDefFldr, but BOTH_DIRECTIONS not activated");
    return nullptr;
  }
  return job;
}

bool DefaultToMasters::ForCategory(const std::wstring& category) {
  if (sink_->MasterCreateSubfolder) {
    const std::wstring name = FolderName(defaultFolder_);
    if (name.empty()) CheckHr(E_FAIL, L"pExInDefFldr::NONOAME");
    if (name != category) return true;
  }
  CMAPIFolderObject* job = JobOf(category);
  if (!job) return true;

  com::Variant key;
  HRESULT hr = utils_->HexToBin(com::Bstr(syncId_), key.Put());
  if (!CheckHr(hr, L"pExInDefFldr::Str2Arr")) return Fail(hr);
  com::ComPtr<IRdoFolder> masterFolder;
  hr = OpenFolderOfObject(session_, job, &masterFolder);
  if (!CheckHr(hr, L"pExInDefFldr::No Folder From ID")) {
    LogError(hr, L"pExInDefFldr::GetElemFromID");
    return Fail(hr);
  }
  if (sink_->HotMailMode) {
    std::wstring objectId = item_ ? LoggedGlobalObjectIdHex(utils_, item_) : std::wstring();
    if (objectId.empty() && item_) {
      // The masters of this pair find counterparts by meeting id. Without
      // one, the master's copy would get an id of its own from its store and
      // come back as another item: the item gets one first (kept with its
      // other changes by the item's save below).
      hr = GiveGlobalObjectId(utils_, item_, syncId_, &objectId);
      if (SUCCEEDED(hr)) hr = item_->Save();
      if (!CheckHr(hr, L"pExInDefFldr::SetObjectId")) return Fail(hr);
    }
    com::Variant objectKey;
    if (!objectId.empty() && SUCCEEDED(utils_->HexToBin(com::Bstr(objectId), objectKey.Put())))
      key = std::move(objectKey);
    else
      LogError(E_FAIL, L"GetSyncID_AS_PR_SEARCH_KEY (GlobalId) failed");
  }
  bool found = false;
  com::Bstr entryId;
  hr = FindEntryId(engine_, utils_, masterFolder.Get(), key, sink_->HotMailMode, &found, &entryId);
  if (FAILED(hr)) {
    // Not knowing whether the master has the item, nothing is made.
    LogError(hr, L"pExInDefFldr::GetElemFromID");
    return Fail(hr);
  }
  if (found) {
    hr = CopyDefaultItem2Master(session_, utils_, syncId_, key, job, default_, masterFolder.Get(), defaultFolder_,
                                reported_);
    return SUCCEEDED(hr) || Fail(hr);
  }
  return CreateInMaster(job, masterFolder.Get(), key);
}

bool DefaultToMasters::CreateInMaster(CMAPIFolderObject* job, IRdoFolder* masterFolder, const VARIANT& key) {
  if (!item_) {
    LogError(E_FAIL, L"pExInDefFldr::slaveitem=NULL");
    return Fail(E_FAIL);
  }
  if (!iIA(default_, item_, job)) {
    DebugLog(L"pExInDefFldr::ElemNotFound(not Allowed?)");
    return true;
  }
  if (job->Events->DONT_SYNC_REMINDERS) {
    // The copy carries the origin, so the master's copy loses the reminder.
    HRESULT hr = MarkAsSource(engine_, utils_, item_, kSideDefault);
    if (!CheckHr(hr, L"pExInDefFldr::MarkAsSource")) return Fail(hr);
  }
  com::ComPtr<IRdoMessage> created;
  HRESULT hr = AddToMaster(job, masterFolder, key, &created);
  if (FAILED(hr) && job->Events->iCloudMode) hr = CopyIntoMasterFolder(job, masterFolder, key, &created);
  if (FAILED(hr)) {
    LogError(hr, L"pExInDefFldr::CopyTo failed");
    return Fail(hr);
  }
  DebugLog(L"pExInDefFldr::Copy2Ready");
  DebugLog(L"pExInDefFldr::NewItemInMasterAdded");
  return FinishNewMasterItem(job, created.Get());
}

HRESULT DefaultToMasters::AddToMaster(CMAPIFolderObject* job, IRdoFolder* masterFolder, const VARIANT& key,
                                      com::ComPtr<IRdoMessage>* created) {
  HRESULT hr = AddItemOfFolderClass(masterFolder, L"pExInDefFldr::destItems", L"pExInDefFldr::DefaultMessageClass",
                                    L"pExInDefFldr::Add", created);
  if (FAILED(hr)) return hr;
  const bool iCloud = job->Events->iCloudMode;
  // Saved under a key of its own, the new item would be taken for one of
  // the user's; unsaved, it is dropped with its reference.
  if (iCloud && !CheckHr(hr = WriteOriginalKey(utils_, created->Get(), key), L"pExInDefFldr::SetKey(iCloud)"))
    return hr;
  hr = item_->CopyTo(com::Variant(static_cast<IDispatch*>(created->Get())), nullptr);
  ReportAccessDenied(engine_, hr, [&] { return FolderName(defaultFolder_) + L" => " + FolderName(masterFolder); });
  if (!CheckHr(hr, L"pExInDefFldr::CopyToFolder")) return hr;
  cleanRecipients(engine_, created->Get());
  hr = SaveOwnWrite(job, utils_, created->Get());
  if (!CheckHr(hr, iCloud ? L"pExInDefFldr::Save(iCloud)" : L"pExInDefFldr::Save") && iCloud) {
    // An iCloud store may report a failed save of an item it did take.
    bool found = false;
    com::Bstr entryId;
    if (SUCCEEDED(FindEntryId(engine_, utils_, masterFolder, key, false, &found, &entryId)) && found) hr = S_OK;
  }
  return hr;
}

// A store that cannot make new items (iCloud) takes a copy of the whole
// item instead, which is then found by its key.
HRESULT DefaultToMasters::CopyIntoMasterFolder(CMAPIFolderObject* job, IRdoFolder* masterFolder, const VARIANT& key,
                                               com::ComPtr<IRdoMessage>* created) {
  DebugLog(L"FallBack.CopyTo(iCloud)");
  com::ComPtr<IRdoMessage> returned;
  HRESULT hr = item_->CopyTo(com::Variant(static_cast<IDispatch*>(masterFolder)), returned.Put());
  clk::Sleep(kICloudPauseMs);
  if (!CheckHr(hr, L"pExInDefFldr::CopyToMaster")) return hr;
  if (returned && FAILED(hr = GiveFreshCopyTheKey(utils_, returned.Get(), syncId_))) return hr;
  bool found = false;
  com::Bstr entryId;
  hr = FindEntryId(engine_, utils_, masterFolder, key, false, &found, &entryId);
  if (SUCCEEDED(hr) && !found) hr = MAPI_E_NOT_FOUND;
  if (FAILED(hr)) {
    LogError(hr, L"pExInDefFldr:Just copied msg not found");
    return hr;
  }
  hr = OpenItemOfObject(session_, job, entryId, created);
  if (!CheckHr(hr, L"pExInDefFldr::FallBack1")) return hr;
  if (!job->Events->SetICloudEntry(syncId_, entryId.Str())) DebugLog(L"pExInDefFldr:No Elem in List");
  return S_OK;
}

// The new master item is finished here rather than by the copy over an
// existing one: it was saved after the default-folder item, so that copy
// would refuse it as newer and the reminder rule and the registration would
// never happen.
bool DefaultToMasters::FinishNewMasterItem(CMAPIFolderObject* job, IRdoMessage* created) {
  if (job->Events->DONT_SYNC_REMINDERS) {
    HRESULT hr = CopyOldReminder(engine_, utils_, created, kSideMaster);
    if (SUCCEEDED(hr)) hr = RemoveReminder(engine_, utils_, created, kSideMaster, true);
    if (FAILED(hr)) {
      LogError(hr, L"pExInDefFldr::RemoveReminders");
      return Fail(hr);
    }
  }
  RegisterOwnWrite(job, job, session_, utils_, created, syncId_);
  RememberNewItem(job, syncId_);
  FollowRefiling(default_, job, session_, utils_, item_, syncId_, sink_->HotMailMode, StampOf(utils_, item_));
  if (engine_->UserLogOn) {
    engine_->UserLog(L"");
    engine_->UserLog(kUserLogRule);
    engine_->UserLogString(L"NEW(S=>M):", com::Bstr(SubjectOr(item_, kNoSubject)).Detach());
    engine_->UserLogString(L"IN:", com::Bstr(job->DisplayName.Str()).Detach());
    engine_->UserLog(kUserLogRule);
  }
  return true;
}

// ---------------------------------------------------------------------------
// A default-folder item over its existing master item.

class CopyOverMaster {
 public:
  CopyOverMaster(IRdoSession* session, IRdoUtils* utils, const std::wstring& syncId, const VARIANT& key,
                 CMAPIFolderObject* master, CMAPIFolderObject* defaultFolder, SinceOwnWrite defaultItem)
      : session_(session), utils_(utils), engine_(defaultFolder->Engine()), syncId_(syncId), key_(key),
        master_(master), default_(defaultFolder), defaultItemSince_(defaultItem) {}

  HRESULT Run(IRdoFolder* masterFolder, IRdoFolder* defaultFolder);

 private:
  HRESULT FindWithRetries(IRdoFolder* folder, const wchar_t* retryLine, const wchar_t* label, com::Bstr* entryId);
  HRESULT CopyAndSave();
  void WriteUserLog();

  IRdoSession* session_;
  IRdoUtils* utils_;
  CSyncEngine* engine_;
  std::wstring syncId_;
  const VARIANT& key_;
  CMAPIFolderObject* master_;
  CMAPIFolderObject* default_;
  SinceOwnWrite defaultItemSince_;
  com::ComPtr<IRdoMessage> masterItem_, defaultItem_;
  com::Bstr masterId_;
  double masterStamp_ = 0;  // before the copy
  bool unchanged_ = false;  // the master item held the content already
};

HRESULT CopyOverMaster::Run(IRdoFolder* masterFolder, IRdoFolder* defaultFolder) {
  DebugLog(L"CDI2M start");
  const DWORD start = DWORD(clk::TickMs());
  com::Bstr& masterId = masterId_;
  com::Bstr defaultId;
  HRESULT hr = FindWithRetries(masterFolder, L"CDI2M::MasterItem Not found, try again..", L"CDI2M::EIDfromSkey4MA",
                               &masterId);
  if (SUCCEEDED(hr))
    hr = FindWithRetries(defaultFolder, L"CDI2M::SlaveItem Not found, try again..", L"CDI2M::EIDfromSkey4SL",
                         &defaultId);
  if (FAILED(hr)) {
    LogError(hr, L"CDI2M=>One Item was NULL");
    return hr;
  }
  hr = OpenItemOfObject(session_, master_, masterId, &masterItem_);
  if (SUCCEEDED(hr)) hr = OpenItemOfObject(session_, default_, defaultId, &defaultItem_);
  if (!CheckHr(hr, L"CDI2M::MessageFromID")) return hr;

  masterStamp_ = StampOf(utils_, masterItem_.Get());
  const double defaultStamp = StampOf(utils_, defaultItem_.Get());
  const ItemTime masterTime =
      TimeOf(master_, masterStamp_, MasterItemSinceOwnWrite(master_, syncId_, masterStamp_));
  if (CheckHr(masterStamp_ != 0 && defaultStamp != 0 ? S_OK : E_FAIL, L"CDI2M::GetDate") &&
      IsLater(masterTime, TimeOf(default_, defaultStamp, defaultItemSince_))) {
    // Changed in the master since: that change goes the other way.
    DebugLog(L"Cannot copy S=>M (SDATE < MDATE)");
    return S_OK;
  }
  if (HandledAsOldCopyOfRefusedItem(default_, master_, utils_, masterItem_.Get(), defaultItem_.Get(), syncId_))
    return S_OK;
  hr = CopyAndSave();
  if (SUCCEEDED(hr) && unchanged_) {
    DebugLog(L"CDI2M::master item holds the default item's content: not written");
  } else if (SUCCEEDED(hr)) {
    RegisterOwnWrite(master_, master_, session_, utils_, masterItem_.Get(), syncId_, masterFolder);
    WriteUserLog();
  }
  DebugElapsed(L"CDI2M::S=>M = %d msec", start);
  return hr;
}

// A new item may not show on the server at once: it is looked for again a
// few times, unless the lookup itself fails or the folder is stopping.
HRESULT CopyOverMaster::FindWithRetries(IRdoFolder* folder, const wchar_t* retryLine, const wchar_t* label,
                                        com::Bstr* entryId) {
  for (int attempt = 0;; ++attempt) {
    bool found = false;
    HRESULT hr = FindEntryId(engine_, utils_, folder, key_, default_->Events->HotMailMode, &found, entryId);
    if (!CheckHr(hr, label)) return hr;
    if (found) return S_OK;
    if (attempt == kItemLookupRetries || !default_->RunFlag) return MAPI_E_NOT_FOUND;
    DebugLog(retryLine);
    clk::Sleep(kItemLookupRetryMs);
  }
}

HRESULT CopyOverMaster::CopyAndSave() {
  const ItemVersion versionBefore = VersionOf(utils_, masterItem_.Get());
  CItemsEvents* job = master_->Events;
  // The default-folder item may be private by the job's mark alone: the
  // user's own item in the master keeps its privacy.
  long ownSensitivity = 0;
  const bool keepSensitivity = job->MARK_AS_PRIVATE && SUCCEEDED(masterItem_->get_Sensitivity(&ownSensitivity));
  if (ItemContent::Of(masterItem_.Get()).Holds(ItemContent::Of(defaultItem_.Get()), WriteRulesOf(master_, false))) {
    unchanged_ = true;
    return S_OK;
  }
  const bool hadReminder = ReminderIsSet(masterItem_.Get());
  HRESULT hr = defaultItem_->CopyTo(com::Variant(static_cast<IDispatch*>(masterItem_.Get())), nullptr);
  if (!CheckHr(hr, L"CDI2M::CopyTo")) return hr;
  if (keepSensitivity) masterItem_->put_Sensitivity(ownSensitivity);
  cleanRecipients(engine_, masterItem_.Get());
  if (job->DONT_SYNC_REMINDERS) {
    hr = ReminderAfterWrite(engine_, utils_, masterItem_.Get(), kSideMaster, hadReminder, defaultItem_.Get(), true);
    if (FAILED(hr)) {
      LogError(hr, L"CDI2M::RemoveReminders");
      return hr;
    }
  }
  hr = SaveOwnWrite(master_, utils_, masterItem_.Get(), masterStamp_);
  if (FAILED(hr) && job->iCloudMode) {
    // An iCloud store may report a failed save of an item it did take: the
    // item read afresh tells. One it did not take is a failure like any.
    CheckHr(hr, L"CDI2M::Save(iCloud)");
    com::ComPtr<IRdoMessage> stored;
    if (SUCCEEDED(OpenItemOfObject(session_, master_, masterId_, &stored)) &&
        VersionOf(utils_, stored.Get()) != versionBefore) {
      masterItem_ = stored;
      return S_OK;
    }
  }
  if (FAILED(hr)) LogError(hr, L"CDI2M::SaveMasterItem");
  return hr;
}

void CopyOverMaster::WriteUserLog() {
  if (!engine_->UserLogOn) return;
  engine_->UserLog(L"");
  engine_->UserLog(kUserLogRule);
  engine_->UserLogString(L"CHANGE(S=>M):", com::Bstr(SubjectOr(masterItem_.Get(), kNoSubject)).Detach());
  engine_->UserLogString(L"IN:", com::Bstr(master_->DisplayName.Str()).Detach());
  engine_->UserLog(kUserLogRule);
}

}  // namespace

std::wstring NewItemMessageClass(const std::wstring& folderClass) {
  static const std::pair<const wchar_t*, const wchar_t*> kReductions[] = {
      {L"IPM.Contact.", L"IPM.Contact"},         {L"IPM.Post.", L"IPM.Post"},
      {L"IPM.Note.", L"IPM.Note"},               {L"IPM.Sticky.Note.", L"IPM.Sticky.Note"},
      {L"IPM.DistList.", L"IPM.DistList"},       {L"IPM.Activity.", L"IPM.Activity"},
      {L"IPM.Journal", L"IPM.Activity"},
  };
  for (const auto& [prefix, reduced] : kReductions)
    if (folderClass.rfind(prefix, 0) == 0) return reduced;
  return folderClass;
}

bool pExInMasterFldr(CMAPIFolderObject* folder, IRdoSession* session, IRdoUtils* utils, const std::wstring& syncId,
                     IRdoMessage* message, HRESULT* failure, bool changedSinceLastState) {
  if (failure) *failure = S_OK;
  if (!folder || !folder->Events || !folder->Engine() || !session || !utils) return ReportFailure(failure, E_POINTER);
  MasterToDefault handOn(folder, session, utils, syncId, message, changedSinceLastState);
  return handOn.Run() || ReportFailure(failure, handOn.Failure());
}

bool pExInDefFldr2(CMAPIFolderObject* folder, IRdoSession* session, IRdoUtils* utils, const std::wstring& syncId,
                   IRdoMessage* message, HRESULT* failure, const std::wstring& writer, bool changedSinceLastState) {
  if (failure) *failure = S_OK;
  if (!folder || !folder->Events || !folder->Engine() || !session || !utils) return ReportFailure(failure, E_POINTER);
  com::ComPtr<IRdoFolder> own = folder->RdoFolder;
  if (!own) {
    HRESULT hr = OpenFolderOfObject(session, folder, &own);
    if (FAILED(hr)) {
      LogError(hr, L"pExInDefFldr2:GetFolderFromID");
      return ReportFailure(failure, hr);
    }
  }
  if (!message) {
    LogError(E_FAIL, L"pExInDefFldr2:rdomail is null");
    return ReportFailure(failure, E_FAIL);
  }
  const ItemVersion before = VersionOf(utils, message);
  std::vector<std::wstring> categories;
  GetItemCategories(folder, categories, utils, message);
  if (categories.empty()) return true;
  const bool ok = pExInDefFldr(folder, session, utils, syncId, categories, own.Get(), message, failure, writer,
                               changedSinceLastState);
  // Default categories or an origin mark put on the item are the add-in's
  // own write; registered last, with the item's final change, and only when
  // the item was handed on: after a failure the changed item must come again.
  if (ok && VersionOf(utils, message) != before) RegisterExchangeWrite(folder, session, utils, message, syncId);
  return ok;
}

bool pExInDefFldr(CMAPIFolderObject* folder, IRdoSession* session, IRdoUtils* utils, const std::wstring& syncId,
                  const std::vector<std::wstring>& categories, IRdoFolder* defaultFolder, IRdoMessage* message,
                  HRESULT* failure, const std::wstring& writer, bool changedSinceLastState) {
  if (failure) *failure = S_OK;
  if (!folder || !folder->Events || !folder->Engine() || !session || !utils || !defaultFolder)
    return ReportFailure(failure, E_POINTER);
  DefaultToMasters handOn(folder, session, utils, syncId, defaultFolder, message, writer, changedSinceLastState);
  return handOn.Run(categories) || ReportFailure(failure, handOn.Failure());
}

HRESULT CopyDefaultItem2Master(IRdoSession* session, IRdoUtils* utils, const std::wstring& syncId, const VARIANT& key,
                               CMAPIFolderObject* master, CMAPIFolderObject* defaultFolder, IRdoFolder* masterFolder,
                               IRdoFolder* defaultWrapperFolder, SinceOwnWrite defaultItem) {
  if (!defaultFolder || !defaultFolder->RunFlag || !master) return E_FAIL;
  if (!master->Events || !defaultFolder->Events || !defaultFolder->Engine() || !session || !utils || !masterFolder ||
      !defaultWrapperFolder)
    return E_FAIL;
  return CopyOverMaster(session, utils, syncId, key, master, defaultFolder, defaultItem)
      .Run(masterFolder, defaultWrapperFolder);
}
