#include "item_identity.h"

#include <algorithm>
#include <string_view>

#include "connect.h"
#include "dispatch.h"
#include "language.h"
#include "logs.h"
#include "outlook.h"
#include "res/resource.h"
#include "sync_engine.h"
#include "variant.h"

namespace {

constexpr DISPID kDispEntryId = 0xF01E;
constexpr DISPID kDispParent = 0xF001;
constexpr DISPID kDispStoreId = 0x3108;
constexpr long kStoreKindNoPage = 6;
constexpr long kTypeBinaryValue = 0x0102;

bool IsEmptyOrError(const VARIANT& v) { return v.vt == VT_EMPTY || v.vt == VT_NULL || v.vt == VT_ERROR; }

HRESULT GetById(IDispatch* disp, DISPID id, com::Variant* out) {
  return com::InvokeById(disp, id, DISPATCH_METHOD | DISPATCH_PROPERTYGET, {}, out->Put());
}

// Put together in its BSTR: one allocation per search.
com::Bstr QueryForKey(std::wstring_view dasl, std::wstring_view hex) {
  return com::Bstr::Joined(
      {L"select \"DAV:id\",\"", dasl, L"\" from Folder where \"", dasl, L"\" = '", hex, L"'"});
}

}  // namespace

long GlobalObjectIdTag(IRdoUtils* utils, IUnknown* object, bool create, HRESULT* hr) {
  long id = 0;
  // Asked for every new Exchange item: the set's name is made once.
  static const com::Bstr meetingSet(kMeetingSet);
  HRESULT answer = utils->GetNamedPropId(object, meetingSet, com::Variant(kGlobalObjectIdLid), create ? 1 : 0, &id);
  if (hr) *hr = answer;
  return SUCCEEDED(answer) && id ? id | kTypeBinaryValue : 0;
}

std::wstring GlobalObjectIdHex(IRdoUtils* utils, IRdoMessage* message, HRESULT* lookup) {
  const long tag = GlobalObjectIdTag(utils, message, false, lookup);
  if (!tag) return {};
  com::Variant value;
  if (FAILED(utils->GetPropByTag(message, tag, value.Put())) || value.vt != (VT_ARRAY | VT_UI1)) return {};
  com::Bstr hex;
  if (FAILED(utils->BinToHex(value, hex.Put()))) return {};
  return hex.Str();
}

std::wstring LoggedGlobalObjectIdHex(IRdoUtils* utils, IRdoMessage* message) {
  HRESULT lookup = S_OK;
  std::wstring text = GlobalObjectIdHex(utils, message, &lookup);
  CheckHr(lookup, L"GlobalObjId?");
  return text;
}

bool MapGlobalObjectIdName(IRdoUtils* utils, IUnknown* storeObject) {
  return utils && storeObject && GlobalObjectIdTag(utils, storeObject, true) != 0;
}

HRESULT GiveGlobalObjectId(IRdoUtils* utils, IRdoMessage* message, const std::wstring& syncId,
                           std::wstring* objectId) {
  if (!utils || !message) return E_POINTER;
  HRESULT hr = S_OK;
  const long tag = GlobalObjectIdTag(utils, message, true, &hr);
  if (FAILED(hr)) return hr;
  com::Bstr entryId;
  hr = message->get_EntryID(entryId.Put());
  if (FAILED(hr)) return hr;
  const std::wstring text = syncId + entryId.Str();
  com::Variant value;
  hr = utils->HexToBin(com::Bstr(text), value.Put());
  if (SUCCEEDED(hr)) hr = utils->SetPropByTag(message, tag, value, 1);
  if (SUCCEEDED(hr) && objectId) *objectId = text;
  return hr;
}

HRESULT RenewGlobalObjectId(IRdoUtils* utils, IRdoMessage* message, const std::wstring& syncId,
                            std::wstring* objectId) {
  if (!utils || !message || !objectId) return E_POINTER;
  if (GlobalObjectIdHex(utils, message).empty()) return S_FALSE;
  std::wstring renewed;
  HRESULT hr = GiveGlobalObjectId(utils, message, syncId, &renewed);
  if (SUCCEEDED(hr)) hr = message->Save();
  if (SUCCEEDED(hr)) *objectId = renewed;
  return hr;
}

HRESULT GetEntryIDFromPR_SEARCH_KEY(CSyncEngine*, IRdoUtils* utils, BYTE* found, com::Bstr* entryId,
                                    IRdoFolder* folder, const VARIANT& key, bool useGlobalObjectId) {
  if (found) *found = 0;
  if (!folder) {
    LogError(0, L"GetEntryIDFromPR_SEARCH_KEY::Parameter RdoFolder=NULL");
    return E_FAIL;
  }
  if (key.vt == VT_BSTR || !utils || !found || !entryId) {
    LogError(0, L"GetEntryIDFromPR_SEARCH_KEY::Parameter falsch");
    return E_FAIL;
  }
  com::ComPtr<IRdoItems> items;
  HRESULT hr = folder->get_Items(items.Put());
  if (!CheckHr(hr, L"GetEntryIDFromPR_SEARCH_KEY::ItemsIsNULL")) return hr;
  if (!items) return E_FAIL;
  com::Bstr hex;
  hr = utils->BinToHex(key, hex.Put());
  if (!CheckHr(hr, L"GetEntryIDFromPR_SEARCH_KEY::Arr2Str")) return hr;

  if (useGlobalObjectId) MapGlobalObjectIdName(utils, folder);
  const com::Bstr query = QueryForKey(useGlobalObjectId ? kDaslGlobalObjectId : kDaslSearchKey, hex.View());
  com::ComPtr<IRdoMessage> message;
  hr = items->Find(query, message.Put());
  if (!CheckHr(hr, L"GetEntryIDFromPR_SEARCH_KEY::FindBySearchId")) return E_FAIL;
  if (!message) return hr;

  HRESULT idHr = message->get_EntryID(entryId->Put());
  CheckHr(idHr, L"GetEntryIDFromPR_SEARCH_KEY::GetId");
  if (entryId->Empty()) {
    // The item is there, but cannot be named: not "not found" (callers
    // would delete its counterparts or copy it again), a failed lookup.
    LogError(0, L"GetEntryIDFromPR_SEARCH_KEY:EID=NULL");
    return FAILED(idHr) ? idHr : E_FAIL;
  }
  *found = 1;
  return hr;
}

std::wstring SyncIdDigitsFromGuidText(const wchar_t* guidText) {
  std::wstring text = guidText ? guidText : L"";
  // The braces and the four hyphens, each position counted after the
  // deletion before it.
  for (size_t position : {0u, 8u, 12u, 16u, 20u, 32u})
    if (position < text.size()) text.erase(position, 1);
  return text;
}

namespace {

// Writes a fresh 16-byte search key onto the message (committed at once).
void WriteNewSearchKey(CSyncEngine* engine, IRdoUtils* utils, IRdoMessage* message) {
  GUID guid{};
  wchar_t text[39] = {};
  HRESULT hr = CoCreateGuid(&guid);
  if (SUCCEEDED(hr) && StringFromGUID2(guid, text, 39) == 0) hr = E_OUTOFMEMORY;
  if (FAILED(hr)) {
    LogError(hr, L"GetSyncID_AS_PR_SEARCH_KEY new ID failed");
    return;
  }
  com::Variant binary;
  hr = utils->HexToBin(com::Bstr(SyncIdDigitsFromGuidText(text)), binary.Put());
  if (SUCCEEDED(hr)) hr = utils->SetPropByTag(message, kTagSearchKey, binary, 1);
  if (SUCCEEDED(hr)) return;
  if (hr == E_ACCESSDENIED) {
    if (engine)
      engine->SetTrayMessage(L"Tallowby", LoadUiString(IDS_DUPLICATE_NOT_REPAIRED, g_lcidUi).c_str(), 3);
    LogError(E_ACCESSDENIED, L"SetNewSyncID E_ACCESSDENIED");
  } else {
    LogError(hr, L"SetNewSyncID");
  }
}

}  // namespace

HRESULT SetNewSyncID(CSyncEngine* engine, IRdoUtils* utils, IRdoMessage* message, com::Bstr* syncId, bool makeNew) {
  if (!utils || !message || !syncId) return E_POINTER;
  if (makeNew) WriteNewSearchKey(engine, utils, message);
  com::Variant key;
  HRESULT hr = utils->GetPropByTag(message, kTagSearchKey, key.Put());
  if (FAILED(hr)) return hr;
  if (IsEmptyOrError(key)) {
    LogError(hr, L"GetSyncID_AS_PR_SEARCH_KEY failed");
    return E_FAIL;
  }
  return utils->BinToHex(key, syncId->Put());
}

com::ComPtr<IRdoMessage> IDispatchToIMessageItem(CSyncEngine* engine, IDispatch* item) {
  com::ComPtr<IRdoMessage> message;
  if (!item) {
    LogError(0, L"no dispatchitem");
    return message;
  }
  com::Variant entryId;
  HRESULT hr = GetById(item, kDispEntryId, &entryId);
  if (FAILED(hr)) {
    LogError(hr, L"no entryID found..");
    return message;
  }
  if (entryId.vt != VT_BSTR) {
    LogError(hr, L"no entryID found");
    return message;
  }
  com::Variant parentResult;
  hr = GetById(item, kDispParent, &parentResult);
  com::ComPtr<IDispatch> parent;
  if (FAILED(hr)) {
    LogError(hr, L"no parent found");
    return message;
  }
  if (FAILED(com::ResultToDispatch(parentResult, parent.Put())) || !parent) {
    LogError(hr, L"no parent found");
    LogError(E_FAIL, L"no storeidValue");
    return message;
  }
  if (g_bDebugLog) {
    com::ComPtr<IDispatch> folder;
    com::Variant name;
    if (SUCCEEDED(parent.As(IID_MAPIFolder, folder.PutVoid())) && folder &&
        SUCCEEDED(com::GetProperty(folder.Get(), L"Name", name.Put())))
      DebugLogString(L"IDispatchToIMessageItem:Foldername is: ", name.AsString().c_str());
    else
      DebugLog(L"IDispatchToIMessageItem:Foldername is: ?");
  }
  com::Variant storeId;
  hr = GetById(parent.Get(), kDispStoreId, &storeId);
  if (FAILED(hr) || storeId.vt != VT_BSTR) {
    LogError(hr, L"no storeidValue");
    return message;
  }
  if (!engine || !engine->MapiUtils) return message;
  engine->MapiUtils->GetMessageById(entryId.bstrVal, storeId, com::Variant(), message.Put());
  return message;
}

long GetItemTypeFromMessageClass(CSyncEngine*, const wchar_t* messageClass) {
  // Every copy asks: the class is searched where it lies, its letters
  // compared without regard to ASCII case.
  const std::wstring_view text = messageClass ? messageClass : L"";
  const auto sameLetter = [](wchar_t a, wchar_t upper) {
    return (a >= L'a' && a <= L'z' ? wchar_t(a - L'a' + L'A') : a) == upper;
  };
  struct Row { std::wstring_view upper; long kind; };
  static constexpr Row rows[] = {
      {L"IPM.APPOINTMENT", kItemAppointment}, {L"IPM.TASK", kItemTask},    {L"IPM.CONTACT", kItemContact},
      {L"IPM.STICKYNOTE", kItemNote},         {L"IPM.NOTE", kItemMail},    {L"IPM.ACTIVITY", kItemJournal},
      {L"IPM.DISTLIST", kItemDistList},
  };
  for (const Row& row : rows)
    if (std::search(text.begin(), text.end(), row.upper.begin(), row.upper.end(), sameLetter) != text.end())
      return row.kind;
  return kItemOther;
}

int GetStoreMode(CSyncEngine* engine, com::ComPtr<IRdoFolder> folder) {
  if (!engine || !engine->MapiUtils || !folder) return kStoreModeNormal;
  IRdoUtils* utils = engine->MapiUtils.Get();
  com::Variant provider;
  HRESULT hr = utils->GetPropByTag(folder.Get(), kTagMdbProvider, provider.Put());
  if (!CheckHr(hr, L"No PR_MDB_PROVIDER")) return kStoreModeNormal;
  if (IsEmptyOrError(provider)) {
    LogError(hr, L"PR_MDB_PROVIDER failed");
    return kStoreModeNormal;
  }
  com::Bstr hex;
  if (FAILED(utils->BinToHex(provider, hex.Put()))) return kStoreModeNormal;
  if (hex.Str() == kICloudProvider) {
    if (g_bDebugLog) DebugLogString(L"Using iCloud Mode", hex.c_str());
    return kStoreModeICloud;
  }
  if (hex.Str() == kHotMailProvider) {
    long type = -1;
    return SUCCEEDED(folder->get_DefaultItemType(&type)) && type == kItemAppointment ? kStoreModeHotMail
                                                                                     : kStoreModeNormal;
  }
  com::ComPtr<IRdoStore> store;
  com::Bstr name;
  if (SUCCEEDED(folder->get_Store(store.Put())) && store && SUCCEEDED(store->get_Name(name.Put())) &&
      name.Str() == L"Internetkalender") {
    if (g_bDebugLog) DebugLog(L"Using Hotmailmode (Internetkalender)");
    return kStoreModeHotMail;
  }
  return kStoreModeNormal;
}

bool IsFolderOfStoreKind6(CSyncEngine* engine, IDispatch* outlookFolder) {
  if (!engine || !engine->RdoSession || !outlookFolder) return false;
  com::Variant storeId;
  if (FAILED(com::GetProperty(outlookFolder, L"StoreID", storeId.Put())) || storeId.vt != VT_BSTR) return false;
  com::ComPtr<IRdoStore> store;
  long kind = 0;
  if (FAILED(engine->RdoSession->GetStoreById(storeId.bstrVal, com::Variant(), store.Put())) || !store) return false;
  return SUCCEEDED(store->get_Kind(&kind)) && kind == kStoreKindNoPage;
}

NewKeyFor WhoseKeyChanges(bool copyHasMyCategory, bool copyHasTheirCategory,
                          const std::function<bool()>& mineIsNotOlder) {
  if (copyHasMyCategory && copyHasTheirCategory) return NewKeyFor::kNeither;
  if (copyHasTheirCategory) return NewKeyFor::kMine;
  if (copyHasMyCategory) return NewKeyFor::kTheirs;
  return mineIsNotOlder() ? NewKeyFor::kMine : NewKeyFor::kTheirs;
}
