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
#include "logs.h"
#include "reminders.h"
#include "sync_engine.h"
#include "variant.h"

namespace {

constexpr long kOpenFlags = 16;

bool Contains(const std::vector<std::wstring>& list, const std::wstring& key) {
  return std::find(list.begin(), list.end(), key) != list.end();
}

std::wstring SubjectOf(IRdoMessage* message) {
  com::Bstr subject;
  if (message) message->get_Subject(subject.Put());
  return subject.Str();
}

std::wstring SearchKeyHex(IRdoUtils* utils, IRdoMessage* message) {
  com::Variant key;
  com::Bstr hex;
  if (FAILED(utils->GetPropByTag(message, kTagSearchKey, key.Put())) || key.vt != (VT_ARRAY | VT_UI1)) return {};
  if (FAILED(utils->BinToHex(key, hex.Put()))) return {};
  return hex.Str();
}

class ItemCopy {
 public:
  ItemCopy(CItemsEvents* caller, IRdoUtils* utils, IRdoSession* session, CMAPIFolderObject* source,
           CMAPIFolderObject* target)
      : caller_(caller), utils_(utils), session_(session), sourceObject_(source), targetObject_(target),
        sourceSink_(source->Events), targetSink_(target->Events), engine_(g_pSyncEngine) {}

  HRESULT Run(IRdoMessage* source, com::ComPtr<IRdoMessage>* copyOut);

 private:
  // The master side of the pair decides about reminders for both directions.
  CItemsEvents* MasterSink() const { return sourceSink_->IsStandard ? targetSink_ : sourceSink_; }
  const wchar_t* JobCategory() const {
    return sourceObject_->Categorie[0] ? sourceObject_->Categorie : targetObject_->Categorie;
  }
  HRESULT OpenTarget();
  HRESULT MarkOrigin(IRdoMessage* source);
  HRESULT MakeCopy(IRdoMessage* source);
  bool FindCopy(HRESULT copied, com::ComPtr<IRdoMessage> returned);
  void RememberICloudEntry();
  HRESULT Finish(IRdoMessage* source);
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
  std::wstring key_;
  com::ComPtr<IRdoFolder> targetFolder_;
  com::ComPtr<IRdoMessage> copy_;
};

HRESULT ItemCopy::Run(IRdoMessage* source, com::ComPtr<IRdoMessage>* copyOut) {
  com::Bstr messageClass;
  source->get_MessageClass(messageClass.Put());
  kind_ = GetItemTypeFromMessageClass(engine_, messageClass.c_str());
  DebugLogString(L"copyItemToFolder::Start", messageClass.c_str());

  HRESULT t = OpenTarget();
  if (FAILED(t)) return t;
  if (!caller_->IsStandard && caller_->BOTH_DIRECTIONS)
    Cat2Item(sourceObject_, utils_, source, sourceObject_->Categorie);
  key_ = SearchKeyHex(utils_, source);
  if (key_.empty()) {
    LogError(MAPI_E_NOT_FOUND, L"copyItemToFolder::NoSearchKey");
    return E_FAIL;
  }
  if (Contains(targetSink_->UnverifiedCopies, key_)) {
    DebugLogString(L"copyItemToFolder::copy made before could not be verified, not copied again", key_.c_str());
    return S_OK;
  }
  // The marks go on the source before the copy is made, so that the copy
  // carries them and loses its reminder on the side that is not its origin.
  t = MarkOrigin(source);
  if (FAILED(t)) {
    LogError(t, L"copyItemToFolder::MarkAsSource");
    return t;
  }
  t = MakeCopy(source);
  if (SUCCEEDED(t)) t = Finish(source);
  if (copy_) copy_->Save();
  // A copy into an Exchange folder must be known there, or the folder's run
  // could not follow its deletion (or would send it back as the user's).
  if (SUCCEEDED(t)) RegisterExchangeWrite(targetObject_, session_, utils_, copy_.Get(), key_);
  if (FAILED(t)) LogError(t, L"copyItemToFolder");
  DebugLog(L"copyItemToFolder::Exit");
  if (SUCCEEDED(t) && copyOut) *copyOut = copy_;
  return t;
}

HRESULT ItemCopy::OpenTarget() {
  HRESULT hr = session_->GetFolderById(targetSink_->EntryID, com::Variant(targetSink_->StoreID.c_str()),
                                       com::Variant(kOpenFlags), targetFolder_.Put());
  com::ComPtr<IRdoItems> items;
  if (SUCCEEDED(hr) && targetFolder_) hr = targetFolder_->get_Items(items.Put());
  if (FAILED(hr) || !targetFolder_ || !items) {
    if (SUCCEEDED(hr)) hr = E_FAIL;
    LogError(hr, L"copyItemToFolder: no item found");
    return hr;
  }
  if (g_bDebugLog) {
    com::Bstr name;
    targetFolder_->get_Name(name.Put());
    DebugLogString(L"copyItemToFolder::Target", name.c_str());
  }
  return S_OK;
}

HRESULT ItemCopy::MarkOrigin(IRdoMessage* source) {
  if (!MasterSink()->DONT_SYNC_REMINDERS || (kind_ != kItemAppointment && kind_ != kItemTask)) return S_OK;
  return MarkAsSource(engine_, utils_, source, sourceSink_->IsStandard ? kSideDefault : kSideMaster);
}

HRESULT ItemCopy::MakeCopy(IRdoMessage* source) {
  com::ComPtr<IRdoMessage> returned;
  HRESULT t = source->CopyTo(com::Variant(static_cast<IDispatch*>(targetFolder_.Get())), returned.Put());
  if (!CheckHr(t, L"copyItemToFolder")) {
    DebugLogString(L"CopyTo Failed With Item:", SubjectOf(source).c_str());
    return t;
  }
  if (!FindCopy(t, std::move(returned))) {
    // Registering the key without an item behind it would let the deletion
    // search delete the original; copying again would duplicate it for ever.
    LogError(t, L"copyItemToFolder::Just CopiedMsg Not Found");
    targetSink_->UnverifiedCopies.push_back(key_);
    return E_FAIL;
  }
  if (targetSink_->iCloudMode) RememberICloudEntry();
  targetSink_->AddToFolderCacheList(key_.c_str());
  return t;
}

// The copy as the wrapper returned it, when it carries the source's key;
// otherwise the item of the target folder found by that key.
bool ItemCopy::FindCopy(HRESULT, com::ComPtr<IRdoMessage> returned) {
  if (returned && SearchKeyHex(utils_, returned.Get()) == key_) {
    copy_ = std::move(returned);
    return true;
  }
  com::Variant binary;
  if (FAILED(utils_->HexToBin(com::Bstr(key_), binary.Put()))) return false;
  BYTE found = 0;
  com::Bstr entryId;
  HRESULT hr = GetEntryIDFromPR_SEARCH_KEY(engine_, utils_, &found, &entryId, targetFolder_.Get(), binary, false);
  if (FAILED(hr) || !found) return false;
  hr = session_->GetMessageById(entryId, com::Variant(targetSink_->StoreID.c_str()), com::Variant(kOpenFlags),
                                copy_.Put());
  return CheckHr(hr, L"copyItemToFolder::FallBack1") && copy_;
}

void ItemCopy::RememberICloudEntry() {
  com::Bstr entryId;
  HRESULT hr = copy_->get_EntryID(entryId.Put());
  if (!CheckHr(hr, L"copyItemToFolder::MobileMe:EntryID") || entryId.Empty()) return;
  targetSink_->AddICloudEntry(key_, entryId.Str());
}

HRESULT ItemCopy::Finish(IRdoMessage* source) {
  HRESULT t = copy_->Save();
  if (FAILED(t)) return t;
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

HRESULT ItemCopy::FinishAppointment(IRdoMessage* source) {
  CategorySteps();
  if (MasterSink()->DONT_SYNC_REMINDERS)
    return RemoveReminder(engine_, utils_, copy_.Get(), targetSink_->IsStandard, !targetSink_->BOTH_DIRECTIONS);
  if (sourceSink_->iCloudMode) return ReminderFromiCloud2PST(engine_, source, copy_.Get());
  return S_OK;
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

void ItemCopy::CategorySteps() {
  if (caller_->IsStandard && sourceObject_->AddDefaultCategory)
    for (const std::wstring& piece : SplitCategories(sourceObject_->DefaultCategorie, L";,"))
      Cat2Item(sourceObject_, utils_, copy_.Get(), piece.c_str());
  Cat2Item(sourceObject_, utils_, copy_.Get(), JobCategory());
}

}  // namespace

HRESULT copyItemToFolder(CItemsEvents* caller, IRdoUtils* utils, IRdoSession* session, IRdoMessage* source,
                         CMAPIFolderObject* sourceObject, CMAPIFolderObject* targetObject,
                         com::ComPtr<IRdoMessage>* copy) {
  if (copy) copy->Reset();
  if (!caller || !utils || !session || !source || !sourceObject || !targetObject || !sourceObject->Events ||
      !targetObject->Events)
    return E_FAIL;
  if (!sourceObject->RunFlag || !targetObject->RunFlag) return E_FAIL;
  return ItemCopy(caller, utils, session, sourceObject, targetObject).Run(source, copy);
}
