// Repair of items that share a sync id: a user's copy and paste inside a
// folder leaves two items with one PR_SEARCH_KEY, which the synchronisation
// could no longer tell apart.
#include "duplicates.h"

#include <cwctype>
#include <string>
#include <unordered_set>
#include <vector>

#include "clock.h"
#include "com_ptr.h"
#include "folder_object.h"
#include "item_identity.h"
#include "item_time.h"
#include "logs.h"
#include "pst_items.h"
#include "sync_engine.h"
#include "table_walk.h"
#include "variant.h"

namespace {

constexpr long kOpenBestAccess = 16;

struct Hit {
  std::wstring entryId;
  DATE modified = 0;  // its stamp (item_time.h): the items are of one store
};

std::wstring Upper(std::wstring text) {
  for (wchar_t& c : text) c = wchar_t(std::towupper(c));
  return text;
}

CSyncEngine* EngineOf(CItemsEvents* sink) {
  CMAPIFolderObject* owner = sink->Owner;
  return owner ? owner->Engine() : g_pSyncEngine;
}

// With `objectIdsOf`, the folder's store is asked for the meeting id's name
// first: a query on a name the store never mapped fails.
HRESULT OpenItems(IRdoSession* session, CItemsEvents* sink, com::ComPtr<IRdoItems>* items,
                  IRdoUtils* objectIdsOf = nullptr) {
  com::ComPtr<IRdoFolder> folder;
  HRESULT hr = OpenFolderOf(session, sink, &folder);
  if (!CheckHr(hr, L"ChangeSyncIDFromDuplicatedItem:NO FOLDER")) return E_FAIL;
  if (objectIdsOf) MapGlobalObjectIdName(objectIdsOf, folder.Get());
  hr = folder->get_Items(items->Put());
  if (!CheckHr(hr, L"ChangeSyncIDFromDuplicatedItem::Items") || !*items) return E_FAIL;
  return S_OK;
}

// Put together in its BSTR: one allocation per new item.
com::Bstr DuplicateQuery(const wchar_t* searchKey, bool byObjectId) {
  const std::wstring_view name = byObjectId ? kDaslGlobalObjectId : kDaslSearchKey;
  return com::Bstr::Joined({L"select \"http://schemas.microsoft.com/mapi/proptag/0x001A001F\",\"DAV:id\",\"", name,
                            L"\" from Folder where \"", name, L"\" = '", searchKey, L"'"});
}

// A task that the user owns and has not handed on keeps its key.
bool IsTaskToKeep(IRdoSession* session, CItemsEvents* sink, IRdoMessage* hit, const std::wstring& entryId) {
  com::Bstr messageClass;
  if (FAILED(hit->get_MessageClass(messageClass.Put())) || Upper(messageClass.Str()).find(L"IPM.TASK") == std::wstring::npos)
    return false;
  com::ComPtr<IRdoMessage> again;
  if (FAILED(session->GetMessageById(com::Bstr(entryId), com::Variant(sink->StoreID.c_str()),
                                     com::Variant(kOpenBestAccess), again.Put())) ||
      !again)
    return false;
  com::ComPtr<IRdoTask> task;
  if (FAILED(again.As(&task)) || !task) return false;
  VARIANT_BOOL owner = VARIANT_FALSE, delegated = VARIANT_TRUE;
  if (FAILED(task->get_IsOwner(&owner)) || FAILED(task->get_IsDelegated(&delegated))) return false;
  return owner != VARIANT_FALSE && delegated == VARIANT_FALSE;
}

// Collects every item that carries the key, in query order. The result is
// the last find's HRESULT.
HRESULT CollectHits(IRdoSession* session, IRdoUtils* utils, CItemsEvents* sink, IRdoItems* items,
                    const wchar_t* searchKey, bool byObjectId, std::vector<Hit>* hits, std::wstring* taskToKeep) {
  com::ComPtr<IRdoMessage> hit;
  HRESULT hr = items->Find(DuplicateQuery(searchKey, byObjectId), hit.Put());
  if (!CheckHr(hr, L"ChangeSyncIDFromDuplicatedItem::FindBySearchId")) return hr;
  while (hit) {
    Hit entry;
    com::Bstr entryId;
    hit->get_EntryID(entryId.Put());
    entry.modified = StampOf(utils, hit.Get());
    entry.entryId = entryId.Str();
    if (IsTaskToKeep(session, sink, hit.Get(), entry.entryId)) *taskToKeep = entry.entryId;
    hits->push_back(std::move(entry));
    hr = items->FindNext(hit.Put());
    if (!CheckHr(hr, L"ChangeSyncIDFromDuplicatedItem::FindNext")) return hr;
  }
  return hr;
}

bool SameKey(const std::wstring& a, const wchar_t* b) { return Upper(a) == Upper(b ? b : L""); }

}  // namespace

HRESULT ChangeSyncIDFromDuplicatedItem(CItemsEvents* sink, IRdoSession* session, IRdoUtils* utils,
                                       const wchar_t* searchKey, BYTE* changed, com::Bstr* newSyncId,
                                       com::Bstr* entryId, bool byObjectId) {
  if (changed) *changed = 0;
  if (!searchKey || !*searchKey || !sink) return E_FAIL;
  if (!sink->Items) {
    LogError(0, L"ChangeSyncIDFromDuplicatedItem::items=NULL");
    return E_FAIL;
  }
  if (sink->iCloudMode) return S_OK;  // iCloud folders repair while building their key list
  if (!session || !utils) return E_FAIL;

  com::ComPtr<IRdoItems> items;
  if (FAILED(OpenItems(session, sink, &items, byObjectId ? utils : nullptr))) return E_FAIL;
  std::vector<Hit> hits;
  std::wstring taskToKeep;
  HRESULT hr = CollectHits(session, utils, sink, items.Get(), searchKey, byObjectId, &hits, &taskToKeep);
  if (FAILED(hr) || hits.size() < 2) return hr;

  DebugLog(L"ChangeSyncIDFromDuplicatedItem elems");
  const Hit& a = hits.front();
  const Hit* b = nullptr;
  for (size_t i = 1; i < hits.size() && !b; ++i)
    if (hits[i].entryId != a.entryId) b = &hits[i];
  if (!b) return hr;
  // The newer item gets the new key (the later one on equal dates), unless
  // the first is the task to keep.
  const bool changeB = com::DateTime(b->modified) >= com::DateTime(a.modified) || a.entryId == taskToKeep;
  const Hit& chosen = changeB ? *b : a;
  com::ComPtr<IRdoMessage> item;
  hr = utils->GetMessageById(com::Bstr(chosen.entryId), com::Variant(sink->StoreID.c_str()),
                             com::Variant(kOpenBestAccess), item.Put());
  if (FAILED(hr) || !item) {
    if (SUCCEEDED(hr)) hr = E_FAIL;
    LogError(hr, changeB ? L"ChangeSyncIDFromDuplicatedItem::GetItemFromID 1"
                         : L"ChangeSyncIDFromDuplicatedItem::GetItemFromID 2");
    return hr;
  }
  // By meeting id the key given up is the item's search key, read first.
  com::Bstr oldKey, key;
  if (byObjectId) SetNewSyncID(EngineOf(sink), utils, item.Get(), &oldKey, false);
  hr = SetNewSyncID(EngineOf(sink), utils, item.Get(), &key, true);
  bool keyChanged = SUCCEEDED(hr) && !SameKey(key.Str(), byObjectId ? oldKey.c_str() : searchKey);
  if (byObjectId) {
    // Its meeting id follows, or the two still could not be told apart; a
    // store that refuses it leaves the item taken for the original, as a
    // read-only item is.
    std::wstring objectId;
    if (keyChanged)
      keyChanged = CheckHr(GiveGlobalObjectId(utils, item.Get(), key.Str(), &objectId),
                           L"ChangeSyncIDFromDuplicatedItem::SetObjectId");
    key = com::Bstr(keyChanged ? objectId.c_str() : searchKey);
  }
  if (newSyncId) *newSyncId = key;
  if (g_bDebugLog) {
    com::Bstr subject;
    item->get_Subject(subject.Put());
    DebugLogString(L"!!!Duplicated Item changed (copyed&pasted?):", subject.Empty() ? L"<no subject>" : subject.c_str());
  }
  if (entryId) *entryId = com::Bstr(chosen.entryId);
  // A read-only item keeps its key (SetNewSyncID has told the user): the
  // callers must not take it for repaired and skip the item's change.
  if (keyChanged && changed) *changed = 1;
  return hr;
}

HRESULT SearchForDuplicates(CMAPIFolderObject* folder, IRdoSession* session, IRdoUtils* utils) {
  if (!folder || !folder->Events || !folder->Events->ExchangeMode) return S_OK;
  if (!session || !utils) return E_FAIL;
  CItemsEvents* sink = folder->Events;
  com::ComPtr<IRdoItems> items;
  if (FAILED(OpenItems(session, sink, &items))) return E_FAIL;
  DebugLogString(L"SearchForDuplicates=>start:", folder->DisplayName.c_str());
  const uint64_t start = clk::TickMs();

  com::ComPtr<IRdoTable> table;
  HRESULT hr = items->get_Table(table.Put());
  com::Variant columns;
  if (SUCCEEDED(hr) && !table) hr = E_FAIL;
  if (SUCCEEDED(hr)) hr = MakeColumns({kTagSearchKey}, columns.Put());
  if (SUCCEEDED(hr)) hr = table->SetColumns(columns);
  if (FAILED(hr)) {
    LogError(hr, L"putColumns");
    return hr;
  }
  long rowCount = 0;
  if (FAILED(table->get_RowCount(&rowCount))) {
    LogError(0, L"SearchForDuplicates3extra_mapitable not valid");
    rowCount = 0;
  }
  std::unordered_set<std::wstring> seen;
  TableWalkResult walk = WalkTableRows(table.Get(), rowCount, [&](const VARIANT* values, long count) {
    if (!values || count < 1 || IsEmptyOrErrorValue(values[0])) {
      LogError(values && count > 0 && values[0].vt == VT_ERROR ? values[0].scode : E_FAIL,
               L"SearchForDuplicates::nosearchkey");
      return;
    }
    com::Bstr hex;
    if (FAILED(utils->BinToHex(values[0], hex.Put())) || hex.Empty()) {
      LogError(E_FAIL, L"SearchForDuplicates::nosearchkey");
      return;
    }
    if (!seen.insert(hex.Str()).second) {
      BYTE changed = 0;
      com::Bstr newKey;
      ChangeSyncIDFromDuplicatedItem(sink, session, utils, hex.c_str(), &changed, &newKey);
    }
  });
  if (walk.failed == TableStep::kBounds) LogError(walk.hr, L"SearchForDuplicates3");
  wchar_t line[64];
  swprintf(line, 64, L"SearchForDuplicates:END = %d msec", int(clk::TickMs() - start));
  DebugLog(line);
  return S_OK;
}
