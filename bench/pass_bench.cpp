// pass_bench: the personal-folder pass of a one-way contacts job whose
// master folder (1,000, 10,000 and 100,000 contacts) lies in a second store
// and whose default folder is the Contacts folder of the default store: the
// first full pass, an idle pass and a pass after 1% of the items changed,
// each split into the wrapper calls it made and the add-in's own work, next
// to the time the store itself takes to copy the same items. Then the
// process's private bytes during and after a first pass of 10,000 items and
// across ten idle passes after it.
//
// The pauses the pass makes on purpose (20 ms per item in the walk, 2 ms per
// item in the processing, 10 ms per row in FillDeleteList) are counted and
// shown apart, and not slept: the clock's Sleep returns at once here, so the
// figures hold the work alone.
#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench_support.h"
#include "bstr.h"
#include "clock.h"
#include "folder_object.h"
#include "item_identity.h"
#include "locks.h"
#include "logs.h"
#include "sync_engine.h"
#include "sync_seams.h"
#include "variant.h"

namespace {

using bench::Figure;
using bench::Split;
using bench::SplitFigures;

constexpr long kContactsFolder = 10;
constexpr long kOpenFlags = 16;

// The job's two folders, their folder objects and a scratch folder for the
// store's own copy, in a world of their own.
class PassWorld {
 public:
  PassWorld(sim::ISimControl* sim, int n);
  ~PassWorld();
  bool Ready() const { return master_ && session_ && utils_; }

  Split StoreCopy() { return bench::StoreCopy(session_.Get(), masterStore_, scratchId_, items_); }
  Split FillDeleteList() {
    return bench::Measure([&] { ::FillDeleteList(master_, session_.Get(), utils_.Get()); });
  }
  Split Pass() {
    return bench::Measure([&] { checkIfSomethingChanged(master_, session_.Get(), utils_.Get()); });
  }
  void ChangeOnePercent() { bench::ChangeOnePercent(sim_, items_); }
  size_t Copies() { return sim_->Items(slave_->Events->EntryID.Str()).size(); }

 private:
  sim::ISimControl* sim_;
  std::wstring masterStore_, scratchId_;
  std::vector<std::wstring> items_;
  com::ComPtr<IRdoSession> session_;
  com::ComPtr<IRdoUtils> utils_;
  CMAPIFolderObject* master_ = nullptr;
  CMAPIFolderObject* slave_ = nullptr;
};

PassWorld::PassWorld(sim::ISimControl* sim, int n) : sim_(sim) {
  sim_->Reset();
  sim::SimStore personal;
  personal.isDefault = true;
  const std::wstring defaultStore = sim_->AddStore(personal);
  sim::SimStore archive;
  archive.name = L"Archive";
  masterStore_ = sim_->AddStore(archive);
  const std::wstring root = sim_->DefaultFolder(masterStore_, 0);
  const std::wstring masterId = sim_->AddFolder(root, L"Work", 2);
  scratchId_ = sim_->AddFolder(root, L"Scratch", 2);
  items_.reserve(size_t(n));
  for (int i = 0; i < n; ++i) {
    sim::SimItem item;
    item.messageClass = L"IPM.Contact";
    item.subject = L"Contact " + std::to_wstring(i);
    items_.push_back(sim_->AddItem(masterId, item));
  }
  session_ = bench::NewSession();
  utils_ = bench::NewUtils();
  if (!session_ || !utils_) return;

  bench::CreateJobKey(masterId);
  master_ = new CMAPIFolderObject(bench::OutlookFolder(sim_, masterId).Get(), 0, false, false, false);
  SetFolderCategory(master_->Categorie, L"Work");
  slave_ = new CMAPIFolderObject(bench::OutlookFolder(sim_, sim_->DefaultFolder(defaultStore, kContactsFolder)).Get(),
                                 1, false, false, false);
  slave_->Events->BOTH_DIRECTIONS = true;
  master_->Partner = slave_;
  master_->LastFolderSyncTime = com::DateTime(2.0);
}

PassWorld::~PassWorld() {
  delete master_;
  delete slave_;
  bench::ClearRegistry();
  utils_.Reset();
  session_.Reset();
  sim_->Reset();
}

struct PassFigures {
  int n = 0;
  SplitFigures store, fill, first, idle, changed;
  uint64_t pausesMs = 0;  // asked for by one first pass, not slept
  bool copiedAll = true;
};

PassFigures MeasurePasses(sim::ISimControl* sim, int n) {
  PassFigures f;
  f.n = n;
  const double start = bench::NowMs();
  for (int r = 0; bench::AnotherRepetition(n, r, bench::NowMs() - start); ++r) {
    PassWorld world(sim, n);
    if (!world.Ready()) {
      std::printf("set-up failed for %d contacts\n", n);
      return f;
    }
    f.store.Add(world.StoreCopy());
    f.fill.Add(world.FillDeleteList());
    const uint64_t paused = clk::PausedClockMs();
    f.first.Add(world.Pass());
    f.pausesMs = clk::PausedClockMs() - paused;
    if (world.Copies() != size_t(n)) f.copiedAll = false;
    bench::LetClockTimePass();
    f.idle.Add(world.Pass());
    bench::LetClockTimePass();
    world.ChangeOnePercent();
    f.changed.Add(world.Pass());
  }
  return f;
}

void PrintPasses(const PassFigures& f) {
  const double store = f.store.total.Min();
  char remark[200];
  bench::SplitRow(f.n, "store's own copy", f.store, "the floor of the first pass");
  bench::SplitRow(f.n, "delete-list walk", f.fill, "");
  std::snprintf(remark, sizeof remark, "pass %s, own work %s the store's copy; pauses not slept %.0f s%s",
                bench::Times(f.first.total.Min() / store).c_str(), bench::Times(f.first.own.Min() / store).c_str(),
                double(f.pausesMs) / 1000.0, f.copiedAll ? "" : "; COPIED TOO LITTLE");
  bench::SplitRow(f.n, "first pass", f.first, remark);
  std::snprintf(remark, sizeof remark, "%.2f%% of the first pass", 100.0 * f.idle.total.Min() / f.first.total.Min());
  bench::SplitRow(f.n, "idle pass", f.idle, remark);
  std::snprintf(remark, sizeof remark, "%.2f%% of the first pass", 100.0 * f.changed.total.Min() / f.first.total.Min());
  bench::SplitRow(f.n, "pass after 1% changed", f.changed, remark);
  std::printf("  %7d  first pass, wrapper calls per item: %s\n", f.n,
              bench::CallsPerItem(f.first.lastCalls, f.n).c_str());
  std::printf("  %7d  store's own copy, per item:         %s\n", f.n,
              bench::CallsPerItem(f.store.lastCalls, f.n).c_str());
}

void PrintGrowth(const std::vector<PassFigures>& all) {
  for (size_t i = 1; i < all.size(); ++i) {
    const PassFigures &a = all[i - 1], &b = all[i];
    std::printf("  from %d to %d items the first pass grows %s, the store's copy %.1f times\n", a.n, b.n,
                bench::Growth(a.n, b.n, a.first.total.Min(), b.first.total.Min()).c_str(),
                b.store.total.Min() / a.store.total.Min());
  }
}

// About what the simulation's record of `calls` occupies: their texts in
// large blocks and one entry each.
double RecordBytes(const std::vector<sim::SimCall>& calls) {
  double chars = 0;
  for (const sim::SimCall& c : calls) chars += double(c.detail.size());
  return chars * sizeof(wchar_t) + double(calls.size()) * 32.0;
}

// Private bytes during and after a first pass, and across ten idle passes.
void MeasureMemory(sim::ISimControl* sim, int n) {
  PassWorld world(sim, n);
  if (!world.Ready()) return;
  sim->ClearCalls();
  const uint64_t beforeCopy = bench::PrivateBytes();
  world.StoreCopy();
  sim->ClearCalls();
  const uint64_t afterCopy = bench::PrivateBytes();
  world.FillDeleteList();
  sim->ClearCalls();
  const uint64_t before = bench::PrivateBytes();
  uint64_t peak = 0;
  {
    bench::PeakSampler sampler;
    world.Pass();
    peak = sampler.Peak();
  }
  const double record = RecordBytes(sim->Calls());
  sim->ClearCalls();
  const uint64_t after = bench::PrivateBytes();
  uint64_t highest = after, last = after;
  for (int i = 0; i < 10; ++i) {
    bench::LetClockTimePass();
    world.Pass();
    sim->ClearCalls();
    last = bench::PrivateBytes();
    highest = std::max(highest, last);
  }
  std::printf("  %7d  private bytes before the first pass %s; during it at most %s more, after it %s more\n", n,
              bench::Mb(double(before)).c_str(), bench::Mb(double(peak) - double(before)).c_str(),
              bench::Mb(double(after) - double(before)).c_str());
  std::printf("  %7d  of which the simulation's record of the pass's wrapper calls: about %s\n", n,
              bench::Mb(record).c_str());
  std::printf("  %7d  the store's own copy of the same items takes %s (the floor: the copies themselves)\n", n,
              bench::Mb(double(afterCopy) - double(beforeCopy)).c_str());
  std::printf("  %7d  ten idle passes after it: %s at the end, at most %s above the first pass's end\n", n,
              bench::Mb(double(last) - double(after)).c_str(), bench::Mb(double(highest) - double(after)).c_str());
}

}  // namespace

int main() {
  bench::Program program(L"pass_bench");
  sim::ISimControl* sim = program.Sim();
  if (!sim) return 2;
  program.Engine();

  // First, while the process is fresh: later worlds leave their memory to
  // the heap, which would hide what a pass takes.
  bench::Section("Memory of the personal-folder pass", "the process's private bytes");
  MeasureMemory(sim, 10000);

  bench::Section("Personal-folder pass",
                 "one-way contacts job, master in a second store; each time the minimum of the runs, spread = "
                 "(slowest - fastest) / fastest; wrapper calls timed where the pass makes them");
  bench::SplitHeader("items");
  std::vector<PassFigures> all;
  bench::ForEachSize("first pass", [&](int n) {
    all.push_back(MeasurePasses(sim, n));
    PrintPasses(all.back());
    return all.back().first.total.Min();
  });
  PrintGrowth(all);
  bench::ReportErrors();
  return 0;
}
