#include "pst_write.h"

#include "bstr.h"
#include "exchange_sync.h"
#include "folder_object.h"
#include "item_content.h"
#include "item_filter.h"
#include "item_time.h"
#include "locks.h"
#include "logs.h"
#include "pst_items.h"
#include "pst_pass.h"
#include "rdo_folder.h"
#include "reminders.h"
#include "sync_engine.h"
#include "variant.h"

namespace {

std::wstring Label(const wchar_t* label, const wchar_t* step) { return std::wstring(label) + step; }

HRESULT CopyContent(const PairWrite& w) {
  HRESULT hr = w.masterItem->CopyTo(com::Variant(static_cast<IDispatch*>(w.copy)), nullptr);
  if (FAILED(hr)) return hr;
  cleanRecipients(w.engine, w.copy);
  ClearCategoriesTheSourceLacks(w.job, w.masterItem, w.copy);
  return hr;
}

// What makes the next passes of both folders take this write for the
// add-in's own, and tells them which side changed since: the copy's time
// per job in the default folder (two-way pairs), the Exchange default
// folder's own-write record, and the master item's time with its copy's in
// the job's sink.
void RecordWrite(const PairWrite& w) {
  const double copyStamp = StampOf(w.utils, w.copy);
  if (w.job->Events->BOTH_DIRECTIONS) RecordDefaultItemWrite(w.job, w.defaultFolder, copyStamp, w.syncId);
  RegisterExchangeWrite(w.defaultFolder, w.session, w.utils, w.copy, w.syncId);
  NoteSharedItemWriter(w.defaultFolder, w.job, w.utils, w.copy);
  RecordMasterWrite(w.job, w.utils, w.session, w.masterItem, w.syncId, copyStamp);
}

// A write that found both items holding the same leaves the pair as it is:
// that state is recorded as the add-in's own, so that neither folder's next
// pass takes the change that led here (an echo, a time without a change)
// for one still to be carried.
void RecordInStep(const PairWrite& w) {
  const double copyStamp = StampOf(w.utils, w.copy);
  if (w.job->Events->BOTH_DIRECTIONS) RecordDefaultItemWrite(w.job, w.defaultFolder, copyStamp, w.syncId);
  RecordMasterWrite(w.job, w.utils, w.session, w.masterItem, w.syncId, copyStamp);
}

// The old copy leaves the default folder; its going is the add-in's, not
// the user's, so the folder's lists forget its key: no search takes it for
// a deletion and follows it to the master item.
void RemoveOldCopy(CMAPIFolderObject* defaultFolder, IRdoUtils* utils, IRdoMessage* copy, const std::wstring& syncId) {
  CItemsEvents* sink = defaultFolder->Events;
  const std::wstring sourceKey = sink->ExchangeMode ? HexOfProperty(utils, copy, kTagSourceKey) : std::wstring();
  const std::wstring subject = SubjectOr(copy, kNoSubject);
  if (!CheckHr(copy->Delete(com::Variant(0L)), L"RemoveOldCopy::Delete")) return;
  if (sink->ExchangeMode) {
    ForgetFromFolderCache(defaultFolder, {sourceKey});
  } else {
    CsLock lock(g_csDeleteList);
    sink->DeleteList().Remove(syncId);
  }
  DebugLogString(L"RemoveOldCopy::copy of an item the job's filter refuses removed:", subject.c_str());
}

}  // namespace

bool HandledAsOldCopyOfRefusedItem(CMAPIFolderObject* defaultFolder, CMAPIFolderObject* job, IRdoUtils* utils,
                                   IRdoMessage* masterItem, IRdoMessage* copy, const std::wstring& syncId) {
  if (iIA(job, masterItem, job) || !iIAAsCopy(defaultFolder, copy, job)) return false;
  DebugLog(L"master item refused by the filter: its old copy is not written over it");
  if (!CarriesOtherJobCategory(job, copy)) RemoveOldCopy(defaultFolder, utils, copy, syncId);
  return true;
}

void PutJobCategoryOnCopy(CMAPIFolderObject* job, IRdoUtils* utils, IRdoMessage* copy) {
  Cat2Item(job, utils, copy, job->Categorie);
}

HRESULT PutJobCategoryOnOriginal(CMAPIFolderObject* job, IRdoUtils* utils, IRdoMessage* original) {
  // Often the add-in's first write into the master's store: the store's
  // clock is learnt from it (when the category was missing and is saved).
  const double before = StampOf(utils, original);
  HRESULT saved = S_OK;
  Cat2Item(job, utils, original, job->Categorie, PrivateMark::kNever, &saved);
  if (SUCCEEDED(saved)) TimeDiff(job, utils, original, before);
  return saved;
}

HRESULT ApplyReminderRule(CSyncEngine* engine, IRdoUtils* utils, CItemsEvents* job, long side, IRdoMessage* written,
                          IRdoMessage* other, bool freshCopy, bool writtenHadReminder) {
  if (job->DONT_SYNC_REMINDERS) {
    const bool clearUnmarked = side == kSideDefault && !job->BOTH_DIRECTIONS;
    if (freshCopy) return RemoveReminder(engine, utils, written, side, clearUnmarked);
    return ReminderAfterWrite(engine, utils, written, side, writtenHadReminder, other, clearUnmarked);
  }
  if (!job->iCloudMode) return S_OK;
  if (side == kSideDefault) return ReminderFromiCloud2PST(engine, other, written);
  return freshCopy ? S_OK : ReminderToiCloud(engine, written, other);
}

HRESULT WriteMasterOntoCopy(const PairWrite& w, bool freshCopy, const wchar_t* label) {
  CItemsEvents* job = w.job->Events;
  // In a two-way pair the master item carries the job's category too, so
  // that what comes back from the default folder keeps it. It goes on
  // first: a save of it that fails leaves the pair as it was, still to be
  // written, and the next pass tries again.
  if (job->BOTH_DIRECTIONS) {
    const HRESULT saved = PutJobCategoryOnOriginal(w.job, w.utils, w.masterItem);
    if (!CheckHr(saved, Label(label, L"::SaveMasterItem").c_str())) return saved;
  }
  if (!freshCopy && ItemContent::Of(w.copy).Holds(ItemContent::Of(w.masterItem), WriteRulesOf(w.job, true))) {
    DebugLog(Label(label, L"::copy holds the master item's content: not written").c_str());
    RecordInStep(w);
    return S_OK;
  }
  const CopyPrivacy before = PrivacyBeforeWrite(w.copy);
  const bool copyHadReminder = ReminderIsSet(w.copy);
  HRESULT hr = freshCopy ? S_OK : CopyContent(w);
  if (!CheckHr(hr, Label(label, L"::CopyTo").c_str())) return hr;
  if (freshCopy) {
    PutJobCategoryOnCopy(w.job, w.utils, w.copy);
  } else {
    Cat2Item(w.job, w.utils, w.copy, w.job->Categorie, PrivateMark::kNever);
    KeepCopyPrivacy(w.job, w.copy, before);
  }
  hr = SaveOwnWrite(w.defaultFolder, w.utils, w.copy, w.copyStamp);
  if (!CheckHr(hr, Label(label, L"::SaveSlaveItem").c_str())) return hr;
  // A fresh copy had the reminder rule applied when it was made.
  if (!freshCopy)
    CheckHr(ApplyReminderRule(w.engine, w.utils, job, kSideDefault, w.copy, w.masterItem, false, copyHadReminder),
            Label(label, L"::Reminder").c_str());
  UserLogWrite(w.engine, freshCopy ? L"NEW:" : L"CHANGE(M=>S):", w.copy, w.copyFolder);
  RecordWrite(w);
  return S_OK;
}
