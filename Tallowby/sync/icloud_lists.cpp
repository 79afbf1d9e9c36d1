// The iCloud key list of a folder.
//
// An iCloud store hands out the same search key for an item and a copy the
// user made of it, so the rebuild is also where such twins are told apart.
#include "icloud_lists.h"

#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "clock.h"
#include "folder_object.h"
#include "item_identity.h"
#include "item_time.h"
#include "locks.h"
#include "logs.h"
#include "pst_items.h"
#include "sync_engine.h"
#include "table_walk.h"
#include "variant.h"

namespace {

constexpr long kTagEntryId = 0x0FFF0102;
constexpr long kOpenBestAccess = 16;
constexpr DWORD kRowPauseMs = 2;

// The map being built, with the set of its values beside it so that "is this
// item listed already?" does not scan every entry.
class KeyMap {
 public:
  bool Has(const std::wstring& key) const { return byKey_.count(key) != 0; }
  const std::wstring& EntryIdOf(const std::wstring& key) const { return byKey_.at(key); }
  bool Lists(const std::wstring& entryId) const { return entryIds_.count(entryId) != 0; }

  // Sets the key (replacing its item) unless the item is listed already.
  void AddUnlisted(const std::wstring& key, const std::wstring& entryId) {
    if (!Lists(entryId)) Set(key, entryId);
  }
  // Sets the key, replacing its item.
  void Set(const std::wstring& key, const std::wstring& entryId) {
    auto [it, added] = byKey_.try_emplace(key, entryId);
    if (!added) {
      entryIds_.erase(it->second);
      it->second = entryId;
    }
    entryIds_.insert(entryId);
  }
  std::unordered_map<std::wstring, std::wstring> Take() { return std::move(byKey_); }

 private:
  std::unordered_map<std::wstring, std::wstring> byKey_;
  std::unordered_set<std::wstring> entryIds_;
};

class ICloudListBuilder {
 public:
  ICloudListBuilder(CItemsEvents* sink, IRdoSession* session, IRdoUtils* utils)
      : sink_(sink), session_(session), utils_(utils) {}

  HRESULT Run(IRdoItems* items);

 private:
  HRESULT OpenTable(IRdoItems* items, com::ComPtr<IRdoTable>* table);
  void ReadRow(const VARIANT* values, long count);
  // Gives the newer of the two items a new search key; the key each item
  // carries afterwards goes into the map. False when nothing was changed.
  bool RepairDuplicate(const std::wstring& key, const std::wstring& rowEntryId);
  com::ComPtr<IRdoMessage> OpenItem(const std::wstring& entryId, const wchar_t* label);
  bool WriteNewKey(IRdoMessage* item, std::wstring* newKey);
  void Publish();

  CItemsEvents* sink_;
  IRdoSession* session_;
  IRdoUtils* utils_;
  KeyMap map_;
};

HRESULT ICloudListBuilder::Run(IRdoItems* items) {
  com::ComPtr<IRdoTable> table;
  HRESULT hr = OpenTable(items, &table);
  if (FAILED(hr)) return hr;
  DebugLog(L"iCloud::CreateList2");
  const HRESULT moved = table->SeekRow(0);
  long rowCount = 0;
  if (FAILED(table->get_RowCount(&rowCount))) rowCount = 0;
  if (rowCount <= 0) {
    // An empty folder (or one that cannot be read) keeps the list it had.
    if (FAILED(moved)) LogError(moved, L"FillMobileMeList4");
  } else {
    if (sink_->iCloudMode) DebugLog(L"iCloud::CreateList3");
    const TableWalkResult walk =
        WalkTableRows(table.Get(), rowCount, [this](const VARIANT* values, long count) { ReadRow(values, count); });
    if (walk.failed == TableStep::kBounds)
      LogError(walk.hr, L"FillMobileMeList3");
    else if (walk.failed != TableStep::kNone)
      LogError(walk.hr, L"FillMobileMeList4");
    if (sink_->iCloudMode) Publish();
  }
  DebugLog(L"iCloud::CreateList4");
  return S_OK;
}

HRESULT ICloudListBuilder::OpenTable(IRdoItems* items, com::ComPtr<IRdoTable>* table) {
  HRESULT hr = items->get_Table(table->Put());
  if (SUCCEEDED(hr) && !*table) hr = E_FAIL;
  if (!CheckHr(hr, L"no mapitable from iCloud")) return hr;
  com::Variant columns;
  hr = MakeColumns({kTagSearchKey, kTagEntryId}, columns.Put());
  if (SUCCEEDED(hr)) hr = (*table)->SetColumns(columns);
  CheckHr(hr, L"iCloud put_Columns");
  return hr;
}

void ICloudListBuilder::ReadRow(const VARIANT* values, long count) {
  clk::Sleep(kRowPauseMs);
  if (!values || count < 1 || IsEmptyOrErrorValue(values[0])) return;
  com::Bstr keyText;
  if (FAILED(utils_->BinToHex(values[0], keyText.Put())) || keyText.Empty()) return;
  if (!sink_->iCloudMode) return;
  if (count < 2 || IsEmptyOrErrorValue(values[1])) return;
  com::Bstr entryIdText;
  HRESULT hr = utils_->BinToHex(values[1], entryIdText.Put());
  if (FAILED(hr) || entryIdText.Empty()) {
    LogError(FAILED(hr) ? hr : E_FAIL, L"FillMobileMeList0");
    return;
  }
  const std::wstring key = keyText.Str(), entryId = entryIdText.Str();
  if (map_.Has(key) && map_.EntryIdOf(key) != entryId && RepairDuplicate(key, entryId)) return;
  map_.AddUnlisted(key, entryId);
}

bool ICloudListBuilder::RepairDuplicate(const std::wstring& key, const std::wstring& rowEntryId) {
  DebugLog(L"FilliCoundList::DUBLICATED iCloud Item");
  const std::wstring listedEntryId = map_.EntryIdOf(key);
  com::ComPtr<IRdoMessage> rowItem = OpenItem(rowEntryId, L"FilliCoundList::Dublicated item 1");
  if (!rowItem) return false;
  com::ComPtr<IRdoMessage> listedItem = OpenItem(listedEntryId, L"FilliCoundList::Dublicated item 2");
  if (!listedItem) return false;
  // Stamps of one store, compared as the instants they are.
  const DATE rowDate = StampOf(utils_, rowItem.Get()), listedDate = StampOf(utils_, listedItem.Get());
  if (!CheckHr(rowDate != 0 ? S_OK : E_FAIL, L"FilliCoundList::date 1")) return false;
  if (!CheckHr(listedDate != 0 ? S_OK : E_FAIL, L"FilliCoundList::date 2")) return false;
  // The newer one is the copy; on equal dates the one listed first.
  const bool rowIsNewer = rowDate > listedDate;
  std::wstring newKey;
  if (!WriteNewKey(rowIsNewer ? rowItem.Get() : listedItem.Get(), &newKey)) return false;
  // Each key names the item that now carries it.
  if (rowIsNewer) {
    map_.AddUnlisted(newKey, rowEntryId);
  } else {
    map_.Set(newKey, listedEntryId);
    map_.Set(key, rowEntryId);
  }
  return true;
}

com::ComPtr<IRdoMessage> ICloudListBuilder::OpenItem(const std::wstring& entryId, const wchar_t* label) {
  com::ComPtr<IRdoMessage> item;
  HRESULT hr = session_->GetMessageById(com::Bstr(entryId), com::Variant(sink_->StoreID.c_str()),
                                        com::Variant(kOpenBestAccess), item.Put());
  if (SUCCEEDED(hr) && !item) hr = E_FAIL;
  clk::Sleep(kRowPauseMs);
  if (!CheckHr(hr, label)) return {};
  return item;
}

bool ICloudListBuilder::WriteNewKey(IRdoMessage* item, std::wstring* newKey) {
  GUID guid{};
  wchar_t text[39] = {};
  if (FAILED(CoCreateGuid(&guid)) || StringFromGUID2(guid, text, 39) == 0) return false;
  const std::wstring digits = SyncIdDigitsFromGuidText(text);
  com::Variant binary;
  if (!CheckHr(utils_->HexToBin(com::Bstr(digits), binary.Put()), L"FilliCoundList::Arr2Str")) return false;
  if (!CheckHr(utils_->SetPropByTag(item, kTagSearchKey, binary, 1), L"FilliCoundList::SetNewKey")) return false;
  *newKey = digits;
  return true;
}

void ICloudListBuilder::Publish() { sink_->ReplaceICloudList(map_.Take()); }

void LogOwnerName(CItemsEvents* sink) {
  if (!g_bDebugLog) return;
  CMAPIFolderObject* owner = sink->Owner;
  if (!owner) return;
  // DisplayName is "M:" or "S:" and the Outlook folder's name.
  const std::wstring display = owner->DisplayName.Str();
  DebugLogString(L"iCloud::CreateList", display.size() > 2 ? display.c_str() + 2 : L"");
}

}  // namespace

HRESULT FilliCoundList(CItemsEvents* sink, IRdoSession* session, IRdoUtils* utils, IRdoItems* items) {
  if (!sink || !g_pSyncEngine || !items || !session || !utils) return E_FAIL;
  if (sink->ExchangeMode) return S_OK;
  return ICloudListBuilder(sink, session, utils).Run(items);
}

HRESULT CreateList(CItemsEvents* sink, IRdoSession* session, IRdoUtils* utils, IRdoFolder* rdoFolder) {
  if (!sink) return E_FAIL;
  LogOwnerName(sink);
  com::ComPtr<IRdoItems> items;
  if (rdoFolder) {
    rdoFolder->get_Items(items.Put());
    com::Bstr name;
    if (g_bDebugLog && SUCCEEDED(rdoFolder->get_Name(name.Put())))
      DebugLogString(L"iCloud::CreateList::", name.c_str());
  }
  return FilliCoundList(sink, session, utils, items.Get());
}

HRESULT CreateList(CItemsEvents* sink, IRdoSession* session, IRdoUtils* utils) {
  if (!sink || !session) return E_FAIL;
  com::ComPtr<IRdoFolder> folder;
  HRESULT hr = OpenFolderOf(session, sink, &folder);
  if (FAILED(hr)) return hr;
  return CreateList(sink, session, utils, folder.Get());
}
