#include "item_copy.h"

#include <mapicode.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bstr.h"
#include "exchange_sync.h"
#include "folder_object.h"
#include "item_filter.h"
#include "item_identity.h"
#include "item_time.h"
#include "logs.h"
#include "pst_items.h"
#include "pst_write.h"
#include "reminders.h"
#include "sync_engine.h"
#include "variant.h"

namespace {

// Whether `message` carries `key` as its search key.
bool HasSearchKey(IRdoUtils* utils, IRdoMessage* message, std::wstring_view key) {
  return SyncIdTextOfItem(utils, message, false).View() == key;
}

// Removes a fresh copy the add-in made that it could not finish as the
// counterpart of its source.
HRESULT RemoveFreshCopy(IRdoMessage* copy) {
  HRESULT hr = copy->Delete(com::Variant(0L));
  CheckHr(hr, L"GiveFreshCopyTheKey::Delete");
  return hr;
}

class ItemCopy {
 public:
  ItemCopy(CItemsEvents* caller, IRdoUtils* utils, IRdoSession* session, CMAPIFolderObject* source,
           CMAPIFolderObject* target)
      : caller_(caller), utils_(utils), session_(session), sourceObject_(source), targetObject_(target),
        sourceSink_(source->Events), targetSink_(target->Events), engine_(g_pSyncEngine) {}

  HRESULT Run(IRdoMessage* source, com::ComPtr<IRdoMessage>* copyOut, double* stamp);
  HRESULT Resume(IRdoMessage* source, IRdoMessage* copy);

 private:
  // The master side of the pair decides about reminders and privacy for both
  // directions.
  CMAPIFolderObject* Job() const { return sourceSink_->IsStandard ? targetObject_ : sourceObject_; }
  const com::Bstr& SyncId() const { return meetingId_.Empty() ? key_ : meetingId_; }
  const wchar_t* JobCategory() const {
    return sourceObject_->Categorie[0] ? sourceObject_->Categorie : targetObject_->Categorie;
  }
  HRESULT Prepare(IRdoMessage* source);
  HRESULT MarkOrigin(IRdoMessage* source);
  HRESULT MakeCopy(IRdoMessage* source);
  bool FindCopy(com::ComPtr<IRdoMessage> returned);
  void RememberICloudEntry();
  bool OriginalTakesCategory() const { return !caller_->IsStandard && caller_->BOTH_DIRECTIONS; }
  HRESULT FinishAndRecord(IRdoMessage* source);
  HRESULT Finish(IRdoMessage* source);
  HRESULT FinishKind(IRdoMessage* source);
  HRESULT OriginalCategory(IRdoMessage* source);
  HRESULT FinishAppointment(IRdoMessage* source);
  HRESULT FinishDistList();
  void CategorySteps();

  CItemsEvents* caller_;
  IRdoUtils* utils_;
  IRdoSession* session_;
  CMAPIFolderObject* sourceObject_;
  CMAPIFolderObject* targetObject_;
  CItemsEvents* sourceSink_;
  CItemsEvents* targetSink_;
  CSyncEngine* engine_;
  long kind_ = kItemOther;
  com::Bstr key_;  // the source's search key, as the wrapper gave it
  // The source's meeting id where the caller's walk knows items by it (a
  // Hotmail folder): the walks ask under their sync id whether a copy was
  // verified and finished.
  com::Bstr meetingId_;
  com::ComPtr<IRdoFolder> targetFolder_;
  com::ComPtr<IRdoMessage> copy_;
  HRESULT originalSaved_ = S_OK;  // the save of the job's category on the original
  double stamp_ = 0;              // the copy's, after its last save
};

HRESULT ItemCopy::Prepare(IRdoMessage* source) {
  com::Bstr messageClass;
  source->get_MessageClass(messageClass.Put());
  kind_ = GetItemTypeFromMessageClass(engine_, messageClass.c_str());
  DebugLogString(L"copyItemToFolder::Start", messageClass.c_str());
  HRESULT hr = OpenFolderOf(session_, targetSink_, &targetFolder_);
  com::ComPtr<IRdoItems> items;
  if (SUCCEEDED(hr)) hr = targetFolder_->get_Items(items.Put());
  if (SUCCEEDED(hr) && !items) hr = E_FAIL;
  if (FAILED(hr)) {
    LogError(hr, L"copyItemToFolder: no item found");
    return hr;
  }
  if (g_bDebugLog) DebugLogString(L"copyItemToFolder::Target", FolderName(targetFolder_.Get()).c_str());
  key_ = SyncIdTextOfItem(utils_, source, false);
  if (caller_->HotMailMode) meetingId_ = SyncIdTextOfItem(utils_, source, true);
  if (key_.Empty()) {
    LogError(MAPI_E_NOT_FOUND, L"copyItemToFolder::NoSearchKey");
    return E_FAIL;
  }
  return S_OK;
}

HRESULT ItemCopy::Run(IRdoMessage* source, com::ComPtr<IRdoMessage>* copyOut, double* stamp) {
  HRESULT t = Prepare(source);
  if (FAILED(t)) return t;
  auto& unverified = targetSink_->UnverifiedCopies;
  if (std::find(unverified.begin(), unverified.end(), SyncId().View()) != unverified.end()) {
    // The copy made before is there, under a key no lookup finds: another
    // copy would be one more per pass.
    LogError(kCopyNotVerified, L"copyItemToFolder::copy made before could not be verified, not copied again");
    return kCopyNotVerified;
  }
  if (OriginalTakesCategory()) originalSaved_ = PutJobCategoryOnOriginal(sourceObject_, utils_, source);
  // The marks go on the source before the copy is made, so that the copy
  // carries them and loses its reminder on the side that is not its origin.
  // A source that cannot take them (its store names no new property once
  // its quota is reached) is copied unmarked: the copy matters more than
  // on which side its reminder rings.
  if (HRESULT marked = MarkOrigin(source); FAILED(marked)) LogError(marked, L"copyItemToFolder::MarkAsSource");
  t = MakeCopy(source);
  if (SUCCEEDED(t)) t = FinishAndRecord(source);
  DebugLog(L"copyItemToFolder::Exit");
  if (SUCCEEDED(t) && copyOut) *copyOut = copy_;
  if (SUCCEEDED(t) && stamp) *stamp = stamp_;
  return t;
}

HRESULT ItemCopy::Resume(IRdoMessage* source, IRdoMessage* copy) {
  HRESULT t = Prepare(source);
  if (FAILED(t)) return t;
  DebugLogString(L"copyItemToFolder::finishing an unfinished copy", key_.c_str());
  copy_ = copy;
  return FinishAndRecord(source);
}

HRESULT ItemCopy::MarkOrigin(IRdoMessage* source) {
  if (!Job()->Events->DONT_SYNC_REMINDERS || (kind_ != kItemAppointment && kind_ != kItemTask)) return S_OK;
  return MarkAsSource(engine_, utils_, source, sourceSink_->IsStandard ? kSideDefault : kSideMaster);
}

HRESULT ItemCopy::MakeCopy(IRdoMessage* source) {
  com::ComPtr<IRdoMessage> returned;
  HRESULT t = source->CopyTo(com::Variant(static_cast<IDispatch*>(targetFolder_.Get())), returned.Put());
  if (!CheckHr(t, L"copyItemToFolder")) {
    DebugLogString(L"CopyTo Failed With Item:", SubjectOr(source, L"").c_str());
    return t;
  }
  if (returned && targetSink_->iCloudMode) {
    // Removed: the next try makes a proper copy. Left: it is not found
    // under the source's key below, and not copied again.
    bool removed = false;
    const HRESULT keyed = GiveFreshCopyTheKey(utils_, returned.Get(), key_.View(), &removed);
    if (removed) return keyed;
  }
  if (!FindCopy(std::move(returned))) {
    // Registering the key without an item behind it would let the deletion
    // search delete the original; copying again would duplicate it for ever.
    LogError(t, L"copyItemToFolder::Just CopiedMsg Not Found");
    targetSink_->UnverifiedCopies.push_back(SyncId().Str());
    return kCopyNotVerified;
  }
  if (targetSink_->iCloudMode) RememberICloudEntry();
  targetSink_->AddToFolderCacheList(SyncIdTextOfItem(utils_, copy_.Get(), targetSink_->HotMailMode).View());
  return t;
}

// The copy as the wrapper returned it, when it carries the source's key;
// otherwise the item of the target folder found by that key.
bool ItemCopy::FindCopy(com::ComPtr<IRdoMessage> returned) {
  if (returned && HasSearchKey(utils_, returned.Get(), key_.View())) {
    copy_ = std::move(returned);
    return true;
  }
  FoundItem found = FindBySyncId(utils_, targetFolder_.Get(), key_.Str(), false);
  if (!CheckHr(found.hr, L"copyItemToFolder::FallBack1") || !found.item) return false;
  copy_ = found.item;
  return true;
}

void ItemCopy::RememberICloudEntry() {
  com::Bstr entryId;
  HRESULT hr = copy_->get_EntryID(entryId.Put());
  if (!CheckHr(hr, L"copyItemToFolder::MobileMe:EntryID") || entryId.Empty()) return;
  targetSink_->AddICloudEntry(key_.Str(), entryId.Str());
}

// A copy whose finishing failed is not a finished counterpart: the next try
// finishes it. Only a finished copy is made known to an Exchange target.
HRESULT ItemCopy::FinishAndRecord(IRdoMessage* source) {
  HRESULT t = Finish(source);
  // The last save of the copy, whose stamp the target's store made now.
  SaveOwnWrite(targetObject_, utils_, copy_.Get(), 0, &stamp_);
  auto& unfinished = targetSink_->UnfinishedCopies;
  if (FAILED(t)) {
    unfinished.insert(SyncId().Str());
    LogError(t, L"copyItemToFolder");
    return t;
  }
  if (!unfinished.empty()) unfinished.erase(SyncId().Str());
  // A copy into an Exchange folder must be known there, or the folder's run
  // could not follow its deletion (or would send it back as the user's).
  RegisterExchangeWrite(targetObject_, session_, utils_, copy_.Get(), key_.View());
  return t;
}

HRESULT ItemCopy::Finish(IRdoMessage* source) {
  HRESULT t = copy_->Save();
  if (SUCCEEDED(t)) t = FinishKind(source);
  if (SUCCEEDED(t)) t = OriginalCategory(source);
  return t;
}

HRESULT ItemCopy::FinishKind(IRdoMessage* source) {
  switch (kind_) {
    case kItemAppointment:
    case kItemTask:
      return FinishAppointment(source);
    case kItemDistList:
      return FinishDistList();
    default:
      CategorySteps();
      return S_OK;
  }
}

// The job's category went on the original of a two-way pair before the copy
// was made; when that save failed, the copy is not finished, and the next
// try (finishing the copy) puts it on again.
HRESULT ItemCopy::OriginalCategory(IRdoMessage* source) {
  if (!OriginalTakesCategory()) return S_OK;
  if (FAILED(originalSaved_)) return originalSaved_;
  return PutJobCategoryOnOriginal(sourceObject_, utils_, source);
}

HRESULT ItemCopy::FinishAppointment(IRdoMessage* source) {
  CategorySteps();
  return ApplyReminderRule(engine_, utils_, Job()->Events, targetSink_->IsStandard ? kSideDefault : kSideMaster,
                           copy_.Get(), source, true);
}

// A copied list is completed by the wrapper once it gets a member; the
// placeholder goes again at once, so the copy has exactly the source's
// members.
HRESULT ItemCopy::FinishDistList() {
  com::ComPtr<IRdoDistList> list;
  HRESULT hr = CreateRdoObject(kRdoDistListProgId, __uuidof(IRdoDistList), list.PutVoid());
  if (FAILED(hr) || !list) {
    // No box from a worker that holds the folder-sync lock: every folder
    // would wait for the user. The copy itself is saved already.
    LogError(hr, L"OLSaveDll may be not registered");
    if (engine_) engine_->SetTrayMessage(L"Tallowby", L"OLSaveDll may be not registered", kTrayError);
    CategorySteps();
    return S_OK;
  }
  hr = list->put_Item(copy_.Get());
  if (SUCCEEDED(hr))
    hr = list->AddMember(com::Bstr(kPlaceholderMemberName), com::Variant(kPlaceholderMemberAddress),
                         com::Variant(L"SMTP"));
  if (SUCCEEDED(hr)) hr = list->Save();
  if (SUCCEEDED(hr)) hr = list->RemoveMember(com::Bstr(kPlaceholderMemberAddress));
  if (SUCCEEDED(hr)) hr = list->Save();
  list->put_Item(nullptr);
  if (FAILED(hr)) return hr;
  DebugLog(L"copyItemToFolder::copyed one newDistList successfully");
  CategorySteps();
  return S_OK;
}

// The private mark is the job's, and only for copies that land in its
// default folder; a copy into the master folder is the user's item there.
void ItemCopy::CategorySteps() {
  const PrivateMark mark = targetSink_->IsStandard ? PrivateMark::kByOption : PrivateMark::kNever;
  if (caller_->IsStandard && sourceObject_->AddDefaultCategory)
    for (const std::wstring& piece : SplitCategories(sourceObject_->DefaultCategorie, L";,"))
      Cat2Item(sourceObject_, utils_, copy_.Get(), piece.c_str(), PrivateMark::kNever);
  Cat2Item(Job(), utils_, copy_.Get(), JobCategory(), mark);
}

bool Usable(CItemsEvents* caller, IRdoUtils* utils, IRdoSession* session, IRdoMessage* source,
            CMAPIFolderObject* sourceObject, CMAPIFolderObject* targetObject) {
  return caller && utils && session && source && sourceObject && targetObject && sourceObject->Events &&
         targetObject->Events && sourceObject->RunFlag && targetObject->RunFlag;
}

}  // namespace

HRESULT copyItemToFolder(CItemsEvents* caller, IRdoUtils* utils, IRdoSession* session, IRdoMessage* source,
                         CMAPIFolderObject* sourceObject, CMAPIFolderObject* targetObject,
                         com::ComPtr<IRdoMessage>* copy, double* stamp) {
  if (copy) copy->Reset();
  if (stamp) *stamp = 0;
  if (!Usable(caller, utils, session, source, sourceObject, targetObject)) return E_FAIL;
  return ItemCopy(caller, utils, session, sourceObject, targetObject).Run(source, copy, stamp);
}

HRESULT WriteOriginalKey(IRdoUtils* utils, IRdoMessage* copy, const VARIANT& key) {
  HRESULT hr = utils->SetPropByTag(copy, kTagSearchKey, key, 1);
  if (FAILED(hr)) {
    LogError(hr, L"WriteOriginalKey::SetKey, tried again");
    hr = utils->SetPropByTag(copy, kTagSearchKey, key, 1);
  }
  return hr;
}

HRESULT GiveFreshCopyTheKey(IRdoUtils* utils, IRdoMessage* copy, std::wstring_view key, bool* removed) {
  if (removed) *removed = false;
  if (!utils || !copy) return E_POINTER;
  if (HasSearchKey(utils, copy, key)) return S_OK;
  com::Variant binary;
  HRESULT hr = utils->HexToBin(com::Bstr(key), binary.Put());
  if (SUCCEEDED(hr)) hr = WriteOriginalKey(utils, copy, binary);
  if (SUCCEEDED(hr) && !HasSearchKey(utils, copy, key)) hr = E_FAIL;
  if (SUCCEEDED(hr)) return S_OK;
  // Under a key of its own the copy would be taken for an item of the
  // user's, and copied back as a second one.
  LogError(hr, L"GiveFreshCopyTheKey::SetKey, the copy is removed");
  if (SUCCEEDED(RemoveFreshCopy(copy)) && removed) *removed = true;
  return hr;
}

bool IsUnfinishedCopy(CMAPIFolderObject* targetObject, const std::wstring& syncId) {
  return targetObject && targetObject->Events && targetObject->Events->UnfinishedCopies.count(syncId) != 0;
}

HRESULT finishItemCopy(CItemsEvents* caller, IRdoUtils* utils, IRdoSession* session, IRdoMessage* source,
                       CMAPIFolderObject* sourceObject, CMAPIFolderObject* targetObject, IRdoMessage* copy) {
  if (!copy || !Usable(caller, utils, session, source, sourceObject, targetObject)) return E_FAIL;
  return ItemCopy(caller, utils, session, sourceObject, targetObject).Resume(source, copy);
}

void CopyVerified(CMAPIFolderObject* targetObject, const std::wstring& syncId) {
  if (!targetObject || !targetObject->Events) return;
  auto& unverified = targetObject->Events->UnverifiedCopies;
  unverified.erase(std::remove(unverified.begin(), unverified.end(), syncId), unverified.end());
}
