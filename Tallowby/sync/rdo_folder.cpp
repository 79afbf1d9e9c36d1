// Opening the wrapper folder of a folder object and its key maps.
#include "rdo_folder.h"

#include <algorithm>
#include <unordered_set>
#include <vector>

#include "clock.h"
#include "duplicates.h"
#include "folder_object.h"
#include "item_identity.h"
#include "locks.h"
#include "logs.h"
#include "state_files.h"
#include "sync_engine.h"
#include "table_walk.h"
#include "variant.h"

namespace {

constexpr HRESULT kFailOneProvider = HRESULT(0x8004011D);
constexpr HRESULT kMapiNotFound = HRESULT(0x8004010F);

void ReportFailedOpen(CSyncEngine* engine, CItemsEvents* sink, HRESULT hr) {
  if (hr == kFailOneProvider) LogError(kFailOneProvider, L"Server is not available (or user not logged in)");
  LogError(hr, L"FolderFromIDFailed");
  engine->SetSyncStatus(kStatusOffline);
  if (hr == kMapiNotFound) {
    DebugLogString(L"Object not found", sink->EntryID.c_str());
    LogError(kMapiNotFound, L"One folder could not be addet to synchronization");
  }
  DebugLog(L"CMAPIFolderObject::Exchange anscheinend nicht verbunden");
  engine->SetSyncStatus(kStatusOffline);
}

// The one-time preparation of a folder object whose wrapper folder is open.
// The state loader of a folder without state makes one run at once, and a
// run lets the wrapper folder go at its end; the preparation keeps its own
// reference so that the key maps are filled all the same (otherwise the
// deletions of the folder's present items would never be followed).
void PrepareFolder(CMAPIFolderObject* folder, IRdoSession* session, IRdoUtils* utils) {
  // Set first: the loader's run must not start a second preparation.
  folder->FolderPrepared = true;
  com::ComPtr<IRdoFolder> held = folder->RdoFolder;
  folder->SyncData.Reset();
  LoadSynccData(folder, session, utils, &folder->SyncData);
  if (!folder->RdoFolder) folder->RdoFolder = held;
  SearchForDuplicates(folder, session, utils);
  folder->FolderCacheFilled = SUCCEEDED(FillFolderCache(folder, session, utils));
  // The items deleted while Outlook was closed are named by the saved maps
  // alone; the maps as they stand now cover the state just loaded.
  LoadKeyMaps(folder);
  if (folder->FolderCacheFilled) SaveKeyMaps(folder);
}

// The text of a binary (or already textual) value; empty when there is none.
std::wstring HexOf(IRdoUtils* utils, const VARIANT& value) {
  if (IsEmptyOrErrorValue(value)) return {};
  com::Bstr hex;
  if (FAILED(utils->BinToHex(value, hex.Put()))) return {};
  return hex.Str();
}

HRESULT ErrorOf(const VARIANT& value) { return value.vt == VT_ERROR ? value.scode : HRESULT(kMapiNotFound); }

// The columns of the key maps: search key, source key, and the meeting
// GlobalObjectId when the store knows that name (without it only the
// sync-id map is filled: a store that never maps it must still have one).
HRESULT SetKeyColumns(IRdoUtils* utils, IRdoFolder* rdoFolder, IRdoTable* table) {
  HRESULT hr = S_OK;
  const long objectIdTag = GlobalObjectIdTag(utils, rdoFolder, false, &hr);
  if (FAILED(hr)) LogError(hr, L"FillFolderCache:GlobalObjectId");
  std::vector<long> tags = {kTagSearchKey, kTagSourceKey};
  if (objectIdTag) tags.push_back(objectIdTag);
  com::Variant columns;
  hr = MakeColumns(tags, columns.Put());
  if (SUCCEEDED(hr)) hr = table->SetColumns(columns);
  return hr;
}

// What the maps hold already (a fill that is tried again adds only the rest).
struct SeenKeys {
  std::unordered_set<std::wstring> searchKeys;
  std::unordered_set<std::wstring> objectIdPairs;  // GlobalObjectId + "|" + source key
};

// Enters one table row into the maps.
void AddRow(CMAPIFolderObject* folder, IRdoUtils* utils, const VARIANT* values, long count, SeenKeys& seen) {
  if (!values || count < 2) {
    LogError(E_FAIL, L"FillFolderCache.no Ids");
    return;
  }
  const std::wstring searchKey = HexOf(utils, values[0]);
  if (searchKey.empty()) LogError(ErrorOf(values[0]), L"FILLFOLDERCACHE::nosearchkey");
  const std::wstring globalObjectId = count > 2 ? HexOf(utils, values[2]) : std::wstring();
  if (globalObjectId.empty()) DebugLog(L"FILLFOLDERCACHE::noglobalobjid");
  std::wstring sourceKey;
  if (!searchKey.empty()) {
    sourceKey = HexOf(utils, values[1]);
    if (sourceKey.empty()) LogError(ErrorOf(values[1]), L"FILLFOLDERCACHE::nosourcekey");
  }
  if (searchKey.size() < 2 || sourceKey.size() < 2) {
    LogError(E_FAIL, L"FillFolderCache.no Ids");
    return;
  }
  CsLock lock(folder->CacheTablesLock.Get());
  if (seen.searchKeys.insert(searchKey).second) folder->FolderCache[kSyncIdMap].PushBack(searchKey, sourceKey);
  if (globalObjectId.size() > 1 && seen.objectIdPairs.insert(globalObjectId + L"|" + sourceKey).second)
    folder->FolderCache[kGlobalObjectIdMap].PushBack(globalObjectId, sourceKey);
}

}  // namespace

std::wstring HexOfProperty(IRdoUtils* utils, IUnknown* object, long tag, HRESULT* hr) {
  com::Variant value;
  HRESULT answer = utils->GetPropByTag(object, tag, value.Put());
  com::Bstr hex;
  if (SUCCEEDED(answer) && !IsEmptyOrErrorValue(value)) answer = utils->BinToHex(value, hex.Put());
  if (hr) *hr = answer;
  return SUCCEEDED(answer) ? hex.Str() : std::wstring();
}

HRESULT OpenRdoFolder(CMAPIFolderObject* folder, IRdoSession* session, IRdoUtils* utils) {
  CSyncEngine* engine = folder ? folder->Engine() : nullptr;
  if (!engine || !folder->Events || !session) return E_FAIL;
  CItemsEvents* sink = folder->Events;
  long mode = 0;
  if (FAILED(session->get_ConnectionMode(&mode))) mode = 0;
  if (IsOfflineConnectionMode(mode)) {
    DebugLog(L"Offline|Disconnected|CachedOffline|CachedDisconnected");
    engine->SetSyncStatus(kStatusOffline);
    return E_FAIL;
  }
  com::ComPtr<IRdoFolder> opened;
  HRESULT hr = session->GetFolderById(sink->EntryID, com::Variant(sink->StoreID.c_str()), engine->OpenFlags,
                                      opened.Put());
  if (FAILED(hr)) {
    ReportFailedOpen(engine, sink, hr);
    folder->RdoFolder.Reset();
    return hr;
  }
  if (!folder->RdoFolder || !com::SameObject(folder->RdoFolder.Get(), opened.Get())) {
    com::ComPtr<IRdoFolder> cast;
    if (opened) com::QueryTo(opened.Get(), __uuidof(IRdoFolder), &cast);
    folder->RdoFolder = cast;
  }
  if (!folder->RdoFolder)
    LogError(hr, L"CMAPIFolderObject::Cast rdoFolder");
  else if (!folder->FolderPrepared)
    PrepareFolder(folder, session, utils);
  if (engine->GetSyncStatus() == kStatusOffline) engine->SetSyncStatus(kStatusIdle);
  return hr;
}

HRESULT FillFolderCache(CMAPIFolderObject* folder, IRdoSession* session, IRdoUtils* utils) {
  if (!folder || !folder->Events || !folder->Events->ExchangeMode) return S_OK;
  CSyncEngine* engine = folder->Engine();
  if (!engine || !utils) return E_FAIL;
  com::ComPtr<IRdoFolder> rdoFolder = folder->RdoFolder;
  if (!rdoFolder && session) {
    CItemsEvents* sink = folder->Events;
    session->GetFolderById(sink->EntryID, com::Variant(sink->StoreID.c_str()), engine->OpenFlags, rdoFolder.Put());
  }
  if (!rdoFolder) return E_FAIL;
  DebugLogString(L"FillFolderCache=>start:", folder->DisplayName.c_str());
  const uint64_t start = clk::TickMs();

  com::ComPtr<IRdoItems> items;
  com::ComPtr<IRdoTable> table;
  HRESULT hr = rdoFolder->get_Items(items.Put());
  if (SUCCEEDED(hr) && !items) hr = E_FAIL;
  if (SUCCEEDED(hr)) hr = items->get_Table(table.Put());
  if (SUCCEEDED(hr) && !table) hr = E_FAIL;
  if (SUCCEEDED(hr)) hr = SetKeyColumns(utils, rdoFolder.Get(), table.Get());
  if (FAILED(hr)) {
    LogError(hr, L"putColumns");
    return hr;
  }
  long rowCount = 0;
  hr = table->get_RowCount(&rowCount);
  if (FAILED(hr)) {
    LogError(0, L"FillFolderCache3extra_mapitable not valid");
    return hr;
  }
  SeenKeys seen;
  {
    CsLock lock(folder->CacheTablesLock.Get());
    for (const auto& entry : folder->FolderCache[kSyncIdMap]) seen.searchKeys.insert(entry.first);
    for (const auto& entry : folder->FolderCache[kGlobalObjectIdMap])
      seen.objectIdPairs.insert(entry.first + L"|" + entry.second);
  }
  TableWalkResult walk = WalkTableRows(table.Get(), rowCount, [&](const VARIANT* values, long count) {
    AddRow(folder, utils, values, count, seen);
  });
  if (walk.failed == TableStep::kBounds) LogError(walk.hr, L"FillFolderCache3");
  wchar_t line[64];
  swprintf(line, 64, L"FillFolderCache:END = %d msec", int(clk::TickMs() - start));
  DebugLog(line);
  // A walk that ended early left rows out: the map is not complete.
  return walk.failed == TableStep::kNone ? S_OK : (FAILED(walk.hr) ? walk.hr : E_FAIL);
}

HRESULT LookupFolderCache(CMAPIFolderObject* folder, const std::wstring& sourceKey, std::wstring* key,
                          bool useGlobalObjectIdMap) {
  if (!folder) return E_FAIL;
  CsLock lock(folder->CacheTablesLock.Get());
  const KeyTable& entries = folder->FolderCache[useGlobalObjectIdMap ? kGlobalObjectIdMap : kSyncIdMap];
  auto found = entries.FindValue(sourceKey);
  if (found == entries.end()) return E_FAIL;
  if (key) *key = found->first;
  return S_OK;
}

void AddToFolderCache(CMAPIFolderObject* folder, FolderCacheMap map, const std::wstring& key,
                      const std::wstring& sourceKey) {
  if (!folder || key.empty() || sourceKey.empty()) return;
  CsLock lock(folder->CacheTablesLock.Get());
  KeyTable& entries = folder->FolderCache[map];
  auto found = entries.FindValue(sourceKey);
  if (found == entries.end())
    entries.PushBack(key, sourceKey);
  else if (found->first != key)
    entries.SetKey(found, key);
}

bool ExchangeDeletionPending(CMAPIFolderObject* folder, const std::wstring& syncId) {
  if (!folder || !folder->Events || !folder->Events->ExchangeMode || syncId.empty()) return false;
  CsLock lock(folder->CacheTablesLock.Get());
  return std::any_of(std::begin(folder->FolderCache), std::end(folder->FolderCache),
                     [&](const KeyTable& entries) { return entries.FindKey(syncId) != entries.end(); });
}

void ForgetFromFolderCache(CMAPIFolderObject* folder, const std::vector<std::wstring>& sourceKeys) {
  if (!folder || sourceKeys.empty()) return;
  CsLock lock(folder->CacheTablesLock.Get());
  for (auto& entries : folder->FolderCache)
    for (const std::wstring& source : sourceKeys) entries.EraseValue(source);
}

bool RememberItemKeys(CMAPIFolderObject* folder, IRdoUtils* utils, IRdoMessage* item) {
  if (!folder || !folder->Events || !folder->Events->ExchangeMode || !utils || !item) return false;
  const std::wstring source = HexOfProperty(utils, item, kTagSourceKey);
  if (source.empty()) return false;
  AddToFolderCache(folder, kSyncIdMap, HexOfProperty(utils, item, kTagSearchKey), source);
  HRESULT lookup = S_OK;
  const std::wstring objectId = GlobalObjectIdHex(utils, item, &lookup);
  if (CheckHr(lookup, L"GlobalObjId?")) {
    if (objectId.empty())
      DebugLog(L"GetSyncID_AS_PR_SEARCH_KEY (no GlobalId)");
    else
      AddToFolderCache(folder, kGlobalObjectIdMap, objectId, source);
  }
  return true;
}
