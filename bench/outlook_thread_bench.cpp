// outlook_thread_bench: what the add-in costs Outlook's own thread.
//
// Item events: one ItemAdd, ItemChange and ItemRemove as Outlook raises
// them into a folder's sink, with folders of 1,000 and 10,000 items, each
// split into the calls the handler makes into Outlook's objects and the
// wrapper library and its own work; then the same events while another
// job's worker runs its first pass of 10,000 items and a deleted-items search
// (the sink must never wait for the worker).
//
// Option pages: the time to open the Options dialog's page, a master
// folder's replication page and the default folder's page, for folders of
// 10,000 items, next to the same pages for empty folders.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "addin_module.h"
#include "bench_support.h"
#include "bstr.h"
#include "com_object.h"
#include "dispatch.h"
#include "folder_object.h"
#include "item_identity.h"
#include "locks.h"
#include "logs.h"
#include "main_prop_page.h"
#include "page_requests.h"
#include "page_site.h"
#include "core/registry.h"
#include "standard_prop_page.h"
#include "sync_engine.h"
#include "sync_seams.h"
#include "tallowby_prop_page.h"
#include "variant.h"

namespace {

constexpr long kContactsFolder = 10;
constexpr DISPID kItemAdd = 0xF001, kItemChange = 0xF002, kItemRemove = 0xF003;
constexpr int kEventsPerKind = 2000;

std::wstring Temp() {
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  return temp;
}

sim::SimItem Contact(int i) {
  sim::SimItem item;
  item.messageClass = L"IPM.Contact";
  item.subject = L"Contact " + std::to_wstring(i);
  return item;
}

// The per-event figures of one kind of event.
struct EventTimes {
  std::vector<double> totalUs, ownUs;
  void Add(const bench::Split& s) {
    totalUs.push_back(s.totalMs * 1000.0);
    ownUs.push_back(s.OwnMs() * 1000.0);
  }
  size_t Over(double us) const { return size_t(std::count_if(ownUs.begin(), ownUs.end(), [us](double v) { return v > us; })); }
  static double At(std::vector<double> v, double q) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(q * double(v.size() - 1) + 0.5))];
  }
};

// A one-way job in the default store (master folder "Team" of `n` contacts)
// and the engine over the simulated Outlook, its settings loaded so that
// the sinks act on events.
class EventWorld {
 public:
  EventWorld(sim::ISimControl* sim, int n) : sim_(sim) {
    sim_->Reset();
    sim::SimStore personal;
    personal.isDefault = true;
    store_ = sim_->AddStore(personal);
    team_ = sim_->AddFolder(sim_->DefaultFolder(store_, 0), L"Team", 2);
    for (int i = 0; i < n; ++i) sim_->AddItem(team_, Contact(i));
    nameSpace_ = bench::OutlookNameSpace(sim_);
    engine_ = new CSyncEngine(nameSpace_.Get(), (Temp() + L"outlook_thread_bench_debug.log").c_str());
    g_pSyncEngine = engine_;
    engine_->SetSettingsLoaded(true);
    master_ = NewFolderObject(team_, 0, L"Team");
    master_->Partner = NewFolderObject(sim_->DefaultFolder(store_, kContactsFolder), 1, L"");
    session_ = bench::NewSession();
    utils_ = bench::NewUtils();
    ::FillDeleteList(master_, session_.Get(), utils_.Get());
    // The items of the ItemAdd events arrive after the delete list was
    // built, as new items do.
    for (int i = 0; i < kEventsPerKind; ++i) sim_->AddItem(team_, Contact(n + i));
    com::Variant items;
    com::GetProperty(bench::OutlookFolder(sim_, team_).Get(), L"Items", items.Put());
    for (int i = 0; i < kEventsPerKind; ++i) {
      com::Variant item;
      if (items.vt == VT_DISPATCH && SUCCEEDED(com::CallMethod(items.pdispVal, L"Item", {com::Variant(n + i + 1)}, item.Put())) &&
          item.vt == VT_DISPATCH)
        newItems_.emplace_back(item.pdispVal);
    }
  }
  ~EventWorld() {
    g_pSyncEngine = nullptr;
    delete engine_;
    utils_.Reset();
    session_.Reset();
    nameSpace_.Reset();
    newItems_.clear();
    sim_->Reset();
    bench::ClearRegistry();
  }

  CMAPIFolderObject* NewFolderObject(const std::wstring& entryId, int isStandard, const wchar_t* category) {
    if (!isStandard) bench::CreateJobKey(entryId);
    auto* f = new CMAPIFolderObject(bench::OutlookFolder(sim_, entryId).Get(), isStandard, false, false, false);
    f->Events->BOTH_DIRECTIONS = isStandard != 0;
    SetFolderCategory(f->Categorie, category);
    engine_->AddFolderObject(f);
    return f;
  }

  IDispatch* NameSpace() const { return nameSpace_.Get(); }
  const std::wstring& Team() const { return team_; }
  const std::wstring& Store() const { return store_; }
  size_t NewItems() const { return newItems_.size(); }

  // One event as Outlook raises it into the master's sink.
  bench::Split Raise(DISPID id, size_t item) {
    VARIANT arg;
    VariantInit(&arg);
    DISPPARAMS params{};
    if (id != kItemRemove && item < newItems_.size()) {
      arg.vt = VT_DISPATCH;
      arg.pdispVal = newItems_[item].Get();
      params.rgvarg = &arg;
      params.cArgs = 1;
    }
    IDispatch* sink = master_->Events;
    return bench::Measure([&] { sink->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr); });
  }

 private:
  sim::ISimControl* sim_;
  std::wstring store_, team_;
  com::ComPtr<IDispatch> nameSpace_;
  CSyncEngine* engine_ = nullptr;
  CMAPIFolderObject* master_ = nullptr;
  com::ComPtr<IRdoSession> session_;
  com::ComPtr<IRdoUtils> utils_;
  std::vector<com::ComPtr<IDispatch>> newItems_;
};

void PrintEvents(int n, const char* what, const EventTimes& t, const char* remark) {
  std::printf("  %7d  %-10s %10s %10s %10s %10s %10s %8zu  %s\n", n, what, bench::Us(EventTimes::At(t.totalUs, 0.5)).c_str(),
              bench::Us(EventTimes::At(t.ownUs, 0.5)).c_str(), bench::Us(EventTimes::At(t.ownUs, 0.99)).c_str(),
              bench::Us(EventTimes::At(t.ownUs, 0.999)).c_str(), bench::Us(EventTimes::At(t.ownUs, 1.0)).c_str(),
              t.Over(1000), remark);
}

// Events one after the other while `working` says so (or kEventsPerKind of
// each).
void RaiseEvents(EventWorld& world, EventTimes* add, EventTimes* change, EventTimes* remove,
                 const std::atomic<int>* working) {
  for (size_t i = 0; working ? working->load() == 1 : i < world.NewItems(); ++i) {
    add->Add(world.Raise(kItemAdd, i % world.NewItems()));
    change->Add(world.Raise(kItemChange, i % world.NewItems()));
    remove->Add(world.Raise(kItemRemove, 0));
  }
}

void MeasureEvents(sim::ISimControl* sim, int n) {
  EventWorld world(sim, n);
  bench::WatchOutlookClasses(world.NameSpace(), world.Team());
  EventTimes add, change, remove;
  RaiseEvents(world, &add, &change, &remove, nullptr);
  PrintEvents(n, "ItemAdd", add, "(reads the item's key through the wrapper)");
  PrintEvents(n, "ItemChange", change, "");
  PrintEvents(n, "ItemRemove", remove, "");
}

// The other job's worker: its first pass of `n` new items and a
// deleted-items search that follows 1% of them, inside g_csFolderSync and
// with g_csDeleteList held for each counterpart deletion, as its worker
// does.
enum WorkerState { kPreparing, kWorking, kDone };

void OtherJobWork(sim::ISimControl* sim, const std::wstring& store, int n, std::atomic<int>* state,
                  double* passMs) {
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  {
    sim::SimStore archive;
    archive.name = L"Archive";
    const std::wstring archiveId = sim->AddStore(archive);
    const std::wstring folder = sim->AddFolder(sim->DefaultFolder(archiveId, 0), L"Work", 2);
    std::vector<std::wstring> items;
    for (int i = 0; i < n; ++i) items.push_back(sim->AddItem(folder, Contact(i)));
    com::ComPtr<IRdoSession> session = bench::NewSession();
    com::ComPtr<IRdoUtils> utils = bench::NewUtils();
    bench::CreateJobKey(folder);
    auto* master = new CMAPIFolderObject(nullptr, 0, false, false, false);
    master->Events->EntryID = com::Bstr(folder);
    master->Events->StoreID = com::Bstr(archiveId);
    SetFolderCategory(master->Categorie, L"Work");
    auto* slave = new CMAPIFolderObject(nullptr, 1, false, false, false);
    slave->Events->EntryID = com::Bstr(sim->DefaultFolder(store, kContactsFolder));
    slave->Events->StoreID = com::Bstr(store);
    slave->Events->BOTH_DIRECTIONS = true;
    master->Partner = slave;
    master->LastFolderSyncTime = com::DateTime(2.0);
    state->store(kWorking);
    const double start = bench::NowMs();
    {
      EnterCriticalSection(&g_csFolderSync);
      ::FillDeleteList(master, session.Get(), utils.Get());
      checkIfSomethingChanged(master, session.Get(), utils.Get());
      for (int i = 0; i < n; i += 100) {
        com::Variant key;
        com::ComPtr<IRdoMessage> m;
        session->GetMessageById(com::Bstr(items[size_t(i)]), com::Variant(archiveId.c_str()), com::Variant(16L),
                                m.Put());
        com::Bstr hex;
        if (m && SUCCEEDED(utils->GetPropByTag(m.Get(), kTagSearchKey, key.Put())) &&
            SUCCEEDED(utils->BinToHex(key, hex.Put()))) {
          sim->DeleteItem(items[size_t(i)]);
          EnterCriticalSection(&g_csDeleteList);
          deleteItem2(master, session.Get(), utils.Get(), hex.c_str());
          LeaveCriticalSection(&g_csDeleteList);
        }
      }
      LeaveCriticalSection(&g_csFolderSync);
    }
    *passMs = bench::NowMs() - start;
    state->store(kDone);
    delete master;
    delete slave;
  }
  CoUninitialize();
}

void MeasureEventsWhileWorkerRuns(sim::ISimControl* sim, int n) {
  EventWorld world(sim, n);
  bench::WatchOutlookClasses(world.NameSpace(), world.Team());
  std::atomic<int> state{kPreparing};
  double passMs = 0;
  std::thread worker(OtherJobWork, sim, world.Store(), n, &state, &passMs);
  while (state.load() == kPreparing) Sleep(1);
  EventTimes add, change, remove;
  RaiseEvents(world, &add, &change, &remove, &state);
  worker.join();
  char remark[120];
  std::snprintf(remark, sizeof remark, "(%zu events during the other job's %s of work)", add.totalUs.size(),
                bench::Ms(passMs).c_str());
  PrintEvents(n, "ItemAdd", add, remark);
  PrintEvents(n, "ItemChange", change, "");
  PrintEvents(n, "ItemRemove", remove, "");
}

// ---- Option pages ----

HRESULT MakePage(const std::wstring& progId, IOleObject** out) {
  void** pv = reinterpret_cast<void**>(out);
  if (progId == L"Tallowby.MainPropPage") return com::ComObject<CMainPropPage>::CreateInstance(IID_IOleObject, pv);
  if (progId == L"Tallowby.StandardPropPage")
    return com::ComObject<CStandardPropPage>::CreateInstance(IID_IOleObject, pv);
  if (progId == L"Tallowby.TallowbyPropPage")
    return com::ComObject<CTallowbyPropPage>::CreateInstance(IID_IOleObject, pv);
  return REGDB_E_CLASSNOTREG;
}

// A master folder with a job and the default Contacts folder, `n` items in
// each, and the engine of the pages.
class PageWorld {
 public:
  PageWorld(sim::ISimControl* sim, int n) : sim_(sim) {
    sim_->Reset();
    bench::ClearRegistry();
    sim::SimStore personal;
    personal.isDefault = true;
    store_ = sim_->AddStore(personal);
    team_ = sim_->AddFolder(sim_->DefaultFolder(store_, 0), L"Team", 2);
    contacts_ = sim_->DefaultFolder(store_, kContactsFolder);
    for (int i = 0; i < n; ++i) {
      sim_->AddItem(team_, Contact(i));
      sim::SimItem copy = Contact(i);
      copy.categories = {L"Team"};
      sim_->AddItem(contacts_, copy);
    }
    reg::Key job;
    job.Create(HKEY_CURRENT_USER, (std::wstring(reg::kFoldersPath) + L"\\" + team_).c_str());
    job.WriteDword(L"used", 1);
    job.WriteString(L"SID", store_);
    job.WriteString(L"Categorie", L"Team");
    job.WriteString(L"Foldername", L"Team");
    job.WriteDword(L"BOTH_DIRECTIONS", 1);
    nameSpace_ = bench::OutlookNameSpace(sim_);
    engine_ = new CSyncEngine(nameSpace_.Get(), (Temp() + L"outlook_thread_bench_debug.log").c_str());
    g_pSyncEngine = engine_;
    engine_->SetSettingsLoaded(true);
    sim_->AttachUiThread();
  }
  ~PageWorld() {
    dialog_.Close();
    ReleasePageFolder();
    sim_->DetachUiThread();
    g_pSyncEngine = nullptr;
    delete engine_;
    nameSpace_.Reset();
    sim_->Reset();
    bench::ClearRegistry();
  }

  // Opens the dialog with the one page for `folder` (empty: the Options
  // dialog) and closes it again; the time of the opening.
  bench::Split Open(const wchar_t* progId, const std::wstring& folder) {
    ReleasePageFolder();
    if (!folder.empty()) g_pPageFolder = bench::OutlookFolder(sim_, folder).Detach();
    std::vector<std::wstring> report;
    bool opened = false;
    bench::Split s = bench::Measure([&] { opened = dialog_.Open(folder.empty() ? L"Options" : L"Properties", {progId}, &report); });
    if (!opened || !report.empty()) s.totalMs = -1;
    dialog_.Close();
    return s;
  }
  const std::wstring& Team() const { return team_; }
  const std::wstring& Contacts() const { return contacts_; }
  IDispatch* NameSpace() const { return nameSpace_.Get(); }

 private:
  sim::ISimControl* sim_;
  std::wstring store_, team_, contacts_;
  com::ComPtr<IDispatch> nameSpace_;
  CSyncEngine* engine_ = nullptr;
  host::OptionsDialog dialog_;
};

struct PageKind {
  const char* name;
  const wchar_t* progId;
  bool forTeam, forContacts;
};

void MeasurePages(sim::ISimControl* sim, int n) {
  const PageKind kinds[] = {{"options page", L"Tallowby.MainPropPage", false, false},
                            {"replication page", L"Tallowby.TallowbyPropPage", true, false},
                            {"default-folder page", L"Tallowby.StandardPropPage", false, true}};
  bench::SplitFigures empty[3], full[3];
  bool failed = false;
  for (int size : {0, n}) {
    PageWorld world(sim, size);
    bench::WatchOutlookClasses(world.NameSpace(), world.Team());
    for (int r = 0; r < bench::Repetitions(7); ++r) {
      for (int k = 0; k < 3; ++k) {
        const std::wstring folder = kinds[k].forTeam ? world.Team() : kinds[k].forContacts ? world.Contacts() : L"";
        bench::Split s = world.Open(kinds[k].progId, folder);
        if (s.totalMs < 0) failed = true;
        (size ? full : empty)[k].Add(s);
      }
    }
  }
  for (int k = 0; k < 3; ++k) {
    std::printf("  %7d  %-20s %10s %6s %12s %10s  empty folder: %s%s\n", n, kinds[k].name,
                bench::Ms(full[k].total.Min()).c_str(), bench::Spread(full[k].total).c_str(),
                bench::Ms(full[k].wrapper.Min()).c_str(), bench::Ms(full[k].own.Min()).c_str(),
                bench::Ms(empty[k].total.Min()).c_str(), failed ? "; A PAGE DID NOT OPEN" : "");
  }
  std::printf("  %7d  replication page, calls: %s\n", n, bench::CallsPerItem(full[1].lastCalls, 1, 1).c_str());
}

}  // namespace

int main() {
  bench::Program program(L"outlook_thread_bench", true);
  sim::ISimControl* sim = program.Sim();
  g_hInstance = LoadLibraryW(L"Tallowby.dll");  // the pages' dialogs and strings
  if (!sim || !g_hInstance) return 2;
  host::SetPageFactory(&MakePage);

  bench::Section("Item events on Outlook's thread",
                 "the sink of a master folder; per event: median time, and the add-in's own work beside its calls "
                 "into Outlook's objects and the wrapper (median, 99th and 99.9th percentile, slowest); the slowest "
                 "events of a loaded machine include the thread's preemption, which strikes every kind alike, so an "
                 "event that waits for a lock shows as more events over 1 ms than the others");
  std::printf("  %7s  %-10s %10s %10s %10s %10s %10s %8s\n", "items", "event", "time", "own work", "own 99%", "own 99.9%",
              "slowest", "> 1 ms");
  for (int n : {1000, 10000}) MeasureEvents(sim, n);
  bench::Note("the same while another job's worker runs its first pass of 10,000 items and follows 100 deletions:");
  MeasureEventsWhileWorkerRuns(sim, 10000);

  bench::Section("Option pages on Outlook's thread",
                 "opening the dialog with the page (creation, activation, the page's first fill); minimum of the runs");
  std::printf("  %7s  %-20s %10s %6s %12s %10s\n", "items", "page", "time", "spread", "calls", "own work");
  MeasurePages(sim, 10000);

  bench::ReportErrors();
  host::SetPageFactory(nullptr);
  return 0;
}
