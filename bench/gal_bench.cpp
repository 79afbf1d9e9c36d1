// gal_bench: the copy of one server address list of N entries (1,000,
// 10,000 and 100,000 where a run ends within a few minutes) into its
// "TWY.<list>" subfolder of the default Contacts folder: the first copy,
// the second run (which gives every copy its category), a run with nothing
// changed and a run after 1% of the entries changed, each split into the
// wrapper calls it made and the add-in's own work, next to the directory's
// own copy of the same entries into a folder.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench_support.h"
#include "bstr.h"
#include "clock.h"
#include "gal_sync.h"
#include "locks.h"
#include "logs.h"
#include "registry.h"
#include "sync_engine.h"
#include "variant.h"

namespace {

using bench::Split;
using bench::SplitFigures;

constexpr wchar_t kListName[] = L"Company";
constexpr long kContactsFolder = 10;

sim::SimAddressEntry Person(int i, const std::wstring& title = L"") {
  const std::wstring first = L"First" + std::to_wstring(i), last = L"Last" + std::to_wstring(i);
  sim::SimAddressEntry e;
  e.name = first + L" " + last + title;
  e.smtp = L"first" + std::to_wstring(i) + L".last@example.com";
  e.alias = L"fl" + std::to_wstring(i);
  e.firstName = first;
  e.lastName = last;
  return e;
}

// The directory, the store and the registry choices of one measurement.
class DirectoryWorld {
 public:
  DirectoryWorld(sim::ISimControl* sim, int n) : sim_(sim), n_(n) {
    sim_->Reset();
    sim::SimStore personal;
    personal.isDefault = true;
    store_ = sim_->AddStore(personal);
    scratch_ = sim_->AddFolder(sim_->DefaultFolder(store_, 0), L"Scratch", 2);
    for (int i = 0; i < n; ++i) entries_.push_back(Person(i));
    sim_->SetAddressList(kListName, L"", entries_);
    reg::Key chosen;
    chosen.Create(HKEY_CURRENT_USER, (std::wstring(reg::kGalFoldersPath) + L"\\" + kListName).c_str());
    config_.Create(HKEY_CURRENT_USER, reg::kConfigPath);
    // Ten years: no copy falls due for its periodic refresh during the runs.
    config_.WriteDword(reg::kGalSyncAllxDays, 3650);
  }
  ~DirectoryWorld() {
    bench::ClearRegistry();
    sim_->Reset();
  }

  // A run as the next start makes it after the options page was applied.
  Split Run() {
    config_.DeleteValue(reg::kLastGalSync);
    return bench::Measure([] { syncGAL({true, L"", nullptr}); });
  }
  void ChangeOnePercent() {
    for (int i = 0; i < n_; i += 100) entries_[size_t(i)] = Person(i, L" (new title)");
    sim_->SetAddressList(kListName, L"", entries_);
  }
  size_t Copies() {
    for (const std::wstring& f : Subfolders())
      if (!f.empty()) return sim_->Items(f).size();
    return 0;
  }
  // What the directory takes to copy every entry into a folder itself.
  Split DirectoryCopy();

 private:
  std::vector<std::wstring> Subfolders();

  sim::ISimControl* sim_;
  int n_;
  std::wstring store_, scratch_;
  std::vector<sim::SimAddressEntry> entries_;
  reg::Key config_;
};

std::vector<std::wstring> DirectoryWorld::Subfolders() {
  std::vector<std::wstring> ids;
  com::ComPtr<IRdoSession> session = bench::NewSession();
  com::ComPtr<IRdoFolder> contacts, sub;
  com::ComPtr<IRdoFolders> folders;
  if (!session || FAILED(session->GetDefaultFolder(kContactsFolder, contacts.Put())) || !contacts ||
      FAILED(contacts->get_Folders(folders.Put())) || !folders)
    return ids;
  long count = 0;
  folders->get_Count(&count);
  for (long i = 1; i <= count; ++i) {
    com::Bstr id;
    if (SUCCEEDED(folders->Item(com::Variant(i), sub.Put())) && sub && SUCCEEDED(sub->get_EntryID(id.Put())))
      ids.push_back(id.Str());
  }
  return ids;
}

Split DirectoryWorld::DirectoryCopy() {
  com::ComPtr<IRdoSession> session = bench::NewSession();
  com::ComPtr<IRdoFolder> scratch;
  com::ComPtr<IRdoAddressBook> book;
  com::ComPtr<IRdoAddressLists> lists;
  com::ComPtr<IRdoAddressList> list;
  com::ComPtr<IRdoAddressEntries> entries;
  session->GetFolderById(com::Bstr(scratch_), com::Variant(store_.c_str()), com::Variant(16L), scratch.Put());
  session->get_AddressBook(book.Put());
  if (!book || FAILED(book->AddressLists(VARIANT_FALSE, lists.Put())) || !lists ||
      FAILED(lists->Item(com::Variant(1L), list.Put())) || !list || FAILED(list->get_Entries(entries.Put())))
    return {};
  const com::Variant target(static_cast<IDispatch*>(scratch.Get()));
  return bench::Measure([&] {
    long count = 0;
    entries->get_Count(&count);
    for (long j = 1; j <= count; ++j) {
      com::ComPtr<IRdoAddressEntry> entry;
      com::ComPtr<IRdoMessage> copy;
      if (SUCCEEDED(entries->Item(com::Variant(j), entry.Put())) && entry) entry->CopyTo(target, copy.Put());
    }
  });
}

struct GalFigures {
  int n = 0;
  SplitFigures directory, first, second, idle, changed;
  bool copiedAll = true;
};

GalFigures MeasureRuns(sim::ISimControl* sim, int n) {
  GalFigures f;
  f.n = n;
  const double start = bench::NowMs();
  for (int r = 0; bench::AnotherRepetition(n, r, bench::NowMs() - start); ++r) {
    DirectoryWorld world(sim, n);
    f.directory.Add(world.DirectoryCopy());
    f.first.Add(world.Run());
    if (world.Copies() != size_t(n)) f.copiedAll = false;
    f.second.Add(world.Run());
    f.idle.Add(world.Run());
    world.ChangeOnePercent();
    f.changed.Add(world.Run());
  }
  return f;
}

void PrintRuns(const GalFigures& f) {
  const double first = f.first.total.Min();
  char remark[200];
  bench::SplitRow(f.n, "directory's own copy", f.directory, "the floor of the first copy");
  std::snprintf(remark, sizeof remark, "%s the directory's copy%s", bench::Times(first / f.directory.total.Min()).c_str(),
                f.copiedAll ? "" : "; COPIED TOO LITTLE");
  bench::SplitRow(f.n, "first copy", f.first, remark);
  std::snprintf(remark, sizeof remark, "%.1f%% of the first (every copy gets its category)",
                100.0 * f.second.total.Min() / first);
  bench::SplitRow(f.n, "second run", f.second, remark);
  std::snprintf(remark, sizeof remark, "%.1f%% of the first (target: under 5%%)", 100.0 * f.idle.total.Min() / first);
  bench::SplitRow(f.n, "run with nothing changed", f.idle, remark);
  std::snprintf(remark, sizeof remark, "%.1f%% of the first", 100.0 * f.changed.total.Min() / first);
  bench::SplitRow(f.n, "run after 1% changed", f.changed, remark);
  std::printf("  %7d  first copy, wrapper calls per entry: %s\n", f.n, bench::CallsPerItem(f.first.lastCalls, f.n).c_str());
  std::printf("  %7d  run with nothing changed, per entry: %s\n", f.n, bench::CallsPerItem(f.idle.lastCalls, f.n).c_str());
}

}  // namespace

int main() {
  bench::Program program(L"gal_bench");
  sim::ISimControl* sim = program.Sim();
  if (!sim) return 2;
  g_bShutdown = false;

  bench::Section("Address-list copy",
                 "one server list copied into its subfolder of the default Contacts folder; minimum of the runs, "
                 "spread = (slowest - fastest) / fastest");
  bench::SplitHeader("entries");
  bench::ForEachSize("first copy", [&](int n) {
    GalFigures f = MeasureRuns(sim, n);
    PrintRuns(f);
    return f.first.total.Min();
  });
  bench::ReportErrors();
  return 0;
}
