#include "pst_items.h"

#include <mapicode.h>

#include <cwchar>

#include "bstr.h"
#include "date_time.h"
#include "exchange_sync.h"
#include "folder_object.h"
#include "pst_pass.h"
#include "variant.h"

namespace {
constexpr long kOpenFlags = 16;
}  // namespace

HRESULT OpenFolderOf(IRdoSession* session, CItemsEvents* sink, com::ComPtr<IRdoFolder>* out) {
  HRESULT hr = session->GetFolderById(sink->EntryID, com::Variant(sink->StoreID.c_str()), com::Variant(kOpenFlags),
                                      out->Put());
  if (SUCCEEDED(hr) && !*out) hr = E_FAIL;
  return hr;
}

HRESULT OpenMessageOf(IRdoSession* session, CItemsEvents* sink, BSTR entryId, com::ComPtr<IRdoMessage>* out) {
  HRESULT hr = session->GetMessageById(entryId, com::Variant(sink->StoreID.c_str()), com::Variant(kOpenFlags),
                                       out->Put());
  if (SUCCEEDED(hr) && !*out) hr = MAPI_E_NOT_FOUND;
  return hr;
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

std::wstring DefaultItemWriteKey(const std::wstring& syncId, CMAPIFolderObject* master) {
  // A sync id is hexadecimal, so the separator never occurs inside it.
  return syncId + L"|" + master->Events->EntryID.Str();
}

HRESULT RecordDefaultItemWrite(CMAPIFolderObject* master, CMAPIFolderObject* defaultFolder, IRdoUtils* utils,
                               IRdoSession* session, IRdoMessage* item, const std::wstring& syncId) {
  if (!master || !master->Events || !defaultFolder || !defaultFolder->Events) return E_FAIL;
  return AddToPSTChangeKeyList(defaultFolder->Events, utils, session, item, DefaultItemWriteKey(syncId, master));
}

HRESULT RecordMasterWrite(CMAPIFolderObject* master, IRdoUtils* utils, IRdoSession* session, IRdoMessage* item,
                          const std::wstring& syncId) {
  if (!master || !master->Events) return E_FAIL;
  if (master->Events->ExchangeMode) return RegisterExchangeWrite(master, session, utils, item, syncId);
  return AddToPSTChangeKeyList(master->Events, utils, session, item, syncId);
}

bool IsDefaultItemOwnWrite(CMAPIFolderObject* master, CMAPIFolderObject* defaultFolder, const std::wstring& syncId,
                           IRdoMessage* item) {
  if (!master || !master->Events || !defaultFolder || !defaultFolder->Events) return false;
  return IsPSTMyChange(defaultFolder->Events, DefaultItemWriteKey(syncId, master), item);
}
