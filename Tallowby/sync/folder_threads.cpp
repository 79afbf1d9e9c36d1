#include "folder_threads.h"

#include <algorithm>
#include <mutex>
#include <string>

#include "clock.h"
#include "com_apartment.h"
#include "delete_lists.h"
#include "dispatch.h"
#include "folder_object.h"
#include "item_identity.h"
#include "item_time.h"
#include "locks.h"
#include "logs.h"
#include "outlook.h"
#include "pst_items.h"
#include "sync_engine.h"
#include "sync_seams.h"
#include "variant.h"

namespace {

constexpr DISPID kDispEntryId = 0xF01E;
constexpr DISPID kDispParent = 0xF001;
constexpr DWORD kTickMs = 1000;
constexpr DWORD kSearchDelayMs = 10000;
constexpr DWORD kInspectorTimeoutMs = 1800000;
constexpr int kTriesPerWarning = 60;
constexpr int kPstStartTick = 110;
constexpr double kResetDate = 2.0 + 3661.0 / 86400.0;  // 1900-01-01 01:01:01
constexpr EXECUTION_STATE kKeepAwake = ES_CONTINUOUS | ES_SYSTEM_REQUIRED | ES_AWAYMODE_REQUIRED;

DWORD NowTick() { return DWORD(clk::TickMs()); }

// Keeps the machine awake for as long as it lives, also when a pass throws.
class KeepAwake {
 public:
  KeepAwake() { SetThreadExecutionState(kKeepAwake); }
  ~KeepAwake() { SetThreadExecutionState(ES_CONTINUOUS); }
  KeepAwake(const KeepAwake&) = delete;
  KeepAwake& operator=(const KeepAwake&) = delete;
};

// Sleeps `ms` of the add-in's clock in one-second steps while the folder runs.
void SleepWhileRunning(CMAPIFolderObject* folder, DWORD ms) {
  while (ms > 0 && folder->RunFlag) {
    DWORD step = std::min(ms, kTickMs);
    clk::Sleep(step);
    ms -= step;
  }
}

std::mutex g_openedLock;
OpenedElements g_opened;
UINT_PTR g_watchTimer = 0;

void CALLBACK WatchTimerProc(HWND, UINT, UINT_PTR, DWORD) { RefreshOpenedElements(); }

// What one worker thread owns: its wrapper session and utility object,
// released on the thread before its apartment ends.
class Worker {
 public:
  explicit Worker(CMAPIFolderObject* folder) : f_(folder), events_(folder->Events), engine_(folder->Engine()) {}

  void RunPst();
  void RunExchange();

 private:
  bool CreateSession(bool exchange);
  void LogRunning(const wchar_t* format);
  void PstTick();
  void Pass();
  void DeletedItemsSearch();
  void SearchKey(const std::wstring& key);
  bool GuardedICloudCheck();
  bool ICloudCheck();
  void ExchangeTick();

  CMAPIFolderObject* f_;
  CItemsEvents* events_;
  CSyncEngine* engine_;
  com::ComPtr<IRdoSession> session_;
  com::ComPtr<IRdoUtils> utils_;
  com::ComPtr<IRdoFolder> folder_;
  int tickCount_ = 0;
  long iCloudCount_ = 0;
  double iCloudNewest_ = 0;
};

bool Worker::CreateSession(bool exchange) {
  HRESULT hr = CreateRdoObject(kRdoSessionProgId, __uuidof(IRdoSession), session_.PutVoid());
  if (!session_) {
    if (hr == CO_E_CLASSSTRING || hr == REGDB_E_CLASSNOTREG) LogError(hr, L"no session Interface");
    if (!exchange) {
      LogError(hr, L"thread is not running");
      return false;
    }
    return true;  // the Exchange worker goes on; its runs fail
  }
  com::ComPtr<IUnknown> mapiSession = std::move(f_->MapiSessionForWorker);
  hr = mapiSession ? session_->put_MapiSession(mapiSession.Get()) : E_POINTER;
  if (CheckHr(hr, L"MAPIOBJECT failed")) return true;
  hr = LogOnWithDefaults(session_.Get());
  if (SUCCEEDED(hr)) return true;
  if (!exchange) {
    LogError(hr, L"no session");
    LogError(hr, L"thread is not running");
    return false;
  }
  LogError(hr, L"LogonFailed Try again");
  SleepWhileRunning(f_, kSearchDelayMs);
  return CheckHr(LogOnWithDefaults(session_.Get()), L"LogonFailed") || true;
}

void Worker::LogRunning(const wchar_t* format) {
  if (!g_bDebugLog || !session_) return;
  com::ComPtr<IRdoFolder> folder;
  com::Bstr name;
  if (SUCCEEDED(OpenFolderOf(session_.Get(), f_->Events, &folder)) && folder) folder->get_Name(name.Put());
  wchar_t line[600];
  swprintf(line, 600, format, f_->Categorie, name.c_str());
  DebugLog(line);
}

void Worker::RunPst() {
  if (!CreateSession(false)) return;
  CreateRdoObject(kRdoUtilsProgId, __uuidof(IRdoUtils), utils_.PutVoid());
  LogRunning(L"PST Thread is running with [%ls] for %ls");
  tickCount_ = kPstStartTick;
  if (events_->AddUserName2Categories) f_->ReadCategoryUserName(session_.Get());
  // The delete list an earlier object of this folder left (before a Reload,
  // a quit or a restart): a deletion not searched yet is still followed.
  // Every personal-folder object keeps it in the file of the iCloud list.
  LoadiCloudDeleteList(f_);
  if (events_->iCloudMode) {
    LoadiCloudTable(f_);
    events_->MarkChanged();
  } else {
    events_->AskForRebuild();  // made by the first tick, inside the folder-sync lock
  }
  HRESULT hr = OpenFolderOf(session_.Get(), f_->Events, &folder_);
  if (!CheckHr(hr, L"NO MASTERFOLDERx10") || !folder_) {
    LogError(hr, L"thread is not running, no masterfolder");
    SaveiCloudDeleteList(f_);
    return;
  }
  while (f_->RunFlag) PstTick();
  SaveiCloudDeleteList(f_);
}

void Worker::PstTick() {
  clk::Sleep(kTickMs);
  if (!f_->RunFlag || !engine_) return;
  if (engine_->SyncPaused || engine_->NetworkPaused() || !utils_ || !engine_->IsSettingsLoaded()) return;
  if (events_->TakeRebuild() && !RebuildDeleteList(f_, session_.Get(), utils_.Get())) events_->AskForRebuild();
  if (events_->ResetRequest) {
    f_->LastFolderSyncTime = com::DateTime(kResetDate);
    DebugLogString(L"Reset=>Check all again", f_->Categorie);
    events_->ResetRequest = false;
    ++tickCount_;
  } else if (tickCount_ % 600 == 0 || events_->TakeDeleted()) {
    DeletedItemsSearch();
  } else if (tickCount_ % 120 == 0 || events_->TakeChanged()) {
    // Before the iCloud check, whose ticks include every forced pass's:
    // behind it an iCloud folder never had one, and a write that failed
    // waited for the item's next change.
    Pass();
  } else if (events_->iCloudMode && tickCount_ % 30 == 0) {
    if (GuardedICloudCheck()) ++tickCount_;
  } else {
    ++tickCount_;
  }
}

void Worker::Pass() {
  if (!WaitForFolderSync(f_, kTickMs, true)) return;
  {
    FolderSyncHeld held;
    try {
      if (!f_->IsInspectorOpen(utils_.Get())) {
        KeepAwake awake;
        checkIfSomethingChanged(f_, session_.Get(), utils_.Get());
      }
    } catch (...) {
      LogError(E_UNEXPECTED, L"checkIfSomethingChanged");
    }
  }
  ++tickCount_;
}

void Worker::DeletedItemsSearch() {
  SleepWhileRunning(f_, kSearchDelayMs);
  if (!WaitForFolderSync(f_, 500, true)) return;
  {
    FolderSyncHeld held;
    try {
      KeepAwake awake;
      if (events_->iCloudMode) CreateList(events_, session_.Get(), utils_.Get(), folder_.Get());
      // A copy of the list: the user-interface thread may append meanwhile.
      for (const std::wstring& key : events_->FolderCacheSnapshot()) {
        if (!f_->RunFlag) break;
        clk::Sleep(1);
        SearchKey(key);
      }
    } catch (...) {
      LogError(E_UNEXPECTED, L"SearchDeletedItemsPST");
    }
    // What is left to search survives a crash of Outlook as well.
    SaveiCloudDeleteList(f_);
  }
  ++tickCount_;
}

void Worker::SearchKey(const std::wstring& key) {
  com::Variant binary;
  if (FAILED(utils_->HexToBin(com::Bstr(key), binary.Put()))) {
    LogError(E_INVALIDARG, L"str2arr");
    return;
  }
  BYTE found = 0;
  com::Bstr entryId;
  HRESULT hr = GetEntryIDFromPR_SEARCH_KEY(engine_, utils_.Get(), &found, &entryId, folder_.Get(), binary,
                                           events_->HotMailMode);
  // A Hotmail folder lists items without a GlobalObjectId by their search key.
  if (SUCCEEDED(hr) && !found && events_->HotMailMode)
    hr = GetEntryIDFromPR_SEARCH_KEY(engine_, utils_.Get(), &found, &entryId, folder_.Get(), binary, false);
  if (!CheckHr(hr, L"SearchDeletedItemsPST")) return;
  if (found && events_->iCloudMode) {
    // An iCloud store's query may still show an item its own lookup no
    // longer has: only an item both find is there.
    HRESULT lookup = E_FAIL;
    com::ComPtr<IRdoMessage> item =
        FindBySearchIdVariant(f_, session_.Get(), utils_.Get(), binary, folder_.Get(), &lookup);
    if (FAILED(lookup)) return;  // unknown whether it is there: the next search tries again
    found = item ? 1 : 0;
  }
  if (found) return;
  DebugLogString(L"TryDelete:", key.c_str());
  // Counterpart deletions are already one at a time: every caller holds
  // g_csFolderSync. g_csDeleteList is taken for the list change only, so
  // that an ItemAdd on Outlook's thread never waits for a deletion.
  if (deleteItem2(f_, session_.Get(), utils_.Get(), key.c_str()) != 0) return;
  CsLock lock(g_csDeleteList);
  events_->DeleteList().Remove(key);
}

// The iCloud check with the loop's guard: an exception ends the tick as
// a completed check, as one in a pass does.
bool Worker::GuardedICloudCheck() {
  try {
    return ICloudCheck();
  } catch (...) {
    LogError(E_UNEXPECTED, L"PSTThreadICloud");
    return true;
  }
}

// False when the check ended the tick early (a smaller count: the next tick
// searches for the deleted items).
bool Worker::ICloudCheck() {
  KeepAwake awake;
  clk::Sleep(5);
  com::ComPtr<IRdoItems> items;
  if (FAILED(folder_->get_Items(items.Put())) || !items) return true;
  long count = 0;
  if (SUCCEEDED(items->get_Count(&count))) {
    if (iCloudCount_ > 0 && count < iCloudCount_) {
      events_->MarkDeleted();
      DebugLog(L"iCloud=>ElemDeleted?");
      iCloudCount_ = count;
      return false;
    }
    if (count > iCloudCount_) {
      events_->MarkChanged();
      DebugLog(L"iCloud=>ElemAdded?");
      events_->AskForRebuild();
    }
    iCloudCount_ = count;
  }
  if (!CheckHr(items->Sort(com::Bstr(L"DAV:getlastmodified"), com::Variant(true)), L"PSTThreadSort")) return true;
  clk::Sleep(2);
  com::ComPtr<IRdoMessage> first;
  // Stamps as the instants they are: a later edit in the hour that comes
  // twice has an earlier local time.
  DATE newest = 0;
  if (SUCCEEDED(items->GetFirst(first.Put())) && first && (newest = StampOf(utils_.Get(), first.Get())) != 0) {
    if (iCloudNewest_ != 0 && newest > iCloudNewest_) {
      events_->MarkChanged();
      DebugLog(L"iCloud=>ElemUpdated?");
    }
    iCloudNewest_ = newest;
  }
  return true;
}

void Worker::RunExchange() {
  CreateSession(true);
  if (session_) {
    VARIANT_BOOL loggedOn = VARIANT_FALSE;
    com::ComPtr<IUnknown> attached;
    if ((SUCCEEDED(session_->get_LoggedOn(&loggedOn)) && loggedOn) ||
        (SUCCEEDED(session_->get_MapiSession(attached.Put())) && attached))
      CreateRdoObject(kRdoUtilsProgId, __uuidof(IRdoUtils), utils_.PutVoid());
  }
  LogRunning(L"Exchange Thread is running with [%ls] for %ls");
  if (session_ && utils_) OpenRdoFolder(f_, session_.Get(), utils_.Get());
  if (events_->AddUserName2Categories) f_->ReadCategoryUserName(session_.Get());
  if (session_ && utils_) FillDeleteList(f_, session_.Get(), utils_.Get());
  tickCount_ = 0;
  while (f_->RunFlag) ExchangeTick();
}

void Worker::ExchangeTick() {
  clk::Sleep(kTickMs);
  // The user's pause holds mailbox jobs too; their count stands still, so
  // that they go on where they stopped. A network pause does not: their
  // runs tell when the connection is back.
  if (!engine_ || engine_->SyncPaused) return;
  ++tickCount_;
  while (!engine_->IsSettingsLoaded() && f_->RunFlag) clk::Sleep(kTickMs);
  if (!f_->RunFlag) return;
  bool changed = events_->TakeChanged();
  if (!changed && tickCount_ % 45 != 0 && !events_->ResetRequest) return;
  if (!WaitForFolderSync(f_, kTickMs, false)) return;
  FolderSyncHeld held;
  try {
    if (events_->ResetRequest) {
      HonourResetRequest(f_);
      events_->ResetRequest = false;
    }
    if (!session_ || !utils_) {
      LogError(E_POINTER, L"RCI: no session");  // a run without its objects is a failed run
    } else if (!f_->IsInspectorOpen(utils_.Get())) {
      RCI(f_, session_.Get(), utils_.Get());
    }
  } catch (...) {
    LogError(E_UNEXPECTED, L"RCI");
  }
}

// Runs a worker body in its own apartment; the wrapper objects go before
// the apartment does, and ThreadRunning is cleared last. An exception that
// escapes the body's own guards ends this worker, never Outlook.
template <void (Worker::*Body)()>
unsigned RunWorker(void* folderObject) {
  auto* folder = static_cast<CMAPIFolderObject*>(folderObject);
  folder->ThreadRunning = true;
  {
    com::ComApartment apartment;
    try {
      Worker worker(folder);
      (worker.*Body)();
    } catch (...) {
      LogError(E_UNEXPECTED, L"thread is not running");
    }
    // The wrapper folder was opened in this apartment: it goes with it.
    folder->RdoFolder.Reset();
    folder->FolderPrepared = false;
  }
  folder->ThreadRunning = false;
  return 0;
}

}  // namespace

unsigned __stdcall PSTThread(void* folderObject) { return RunWorker<&Worker::RunPst>(folderObject); }
unsigned __stdcall ExchangeThread(void* folderObject) { return RunWorker<&Worker::RunExchange>(folderObject); }

void PrepareWorkerSession(CMAPIFolderObject* folder) {
  CSyncEngine* engine = folder->Engine();
  folder->MapiSessionForWorker.Reset();
  if (engine && engine->RdoSession) engine->RdoSession->get_MapiSession(folder->MapiSessionForWorker.Put());
}

bool WaitForFolderSync(CMAPIFolderObject* folder, DWORD pauseMs, bool warnEveryMinute) {
  folder->WaitStartTick = std::max<DWORD>(NowTick(), 1);
  int tries = 0;
  auto giveUp = [folder] {
    folder->WaitStartTick = 0;
    return false;
  };
  for (;;) {
    if (TryEnterCriticalSection(&g_csFolderSync)) {
      folder->WaitStartTick = 0;
      return true;
    }
    while (!folder->IsMyTurn()) {
      clk::Sleep(kTickMs);
      if (!folder->RunFlag) return giveUp();
    }
    clk::Sleep(pauseMs);
    if (warnEveryMinute && ++tries > kTriesPerWarning) {
      DebugLogString(L"waiting for entering folder since 1 Min.!!! ", folder->Categorie);
      tries = 0;
    }
    if (!folder->RunFlag) return giveUp();
  }
}

bool CMAPIFolderObject::IsMyTurn() {
  CSyncEngine* engine = Engine();
  const DWORD mine = WaitStartTick;
  if (!engine) return true;
  for (int i = 0; CMAPIFolderObject* other = engine->GetFolderObject(i, false); ++i) {
    if (other == this || other->IsStandard != IsStandard) continue;
    DWORD theirs = other->WaitStartTick;
    if (theirs != 0 && theirs != mine && theirs < mine) return false;
  }
  return true;
}

bool CMAPIFolderObject::IsInspectorOpen(IRdoUtils* utils) {
  CSyncEngine* engine = Engine();
  if (!engine) return false;
  OpenedElements opened = CurrentOpenedElements();
  bool open = false;
  auto same = [utils](BSTR a, BSTR b) {
    VARIANT_BOOL equal = VARIANT_FALSE;
    return utils && SUCCEEDED(utils->CompareIds(a, b, &equal)) && equal != VARIANT_FALSE;
  };
  if (opened.Valid && !opened.ParentEntryID.Empty()) {
    if (same(opened.ParentEntryID, Events->EntryID)) {
      open = true;
      DebugLog(L"Inspector on master open");
    } else if (Partner) {
      if (same(opened.ParentEntryID, Partner->Events->EntryID)) {
        open = true;
        DebugLog(L"Inspector on slave open");
      }
    } else {
      for (int i = 0; CMAPIFolderObject* other = engine->GetFolderObject(i, true); ++i) {
        if (same(opened.ParentEntryID, other->Events->EntryID)) {
          open = true;
          DebugLog(L"Inspector on master open");
          break;
        }
      }
    }
  }
  const DWORD now = NowTick();
  if (open && InspectorWasOpen && now - InspectorWaitStart > kInspectorTimeoutMs) {
    DebugLog(L"Inspector timeout");
    open = false;
  } else if (open && !InspectorWasOpen) {
    InspectorWaitStart = now;
  }
  InspectorWasOpen = open;
  return open;
}

// ---- OpenedElements ----

OpenedElements::OpenedElements(IDispatch* application) {
  if (!application) return;
  com::Variant inspectorResult, itemResult, entryId, parentResult, parentEntryId;
  com::ComPtr<IDispatch> inspector, item, parent;
  if (FAILED(com::CallMethod(application, L"ActiveInspector", {}, inspectorResult.Put())) ||
      FAILED(com::ResultToDispatch(inspectorResult, inspector.Put())) || !inspector)
    return;
  if (FAILED(com::GetProperty(inspector.Get(), L"CurrentItem", itemResult.Put())) ||
      FAILED(com::ResultToDispatch(itemResult, item.Put())) || !item)
    return;
  if (SUCCEEDED(com::GetPropertyById(item.Get(), kDispEntryId, entryId.Put())) && entryId.vt == VT_BSTR)
    ItemEntryID = com::Bstr(entryId.bstrVal);
  if (FAILED(com::GetPropertyById(item.Get(), kDispParent, parentResult.Put())) ||
      FAILED(com::ResultToDispatch(parentResult, parent.Put())) || !parent)
    return;
  if (SUCCEEDED(com::GetPropertyById(parent.Get(), kDispEntryId, parentEntryId.Put())) &&
      parentEntryId.vt == VT_BSTR) {
    ParentEntryID = com::Bstr(parentEntryId.bstrVal);
    Valid = 1;
  }
  com::Variant name;
  if (Valid && SUCCEEDED(com::GetProperty(parent.Get(), L"Name", name.Put()))) ParentName = name.AsString();
}

OpenedElements CurrentOpenedElements() {
  std::lock_guard<std::mutex> lock(g_openedLock);
  return g_opened;
}

void RefreshOpenedElements() {
  CSyncEngine* engine = g_pSyncEngine;
  OpenedElements fresh(engine ? engine->OutlookApplication.Get() : nullptr);
  std::lock_guard<std::mutex> lock(g_openedLock);
  if (g_bDebugLog && fresh.Valid && fresh.ParentEntryID.View() != g_opened.ParentEntryID.View())
    DebugLogString(L"OpenedElements:Foldername is: ", fresh.ParentName.c_str());
  g_opened = fresh;
}

void StartInspectorWatch() {
  if (g_watchTimer) return;
  RefreshOpenedElements();
  g_watchTimer = SetTimer(nullptr, 0, clk::TimerPeriod(kTickMs), WatchTimerProc);
}

void StopInspectorWatch() {
  if (!g_watchTimer) return;
  KillTimer(nullptr, std::exchange(g_watchTimer, 0));
  std::lock_guard<std::mutex> lock(g_openedLock);
  g_opened = OpenedElements();
}
