#include "pst_master.h"

#include <mapicode.h>

#include <cwchar>

#include "bstr.h"
#include "clock.h"
#include "com_ptr.h"
#include "exchange_sync.h"
#include "folder_object.h"
#include "item_copy.h"
#include "item_filter.h"
#include "item_identity.h"
#include "logs.h"
#include "pst_items.h"
#include "pst_pass.h"
#include "pst_slave.h"
#include "reminders.h"
#include "sync_engine.h"
#include "variant.h"

namespace {

constexpr long kOpenFlags = 16;
constexpr DWORD kItemPauseMs = 2;
constexpr long kPrivateBit = 2;

// One call of the master-side processing.
class MasterItem {
 public:
  MasterItem(CItemsEvents* sink, IRdoSession* session, IRdoUtils* utils, const std::wstring& syncId, DATE masterDate)
      : sink_(sink), owner_(sink->Owner), session_(session), utils_(utils), engine_(g_pSyncEngine),
        syncId_(syncId), masterDate_(masterDate) {}

  HRESULT Run();

 private:
  HRESULT OpenFolders();
  HRESULT OpenMasterItem();
  HRESULT CopyNewItem();
  HRESULT MasterIsNewer();
  HRESULT OpenSlaveItem();
  HRESULT WriteOntoSlave();
  HRESULT SlaveIsNewer();
  void WriteUserLog(const wchar_t* word);

  CItemsEvents* sink_;
  CMAPIFolderObject* owner_;
  CMAPIFolderObject* partner_ = nullptr;
  IRdoSession* session_;
  IRdoUtils* utils_;
  CSyncEngine* engine_;
  std::wstring syncId_;
  DATE masterDate_;
  DATE slaveDate_ = 0;
  bool isNew_ = false;
  com::Variant key_;
  com::ComPtr<IRdoFolder> slaveFolder_, masterFolder_;
  com::ComPtr<IRdoMessage> masterItem_, slaveItem_;
};

HRESULT MasterItem::Run() {
  if (!owner_ || sink_->ExchangeMode) return E_FAIL;
  clk::Sleep(kItemPauseMs);
  const DWORD start = DWORD(clk::TickMs());
  HRESULT hr = utils_->HexToBin(com::Bstr(syncId_), key_.Put());
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

  bool found = false;
  hr = GetLastModificationFromSearchKey(sink_, utils_, session_, &found, &slaveDate_, slaveFolder_.Get(), syncId_);
  if (!CheckHr(hr, L"PSTprocessItemInMasterFolder::NoModificationFromSearchKey")) return E_FAIL;
  isNew_ = !found;
  if (FAILED(hr = OpenMasterItem())) return hr;

  if (isNew_) {
    hr = CopyNewItem();
  } else if (!iIA(owner_, masterItem_.Get(), owner_)) {
    // Filters hold for changes as well: an item made private or marked
    // NO_SYNC after its copy was made stops flowing (its copy stays).
    DebugLog(L"PSTprocessItemInMasterFolder::changed item refused by the filter");
    hr = S_OK;
  } else {
    switch (CompareItemDates(masterDate_, slaveDate_, engine_ ? engine_->TimeTolerance : 5.0, false)) {
      case NewerSide::kMaster: hr = MasterIsNewer(); break;
      case NewerSide::kEqual: hr = S_OK; break;
      case NewerSide::kSlave: hr = SlaveIsNewer(); break;
    }
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
HRESULT MasterItem::OpenMasterItem() {
  BYTE found = 0;
  com::Bstr entryId;
  HRESULT hr = GetEntryIDFromPR_SEARCH_KEY(engine_, utils_, &found, &entryId, masterFolder_.Get(), key_,
                                           sink_->HotMailMode);
  if (!CheckHr(hr, L"PSTprocessItemInMasterFolder::EIDFromSKEY")) return hr;
  if (!found) {
    LogError(MAPI_E_NOT_FOUND, L"PSTprocessItemInMasterFolder::NO MasterMSG FROM ID");
    return MAPI_E_NOT_FOUND;
  }
  hr = session_->GetMessageById(entryId, com::Variant(sink_->StoreID.c_str()), com::Variant(kOpenFlags),
                                masterItem_.Put());
  if (!CheckHr(hr, L"PSTprocessItemInMasterFolder::MSgFromID")) return hr;
  return masterItem_ ? S_OK : MAPI_E_NOT_FOUND;
}

HRESULT MasterItem::CopyNewItem() {
  if (g_bDebugLog) {
    DebugLogString(L"Own Add Event: ",
                   (FolderName(slaveFolder_.Get()) + L" => " + SubjectOr(masterItem_.Get(), kNoSubject)).c_str());
  }
  if (!iIA(owner_, masterItem_.Get(), owner_)) return S_OK;  // refused: nothing to finish either
  HRESULT t = copyItemToFolder(sink_, utils_, session_, masterItem_.Get(), owner_, partner_, &slaveItem_);
  if (FAILED(t)) {
    // The item stays in the listing: the next pass copies it.
    LogError(t, L"PSTprocessItemInMasterFolder::AddItem");
    return t;
  }
  if (!sink_->BOTH_DIRECTIONS || !slaveItem_) return S_OK;
  // The copy was made just now: it is finished as a new item whatever the
  // master item's age, never written back over the original.
  return MasterIsNewer();
}

HRESULT MasterItem::MasterIsNewer() {
  if (IsPSTMyChange(sink_, syncId_, masterItem_.Get())) return S_OK;
  if (!slaveItem_) {
    HRESULT hr = OpenSlaveItem();
    if (FAILED(hr)) return hr;
  }
  if (g_bDebugLog) {
    DebugLog(L"PSTprocessItemInMasterFolder::Masteritem is newer");
    DebugLogString(DateText(masterDate_).c_str(), (L" > Slave:" + DateText(slaveDate_)).c_str());
  }
  HRESULT t = WriteOntoSlave();
  if (FAILED(t)) {
    // Not recorded as the add-in's own change: the next pass tries again.
    LogError(t, L"PSTprocessItemInMasterFolder::CopyTo");
    return t;
  }
  WriteUserLog(isNew_ ? L"NEW:" : L"CHANGE(M=>S):");
  // The copy is newer than the master item now; the default folder's walk
  // must not take it for the user's change and copy it back.
  if (sink_->BOTH_DIRECTIONS) RecordDefaultItemWrite(owner_, partner_, utils_, session_, slaveItem_.Get(), syncId_);
  // An Exchange default folder learns of its changes through its own
  // incremental run: the write is registered there so that the run skips it.
  RegisterExchangeWrite(partner_, session_, utils_, slaveItem_.Get(), syncId_);
  return AddToPSTChangeKeyList(sink_, utils_, session_, masterItem_.Get(), syncId_);
}

HRESULT MasterItem::OpenSlaveItem() {
  BYTE found = 0;
  com::Bstr entryId;
  HRESULT hr = GetEntryIDFromPR_SEARCH_KEY(engine_, utils_, &found, &entryId, slaveFolder_.Get(), key_,
                                           sink_->HotMailMode);
  if (!CheckHr(hr, L"PSTprocessItemInMasterFolder::EIDFromSKEY")) return hr;
  if (!found) {
    DebugLog(L"PSTprocessItemInMasterFolder::HaveNoEID");
    LogError(MAPI_E_NOT_FOUND, L"PSTprocessItemInMasterFolder::NO SlaveMSG FROM ID");
    return MAPI_E_NOT_FOUND;
  }
  com::Variant flags(kOpenFlags);
  if (partner_->Events->ExchangeMode && engine_) flags = engine_->OpenFlags;
  hr = session_->GetMessageById(entryId, com::Variant(partner_->Events->StoreID.c_str()), flags, slaveItem_.Put());
  if (FAILED(hr) || !slaveItem_) {
    DebugLogString(L"EID:", entryId.c_str());
    DebugLogString(L"SEARCHKEY:", syncId_.c_str());
    LogError(hr, L"PSTprocessItemInMasterFolder::NO SlaveMSG FROM ID");
    return FAILED(hr) ? hr : MAPI_E_NOT_FOUND;
  }
  return S_OK;
}

// Copies the master item's content onto its copy (a new copy has it
// already), then the copy's category, privacy and reminder. The result is
// the copy's and the save's; the reminder steps are logged on their own.
HRESULT MasterItem::WriteOntoSlave() {
  HRESULT t = S_OK;
  if (!isNew_) t = masterItem_->CopyTo(com::Variant(static_cast<IDispatch*>(slaveItem_.Get())), nullptr);
  if (FAILED(t)) return t;
  cleanRecipients(engine_, slaveItem_.Get());
  Cat2Item(owner_, utils_, slaveItem_.Get(), owner_->Categorie);
  if (!sink_->BOTH_DIRECTIONS && sink_->MARK_AS_PRIVATE) {
    long sensitivity = 0;
    if (SUCCEEDED(slaveItem_->get_Sensitivity(&sensitivity))) slaveItem_->put_Sensitivity(sensitivity | kPrivateBit);
  }
  t = slaveItem_->Save();
  if (FAILED(t)) return t;
  if (sink_->DONT_SYNC_REMINDERS) {
    if (!isNew_) {
      HRESULT r = CopyOldReminder(engine_, utils_, slaveItem_.Get(), kSideDefault);
      if (SUCCEEDED(r)) r = RemoveReminder(engine_, utils_, slaveItem_.Get(), kSideDefault, !sink_->BOTH_DIRECTIONS);
      CheckHr(r, L"PSTprocessItemInMasterFolder::Reminder");
    }
  } else if (sink_->iCloudMode) {
    CheckHr(ReminderFromiCloud2PST(engine_, masterItem_.Get(), slaveItem_.Get()),
            L"PSTprocessItemInMasterFolder::Reminder");
  }
  if (sink_->BOTH_DIRECTIONS) Cat2Item(owner_, utils_, masterItem_.Get(), owner_->Categorie);
  return S_OK;
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
  HRESULT t = CopyDefault2Master(sink_, session_, utils_, syncId_, owner_, partner_);
  CheckHr(t, L"PSTprocessItemInMasterFolder::CopyDefaultItem2Master");
  return t;
}

void MasterItem::WriteUserLog(const wchar_t* word) {
  if (!engine_ || !engine_->UserLogOn) return;
  com::Bstr folderName;
  if (FAILED(slaveFolder_->get_Name(folderName.Put()))) return;
  engine_->UserLog(kUserLogRule);
  engine_->UserLogString(word, com::Bstr(SubjectOr(slaveItem_.Get(), kNoSubject)).Detach());
  engine_->UserLogString(L"IN:", folderName.Detach());
  engine_->UserLog(kUserLogRule);
}

}  // namespace

HRESULT PSTprocessItemInMasterFolder(CItemsEvents* sink, IRdoSession* session, IRdoUtils* utils,
                                     const std::wstring& syncId, DATE masterDate) {
  if (!sink || !session || !utils) return E_FAIL;
  return MasterItem(sink, session, utils, syncId, masterDate).Run();
}
