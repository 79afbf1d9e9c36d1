// Delete lists and counterpart deletion.
//
// Outlook's ItemRemove does not say which item went, so each folder keeps
// the sync ids of its items (pstFolderCache); the worker looks each one up
// and hands the missing ones to deleteItem2, which deletes the counterparts
// in the other folders of the job.
#include "delete_lists.h"

#include <algorithm>
#include <cwctype>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "clock.h"
#include "dispatch.h"
#include "folder_object.h"
#include "folder_threads.h"
#include "item_copy.h"
#include "item_filter.h"
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
constexpr DWORD kRowPauseMs = 10;

const wchar_t* NameOf(CMAPIFolderObject* folder) { return folder ? folder->DisplayName.c_str() : L""; }

void DebugFormat(const wchar_t* format, long long value) {
  if (!g_bDebugLog) return;
  wchar_t line[128];
  swprintf(line, 128, format, int(value));
  DebugLog(line);
}

size_t DeleteListSize(CItemsEvents* sink) {
  CsLock lock(g_csDeleteList);
  return sink->DeleteList().size();
}

bool IsHexKey(const wchar_t* text) {
  if (!text || !*text) return false;
  size_t n = 0;
  for (; text[n]; ++n)
    if (!iswxdigit(text[n])) return false;
  return n % 2 == 0;
}

std::function<void()> g_rowHook;

// ---- FillDeleteList ----

class DeleteListBuilder {
 public:
  DeleteListBuilder(CMAPIFolderObject* folder, IRdoUtils* utils, IRdoFolder* rdoFolder, bool pausePerRow)
      : folder_(folder), sink_(folder->Events), utils_(utils), rdoFolder_(rdoFolder), pause_(pausePerRow) {}

  void Run();

 private:
  bool OpenTable(com::ComPtr<IRdoTable>* table, long* rowCount);
  void ReadRow(const VARIANT* values, long count);
  void RepairKey(HRESULT hr, const VARIANT& entryIdValue);
  void KeepUnsearchedKeys();

  CMAPIFolderObject* folder_;
  CItemsEvents* sink_;
  IRdoUtils* utils_;
  IRdoFolder* rdoFolder_;
  bool pause_;
  std::vector<std::wstring> previous_;
};

void DeleteListBuilder::Run() {
  {
    CsLock lock(g_csDeleteList);
    previous_ = sink_->DeleteList().TakeAll();
  }
  com::ComPtr<IRdoTable> table;
  long rowCount = 0;
  if (OpenTable(&table, &rowCount) && rowCount > 0) {
    {
      CsLock lock(g_csDeleteList);
      sink_->DeleteList().Reserve(size_t(rowCount));
    }
    if (sink_->iCloudMode) sink_->ClearICloudList();
    TableWalkResult walk =
        WalkTableRows(table.Get(), rowCount, [this](const VARIANT* values, long count) { ReadRow(values, count); });
    switch (walk.failed) {
      case TableStep::kNone: break;
      case TableStep::kRows: LogError(walk.hr, L"FillDeleteList:Rows"); break;
      case TableStep::kNoArray: LogError(walk.hr, L"FillDeleteList::Rows:parray=NULL"); break;
      case TableStep::kBounds: LogError(walk.hr, L"FillDeleteList3"); break;
      case TableStep::kSeek: LogError(walk.hr, L"FillDeleteList4"); break;
    }
  }
  KeepUnsearchedKeys();
}

bool DeleteListBuilder::OpenTable(com::ComPtr<IRdoTable>* table, long* rowCount) {
  com::ComPtr<IRdoItems> items;
  HRESULT hr = rdoFolder_->get_Items(items.Put());
  if (!CheckHr(hr, L"FDL:NO Items") || !items) return false;
  hr = items->get_Table(table->Put());
  if (FAILED(hr) || !*table) {
    LogError(FAILED(hr) ? hr : E_FAIL, L"FillDeleteList::mapitable=NULL");
    return false;
  }
  std::vector<long> tags = {kTagSearchKey, kTagEntryId};
  if (sink_->HotMailMode) {
    // A store that never mapped the GlobalObjectId has items that the walk
    // lists by their search keys: the list takes those, as the walk does.
    const long objectIdTag = GlobalObjectIdTag(utils_, rdoFolder_, false, &hr);
    if (objectIdTag)
      tags.push_back(objectIdTag);
    else
      DebugLog(L"FillDeleteList::HotMailMode::no ObjectID mapping, search keys");
  }
  com::Variant columns;
  hr = MakeColumns(tags, columns.Put());
  if (SUCCEEDED(hr)) hr = (*table)->SetColumns(columns);
  if (!CheckHr(hr, L"FillDeleteList:Columns")) return false;
  DebugLog(L"FillDeleteList=>regen folderCacheList");
  if (!CheckHr((*table)->SeekRow(0), L"FillDeleteList:First")) return false;
  return CheckHr((*table)->get_RowCount(rowCount), L"FillDeleteList:Count");
}

void DeleteListBuilder::ReadRow(const VARIANT* values, long count) {
  if (pause_) clk::Sleep(kRowPauseMs);
  if (!values || count < 2) {
    LogError(E_UNEXPECTED, L"FillDeleteList::Elems=NULL");
    return;
  }
  const VARIANT* key = &values[0];
  if (sink_->HotMailMode && count >= 3 && !IsEmptyOrErrorValue(values[2])) {
    key = &values[2];
  } else {
    if (sink_->HotMailMode) DebugLog(L"FillDeleteList::HotMailMode::NO ObjectID");
    if (key->vt == VT_EMPTY || key->vt == VT_NULL) return;  // an item without a key is simply not listed
  }
  com::Bstr hex;
  HRESULT hr = utils_->BinToHex(*key, hex.Put());
  if (FAILED(hr)) {
    RepairKey(hr, values[1]);
    return;
  }
  if (!hex.Empty()) {
    CsLock lock(g_csDeleteList);
    sink_->DeleteList().push_back(hex.View());
  }
  if (g_rowHook) g_rowHook();
}

// An item whose key cannot be read gets a fresh one; it enters the list at
// the next rebuild.
void DeleteListBuilder::RepairKey(HRESULT hr, const VARIANT& entryIdValue) {
  LogError(hr, L"FillDeleteList::DataNotValid");
  com::Bstr storeId, entryId;
  rdoFolder_->get_StoreID(storeId.Put());
  if (FAILED(utils_->BinToHex(entryIdValue, entryId.Put())) || entryId.Empty()) return;
  com::ComPtr<IRdoMessage> item;
  if (FAILED(utils_->GetMessageById(entryId, com::Variant(storeId.c_str()), com::Variant(), item.Put())) || !item)
    return;
  GUID guid{};
  wchar_t text[39] = {};
  if (FAILED(CoCreateGuid(&guid)) || StringFromGUID2(guid, text, 39) == 0) return;
  com::Variant binary;
  hr = utils_->HexToBin(com::Bstr(SyncIdDigitsFromGuidText(text)), binary.Put());
  if (!CheckHr(hr, L"FillDeleteList::DataNotValid:ChangeSKEY")) return;
  CheckHr(utils_->SetPropByTag(item.Get(), kTagSearchKey, binary, 1), L"FillDeleteList::DataNotValid:ChangeSKEY2");
}

// Keys of the old list that the folder no longer shows belong to items
// deleted since the last search, or to rows a failed walk did not reach:
// dropping them would lose those deletions, so they stay, and the worker is
// told to search.
void DeleteListBuilder::KeepUnsearchedKeys() {
  bool kept = false;
  {
    CsLock lock(g_csDeleteList);
    auto& list = sink_->DeleteList();
    for (const std::wstring& key : previous_)
      if (list.AddOnce(key)) kept = true;
  }
  if (kept) sink_->MarkDeleted();
}

HRESULT FillDeleteListBody(CMAPIFolderObject* folder, IRdoUtils* utils, IRdoFolder* rdoFolder, bool pausePerRow) {
  if (!folder || !folder->Events || !folder->Engine() || !rdoFolder || !utils) return E_FAIL;
  CItemsEvents* sink = folder->Events;
  if (sink->ExchangeMode) return S_OK;  // Exchange reports its deletions itself
  DebugLog(L"FillDeleteList=>start");
  DebugFormat(L"-FillDeleteList items: %d", DeleteListSize(sink));
  DebugFormat(L"-FillDeleteList pstFolderCache items: %d", sink->ICloudListSize());
  const uint64_t start = clk::TickMs();
  DeleteListBuilder(folder, utils, rdoFolder, pausePerRow).Run();
  DebugFormat(L"+FillDeleteList items: %d", DeleteListSize(sink));
  DebugFormat(L"+FillDeleteList pstFolderCache items: %d", sink->ICloudListSize());
  DebugFormat(L"FillDeleteList = %d msec", clk::TickMs() - start);
  return S_OK;
}

HRESULT OpenOwnFolder(CMAPIFolderObject* folder, IRdoSession* session, com::ComPtr<IRdoFolder>* out) {
  HRESULT hr = OpenFolderOf(session, folder->Events, folder->Engine()->OpenFlags, out);
  if (!CheckHr(hr, L"FDL:NO FOLDER")) return E_FAIL;
  return S_OK;
}

// ---- deleteItem2 ----

// Failed counterpart deletions per folder and key, so that a key that keeps
// failing is given up after a few searches instead of being tried for ever.
std::mutex g_retryLock;
std::map<std::pair<std::wstring, std::wstring>, int> g_failedDeletes;

// 0 when the key may leave the delete list, 1 when it is to be tried again.
int RecordOutcome(CMAPIFolderObject* deleted, const wchar_t* syncId, bool failed) {
  const auto id = std::make_pair(deleted->Events->EntryID.Str(), std::wstring(syncId));
  std::lock_guard<std::mutex> lock(g_retryLock);
  if (!failed) {
    g_failedDeletes.erase(id);
    return 0;
  }
  if (++g_failedDeletes[id] < kDeleteRetries) return 1;
  g_failedDeletes.erase(id);
  LogError(E_FAIL, L"deleteItem2(withkey)::given up");
  DebugLogString(L"deleteItem2(withkey)::given up:", syncId);
  return 0;
}

std::wstring FolderNameOf(CMAPIFolderObject* folder, IRdoSession* session, const VARIANT& openFlags, bool* known) {
  *known = false;
  com::Bstr name;
  if (folder->RdoFolder) {
    *known = CheckHr(folder->RdoFolder->get_Name(name.Put()), L"deleteItem2(withkey)::noFoldername1");
    return name.Str();
  }
  com::ComPtr<IRdoFolder> opened;
  if (SUCCEEDED(OpenFolderOf(session, folder->Events, openFlags, &opened))) {
    *known = CheckHr(opened->get_Name(name.Put()), L"deleteItem2(withkey)::noFoldername2");
    return name.Str();
  }
  LogError(0, L"deleteItem2(withkey)::folder=NULL");
  return {};
}

// Whether F is one of the folders where the counterparts of D's item live.
bool IsCounterpartFolder(CMAPIFolderObject* d, CMAPIFolderObject* f, IRdoSession* session, const VARIANT& flags) {
  CItemsEvents* fs = f->Events;
  CItemsEvents* ds = d->Events;
  if ((!fs->IsStandard && !fs->BOTH_DIRECTIONS) || f == d) return false;
  if (!d->IsStandard) {
    if (ds->CREATESUBFOLDER && f != d->Partner) return false;
    if (!ds->CREATESUBFOLDER && fs->MasterCreateSubfolder) return false;
  }
  if ((d->IsStandard != 0) == (f->IsStandard != 0)) return false;
  // A master without a category subfolder sends its items to its default
  // folder only: another job's category subfolder holds none of its
  // copies, though a pasted item there may carry one of its keys.
  if (d->IsStandard && !fs->CREATESUBFOLDER && f->Partner && f->Partner != d) return false;
  if (d->IsStandard && !f->IsStandard && fs->CREATESUBFOLDER) {
    bool known = false;
    const std::wstring name = FolderNameOf(d, session, flags, &known);
    if (known && name != f->Categorie) return false;
  }
  return true;
}

// The user's and the debug log's record of one counterpart deletion.
void LogDeletion(CSyncEngine* engine, CMAPIFolderObject* f, const com::Bstr& subject) {
  if (engine->UserLogOn) {
    engine->UserLog(L"");
    engine->UserLogString(L"EXCH_DEL:", SysAllocString(subject.Empty() ? L"<no subject>" : subject.c_str()));
    engine->UserLogString(f->IsStandard ? L"FROM-SLAVE:" : L"FROM-MASTER:", SysAllocString(f->DisplayName.c_str()));
    engine->UserLog(L"");
  }
  DebugLog(L"deleteItem2(withkey)::1 message deleted (withkey)");
}

// The add-in itself has now removed the key's item from F: its own search
// must not pass that removal on to F's other partners (a user's copy of the
// item in another master would go too).
void ForgetInDeleteList(CMAPIFolderObject* f, const wchar_t* syncId) {
  CsLock lock(g_csDeleteList);
  f->Events->DeleteList().Remove(syncId);
}

// What DeleteCounterpartIn found: whether it deleted an item, and the
// categories that item had.
struct Removed {
  bool deleted = false;
  std::vector<std::wstring> categories;
};

// Deletes the key's item in F; false when F could not be reached or the
// item not deleted. Unless `removed` is asked for, F's delete list forgets
// the key of an item deleted. With `removed` F is D's default folder, and
// its item goes only while it is an item of D's job: one the user filed
// under another job there is that job's now, and D's deletion leaves it
// (true: nothing of D's is left to delete).
bool DeleteCounterpartIn(CMAPIFolderObject* d, CMAPIFolderObject* f, IRdoSession* session, IRdoUtils* utils,
                         const wchar_t* syncId, const VARIANT& flags, Removed* removed = nullptr) {
  com::ComPtr<IRdoFolder> target;
  HRESULT hr = OpenFolderOf(session, f->Events, flags, &target);
  if (!CheckHr(hr, L"deleteItem2(withkey)::GETFOLDERFAILED")) return false;
  if (g_bDebugLog) {
    com::Bstr name;
    target->get_Name(name.Put());
    DebugLogString(L"deleteItem2(withkey)::Folder: ", name.c_str());
  }
  HRESULT lookup = S_OK;
  com::ComPtr<IRdoMessage> item = FindBySearchId(d, session, utils, syncId, target.Get(), &lookup);
  if (FAILED(lookup)) return false;  // unknown whether it is there: try again later
  if (!item) {
    DebugLogString(L"deleteItem2(withkey)::NO MAIL2DELETE FOUND IN", f->DisplayName.c_str());
    return true;
  }
  com::Bstr subject;  // read while the item still exists
  item->get_Subject(subject.Put());
  if (removed) {
    // A copy whose finishing failed may lack the category it was made for.
    if (!BelongsToJob(d, f, item.Get()) && !IsUnfinishedCopy(f, syncId)) {
      DebugLogString(L"deleteItem2(withkey)::item of another job now, left:", subject.c_str());
      return true;
    }
    com::Bstr text;
    if (SUCCEEDED(item->get_Categories(text.Put()))) removed->categories = ItemCategoryNames(text.Str());
  }
  hr = item->Delete(com::Variant(0L));
  if (!CheckHr(hr, L"deleteItem2(withkey)::DELETE ITEM FAILED")) {
    LogError(hr, L"deleteItem2(withkey)::delete failed, Accesslevel, to low ?");
    return false;
  }
  if (removed) {
    removed->deleted = true;
  } else {
    ForgetInDeleteList(f, syncId);
  }
  LogDeletion(f->Engine() ? f->Engine() : d->Engine(), f, subject);
  return true;
}

// A default-folder item filed for several two-way jobs (it carried each
// one's category) has a copy under its key in each of their masters. When a
// master's deletion removed it, the other masters' copies go too: left
// there, they would have no counterpart and come back into the default
// folder. True when each was deleted or not there.
bool DeleteOtherMastersCopies(CMAPIFolderObject* d, CMAPIFolderObject* f, const std::vector<std::wstring>& categories,
                              IRdoSession* session, IRdoUtils* utils, const wchar_t* syncId, const VARIANT& flags) {
  bool done = true;
  for (int i = 0; CMAPIFolderObject* m = d->Engine()->GetFolderObject(i, false); ++i) {
    if (m == d || m->IsStandard || m->Partner != f || !m->Events || !m->Events->BOTH_DIRECTIONS) continue;
    if (std::find(categories.begin(), categories.end(), m->Categorie) == categories.end()) continue;
    if (!DeleteCounterpartIn(d, m, session, utils, syncId, flags)) done = false;
  }
  return done;
}

}  // namespace

HRESULT FillDeleteList(CMAPIFolderObject* folder, IRdoSession* session, IRdoUtils* utils) {
  DebugLogString(L"FillDeleteList(2)4:", NameOf(folder));
  if (!folder || !folder->Events || !folder->Engine() || !session || !utils) return E_FAIL;
  if (folder->Events->ExchangeMode) return S_OK;
  com::ComPtr<IRdoFolder> rdoFolder;
  if (FAILED(OpenOwnFolder(folder, session, &rdoFolder))) return E_FAIL;
  return FillDeleteListBody(folder, utils, rdoFolder.Get(), true);
}

HRESULT FillDeleteList(CMAPIFolderObject* folder) {
  CSyncEngine* engine = folder ? folder->Engine() : nullptr;
  if (!engine || !folder->Events) return E_FAIL;
  if (folder->Events->ExchangeMode) return S_OK;
  DebugLogString(L"FillDeleteList(0)4:", NameOf(folder));
  if (!engine->RdoSession || !engine->MapiUtils) return E_FAIL;
  com::ComPtr<IRdoFolder> rdoFolder;
  if (FAILED(OpenOwnFolder(folder, engine->RdoSession.Get(), &rdoFolder))) return E_FAIL;
  // On Outlook's user-interface thread: no pause per row, Outlook must not
  // freeze for the length of a large folder.
  return FillDeleteListBody(folder, engine->MapiUtils.Get(), rdoFolder.Get(), false);
}

HRESULT FillDeleteList(CMAPIFolderObject* folder, IRdoUtils* utils, IRdoFolder* rdoFolder) {
  DebugLogString(L"FillDeleteList(1)4:", NameOf(folder));
  return FillDeleteListBody(folder, utils, rdoFolder, true);
}

bool RebuildDeleteList(CMAPIFolderObject* folder, IRdoSession* session, IRdoUtils* utils) {
  if (!TryEnterCriticalSection(&g_csFolderSync)) return false;
  FolderSyncHeld held;
  FillDeleteList(folder, session, utils);
  return true;
}

void FollowRefiling(CMAPIFolderObject* defaultFolder, CMAPIFolderObject* newJob, IRdoSession* session,
                    IRdoUtils* utils, IRdoMessage* item, const std::wstring& syncId, bool byObjectId, DATE itemDate) {
  CSyncEngine* engine = defaultFolder ? defaultFolder->Engine() : nullptr;
  if (!engine || !defaultFolder->Events || !item || syncId.empty()) return;
  com::ComPtr<IRdoFolder> own;
  if (FAILED(OpenFolderOf(session, defaultFolder->Events, &own))) return;
  const FoundItem here = FindBySyncId(utils, own.Get(), syncId, byObjectId, true);
  if (FAILED(here.hr) || here.another) return;
  const com::Variant flags = defaultFolder->Events->ExchangeMode ? com::Variant(engine->OpenFlags)
                                                                 : com::Variant(kOpenBestAccess);
  for (int i = 0; CMAPIFolderObject* m = engine->GetFolderObject(i, false); ++i) {
    // A mailbox master's item is left to its own run: there the item keeps
    // its key, no second copy is made of it, and its deletion leaves the
    // default folder's item, which is another job's now.
    if (m == newJob || m->IsStandard || m->Partner != defaultFolder || !m->Events || !m->Events->BOTH_DIRECTIONS ||
        m->Events->ExchangeMode || HasCategory(item, m->Categorie))
      continue;
    com::ComPtr<IRdoFolder> folder;
    if (FAILED(OpenFolderOf(session, m->Events, flags, &folder))) continue;
    HRESULT lookup = S_OK;
    com::ComPtr<IRdoMessage> old = FindBySearchId(m, session, utils, syncId.c_str(), folder.Get(), &lookup);
    if (FAILED(lookup) || !old) continue;
    if (CompareItemDates(TimeOf(m, StampOf(utils, old.Get())), TimeOf(defaultFolder, itemDate),
                         engine->TimeTolerance) == NewerSide::kMaster) {
      DebugLogString(L"FollowRefiling::changed in its old master since, kept:", m->Categorie);
      continue;
    }
    com::Bstr subject;
    old->get_Subject(subject.Put());
    if (!CheckHr(old->Delete(com::Variant(0L)), L"FollowRefiling::DELETE ITEM FAILED")) continue;
    ForgetInDeleteList(m, syncId.c_str());
    LogDeletion(engine, m, subject);
  }
}

void SetDeleteListRowHook(std::function<void()> hook) { g_rowHook = std::move(hook); }

int deleteItem2(CMAPIFolderObject* folder, IRdoSession* session, IRdoUtils* utils, const wchar_t* syncId) {
  DebugLog(L"deleteItem2(withkey)");
  CSyncEngine* engine = folder ? folder->Engine() : nullptr;
  if (!engine || !folder->Events || !session || !utils) return 0;
  const uint64_t start = clk::TickMs();
  const com::Variant flags = folder->Events->ExchangeMode ? com::Variant(engine->OpenFlags)
                                                          : com::Variant(kOpenBestAccess);
  bool failed = false;
  if (syncId && wcslen(syncId) > 2) {
    for (int i = 0; CMAPIFolderObject* f = engine->GetFolderObject(i, false); ++i) {
      if (!IsCounterpartFolder(folder, f, session, flags)) continue;
      if (folder->IsStandard || !f->IsStandard) {
        if (!DeleteCounterpartIn(folder, f, session, utils, syncId, flags)) failed = true;
        continue;
      }
      // The add-in's deletion of the default folder's item reaches the
      // default folder's own search only when another master's copy could
      // not be deleted: the search then follows it to them itself.
      Removed removed;
      if (!DeleteCounterpartIn(folder, f, session, utils, syncId, flags, &removed)) {
        failed = true;
      } else if (removed.deleted &&
                 DeleteOtherMastersCopies(folder, f, removed.categories, session, utils, syncId, flags)) {
        ForgetInDeleteList(f, syncId);
      }
    }
  }
  DebugFormat(L"deleteItem2(withkey) = %d msec", clk::TickMs() - start);
  engine->SetSyncStatus(kStatusIdle);
  return syncId ? RecordOutcome(folder, syncId, failed) : 0;
}

com::ComPtr<IRdoMessage> FindBySearchId(CMAPIFolderObject* folder, IRdoSession*, IRdoUtils* utils, const wchar_t* syncId,
                                        IRdoFolder* rdoFolder, HRESULT* lookup) {
  HRESULT ignored = S_OK;
  HRESULT& result = lookup ? *lookup : ignored;
  result = E_FAIL;
  if (!folder || !folder->Events || !rdoFolder) return {};
  // The key goes into a filter text: only a key of hexadecimal digits may.
  if (!IsHexKey(syncId)) {
    LogError(E_INVALIDARG, L"::FindBySearchId");
    result = E_INVALIDARG;
    return {};
  }
  com::ComPtr<IRdoItems> items;
  HRESULT hr = rdoFolder->get_Items(items.Put());
  if (SUCCEEDED(hr) && !items) hr = E_FAIL;
  if (!CheckHr(hr, L"::FindBySearchId Items=NULL")) {
    result = hr;
    return {};
  }
  // A Hotmail folder's list holds the GlobalObjectIds of its items, and the
  // search keys of the items that have none.
  const bool hotMail = folder->Events->HotMailMode;
  if (hotMail) MapGlobalObjectIdName(utils, rdoFolder);
  com::ComPtr<IRdoMessage> item;
  for (const wchar_t* dasl : {hotMail ? kDaslGlobalObjectId : kDaslSearchKey, hotMail ? kDaslSearchKey : nullptr}) {
    if (!dasl || item) break;
    const std::wstring filter = std::wstring(L"\"") + dasl + L"\" = '" + syncId + L"'";
    hr = items->Find(com::Bstr(filter), item.Put());
    if (!CheckHr(hr, L"::FindBySearchId")) {
      result = hr;
      return {};
    }
  }
  result = S_OK;
  return item;
}

com::ComPtr<IRdoMessage> FindBySearchIdVariant(CMAPIFolderObject* folder, IRdoSession* session, IRdoUtils* utils,
                                               const VARIANT& key, IRdoFolder* rdoFolder, HRESULT* lookup) {
  if (lookup) *lookup = E_INVALIDARG;
  if (key.vt == VT_BSTR || !utils) {
    LogError(0, L"Parameter falsch");
    return {};
  }
  com::Bstr hex;
  HRESULT hr = utils->BinToHex(key, hex.Put());
  if (FAILED(hr) || hex.Empty()) {
    if (lookup) *lookup = FAILED(hr) ? hr : E_INVALIDARG;
    return {};
  }
  return FindBySearchId(folder, session, utils, hex.c_str(), rdoFolder, lookup);
}
