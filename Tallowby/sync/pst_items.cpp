#include "pst_items.h"

#include <mapicode.h>

#include <algorithm>
#include <cwchar>
#include <cwctype>

#include "bstr.h"
#include "exchange_sync.h"
#include "folder_object.h"
#include "item_identity.h"
#include "logs.h"
#include "pst_pass.h"
#include "sync_engine.h"
#include "thread_pointer.h"
#include "variant.h"

namespace {

constexpr long kOpenFlags = 16;

// The innermost PassFolders of each thread (it lives on the pass's stack).
com::ThreadPointer<PassFolders> g_passFolders;

// Asks the runtime only beyond ASCII: a sync id is tested before every
// search, and a call per character costs more than the test.
bool IsHexDigit(wchar_t c) {
  if (c >= 0x80) return std::iswxdigit(c) != 0;
  return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
}

// A sync id goes into a filter text: only hexadecimal digits may.
bool IsHexText(const std::wstring& text) {
  if (text.empty() || text.size() % 2 != 0) return false;
  return std::all_of(text.begin(), text.end(), IsHexDigit);
}

// The hexadecimal text of a binary value; none when it cannot be made.
com::Bstr HexOf(IRdoUtils* utils, const VARIANT& binary) {
  com::Bstr hex;
  if (binary.vt != (VT_ARRAY | VT_UI1)) return hex;
  if (FAILED(utils->BinToHex(binary, hex.Put()))) hex.Reset();
  return hex;
}

com::Bstr EntryIdOf(IRdoMessage* message) {
  com::Bstr id;
  if (message) message->get_EntryID(id.Put());
  return id;
}

}  // namespace

PassFolders::PassFolders() : outer_(g_passFolders.Get()) { g_passFolders.Set(this); }

PassFolders::~PassFolders() { g_passFolders.Set(outer_); }

HRESULT OpenFolderOf(IRdoSession* session, CItemsEvents* sink, const VARIANT& flags, com::ComPtr<IRdoFolder>* out) {
  out->Reset();
  if (!session || !sink) return E_POINTER;
  HRESULT hr = session->GetFolderById(sink->EntryID, com::Variant(sink->StoreID.c_str()), flags, out->Put());
  if (SUCCEEDED(hr) && !*out) hr = E_FAIL;
  return hr;
}

HRESULT OpenFolderOf(IRdoSession* session, CItemsEvents* sink, com::ComPtr<IRdoFolder>* out) {
  PassFolders* pass = g_passFolders.Get();
  if (pass && sink) {
    auto kept = pass->folders_.find(sink);
    if (kept != pass->folders_.end() && kept->second.first == session) {
      *out = kept->second.second;
      return S_OK;
    }
  }
  HRESULT hr = OpenFolderOf(session, sink, com::Variant(kOpenFlags), out);
  if (SUCCEEDED(hr) && pass) pass->folders_[sink] = {session, *out};
  return hr;
}

HRESULT OpenMessageOf(IRdoSession* session, CItemsEvents* sink, BSTR entryId, com::ComPtr<IRdoMessage>* out) {
  HRESULT hr = session->GetMessageById(entryId, com::Variant(sink->StoreID.c_str()), com::Variant(kOpenFlags),
                                       out->Put());
  if (SUCCEEDED(hr) && !*out) hr = MAPI_E_NOT_FOUND;
  return hr;
}

com::Bstr SyncIdFilter(std::wstring_view syncId, bool byObjectId) {
  // Put together in its BSTR: one allocation per search.
  const std::wstring_view property = byObjectId ? kDaslGlobalObjectId : kDaslSearchKey;
  return com::Bstr::Joined({L"\"", property, L"\" = '", syncId, L"'"});
}

FoundItem FindBySyncId(IRdoUtils* utils, IRdoFolder* folder, const std::wstring& syncId, bool byObjectId,
                       bool lookForAnother, const com::Bstr* filter) {
  FoundItem found;
  if (!utils || !folder) {
    found.hr = E_POINTER;
    return found;
  }
  if (!IsHexText(syncId)) {
    found.hr = E_INVALIDARG;
    return found;
  }
  com::ComPtr<IRdoItems> items;
  found.hr = folder->get_Items(items.Put());
  if (SUCCEEDED(found.hr) && !items) found.hr = E_FAIL;
  if (FAILED(found.hr)) return found;
  if (byObjectId) MapGlobalObjectIdName(utils, folder);
  const com::Bstr made = filter ? com::Bstr() : SyncIdFilter(syncId, byObjectId);
  found.hr = items->Find(filter ? filter->Get() : made.Get(), found.item.Put());
  if (FAILED(found.hr) || !found.item) return found;
  found.modified = StampOf(utils, found.item.Get());
  if (found.modified == 0) {
    found.hr = E_FAIL;
    return found;
  }
  if (!lookForAnother) return found;
  const com::Bstr first = EntryIdOf(found.item.Get());
  com::ComPtr<IRdoMessage> next;
  while (SUCCEEDED(items->FindNext(next.Put())) && next) {
    if (EntryIdOf(next.Get()).View() != first.View()) {
      found.another = true;
      break;
    }
  }
  return found;
}

com::Bstr SyncIdTextOfItem(IRdoUtils* utils, IRdoMessage* message, bool hotMail, bool* byObjectId) {
  if (byObjectId) *byObjectId = false;
  if (!utils || !message) return {};
  if (hotMail) {
    com::Variant objectId;
    if (SUCCEEDED(message->get_Fields(com::Bstr(kDaslGlobalObjectId), objectId.Put()))) {
      com::Bstr hex = HexOf(utils, objectId);
      if (hex.Length() >= 2) {
        if (byObjectId) *byObjectId = true;
        return hex;
      }
    }
  }
  com::Variant key;
  if (FAILED(utils->GetPropByTag(message, kTagSearchKey, key.Put()))) return {};
  return HexOf(utils, key);
}

std::wstring SyncIdOfItem(IRdoUtils* utils, IRdoMessage* message, bool hotMail, bool* byObjectId) {
  return SyncIdTextOfItem(utils, message, hotMail, byObjectId).Str();
}

std::wstring SubjectOr(IRdoMessage* message, const wchar_t* fallback) {
  com::Bstr subject;
  if (message) message->get_Subject(subject.Put());
  return subject.Empty() ? fallback : subject.Str();
}

std::wstring FolderName(IRdoFolder* folder) {
  com::Bstr name;
  if (folder) folder->get_Name(name.Put());
  return name.Str();
}

std::wstring DateText(DATE date) {
  SYSTEMTIME st = com::DateTime(date).ToSystemTime();
  wchar_t text[32];
  swprintf(text, 32, L"%02u%02u%02u-%02u%02u%02u", st.wDay, st.wMonth, st.wYear % 100, st.wHour, st.wMinute,
           st.wSecond);
  return text;
}

void UserLogWrite(CSyncEngine* engine, const wchar_t* word, IRdoMessage* item, IRdoFolder* folder) {
  if (!engine || !engine->UserLogOn || !folder) return;
  com::Bstr folderName;
  if (FAILED(folder->get_Name(folderName.Put()))) return;
  engine->UserLog(kUserLogRule);
  engine->UserLogString(word, com::Bstr(SubjectOr(item, kNoSubject)).Detach());
  engine->UserLogString(L"IN:", folderName.Detach());
  engine->UserLog(kUserLogRule);
}

std::wstring DefaultItemWriteKey(const std::wstring& syncId, CMAPIFolderObject* master) {
  // A sync id is hexadecimal, so the separator never occurs inside it. Put
  // together in one piece of room: a pass makes it for every item it writes.
  const std::wstring_view job = master->Events->EntryID.View();
  std::wstring key;
  key.reserve(syncId.size() + 1 + job.size());
  key.append(syncId).append(1, L'|').append(job);
  return key;
}

HRESULT RecordDefaultItemWrite(CMAPIFolderObject* master, CMAPIFolderObject* defaultFolder, IRdoUtils* utils,
                               IRdoSession* session, IRdoMessage* item, const std::wstring& syncId) {
  if (!master || !master->Events || !defaultFolder || !defaultFolder->Events) return E_FAIL;
  return AddToPSTChangeKeyList(defaultFolder->Events, utils, session, item, DefaultItemWriteKey(syncId, master));
}

HRESULT RecordMasterWrite(CMAPIFolderObject* master, IRdoUtils* utils, IRdoSession* session, IRdoMessage* item,
                          const std::wstring& syncId, double copyStamp) {
  if (!master || !master->Events) return E_FAIL;
  if (master->Events->ExchangeMode) return RegisterExchangeWrite(master, session, utils, item, syncId);
  const double stamp = StampOf(utils, item);
  if (!CheckHr(stamp != 0 ? S_OK : E_FAIL, L"AddToPSTChangeKeyList:getDate")) return E_FAIL;
  AddToPSTChangeKeyList(master->Events, stamp, syncId, copyStamp);
  return S_OK;
}

void RecordDefaultItemWrite(CMAPIFolderObject* master, CMAPIFolderObject* defaultFolder, double stamp,
                            const std::wstring& syncId) {
  if (!master || !master->Events || !defaultFolder || !defaultFolder->Events) return;
  AddToPSTChangeKeyList(defaultFolder->Events, stamp, DefaultItemWriteKey(syncId, master));
}

SinceOwnWrite DefaultItemSinceOwnWrite(CMAPIFolderObject* master, CMAPIFolderObject* defaultFolder,
                                       const std::wstring& syncId, double stamp) {
  if (!master || !master->Events || !defaultFolder || !defaultFolder->Events || defaultFolder->Events->ExchangeMode)
    return SinceOwnWrite::kUnknown;
  return PSTChangeSince(defaultFolder->Events, DefaultItemWriteKey(syncId, master), stamp);
}

SinceOwnWrite MasterItemSinceOwnWrite(CMAPIFolderObject* master, const std::wstring& syncId, double stamp) {
  if (!master || !master->Events || master->Events->ExchangeMode) return SinceOwnWrite::kUnknown;
  return PSTChangeSince(master->Events, syncId, stamp);
}

SinceOwnWrite CopySinceOwnWrite(CMAPIFolderObject* master, const std::wstring& syncId, double stamp) {
  if (!master || !master->Events || master->Events->ExchangeMode) return SinceOwnWrite::kUnknown;
  return PSTCounterpartSince(master->Events, syncId, stamp);
}
