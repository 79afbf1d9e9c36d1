#include "pst_master.h"

#include <mapicode.h>

#include <algorithm>
#include <cwchar>

#include "bstr.h"
#include "clock.h"
#include "com_ptr.h"
#include "duplicates.h"
#include "folder_object.h"
#include "item_copy.h"
#include "item_filter.h"
#include "item_identity.h"
#include "locks.h"
#include "logs.h"
#include "pst_items.h"
#include "rdo_folder.h"
#include "pst_pass.h"
#include "pst_slave.h"
#include "pst_write.h"
#include "sync_engine.h"
#include "variant.h"

namespace {

constexpr DWORD kItemPauseMs = 2;
constexpr wchar_t kLabel[] = L"PSTprocessItemInMasterFolder";

// One call of the master-side processing.
class MasterItem {
 public:
  MasterItem(CItemsEvents* sink, IRdoSession* session, IRdoUtils* utils, const std::wstring& syncId, DATE masterDate,
             bool byObjectId)
      : sink_(sink), owner_(sink->Owner), session_(session), utils_(utils), engine_(g_pSyncEngine),
        syncId_(&syncId), masterDate_(masterDate), byObjectId_(byObjectId) {}

  HRESULT Run();

 private:
  HRESULT OpenFolders();
  HRESULT FindMasterItem();
  HRESULT RepairPastedCopy();
  void RepairKeySharedWithAnotherJob();
  bool FeedsMyDefaultFolder(CMAPIFolderObject* other) const;
  std::wstring TakeNewKey(IRdoMessage* item, CItemsEvents* sink, IRdoFolder* folder, const std::wstring& sharedKey,
                          bool byMeetingId);
  void PartMeetingIds(IRdoMessage* item, const std::wstring& newKey, IRdoMessage* kept);
  void NoteNewKey(CItemsEvents* sink, IRdoFolder* folder, const std::wstring& oldKey, bool oldByObjectId,
                  const std::wstring& newKey);
  HRESULT Process();
  bool DeletionPending();
  HRESULT CopyNewItem();
  HRESULT FinishUnfinishedCopy();
  HRESULT MasterIsNewer();
  HRESULT SlaveIsNewer();
  PairWrite Write() const;
  const std::wstring& SyncId() const { return *syncId_; }
  const com::Bstr* Filter();

  CItemsEvents* sink_;
  CMAPIFolderObject* owner_;
  CMAPIFolderObject* partner_ = nullptr;
  IRdoSession* session_;
  IRdoUtils* utils_;
  CSyncEngine* engine_;
  // The item's sync id: the caller's, which outlives this call, until a
  // repair gives the item a key of its own.
  const std::wstring* syncId_;
  std::wstring newSyncId_;
  // The filter of the searches for the key, made once for both folders.
  com::Bstr filter_;
  DATE masterDate_;
  bool byObjectId_;
  DATE slaveDate_ = 0;
  bool isNew_ = false;
  // Items whose key a repair changed, to be handled under their new keys.
  std::vector<std::wstring> rekeyed_;
  com::ComPtr<IRdoFolder> slaveFolder_, masterFolder_;
  com::ComPtr<IRdoMessage> masterItem_, slaveItem_;
};

HRESULT MasterItem::Run() {
  if (!owner_ || sink_->ExchangeMode) return E_FAIL;
  clk::Sleep(kItemPauseMs);
  const DWORD start = DWORD(clk::TickMs());
  com::Variant key;
  HRESULT hr = utils_->HexToBin(com::Bstr(SyncId()), key.Put());
  if (!owner_->RunFlag) {
    LogError(hr, L"PSTprocessItemInMasterFolder::ThreadStops?");
    return E_FAIL;
  }
  partner_ = owner_->Partner;
  if (!partner_) {
    LogError(hr, L"PSTprocessItemInMasterFolder::SLAVE IS NULL");
    return E_FAIL;
  }
  if (!partner_->Events) {
    LogError(hr, L"PSTprocessItemInMasterFolder::ItemsEventsHandler IS NULL");
    return E_FAIL;
  }
  if (FAILED(hr)) return hr;
  if (FAILED(hr = OpenFolders())) return hr;
  if (FAILED(hr = FindMasterItem())) return hr;
  RepairKeySharedWithAnotherJob();
  hr = Process();
  // A repaired item is new under its new key (of the kind it was listed
  // by): it is copied at once.
  for (const std::wstring& newKey : rekeyed_) {
    HRESULT other = MasterItem(sink_, session_, utils_, newKey, masterDate_, byObjectId_).Run();
    if (SUCCEEDED(hr)) hr = other;
  }
  if (g_bDebugLog) {
    wchar_t line[80];
    swprintf(line, 80, L"PSTprocessItemInMasterFolder = %lu msec",
             static_cast<unsigned long>(DWORD(clk::TickMs()) - start));
    DebugLog(line);
  }
  return hr;
}

HRESULT MasterItem::OpenFolders() {
  HRESULT hr = OpenFolderOf(session_, partner_->Events, &slaveFolder_);
  if (!CheckHr(hr, L"PSTprocessItemInMasterFolder::NoFldSlave")) return hr;
  hr = OpenFolderOf(session_, sink_, &masterFolder_);
  if (!CheckHr(hr, L"PSTprocessItemInMasterFolder::NoFldMastr/Slave")) return hr;
  return S_OK;
}

// A master item that cannot be found or opened is reported as not found: the
// pass tries once more and then keeps the folder time.
HRESULT MasterItem::FindMasterItem() {
  // iCloud folders tell their twins apart while building their key list.
  // A pasted appointment of a Hotmail store keeps the meeting id as well.
  const bool lookForPaste = !sink_->iCloudMode;
  FoundItem found = FindBySyncId(utils_, masterFolder_.Get(), SyncId(), byObjectId_, lookForPaste, Filter());
  if (!CheckHr(found.hr, L"PSTprocessItemInMasterFolder::EIDFromSKEY")) return found.hr;
  if (found.item && found.another) {
    HRESULT hr = RepairPastedCopy();
    if (FAILED(hr)) return hr;
    found = FindBySyncId(utils_, masterFolder_.Get(), SyncId(), byObjectId_, false, Filter());
    if (!CheckHr(found.hr, L"PSTprocessItemInMasterFolder::EIDFromSKEY")) return found.hr;
  }
  if (!found.item) {
    LogError(MAPI_E_NOT_FOUND, L"PSTprocessItemInMasterFolder::NO MasterMSG FROM ID");
    return MAPI_E_NOT_FOUND;
  }
  masterItem_ = found.item;
  return S_OK;
}

// Another item of this folder carries the key: a pasted copy, which the walk
// sees alone when the original is older than the folder time. One of the two
// (the newer) gets a key of its own, as when the walk meets a key twice.
HRESULT MasterItem::RepairPastedCopy() {
  BYTE changed = 0;
  com::Bstr newId;
  HRESULT hr =
      ChangeSyncIDFromDuplicatedItem(sink_, session_, utils_, SyncId().c_str(), &changed, &newId, nullptr, byObjectId_);
  if (FAILED(hr)) {
    LogError(hr, L"PSTprocessItemInMasterFolder::Duplicate");
    return hr;
  }
  if (changed && !newId.Empty()) {
    NoteNewKey(sink_, masterFolder_.Get(), SyncId(), byObjectId_, newId.Str());
    rekeyed_.push_back(newId.Str());
  }
  return S_OK;
}

// The folder's delete list follows a changed key: the new one is listed, so
// that the item's deletion is followed, and the old one goes when no item of
// the folder carries it any more; left there, the search would take it for
// a deleted item and delete the counterparts of the item that keeps it in
// the other folder.
void MasterItem::NoteNewKey(CItemsEvents* sink, IRdoFolder* folder, const std::wstring& oldKey, bool oldByObjectId,
                            const std::wstring& newKey) {
  sink->AddToFolderCacheList(newKey.c_str());
  const FoundItem left = FindBySyncId(utils_, folder, oldKey, oldByObjectId);
  if (SUCCEEDED(left.hr) && !left.item) {
    CsLock lock(g_csDeleteList);
    sink->DeleteList().Remove(oldKey);
  }
}

// Two masters feeding one default folder hold an item with this key: the
// one of them that WhoseKeyChanges names gets a sync id of its own before
// anything is copied. An Exchange master's item is left to its own run,
// which makes the same repair from its side. Masters in Hotmail stores have
// a default-folder object of their own beside the one of the other masters,
// and the items of such a master are found by their meeting ids: between
// them and the other masters it is the search key that the two items share;
// two Hotmail masters' items share the meeting id as well, and the one that
// takes a new key takes a meeting id of its own too.
void MasterItem::RepairKeySharedWithAnotherJob() {
  if (!engine_) return;
  // An item found by its meeting id has its search key read once. Any
  // other item's search key is its sync id, which stays as it is while the
  // loop goes on: only taking a new key of its own changes it, and ends the
  // loop.
  const std::wstring searchKeyOfMeeting = byObjectId_ ? SyncIdOfItem(utils_, masterItem_.Get(), false) : L"";
  for (int i = 0; CMAPIFolderObject* other = engine_->GetFolderObject(i, false); ++i) {
    if (other == owner_ || other->IsStandard || !other->Events || !FeedsMyDefaultFolder(other)) continue;
    const bool otherByObjectId = other->Events->HotMailMode && other->Partner != partner_;
    const bool byMeetingId = byObjectId_ && other->Events->HotMailMode;
    const std::wstring sharedKey = byObjectId_ && !byMeetingId ? searchKeyOfMeeting : SyncId();
    if (sharedKey.empty()) continue;
    com::ComPtr<IRdoFolder> otherFolder;
    if (FAILED(OpenFolderOf(session_, other->Events, &otherFolder))) continue;
    const FoundItem theirs = FindBySyncId(utils_, otherFolder.Get(), sharedKey, byMeetingId);
    if (!theirs) continue;
    const FoundItem copy = FindBySyncId(utils_, slaveFolder_.Get(), sharedKey, byMeetingId);
    if (FAILED(copy.hr)) continue;
    const NewKeyFor who = WhoseKeyChanges(HasCategory(copy.item.Get(), owner_->Categorie),
                                          HasCategory(copy.item.Get(), other->Categorie), [&] {
                                            return !IsLater(TimeOf(other, theirs.modified),
                                                            TimeOf(owner_, masterDate_));
                                          });
    // Between a Hotmail master and another one the item that takes a new
    // key may carry the other's meeting id as well.
    const bool meetingIds = (byObjectId_ || otherByObjectId) && !byMeetingId;
    if (who == NewKeyFor::kMine) {
      const std::wstring newKey = TakeNewKey(masterItem_.Get(), sink_, masterFolder_.Get(), sharedKey, byMeetingId);
      if (newKey.empty()) continue;
      if (meetingIds) PartMeetingIds(masterItem_.Get(), newKey, theirs.item.Get());
      return;
    } else if (who == NewKeyFor::kTheirs && !other->Events->ExchangeMode && !otherByObjectId) {
      // Its own job's walk lists it anew. A Hotmail master's item found by
      // its meeting id is left to its own walk, which repairs from its side.
      const std::wstring newKey =
          TakeNewKey(theirs.item.Get(), other->Events, otherFolder.Get(), sharedKey, byMeetingId);
      if (!newKey.empty() && meetingIds) PartMeetingIds(theirs.item.Get(), newKey, masterItem_.Get());
    }
  }
}

// True when `other`'s items go to the same default folder as this job's,
// through the same default-folder object or its twin for the other kind of
// master.
bool MasterItem::FeedsMyDefaultFolder(CMAPIFolderObject* other) const {
  CMAPIFolderObject* theirs = other->Partner;
  if (theirs == partner_) return true;
  if (!theirs || !theirs->Events || theirs->Events->HotMailMode == partner_->Events->HotMailMode) return false;
  // The twins' EntryIDs are only ever compared through the wrapper: one id
  // may come in forms that differ in their bytes.
  VARIANT_BOOL same = VARIANT_FALSE;
  return SUCCEEDED(utils_->CompareIds(theirs->Events->EntryID, partner_->Events->EntryID, &same)) &&
         same != VARIANT_FALSE;
}

// An item pasted from a Hotmail master, which finds its items by meeting
// id, into another master carries the original's meeting id as well, and so
// would its copy: the Hotmail master's default-folder object would take the
// two copies for one pasted twice and give the new one a search key of its
// own, which parts it from its master item. The item that took a new key
// gets a meeting id of its own too, made of that key and its EntryID.
void MasterItem::PartMeetingIds(IRdoMessage* item, const std::wstring& newKey, IRdoMessage* kept) {
  bool itemByObjectId = false, keptByObjectId = false;
  const std::wstring itemId = SyncIdOfItem(utils_, item, true, &itemByObjectId);
  const std::wstring keptId = SyncIdOfItem(utils_, kept, true, &keptByObjectId);
  if (!itemByObjectId || !keptByObjectId || itemId != keptId) return;
  CheckHr(GiveGlobalObjectId(utils_, item, newKey), L"PSTprocessItemInMasterFolder::SetObjectId");
}

// Gives `item` a new search key, and with `byMeetingId` (the shared key is
// a meeting id) a meeting id made of it and its EntryID, and returns the
// new key (empty when it could not); when it is this call's item, it is
// handled under the new key from now on, unless only the search key changed
// of an item found by its meeting id, which stays.
std::wstring MasterItem::TakeNewKey(IRdoMessage* item, CItemsEvents* sink, IRdoFolder* folder,
                                    const std::wstring& sharedKey, bool byMeetingId) {
  com::Bstr searchKey;
  HRESULT hr = SetNewSyncID(engine_, utils_, item, &searchKey, true);
  if (FAILED(hr) || searchKey.Empty() || searchKey.Str() == sharedKey) return {};
  std::wstring newKey = searchKey.Str();
  if (byMeetingId &&
      !CheckHr(GiveGlobalObjectId(utils_, item, searchKey.Str(), &newKey), L"PSTprocessItemInMasterFolder::SetObjectId"))
    return {};
  DebugLogString(L"PSTprocessItemInMasterFolder::key shared with another job, new sync id for:",
                 SubjectOr(item, kNoSubject).c_str());
  const bool mine = item == masterItem_.Get();
  if (mine && byObjectId_ && !byMeetingId) return newKey;
  NoteNewKey(sink, folder, sharedKey, byMeetingId, newKey);
  if (mine) {
    newSyncId_ = newKey;
    syncId_ = &newSyncId_;
    filter_.Reset();
  }
  return newKey;
}

HRESULT MasterItem::Process() {
  const FoundItem copy = FindBySyncId(utils_, slaveFolder_.Get(), SyncId(), byObjectId_, false, Filter());
  if (!CheckHr(copy.hr, L"PSTprocessItemInMasterFolder::NoModificationFromSearchKey")) return E_FAIL;
  isNew_ = !copy.item;
  slaveItem_ = copy.item;
  slaveDate_ = copy.modified;
  if (isNew_) {
    if (DeletionPending()) return S_OK;
    return CopyNewItem();
  }
  CopyVerified(partner_, SyncId());
  if (IsUnfinishedCopy(partner_, SyncId())) return FinishUnfinishedCopy();
  if (!iIA(owner_, masterItem_.Get(), owner_)) {
    // Filters hold for changes as well: an item made private or marked
    // NO_SYNC after its copy was made stops flowing (its copy stays, until
    // the phone edits it: HandledAsOldCopyOfRefusedItem).
    DebugLog(L"PSTprocessItemInMasterFolder::changed item refused by the filter");
    return S_OK;
  }
  // In a one-way pair the add-in writes nothing into the master's store, so
  // its clock is never learnt: how the add-in left the pair tells which side
  // changed since. A two-way pair is compared on the clock alone, as the
  // default folder's walk compares it: there the add-in's write back of an
  // item that several jobs share saves it again for the others too.
  const bool oneWay = !sink_->BOTH_DIRECTIONS;
  const SinceOwnWrite masterSince =
      oneWay ? MasterItemSinceOwnWrite(owner_, SyncId(), masterDate_) : SinceOwnWrite::kUnknown;
  const SinceOwnWrite copySince = oneWay ? CopySinceOwnWrite(owner_, SyncId(), slaveDate_) : SinceOwnWrite::kUnknown;
  switch (CompareItemDates(TimeOf(owner_, masterDate_, masterSince), TimeOf(partner_, slaveDate_, copySince),
                           engine_ ? engine_->TimeTolerance : 5.0)) {
    case NewerSide::kMaster: return MasterIsNewer();
    case NewerSide::kEqual: return S_OK;
    case NewerSide::kSlave: return SlaveIsNewer();
  }
  return S_OK;
}

// In a two-way pair a copy that the default folder's list still holds, but
// that is gone from the folder, was deleted there and waits for its search,
// which will take the master item along: copying it again would undo the
// user's deletion.
bool MasterItem::DeletionPending() {
  if (!sink_->BOTH_DIRECTIONS) return false;
  // An Exchange folder learns of the deletion through its own run.
  if (partner_->Events->ExchangeMode ? !ExchangeDeletionPending(partner_, SyncId())
                                     : !partner_->Events->InFolderCache(SyncId()))
    return false;
  DebugLogString(L"PSTprocessItemInMasterFolder::copy deleted, its search is pending:", SyncId().c_str());
  return true;
}

const com::Bstr* MasterItem::Filter() {
  if (filter_.Empty()) filter_ = SyncIdFilter(SyncId(), byObjectId_);
  return &filter_;
}

PairWrite MasterItem::Write() const {
  PairWrite w{engine_, session_, utils_, owner_, partner_, masterItem_.Get(), slaveItem_.Get(), slaveFolder_.Get(),
              SyncId()};
  w.copyStamp = slaveDate_;
  return w;
}

HRESULT MasterItem::CopyNewItem() {
  if (g_bDebugLog) {
    DebugLogString(L"Own Add Event: ",
                   (FolderName(slaveFolder_.Get()) + L" => " + SubjectOr(masterItem_.Get(), kNoSubject)).c_str());
  }
  if (!iIA(owner_, masterItem_.Get(), owner_)) return S_OK;  // refused: nothing to finish either
  double copyStamp = 0;
  HRESULT t = copyItemToFolder(sink_, utils_, session_, masterItem_.Get(), owner_, partner_, &slaveItem_, &copyStamp);
  if (FAILED(t)) {
    // The item stays in the listing: the next pass copies it.
    LogError(t, L"PSTprocessItemInMasterFolder::AddItem");
    return t;
  }
  if (!slaveItem_) return S_OK;
  if (!sink_->BOTH_DIRECTIONS) {
    // How the pair was left tells the next passes which side changed since,
    // whatever the two stores' clocks.
    RecordMasterWrite(owner_, utils_, session_, masterItem_.Get(), SyncId(), copyStamp);
    return S_OK;
  }
  // The copy was made just now: it is finished as a new item whatever the
  // master item's age, never written back over the original.
  PairWrite write = Write();
  write.copyStamp = copyStamp;
  return WriteMasterOntoCopy(write, true, kLabel);
}

HRESULT MasterItem::FinishUnfinishedCopy() {
  HRESULT t = finishItemCopy(sink_, utils_, session_, masterItem_.Get(), owner_, partner_, slaveItem_.Get());
  if (FAILED(t)) {
    LogError(t, L"PSTprocessItemInMasterFolder::AddItem");
    return t;
  }
  if (!sink_->BOTH_DIRECTIONS) return S_OK;
  return WriteMasterOntoCopy(Write(), true, kLabel);
}

HRESULT MasterItem::MasterIsNewer() {
  if (MasterItemSinceOwnWrite(owner_, SyncId(), masterDate_) == SinceOwnWrite::kUnchanged) return S_OK;
  if (g_bDebugLog) {
    DebugLog(L"PSTprocessItemInMasterFolder::Masteritem is newer");
    DebugLogString(DateText(masterDate_).c_str(), (L" > Slave:" + DateText(slaveDate_)).c_str());
  }
  // Not recorded as the add-in's own change when it fails: the next pass
  // tries again.
  return WriteMasterOntoCopy(Write(), false, kLabel);
}

HRESULT MasterItem::SlaveIsNewer() {
  if (partner_->Events->ExchangeMode) {
    DebugLog(L"PSTprocessItemInMasterFolder::Slave (Item im Standardordner) is newer: But we are using exchange as Slave");
    return S_OK;
  }
  if (g_bDebugLog) {
    DebugLog(L"PSTprocessItemInMasterFolder::Slave (Item im Standardordner) is newer:");
    DebugLogString(DateText(masterDate_).c_str(), (L" < " + DateText(slaveDate_)).c_str());
  }
  HRESULT t = CopyDefault2Master(sink_, session_, utils_, SyncId(), owner_, partner_, byObjectId_);
  CheckHr(t, L"PSTprocessItemInMasterFolder::CopyDefaultItem2Master");
  return t;
}

}  // namespace

HRESULT PSTprocessItemInMasterFolder(CItemsEvents* sink, IRdoSession* session, IRdoUtils* utils,
                                     const std::wstring& syncId, DATE masterDate, std::optional<bool> byObjectId) {
  if (!sink || !session || !utils) return E_FAIL;
  return MasterItem(sink, session, utils, syncId, masterDate, byObjectId.value_or(sink->HotMailMode)).Run();
}
