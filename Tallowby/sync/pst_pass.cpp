// The personal-folder comparison pass.
#include "pst_pass.h"

#include <mapicode.h>

#include <algorithm>
#include <cwchar>
#include <iterator>
#include <memory_resource>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "bstr.h"
#include "clock.h"
#include "com_ptr.h"
#include "duplicates.h"
#include "folder_object.h"
#include "item_filter.h"
#include "item_identity.h"
#include "locks.h"
#include "logs.h"
#include "pst_items.h"
#include "pst_master.h"
#include "pst_slave.h"
#include "sync_engine.h"
#include "variant.h"

DWORD TestPassLengthMs() {
#ifndef TALLOWBY_TEST_SEAMS
  return 0;  // the shipping build has no test seams
#else
  static const DWORD ms = [] {
    wchar_t text[16] = L"";
    DWORD n = GetEnvironmentVariableW(L"TALLOWBY_TEST_PASS_SECONDS", text, 16);
    long seconds = n > 0 && n < 16 ? std::wcstol(text, nullptr, 10) : 0;
    return seconds > 0 ? DWORD(seconds) * 1000 : 0;
  }();
  return ms;
#endif
}

namespace {

constexpr long kRowsPerBatch = 400;
constexpr long kTagEntryId = 0x0FFF0102;  // PR_ENTRYID
constexpr DWORD kRetryPauseMs = 1000;
constexpr double kHalfSecond = 0.5 / 86400.0;
// How far ahead of now a stored folder time may lie.
constexpr double kFutureSlackSeconds = 300.0;
constexpr size_t kStatusTextMax = 150;

std::wstring HexOf(IRdoUtils* utils, const VARIANT& binary) {
  if (binary.vt != (VT_ARRAY | VT_UI1)) return {};
  com::Bstr hex;
  if (FAILED(utils->BinToHex(binary, hex.Put()))) return {};
  return hex.Str();
}

// The elements of a one-dimensional array, read where they lie (no copy
// of each element) for as long as the view lives; empty when the array
// cannot be read.
template <class T>
class ArrayInPlace {
 public:
  explicit ArrayInPlace(SAFEARRAY* array) : array_(array) {
    LONG lo = 0, hi = -1;
    if (!array || FAILED(SafeArrayGetLBound(array, 1, &lo)) || FAILED(SafeArrayGetUBound(array, 1, &hi)) || hi < lo)
      return;
    void* data = nullptr;
    if (FAILED(SafeArrayAccessData(array, &data))) return;
    data_ = static_cast<const T*>(data);
    size_ = size_t(hi - lo + 1);
  }
  ~ArrayInPlace() {
    if (data_) SafeArrayUnaccessData(array_);
  }
  ArrayInPlace(const ArrayInPlace&) = delete;
  ArrayInPlace& operator=(const ArrayInPlace&) = delete;

  size_t size() const { return size_; }
  const T& operator[](size_t i) const { return data_[i]; }

 private:
  SAFEARRAY* array_;
  const T* data_ = nullptr;
  size_t size_ = 0;
};

void CategoriesOf(const VARIANT& cell, std::vector<std::wstring>* list) {
  list->clear();
  if (cell.vt != (VT_ARRAY | VT_BSTR) || !cell.parray) return;
  const ArrayInPlace<BSTR> texts(cell.parray);
  for (size_t i = 0; i < texts.size(); ++i) {
    if (!texts[i]) {
      LogError(0, L"DaHabenWirDenSalat");
      continue;
    }
    list->emplace_back(texts[i], SysStringLen(texts[i]));
  }
}

HRESULT SetColumns(IRdoTable* table, const std::vector<long>& tags) {
  SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, ULONG(tags.size()));
  if (!array) return E_OUTOFMEMORY;
  for (LONG i = 0; i < LONG(tags.size()); ++i) {
    com::Variant tag(tags[size_t(i)]);
    SafeArrayPutElement(array, &i, &tag);
  }
  com::Variant columns;
  columns.vt = VT_ARRAY | VT_VARIANT;
  columns.parray = array;
  return table->SetColumns(columns);
}

// Enters many keys into the sink's delete list at once: one lock and a
// hashed test instead of a scan of the whole list per key. No room is made
// ahead: most of them are listed already (the delete-list walk lists every
// item of the folder), and room for them would only be memory to touch.
void AddAllToFolderCache(CItemsEvents* sink, const std::vector<ListedItem>& listed) {
  CsLock lock(g_csDeleteList);
  SyncIdList& list = sink->DeleteList();
  for (const ListedItem& item : listed) list.AddOnce(item.syncId);
}

// Room for one more record per listed item in a sink's own-write list.
void ReserveRecords(CItemsEvents* sink, size_t listed) {
  auto& list = sink->PSTChangeKeyList;
  list.reserve(list.size() + listed);
}

// Each listed item of a master may bring a new copy, whose key then enters
// the default folder's delete list, and a record of how the pair was left
// on either side: room for them is made once.
void ReserveForCopies(CMAPIFolderObject* master, size_t listed) {
  CMAPIFolderObject* defaultFolder = master->Partner;
  if (!defaultFolder || !defaultFolder->Events) return;
  ReserveRecords(master->Events, listed);
  ReserveRecords(defaultFolder->Events, listed);
  CsLock lock(g_csDeleteList);
  defaultFolder->Events->DeleteList().Reserve(listed);
}

// The column layout of one walk.
struct Columns {
  int keywords = -1;
  int objectId = -1;
  int entryId = -1;
};

class FolderWalk {
 public:
  FolderWalk(CMAPIFolderObject* folder, IRdoSession* session, IRdoUtils* utils)
      : f_(folder), sink_(folder->Events), session_(session), utils_(utils) {}

  FolderListing Run(IRdoFolder* rdoFolder);

 private:
  bool Prepare(IRdoFolder* rdoFolder);
  bool ReadRows();
  // False when the walk ends at this row.
  bool TakeRow(const VARIANT& row);
  void List(ListedItem row, const VARIANT* entryId);
  // Notes that the row at `index` carries `key`.
  void Seen(std::wstring_view key, size_t index);
  // A copy of `key` in the walk's arena.
  std::wstring_view Kept(std::wstring_view key);

  CMAPIFolderObject* f_;
  CItemsEvents* sink_;
  IRdoSession* session_;
  IRdoUtils* utils_;
  com::ComPtr<IRdoTable> table_;
  Columns columns_;
  bool sorted_ = true;
  FolderListing out_;
  // Each key listed so far, with the index of the row that carries it. Its
  // texts and entries come from an arena that the walk frees at once when
  // it ends: no allocation of the process's heap per row.
  std::pmr::monotonic_buffer_resource arena_;
  std::pmr::unordered_map<std::wstring_view, size_t> seen_{&arena_};
};

FolderListing FolderWalk::Run(IRdoFolder* rdoFolder) {
  out_.newest = f_->LastFolderSyncTime;
  const DWORD start = DWORD(clk::TickMs());
  DebugLog(L"MakeFolderList::Start");
  if (!Prepare(rdoFolder) || !ReadRows()) out_.complete = false;
  AddAllToFolderCache(sink_, out_.items);
  wchar_t line[80];
  swprintf(line, 80, L"MakeFolderList = %lu msec", static_cast<unsigned long>(DWORD(clk::TickMs()) - start));
  DebugLog(line);
  return std::move(out_);
}

bool FolderWalk::Prepare(IRdoFolder* rdoFolder) {
  com::ComPtr<IRdoItems> items;
  if (FAILED(rdoFolder->get_Items(items.Put())) || !items) return false;
  HRESULT hr = items->get_Table(table_.Put());
  if (FAILED(hr) || !table_) {
    LogError(hr, L"MakeFolderList::NoCatId");
    return false;
  }
  std::vector<long> tags = {kTagSearchKey, kTagLastModificationTime, kTagEntryId};
  columns_.entryId = 2;
  // A store where no item ever had a category has no Keywords mapping yet;
  // its rows simply carry none, and the walk goes on without the column.
  long id = 0;
  hr = utils_->GetNamedPropId(rdoFolder, com::Bstr(kPublicStringsSet), com::Variant(L"Keywords"), 0, &id);
  if (SUCCEEDED(hr)) {
    columns_.keywords = int(tags.size());
    tags.push_back(id | kTypeMvUnicode);
  } else {
    DebugLog(L"MakeFolderList::NoCatId");
  }
  if (sink_->HotMailMode) {
    if (const long objectIdTag = GlobalObjectIdTag(utils_, rdoFolder, false)) {
      columns_.objectId = int(tags.size());
      tags.push_back(objectIdTag);
    } else {
      DebugLog(L"MakeFolderList::NOObjectId");
    }
  }
  hr = SetColumns(table_.Get(), tags);
  if (FAILED(hr)) {
    LogError(hr, L"MakeFolderList::PutColumns");
    return false;
  }
  return true;
}

bool FolderWalk::ReadRows() {
  long count = 0;
  HRESULT hr = table_->get_RowCount(&count);
  if (FAILED(hr)) return false;
  hr = table_->Sort(kTagLastModificationTime, com::Variant(1L));
  if (FAILED(hr)) {
    // Unsorted, the first old row says nothing about the rows after it:
    // every row is read.
    LogError(hr, L"sortierung defekt");
    sorted_ = false;
  }
  wchar_t line[64];
  swprintf(line, 64, L"MakeFolderList::Rows %ld", count);
  DebugLog(line);
  out_.items.reserve(size_t(std::max(count, 0L)));
  seen_.reserve(size_t(std::max(count, 0L)));
  if (FAILED(table_->SeekRow(0))) return false;
  long read = 0;
  while (read < count) {
    if (!f_->RunFlag) return false;
    com::Variant batch;
    hr = table_->GetRows(std::min(kRowsPerBatch, count - read), batch.Put());
    if (FAILED(hr)) {
      LogError(hr, L"MFL:GetRow");
      return false;
    }
    if (batch.vt != (VT_ARRAY | VT_VARIANT) || !batch.parray) return false;  // rows went missing
    const ArrayInPlace<VARIANT> rows(batch.parray);
    if (rows.size() == 0) return false;
    for (size_t i = 0; i < rows.size(); ++i)
      if (!TakeRow(rows[i])) return true;
    read += long(rows.size());
    if (read < count && FAILED(table_->SeekRow(read))) return false;
  }
  return true;
}

bool FolderWalk::TakeRow(const VARIANT& row) {
  const bool isRow = row.vt == (VT_ARRAY | VT_VARIANT) && row.parray;
  const ArrayInPlace<VARIANT> cells(isRow ? row.parray : nullptr);
  if (cells.size() < 2) {
    LogError(E_UNEXPECTED, L"MFL:GetRow");
    return true;
  }
  std::vector<std::wstring> categories;
  if (columns_.keywords >= 0 && size_t(columns_.keywords) < cells.size())
    CategoriesOf(cells[size_t(columns_.keywords)], &categories);
  if (f_->AddDefaultCategory) {
    for (std::wstring& piece : SplitCategories(f_->DefaultCategorie, L";,"))
      if (std::find(categories.begin(), categories.end(), piece) == categories.end())
        categories.push_back(std::move(piece));
  }

  std::wstring key;
  bool byObjectId = false;
  if (sink_->HotMailMode) {
    if (columns_.objectId >= 0 && size_t(columns_.objectId) < cells.size())
      key = HexOf(utils_, cells[size_t(columns_.objectId)]);
    byObjectId = !key.empty();
    if (key.empty()) {
      key = HexOf(utils_, cells[0]);
      DebugLog(L"MakeFolderList::HotMailMode::No ObjectID Take SKEY");
    }
  } else {
    key = HexOf(utils_, cells[0]);
  }

  const com::DateTime date(cells[1].vt == VT_DATE ? cells[1].date : 0.0);
  const bool old = date.Date() < f_->LastFolderSyncTime.Date();
  if (old && sorted_) {
    DebugLogString(L"MakeFolderList::Stop at", date.UserFormat().c_str());
    return false;
  }
  if (old || key.size() < 2) return true;
  if (out_.newest.Date() < date.Date()) out_.newest = date;
  if (!f_->IsStandard || !categories.empty()) {
    const size_t entryId = size_t(columns_.entryId);
    List({std::move(key), date, std::move(categories), byObjectId}, entryId < cells.size() ? &cells[entryId] : nullptr);
  }
  return true;
}

std::wstring_view FolderWalk::Kept(std::wstring_view key) {
  wchar_t* text = std::pmr::polymorphic_allocator<wchar_t>(&arena_).allocate(key.size());
  std::copy(key.begin(), key.end(), text);
  return {text, key.size()};
}

void FolderWalk::Seen(std::wstring_view key, size_t index) {
  const auto found = seen_.find(key);
  if (found != seen_.end()) found->second = index;
  else seen_.emplace(Kept(key), index);
}

void FolderWalk::List(ListedItem row, const VARIANT* entryId) {
  std::wstring& key = row.syncId;
  const size_t index = out_.items.size();
  const auto first = seen_.find(key);
  if (first == seen_.end()) {
    seen_.emplace(Kept(key), index);
  } else {
    // A second row with the same sync id: a pasted copy (in a Hotmail folder
    // an appointment keeps the meeting id as well). One of them gets a key
    // of its own.
    const size_t earlier = first->second;
    BYTE changed = 0;
    com::Bstr newId, changedEntryId;
    HRESULT hr = ChangeSyncIDFromDuplicatedItem(sink_, session_, utils_, key.c_str(), &changed, &newId,
                                                &changedEntryId, row.byObjectId);
    if (changed) {
      if (FAILED(hr) || newId.Empty()) {
        LogError(FAILED(hr) ? hr : E_FAIL, L"MFL:changedID not copied 2 syncid");
        return;
      }
      // The newer item takes the new key, and the walk lists the newer rows
      // first: unless it is this row's item, it is the earlier row's, which
      // then carries the new key, while this row keeps the old one. Each
      // row keeps its own item's categories and date.
      const std::wstring mine = entryId ? HexOf(utils_, *entryId) : std::wstring();
      const bool thisRow = !mine.empty() && _wcsicmp(mine.c_str(), changedEntryId.c_str()) == 0;
      if (thisRow) {
        key = newId.Str();
        Seen(key, index);
      } else {
        out_.items[earlier].syncId = newId.Str();
        Seen(newId.View(), earlier);
        Seen(key, index);
      }
    }
  }
  out_.items.push_back(std::move(row));
}

// The name that the progress text shows.
std::wstring JobName(CMAPIFolderObject* folder) {
  if (folder->Categorie[0]) return folder->Categorie;
  return folder->DisplayName.Str();
}

void ShowProgress(CSyncEngine* engine, const wchar_t* prefix, size_t k, size_t n, const std::wstring& name,
                  std::wstring* text) {
  if (name.empty()) return;
  PassStatusText(text, prefix, k, n, name);
  engine->SetStatusText(text->c_str());
}

void DebugFormatCount(const wchar_t* format, size_t n) {
  if (!g_bDebugLog) return;
  wchar_t line[96];
  swprintf(line, 96, format, n);
  DebugLog(line);
}

void DebugProgress(size_t done, size_t n) {
  if (!g_bDebugLog) return;
  wchar_t line[64];
  swprintf(line, 64, L"checkIfSomethingChanged %zu/%zu", done, n);
  DebugLog(line);
}

// The items of earlier walks that are still to be handled, unless the
// listing has them anyway; an item gone from the folder meanwhile is
// dropped (a failed lookup keeps it).
void AddRetryItems(CMAPIFolderObject* folder, IRdoUtils* utils, IRdoFolder* rdoFolder,
                   std::vector<ListedItem>* items) {
  std::vector<ListedItem> retry = std::exchange(folder->Events->RetryItems, {});
  if (retry.empty()) return;
  std::unordered_set<std::wstring> listed;
  for (const ListedItem& item : *items) listed.insert(item.syncId);
  for (ListedItem& item : retry) {
    if (listed.count(item.syncId)) continue;
    const FoundItem found = FindBySyncId(utils, rdoFolder, item.syncId, item.byObjectId);
    if (SUCCEEDED(found.hr) && !found.item) continue;
    listed.insert(item.syncId);
    items->push_back(std::move(item));
  }
}

// The default-folder walk. An item that cannot be handled now (a failed
// copy or lookup, a due reminder) goes into the folder's retry list and is
// handled by itself in the next walks. The number of such items, or -1 when
// stopped.
int WalkDefaultFolder(CMAPIFolderObject* folder, IRdoSession* session, IRdoUtils* utils, CSyncEngine* engine,
                      const std::vector<ListedItem>& items) {
  const std::wstring name = JobName(folder);
  std::wstring status;
  std::vector<ListedItem> retry;
  int result = 0;
  for (size_t k = 0; k < items.size(); ++k) {
    engine->SetSyncStatus(kStatusBusy);
    if (!folder->RunFlag) {
      result = -1;
      retry.insert(retry.end(), items.begin() + long(k), items.end());
      break;
    }
    const ListedItem& item = items[k];
    HRESULT outcome = S_OK;
    PSTprocessItemInDefaultFolder(folder->Events, session, utils, item.syncId, item.date.Date(), item.categories,
                                  &outcome, item.byObjectId);
    if (FAILED(outcome)) retry.push_back(item);
    if (!folder->RunFlag) {
      result = -1;
      retry.insert(retry.end(), items.begin() + long(k) + 1, items.end());
      break;
    }
    clk::Sleep(kPassPauseMs);
    DebugProgress(k + 1, items.size());
    ShowProgress(engine, L" S=>M:", k, items.size(), name, &status);
  }
  if (result == 0 && !retry.empty()) {
    DebugFormatCount(L"checkIfSomethingChanged::retry later: %zu", retry.size());
    result = int(retry.size());
  }
  folder->Events->RetryItems = std::move(retry);
  return result;
}

// The master walk; the number of items that failed, or -1 when stopped.
int WalkMasterFolder(CMAPIFolderObject* folder, IRdoSession* session, IRdoUtils* utils, CSyncEngine* engine,
                     const std::vector<ListedItem>& items) {
  const std::wstring name = JobName(folder);
  std::wstring status;
  int errors = 0;
  for (size_t j = 0; j < items.size(); ++j) {
    engine->SetSyncStatus(kStatusBusy);
    if (folder->Events->iCloudMode) clk::Sleep(kPassPauseMs);
    const ListedItem& item = items[j];
    HRESULT hr = PSTprocessItemInMasterFolder(folder->Events, session, utils, item.syncId, item.date.Date(),
                                              item.byObjectId);
    if (hr == MAPI_E_NOT_FOUND) {
      DebugLog(L"checkIfSomethingChanged::TryAgain");
      clk::Sleep(kRetryPauseMs);
      hr = PSTprocessItemInMasterFolder(folder->Events, session, utils, item.syncId, item.date.Date(),
                                        item.byObjectId);
    }
    if (FAILED(hr)) ++errors;
    if (!folder->RunFlag) {
      DebugLog(L"checkIfSomethingChanged::break");
      if (errors == 0) DebugLog(L"checkIfSomethingChanged::date not updated");
      else LogError(errors, L"checkIfSomethingChanged::errors>0");
      return -1;
    }
    clk::Sleep(kPassPauseMs);
    DebugProgress(j + 1, items.size());
    ShowProgress(engine, L" M=>S:", j, items.size(), name, &status);
  }
  if (errors > 0) LogError(errors, L"checkIfSomethingChanged::errors>0");
  return errors;
}

}  // namespace

FolderListing MakeFolderList(CMAPIFolderObject* folder, IRdoSession* session, IRdoUtils* utils, IRdoFolder* rdoFolder) {
  if (!folder || !g_pSyncEngine || !rdoFolder || !utils) {
    FolderListing none;
    if (folder) none.newest = folder->LastFolderSyncTime;
    none.complete = false;
    return none;
  }
  return FolderWalk(folder, session, utils).Run(rdoFolder);
}

HRESULT checkIfSomethingChanged(CMAPIFolderObject* folder, IRdoSession* session, IRdoUtils* utils) {
  CSyncEngine* engine = g_pSyncEngine;
  if (!engine || !folder || !folder->Events || !session || !utils) return E_FAIL;
  CItemsEvents* sink = folder->Events;
  if (sink->ExchangeMode) {
    LogError(0, L"Exchange????");
    return 0;
  }
  // Every folder the pass meets is opened once for the whole pass.
  PassFolders passFolders;
  com::ComPtr<IRdoFolder> rdoFolder;
  HRESULT opened = OpenFolderOf(session, sink, &rdoFolder);
  if (FAILED(opened) || !rdoFolder) {
    LogError(opened, L"no folderPtr");
    return E_FAIL;
  }
  DebugLogString(L"checkIfSomethingChanged for:", folder->DisplayName.c_str());
  if (DWORD ms = TestPassLengthMs()) clk::Sleep(ms);
  CategoriesFilterPassCache filterCache;

  FolderListing listing = MakeFolderList(folder, session, utils, rdoFolder.Get());
  if (sink->iCloudMode && !listing.items.empty()) CreateList(sink, session, utils, rdoFolder.Get());

  bool storeTime = listing.complete;
  if (!listing.complete) DebugLog(L"checkIfSomethingChanged::listing incomplete, date not updated");
  if (folder->IsStandard) {
    AddRetryItems(folder, utils, rdoFolder.Get(), &listing.items);
    if (!listing.items.empty() && WalkDefaultFolder(folder, session, utils, engine, listing.items) < 0) {
      DebugLog(L"checkIfSomethingChanged::break");
      DebugLog(L"checkIfSomethingChanged::date not updated");
      storeTime = false;
    }
  } else if (!listing.items.empty()) {
    ReserveForCopies(folder, listing.items.size());
    if (WalkMasterFolder(folder, session, utils, engine, listing.items) != 0) storeTime = false;
  }
  if (storeTime) {
    // Held against the store's own now: the rows carry its clock's times.
    folder->LastFolderSyncTime =
        CappedFolderTime(listing.newest, folder->LastFolderSyncTime, com::DateTime(StoreNowUtc(folder)));
    saveMasterfoldertime(folder);
  }
  DebugLog(L"checkIfSomethingChanged::End");
  engine->SetSyncStatus(kStatusIdle);
  engine->SetStatusText(L"");
  return opened;
}

HRESULT GetLastModificationFromSearchKey(CItemsEvents* sink, IRdoUtils* utils, IRdoSession*, bool* found, DATE* date,
                                         IRdoFolder* rdoFolder, const std::wstring& syncId) {
  if (found) *found = false;
  if (!sink || !utils || !found || !date || !rdoFolder) return E_POINTER;
  const FoundItem item = FindBySyncId(utils, rdoFolder, syncId, sink->HotMailMode);
  if (!CheckHr(item.hr, L"::FindBySearchId")) return E_FAIL;
  *found = item.item != nullptr;
  *date = item.modified;
  return S_OK;
}

HRESULT AddToPSTChangeKeyList(CItemsEvents* sink, IRdoUtils* utils, IRdoSession*, IRdoMessage* item,
                              const std::wstring& syncId) {
  if (!sink || sink->ExchangeMode) return E_FAIL;
  if (!item) return E_POINTER;
  const double stamp = StampOf(utils, item);
  if (!CheckHr(stamp != 0 ? S_OK : E_FAIL, L"AddToPSTChangeKeyList:getDate")) return E_FAIL;
  AddToPSTChangeKeyList(sink, stamp, syncId);
  return S_OK;
}

void AddToPSTChangeKeyList(CItemsEvents* sink, double stamp, std::wstring key, double counterpart) {
  if (!sink || sink->ExchangeMode || stamp == 0) return;
  auto& list = sink->PSTChangeKeyList;
  list.insert_or_assign(std::move(key), OwnWriteRecord{com::DateTime(stamp), counterpart});
  if (g_bDebugLog) {
    wchar_t line[64];
    swprintf(line, 64, L"AddToPSTChangeKeyList:%zu", list.size());
    DebugLog(line);
  }
}

HRESULT AddToPSTChangeKeyList(CItemsEvents* sink, IRdoUtils* utils, IRdoSession* session, const std::wstring& syncId) {
  if (!sink || sink->ExchangeMode) return E_FAIL;
  if (!utils || !session) return E_POINTER;
  com::ComPtr<IRdoFolder> folder;
  HRESULT hr = OpenFolderOf(session, sink, &folder);
  if (!CheckHr(hr, L"AddToPSTChangeKeyList:GetFolder")) return hr;
  com::Variant key;
  hr = utils->HexToBin(com::Bstr(syncId), key.Put());
  if (!CheckHr(hr, L"AddToPSTChangeKeyList:Str2Arr")) return hr;
  BYTE found = 0;
  com::Bstr entryId;
  hr = GetEntryIDFromPR_SEARCH_KEY(g_pSyncEngine, utils, &found, &entryId, folder.Get(), key, false);
  if (FAILED(hr) || !found) return hr;
  com::ComPtr<IRdoMessage> message;
  hr = OpenMessageOf(session, sink, entryId.Get(), &message);
  if (!CheckHr(hr, L"AddToPSTChangeKeyList:getmail")) return hr;
  return AddToPSTChangeKeyList(sink, utils, session, message.Get(), syncId);
}

namespace {

// A stamp against the one recorded at the add-in's write (0: none).
SinceOwnWrite SinceRecorded(double recorded, double stamp) {
  if (recorded == 0 || stamp == 0) return SinceOwnWrite::kUnknown;
  if (recorded - kHalfSecond < stamp && stamp < recorded + kHalfSecond) return SinceOwnWrite::kUnchanged;
  // The item's store stamped a write after the add-in's. A change that
  // carries an older time (a phone's edit uploaded later, an import) may
  // have been made before the add-in's write: the clocks decide then.
  return stamp > recorded ? SinceOwnWrite::kChanged : SinceOwnWrite::kUnknown;
}

}  // namespace

SinceOwnWrite PSTChangeSince(CItemsEvents* sink, const std::wstring& syncId, double stamp) {
  if (!sink) return SinceOwnWrite::kUnknown;
  const auto entry = sink->PSTChangeKeyList.find(syncId);
  if (entry == sink->PSTChangeKeyList.end()) return SinceOwnWrite::kUnknown;
  const SinceOwnWrite since = SinceRecorded(entry->second.stamp.Date(), stamp);
  if (since == SinceOwnWrite::kUnchanged) DebugLog(L"PST_mychange");
  return since;
}

SinceOwnWrite PSTCounterpartSince(CItemsEvents* sink, const std::wstring& syncId, double stamp) {
  if (!sink) return SinceOwnWrite::kUnknown;
  const auto entry = sink->PSTChangeKeyList.find(syncId);
  return entry == sink->PSTChangeKeyList.end() ? SinceOwnWrite::kUnknown
                                                : SinceRecorded(entry->second.counterpart, stamp);
}


bool IsItemInReminders(IRdoSession* session, IRdoUtils* utils, const std::wstring& syncId) {
  if (!session || !utils) return false;
  com::ComPtr<IRdoStores> stores;
  HRESULT hr = session->get_Stores(stores.Put());
  if (!CheckHr(hr, L"NO stores") || !stores) return false;
  long storeCount = 0;
  if (FAILED(stores->get_Count(&storeCount))) return false;
  bool result = false;
  for (long s = 1; s <= storeCount; ++s) {
    com::ComPtr<IRdoStore> store;
    com::ComPtr<IRdoReminders> reminders;
    long count = 0;
    if (FAILED(stores->Item(com::Variant(s), store.Put())) || !store) break;
    if (FAILED(store->get_Reminders(reminders.Put())) || !reminders || FAILED(reminders->get_Count(&count))) break;
    for (long r = 1; r <= count; ++r) {
      com::ComPtr<IRdoReminder> reminder;
      com::ComPtr<IRdoMessage> item;
      VARIANT_BOOL active = VARIANT_FALSE;
      if (FAILED(reminders->Item(r, reminder.Put())) || !reminder) continue;
      if (FAILED(reminder->get_IsActive(&active)) || !active) continue;
      if (FAILED(reminder->get_Item(item.Put())) || !item) continue;
      com::Variant key;
      if (FAILED(utils->GetPropByTag(item.Get(), kTagSearchKey, key.Put()))) continue;
      if (HexOf(utils, key) == syncId) result = true;
    }
  }
  return result;
}

void PassStatusText(std::wstring* text, const wchar_t* prefix, size_t k, size_t n, const std::wstring& name) {
  // Shown once per item: put together by hand, which costs a fraction of a
  // formatted print, in a text whose room the caller keeps from item to item.
  wchar_t digits[24];
  wchar_t* first = std::end(digits);
  for (size_t percent = n ? 100 * k / n : 0; first == std::end(digits) || percent; percent /= 10)
    *--first = wchar_t(L'0' + percent % 10);
  text->clear();
  text->reserve(kStatusTextMax);
  text->append(prefix).append(1, L' ').append(first, std::end(digits)).append(L"% / ").append(name);
  if (text->size() > kStatusTextMax) text->resize(kStatusTextMax);
}

std::wstring PassStatusText(const wchar_t* prefix, size_t k, size_t n, const std::wstring& name) {
  std::wstring text;
  PassStatusText(&text, prefix, k, n, name);
  return text;
}

com::DateTime CappedFolderTime(com::DateTime newest, com::DateTime stored, com::DateTime now) {
  const double limit = now.PlusSeconds(kFutureSlackSeconds).Date();
  double capped = std::min(newest.Date(), limit);
  return com::DateTime(std::max(capped, stored.Date()));
}

com::DateTime FolderTimeToStore(CMAPIFolderObject* folder) {
  double time = folder->LastFolderSyncTime.Date();
  if (folder->Events)
    for (const ListedItem& item : folder->Events->RetryItems) time = std::min(time, item.date.Date());
  return com::DateTime(time);
}
