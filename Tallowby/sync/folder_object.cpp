#include "folder_object.h"

#include <process.h>

#include <algorithm>
#include <cwchar>
#include <mutex>

#include "clock.h"
#include "dispatch.h"
#include "folder_threads.h"
#include "item_identity.h"
#include "locks.h"
#include "logs.h"
#include "outlook.h"
#include "pst_items.h"
#include "registry.h"
#include "state_files.h"
#include "sync_engine.h"
#include "sync_seams.h"

namespace {

constexpr DISPID kItemAdd = 0xF001;
constexpr DISPID kItemChange = 0xF002;
constexpr DISPID kItemRemove = 0xF003;
constexpr double kDate1900 = 2.0;  // 1900-01-01 00:00:00
constexpr DWORD kWorkerWaitMs = 500;
constexpr int kWaitsPerWarning = 120;

// Every folder object alive in the process, so that stopping one can stop
// the workers of all: they reach each other through raw pointers.
std::mutex g_liveLock;
std::vector<CMAPIFolderObject*> g_liveFolders;

std::wstring StringProperty(IDispatch* disp, const wchar_t* name) {
  com::Variant v;
  if (!disp || FAILED(com::GetProperty(disp, name, v.Put()))) return {};
  return v.AsString();
}

bool ReadAddUserName2Categories() {
  reg::Key config;
  if (config.Open(HKEY_CURRENT_USER, reg::kConfigPath, KEY_READ) != ERROR_SUCCESS) return false;
  return reg::IsOne(config.ReadDword(L"addUserName2Categories", reg::DwordType::kMustBeDword));
}

}  // namespace

void SetFolderCategory(wchar_t (&target)[MAX_PATH], const std::wstring& text) {
  wcsncpy(target, text.c_str(), MAX_PATH - 1);
  target[MAX_PATH - 1] = L'\0';
}

// ---- CItemsEvents ----

CItemsEvents::CItemsEvents() = default;

STDMETHODIMP CItemsEvents::QueryInterface(REFIID iid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch)) {
    *ppv = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CItemsEvents::AddRef() { return ULONG(++RefCount); }

STDMETHODIMP_(ULONG) CItemsEvents::Release() {
  LONG count = --RefCount;
  if (count == 0) delete this;
  return ULONG(count);
}

STDMETHODIMP CItemsEvents::GetTypeInfoCount(UINT* n) {
  if (n) *n = 0;
  return E_NOTIMPL;
}
STDMETHODIMP CItemsEvents::GetTypeInfo(UINT, LCID, ITypeInfo** ti) {
  if (ti) *ti = nullptr;
  return E_NOTIMPL;
}
STDMETHODIMP CItemsEvents::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) { return E_NOTIMPL; }

STDMETHODIMP CItemsEvents::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*) {
  CSyncEngine* engine = g_pSyncEngine;
  if (!Owner || !engine || engine->SyncPaused || !engine->IsSettingsLoaded()) return S_OK;
  // An event may drop the last outside reference (a folder page's Apply
  // reloading from inside a handler); keep the sink until it returns.
  com::ComPtr<IDispatch> keep(this);
  try {
    switch (id) {
      case kItemAdd:
        engine->SetSyncStatus(kStatusBusy);
        if (!ExchangeMode) OnItemAdd(engine, params);
        MarkChanged();
        break;
      case kItemChange:
        engine->SetSyncStatus(kStatusBusy);
        MarkChanged();
        break;
      case kItemRemove:
        engine->SetSyncStatus(kStatusBusy);
        OnItemRemove(engine);
        break;
      default:
        break;
    }
  } catch (...) {
    // Outlook's event must never fail; the next tick or pass catches up.
  }
  return S_OK;
}

// Outlook's thread never walks the folder: an item whose key cannot be read
// here is found by the worker's rebuild.
void CItemsEvents::OnItemAdd(CSyncEngine* engine, const DISPPARAMS* params) {
  if (!RecordAddedItem(engine, params)) AskForRebuild();
}

bool CItemsEvents::RecordAddedItem(CSyncEngine* engine, const DISPPARAMS* params) {
  if (!params || params->cArgs != 1 || params->rgvarg[0].vt != VT_DISPATCH || !engine->MapiUtils) return false;
  com::ComPtr<IRdoMessage> message = IDispatchToIMessageItem(engine, params->rgvarg[0].pdispVal);
  if (!message) return false;
  // Under the key the folder's list and searches use for the item.
  const std::wstring key = SyncIdOfItem(engine->MapiUtils.Get(), message.Get(), HotMailMode);
  if (key.empty()) return false;
  CsLock lock(AddedKeysLock.Get());
  AddedKeys.push_back(key);
  return true;
}

void CItemsEvents::OnItemRemove(CSyncEngine*) {
  if (IsStandard && !BOTH_DIRECTIONS) return;  // a one-way default folder passes nothing back
  if (ExchangeMode) {
    DebugLog(L"ExchItemDeleted");
    MarkDeleted();  // an item out of the run's scope may be the one gone
    MarkChanged();
  } else {
    DebugLog(L"Elem Deleted");
    MarkDeleted();
  }
}

void CItemsEvents::MarkChanged() {
  CsLock lock(ItemsChangedLock.Get());
  ItemsChanged = true;
}

void CItemsEvents::MarkDeleted() {
  CsLock lock(ItemsDeletedLock.Get());
  ItemsDeleted = true;
}

bool CItemsEvents::TakeChanged() {
  bool was;
  {
    CsLock lock(ItemsChangedLock.Get());
    was = std::exchange(ItemsChanged, false);
  }
  if (was) clk::Sleep(15);
  return was;
}

bool CItemsEvents::TakeDeleted() {
  CsLock lock(ItemsDeletedLock.Get());
  return std::exchange(ItemsDeleted, false);
}

bool CItemsEvents::ChangedMarkSet() {
  CsLock lock(ItemsChangedLock.Get());
  return ItemsChanged;
}

bool CItemsEvents::DeletedMarkSet() {
  CsLock lock(ItemsDeletedLock.Get());
  return ItemsDeleted;
}

int CItemsEvents::AddToFolderCacheList(const wchar_t* syncId) {
  return syncId ? AddToFolderCacheList(std::wstring_view(syncId)) : 0;
}

int CItemsEvents::AddToFolderCacheList(std::wstring_view syncId) {
  if (syncId.empty()) return 0;
  CsLock lock(g_csDeleteList);
  DeleteList().AddOnce(syncId);
  return 0;
}

SyncIdList& CItemsEvents::DeleteList() {
  std::vector<std::wstring> added;
  {
    CsLock lock(AddedKeysLock.Get());
    added.swap(AddedKeys);
  }
  for (const std::wstring& key : added) pstFolderCache.AddOnce(key);
  return pstFolderCache;
}

std::vector<std::wstring> CItemsEvents::FolderCacheSnapshot() {
  CsLock lock(g_csDeleteList);
  return DeleteList().Items();
}

bool CItemsEvents::InFolderCache(const std::wstring& syncId) {
  CsLock lock(g_csDeleteList);
  return DeleteList().Contains(syncId);
}

void CItemsEvents::AddICloudEntry(const std::wstring& key, const std::wstring& entryId) {
  CsLock lock(g_csDeleteList);
  for (const auto& entry : iCloudList)
    if (entry.second == entryId) return;
  iCloudList[key] = entryId;
}

bool CItemsEvents::SetICloudEntry(const std::wstring& key, const std::wstring& entryId) {
  CsLock lock(g_csDeleteList);
  return !iCloudList.insert_or_assign(key, entryId).second;
}

void CItemsEvents::ReplaceICloudList(std::unordered_map<std::wstring, std::wstring> list) {
  CsLock lock(g_csDeleteList);
  iCloudList = std::move(list);
}

void CItemsEvents::ClearICloudList() {
  CsLock lock(g_csDeleteList);
  iCloudList.clear();
}

std::unordered_map<std::wstring, std::wstring> CItemsEvents::ICloudListSnapshot() {
  CsLock lock(g_csDeleteList);
  return iCloudList;
}

size_t CItemsEvents::ICloudListSize() {
  CsLock lock(g_csDeleteList);
  return iCloudList.size();
}

bool CItemsEvents::Advise(IDispatch* items) {
  if (!items || AdviseCookie) return false;
  com::ComPtr<IConnectionPointContainer> container;
  com::ComPtr<IConnectionPoint> point;
  DWORD cookie = 0;
  if (FAILED(items->QueryInterface(IID_IConnectionPointContainer, container.PutVoid())) || !container) return false;
  if (FAILED(container->FindConnectionPoint(DIID_ItemsEvents, point.Put())) || !point) return false;
  if (FAILED(point->Advise(static_cast<IDispatch*>(this), &cookie)) || !cookie) return false;
  ConnectionPoint = point;
  AdviseCookie = cookie;
  return true;
}

void CItemsEvents::Detach() {
  Owner = nullptr;
  if (AdviseCookie && ConnectionPoint) ConnectionPoint->Unadvise(AdviseCookie);
  AdviseCookie = 0;
  ConnectionPoint.Reset();
  Items.Reset();
}

// ---- CMAPIFolderObject ----

StoreClock& CMAPIFolderObject::Clock() {
  if (StoreClock* known = clock_.load(std::memory_order_acquire)) return *known;
  if (!engine_ || !Events || Events->StoreID.Empty()) return ownClock_;
  StoreClock* clock = &engine_->Clocks.Of(Events->StoreID.View());
  clock_.store(clock, std::memory_order_release);
  return *clock;
}

CMAPIFolderObject::CMAPIFolderObject(IDispatch* folder, int isStandard, bool exchangeMode, bool iCloudMode,
                                     bool hotMailMode)
    : IsStandard(isStandard), engine_(g_pSyncEngine) {
  DebugLog(L"create FolderObject");
  MAPIFolder = folder;
  DisplayName = com::Bstr((isStandard ? L"S:" : L"M:") + StringProperty(folder, L"Name"));
  LastFolderSyncTime = com::DateTime(kDate1900);

  Events = new CItemsEvents;  // the folder object's reference
  Events->IsStandard = isStandard;
  Events->AddUserName2Categories = ReadAddUserName2Categories();
  com::Variant items;
  if (folder && SUCCEEDED(com::GetProperty(folder, L"Items", items.Put())))
    com::ResultToDispatch(items, Events->Items.Put());
  Events->StoreID = com::Bstr(StringProperty(folder, L"StoreID"));
  Events->EntryID = com::Bstr(StringProperty(folder, L"EntryID"));
  Events->Owner = this;
  if (!Events->Advise(Events->Items.Get())) DebugLog(L"ItemsEvents not advised");
  Events->iCloudMode = iCloudMode;
  Events->HotMailMode = hotMailMode;
  Events->ExchangeMode = exchangeMode;

  RunFlag = true;
  InspectorWasOpen = false;
  {
    std::lock_guard<std::mutex> lock(g_liveLock);
    g_liveFolders.push_back(this);
  }
  DebugLog(isStandard ? L"create standard FolderObject ready" : L"create master FolderObject ready");
  DebugLog(exchangeMode ? L"::IsExchangeFolder" : L"::no Exchange");
}

std::wstring CMAPIFolderObject::StateName() const {
  std::wstring name = Events ? Events->EntryID.Str() : std::wstring();
  if (!name.empty() && IsStandard && Events->HotMailMode) name += kHotmailStateMark;
  return name;
}

CMAPIFolderObject::~CMAPIFolderObject() {
  RunFlag = false;
  StopAllFolderWorkers();
  if (engine_) engine_->EndNetworkPause(this);  // nothing else would end it
  if (engine_ && engine_->IsSettingsLoaded()) saveMasterfoldertime(this);
  {
    // Writes of other folders' workers into this one since its last run.
    CsLock lock(CachedItemsLock.Get());
    if (CachedItemsDirty) SaveWaitingWrites(this);
  }
  size_t left;
  {
    std::lock_guard<std::mutex> lock(g_liveLock);
    g_liveFolders.erase(std::remove(g_liveFolders.begin(), g_liveFolders.end(), this), g_liveFolders.end());
    left = g_liveFolders.size();
  }
  if (left == 0) StopInspectorWatch();
  MAPIFolder.Reset();
  if (Events) {
    Events->Detach();
    std::exchange(Events, nullptr)->Release();
  }
  if (thread_) {
    // The worker has cleared ThreadRunning: it touches nothing of this
    // object any more and only returns.
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(std::exchange(thread_, nullptr));
  }
}

void CMAPIFolderObject::StartThread() {
  if (thread_) return;  // one worker per object
  RunFlag = true;
  if (!Events->ExchangeMode) FolderTime(this);
  StartInspectorWatch();
  PrepareWorkerSession(this);
  // Counted as running from now on, so that a stop that comes before the
  // thread's first statement still waits for it.
  ThreadRunning = true;
  thread_ = reinterpret_cast<HANDLE>(
      _beginthreadex(nullptr, 0, Events->ExchangeMode ? ExchangeThread : PSTThread, this, 0, nullptr));
  if (!thread_) {
    ThreadRunning = false;
    LogError(HRESULT_FROM_WIN32(GetLastError()), L"FolderObject thread could not start");
    return;
  }
  DebugLogString(L"FolderObject started", Categorie);
}

HANDLE CMAPIFolderObject::DuplicateWorkerHandle() const {
  HANDLE copy = nullptr;
  if (thread_ &&
      !DuplicateHandle(GetCurrentProcess(), thread_, GetCurrentProcess(), &copy, SYNCHRONIZE, FALSE, 0))
    copy = nullptr;
  return copy;
}

void CMAPIFolderObject::ReadCategoryUserName(IRdoSession* session) {
  com::ComPtr<IRdoAddressEntry> user;
  com::Bstr text;
  if (session && SUCCEEDED(session->get_CurrentUser(user.Put())) && user) {
    if (FAILED(user->get_Alias(text.Put())) || text.Empty()) user->get_Name(text.Put());
  }
  if (text.Empty()) {
    Events->AddUserName2Categories = false;
    return;
  }
  Events->CategoryUserName = text.Str();
}

// Holds no folder object across its pumped wait: a message handled meanwhile
// (a second Apply, Quit) may delete folder objects. Each round looks afresh
// for a worker that still runs and waits on a handle of its own.
void StopAllFolderWorkers() {
  int waits = 0;
  for (;;) {
    HANDLE worker = nullptr;
    bool running = false;
    {
      std::lock_guard<std::mutex> lock(g_liveLock);
      for (CMAPIFolderObject* f : g_liveFolders) f->RunFlag = false;
      for (CMAPIFolderObject* f : g_liveFolders) {
        if (!f->WorkerAlive()) continue;
        running = true;
        worker = f->DuplicateWorkerHandle();
        break;
      }
    }
    if (!running) return;
    if (worker) {
      clk::WaitPumping(worker, kWorkerWaitMs);
      CloseHandle(worker);
    } else {
      clk::Sleep(kWorkerWaitMs);
    }
    if (++waits > kWaitsPerWarning) {
      DebugLog(L"Thread stops since 1 Min ?????");
      waits = 0;
    }
  }
}

size_t LiveFolderObjectCount() {
  std::lock_guard<std::mutex> lock(g_liveLock);
  return g_liveFolders.size();
}

// The engine's side of its folder list.
bool FolderObjectRunning(const CMAPIFolderObject* folder) { return folder && folder->RunFlag; }
void StopFolderObject(CMAPIFolderObject* folder) {
  if (folder) folder->RunFlag = false;
}
void DeleteFolderObject(CMAPIFolderObject* folder) { delete folder; }
