// exchange_bench: the incremental run of a one-way contacts job in a
// mailbox: the master folder "Team" and the mailbox's default Contacts
// folder. The first run after N new items arrived in the master folder
// (1,000, 10,000 and 100,000), a run with nothing changed, a run after 1%
// of the items changed and a run from nothing (a sync state given up) with
// every item in step, each split into the wrapper calls it made and the
// add-in's own work, next to the store's own copy of the same items; the run
// from nothing also gives the items it wrote.
#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_support.h"
#include "bstr.h"
#include "clock.h"
#include "exchange_sync.h"
#include "folder_object.h"
#include "item_identity.h"
#include "locks.h"
#include "logs.h"
#include "rdo_folder.h"
#include "sync_engine.h"
#include "variant.h"

namespace {

using bench::Split;
using bench::SplitFigures;

constexpr long kContactsFolder = 10;
constexpr long kOpenFlags = 16;

// The state files of an earlier world would name folders of this one (the
// world's ids start again after a reset).
void ClearDataFolder(const std::wstring& folder) {
  WIN32_FIND_DATAW found;
  HANDLE h = FindFirstFileW((folder + L"*").c_str(), &found);
  if (h == INVALID_HANDLE_VALUE) return;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) DeleteFileW((folder + found.cFileName).c_str());
  } while (FindNextFileW(h, &found));
  FindClose(h);
}

class MailboxWorld {
 public:
  MailboxWorld(sim::ISimControl* sim, CSyncEngine* engine, int n);
  ~MailboxWorld();
  bool Ready() const { return ready_; }
  Split StoreCopy() { return bench::StoreCopy(session_.Get(), mailbox_, scratchId_, items_); }
  Split Run() { return bench::Measure([&] { RCI(master_, session_.Get(), utils_.Get()); }); }
  void ChangeOnePercent() { bench::ChangeOnePercent(sim_, items_); }
  size_t Copies() { return sim_->Items(default_->Events->EntryID.Str()).size(); }
  // A run from nothing, as after a sync state the server no longer keeps:
  // every item is reported again, and every copy is in step.
  Split RunFromNothing() {
    master_->SyncData.Reset();
    sim_->ClearCalls();
    return Run();
  }
  // The items written (copied onto, saved, deleted) since the record was
  // emptied.
  size_t ItemWrites() {
    size_t writes = 0;
    for (const sim::SimCall& call : sim_->Calls())
      writes += call.op == L"Message.CopyTo" || call.op == L"Message.Save" || call.op == L"Message.Delete";
    return writes;
  }

 private:
  CMAPIFolderObject* FolderObject(const std::wstring& entryId, int isStandard, const wchar_t* category);

  sim::ISimControl* sim_;
  CSyncEngine* engine_;
  std::wstring mailbox_, scratchId_;
  std::vector<std::wstring> items_;
  com::ComPtr<IRdoSession> session_;
  com::ComPtr<IRdoUtils> utils_;
  CMAPIFolderObject* master_ = nullptr;
  CMAPIFolderObject* default_ = nullptr;
  bool ready_ = false;
};

MailboxWorld::MailboxWorld(sim::ISimControl* sim, CSyncEngine* engine, int n) : sim_(sim), engine_(engine) {
  sim_->Reset();
  ClearDataFolder(engine->DataDir);
  sim::SimStore mailbox;
  mailbox.name = L"Mailbox";
  mailbox.kind = 3;
  mailbox.isDefault = true;
  mailbox_ = sim_->AddStore(mailbox);
  const std::wstring root = sim_->DefaultFolder(mailbox_, 0);
  const std::wstring team = sim_->AddFolder(root, L"Team", 2);
  scratchId_ = sim_->AddFolder(root, L"Scratch", 2);
  session_ = bench::NewSession();
  utils_ = bench::NewUtils();
  if (!session_ || !utils_) return;
  master_ = FolderObject(team, 0, L"Team");
  default_ = FolderObject(sim_->DefaultFolder(mailbox_, kContactsFolder), 1, L"");
  master_->Partner = default_;
  // The worker's set-up: a folder without state takes its present contents
  // (none) as the starting point.
  for (CMAPIFolderObject* f : {master_, default_}) {
    if (FAILED(OpenRdoFolder(f, session_.Get(), utils_.Get()))) return;
    if (f->SyncData.Empty()) {
      f->SyncStateReset = true;
      RCI(f, session_.Get(), utils_.Get());
    }
  }
  items_.reserve(size_t(n));
  for (int i = 0; i < n; ++i) {
    sim::SimItem item;
    item.messageClass = L"IPM.Contact";
    item.subject = L"Contact " + std::to_wstring(i);
    items_.push_back(sim_->AddItem(team, item));
  }
  ready_ = true;
}

CMAPIFolderObject* MailboxWorld::FolderObject(const std::wstring& entryId, int isStandard, const wchar_t* category) {
  auto* f = new CMAPIFolderObject(bench::OutlookFolder(sim_, entryId).Get(), isStandard, true, false, false);
  f->Events->BOTH_DIRECTIONS = isStandard != 0;
  SetFolderCategory(f->Categorie, category);
  if (!isStandard) bench::CreateJobKey(entryId);
  engine_->AddFolderObject(f);
  return f;
}

MailboxWorld::~MailboxWorld() {
  while (CMAPIFolderObject* f = engine_->TakeFirstFolderObject()) delete f;
  bench::ClearRegistry();
  utils_.Reset();
  session_.Reset();
  sim_->Reset();
}

struct RunFigures {
  int n = 0;
  SplitFigures store, first, idle, changed, fromNothing;
  bool copiedAll = true;
  size_t fromNothingWrites = 0;
};

RunFigures MeasureRuns(sim::ISimControl* sim, CSyncEngine* engine, int n) {
  RunFigures f;
  f.n = n;
  const double start = bench::NowMs();
  for (int r = 0; bench::AnotherRepetition(n, r, bench::NowMs() - start); ++r) {
    MailboxWorld world(sim, engine, n);
    if (!world.Ready()) {
      std::printf("set-up failed for %d items\n", n);
      return f;
    }
    f.store.Add(world.StoreCopy());
    f.first.Add(world.Run());
    if (world.Copies() != size_t(n)) f.copiedAll = false;
    bench::LetClockTimePass();
    f.idle.Add(world.Run());
    bench::LetClockTimePass();
    world.ChangeOnePercent();
    f.changed.Add(world.Run());
    bench::LetClockTimePass();
    f.fromNothing.Add(world.RunFromNothing());
    f.fromNothingWrites = std::max(f.fromNothingWrites, world.ItemWrites());
  }
  return f;
}

void PrintRuns(const RunFigures& f) {
  const double store = f.store.total.Min(), first = f.first.total.Min();
  char remark[200];
  bench::SplitRow(f.n, "store's own copy", f.store, "the floor of the first run");
  std::snprintf(remark, sizeof remark, "run %s, own work %s the store's copy%s", bench::Times(first / store).c_str(),
                bench::Times(f.first.own.Min() / store).c_str(), f.copiedAll ? "" : "; COPIED TOO LITTLE");
  bench::SplitRow(f.n, "first run, all new", f.first, remark);
  std::snprintf(remark, sizeof remark, "%.2f%% of the first run (target: under 2%%)", 100.0 * f.idle.total.Min() / first);
  bench::SplitRow(f.n, "run with nothing changed", f.idle, remark);
  std::snprintf(remark, sizeof remark, "%.2f%% of the first run", 100.0 * f.changed.total.Min() / first);
  bench::SplitRow(f.n, "run after 1% changed", f.changed, remark);
  std::snprintf(remark, sizeof remark, "%zu item writes (target: none)", f.fromNothingWrites);
  bench::SplitRow(f.n, "run from nothing, all in step", f.fromNothing, remark);
  std::printf("  %7d  first run, wrapper calls per item: %s\n", f.n, bench::CallsPerItem(f.first.lastCalls, f.n).c_str());
  std::printf("  %7d  run with nothing changed, calls:   %s\n", f.n, bench::CallsPerItem(f.idle.lastCalls, 1, 1).c_str());
}

void PrintGrowth(const std::vector<RunFigures>& all) {
  for (size_t i = 1; i < all.size(); ++i) {
    const RunFigures &a = all[i - 1], &b = all[i];
    std::printf("  from %d to %d items the first run grows %s; its wrapper calls %.1f times, its own work %.1f "
                "times, the store's copy %.1f times\n",
                a.n, b.n, bench::Growth(a.n, b.n, a.first.total.Min(), b.first.total.Min()).c_str(),
                b.first.wrapper.Min() / a.first.wrapper.Min(), b.first.own.Min() / a.first.own.Min(),
                b.store.total.Min() / a.store.total.Min());
  }
}

}  // namespace

int main() {
  bench::Program program(L"exchange_bench");
  sim::ISimControl* sim = program.Sim();
  if (!sim) return 2;
  CSyncEngine* engine = program.Engine();
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  const std::wstring data = std::wstring(temp) + L"exchange_bench_data\\";
  CreateDirectoryW(data.c_str(), nullptr);
  wcsncpy(engine->DataDir, data.c_str(), MAX_PATH - 1);
  engine->LockTime = 60;

  bench::Section("Exchange incremental run",
                 "one-way contacts job in a mailbox (master folder and the default Contacts folder); minimum of "
                 "the runs, spread = (slowest - fastest) / fastest");
  bench::SplitHeader("items");
  std::vector<RunFigures> all;
  // Every size, 100,000 items too, whatever the growth projects: the first
  // run's growth to 100,000 is a figure of its own.
  for (int n : bench::Sizes()) {
    all.push_back(MeasureRuns(sim, engine, n));
    PrintRuns(all.back());
  }
  PrintGrowth(all);
  bench::ReportErrors();
  ClearDataFolder(data);
  RemoveDirectoryW(data.c_str());
  return 0;
}
