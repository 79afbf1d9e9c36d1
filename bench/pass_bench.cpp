// pass_bench: times the personal-folder pass of a one-way contacts job with
// 1,000 and 10,000 contacts in the master: the first full pass, an idle pass
// and a pass after 1% of the items changed, next to the time the simulated
// store itself takes to copy the same items.
//
// The pauses the pass makes on purpose (20 ms per item in the walk, 2 ms per
// item in the processing, 10 ms per row in FillDeleteList) are counted and
// shown apart, and not slept: the clock's Sleep returns at once here, so the
// work times hold the work alone, measured as the store copy is, without a
// thread that wakes a thousand times with cold caches.
#include <windows.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "clock.h"
#include "control/sim_control.h"
#include "folder_object.h"
#include "item_identity.h"
#include "locks.h"
#include "logs.h"
#include "sync_engine.h"
#include "sync_seams.h"
#include "variant.h"

namespace {

constexpr long kContactsFolder = 10;

double NowMs() {
  LARGE_INTEGER f{}, c{};
  QueryPerformanceFrequency(&f);
  QueryPerformanceCounter(&c);
  return double(c.QuadPart) * 1000.0 / double(f.QuadPart);
}

// Work time and the pauses asked for meanwhile (not slept).
struct Timing {
  double workMs = 0;
  uint64_t pausesMs = 0;
  double WorkMs() const { return workMs; }
};

template <typename F>
Timing Measure(F&& body) {
  const uint64_t paused = clk::PausedClockMs();
  const double start = NowMs();
  body();
  return {NowMs() - start, clk::PausedClockMs() - paused};
}

// A minute of the add-in's clock between passes, so that later changes lie
// beyond the pass's tolerance of a few seconds (clk::Sleep skips its pauses
// here, so the real wait is taken directly).
void LetClockTimePass(DWORD clockMs) { ::Sleep(clk::RealMs(clockMs)); }

sim::ISimControl* Control() {
  HMODULE m = LoadLibraryW(L"simrdo.dll");
  if (!m) return nullptr;
  using RegisterFn = HRESULT(STDAPICALLTYPE*)();
  if (auto reg = reinterpret_cast<RegisterFn>(GetProcAddress(m, "DllRegisterServer"))) reg();
  auto get = reinterpret_cast<sim::SimGetControlFn>(GetProcAddress(m, "SimGetControl"));
  return get ? get() : nullptr;
}

class Bench {
 public:
  Bench(sim::ISimControl* control, int n) : sim_(control), n_(n) {}
  bool Run();

 private:
  bool Build();
  double StoreCopyMs();
  // What one call of each wrapper operation the pass uses costs on its own,
  // in microseconds, measured on the copies StoreCopyMs made.
  std::map<std::wstring, double> UnitCostsUs();
  void PrintFloor(const std::vector<sim::SimCall>& calls, const Timing& pass, double storeMs);
  HRESULT Pass() { return checkIfSomethingChanged(master_, session_.Get(), utils_.Get()); }
  void Print(const char* what, const Timing& t, double storeMs);

  sim::ISimControl* sim_;
  int n_;
  std::wstring masterStore_, masterId_, scratchId_;
  std::vector<std::wstring> items_, scratchItems_;
  com::ComPtr<IRdoSession> session_;
  com::ComPtr<IRdoUtils> utils_;
  CMAPIFolderObject* master_ = nullptr;
  CMAPIFolderObject* slave_ = nullptr;
};

bool Bench::Build() {
  sim_->Reset();
  sim::SimStore personal;
  personal.isDefault = true;
  std::wstring defaultStore = sim_->AddStore(personal);
  sim::SimStore archive;
  archive.name = L"Archive";
  masterStore_ = sim_->AddStore(archive);
  std::wstring root = sim_->DefaultFolder(masterStore_, 0);
  masterId_ = sim_->AddFolder(root, L"Work", 2);
  scratchId_ = sim_->AddFolder(root, L"Scratch", 2);
  for (int i = 0; i < n_; ++i) {
    sim::SimItem item;
    item.messageClass = L"IPM.Contact";
    item.subject = L"Contact " + std::to_wstring(i);
    items_.push_back(sim_->AddItem(masterId_, item));
  }
  if (FAILED(CreateRdoObject(kRdoSessionProgId, __uuidof(IRdoSession), session_.PutVoid())) ||
      FAILED(CreateRdoObject(kRdoUtilsProgId, __uuidof(IRdoUtils), utils_.PutVoid())))
    return false;
  com::Variant none;
  session_->Logon(none, none, none, none, none, none);

  master_ = new CMAPIFolderObject(nullptr, 0, false, false, false);
  master_->Events->EntryID = com::Bstr(masterId_);
  master_->Events->StoreID = com::Bstr(masterStore_);
  SetFolderCategory(master_->Categorie, L"Work");
  slave_ = new CMAPIFolderObject(nullptr, 1, false, false, false);
  slave_->Events->EntryID = com::Bstr(sim_->DefaultFolder(defaultStore, kContactsFolder));
  slave_->Events->StoreID = com::Bstr(defaultStore);
  slave_->Events->BOTH_DIRECTIONS = true;
  master_->Partner = slave_;
  master_->LastFolderSyncTime = com::DateTime(2.0);
  return true;
}

// What the store takes to copy every master item into another folder
// through the same wrapper: open the item, copy it, save the copy.
double Bench::StoreCopyMs() {
  com::ComPtr<IRdoFolder> scratch;
  session_->GetFolderById(com::Bstr(scratchId_), com::Variant(masterStore_.c_str()), com::Variant(16L), scratch.Put());
  const double start = NowMs();
  for (const std::wstring& id : items_) {
    com::ComPtr<IRdoMessage> item, copy;
    session_->GetMessageById(com::Bstr(id), com::Variant(masterStore_.c_str()), com::Variant(16L), item.Put());
    if (!item) continue;
    item->CopyTo(com::Variant(static_cast<IDispatch*>(scratch.Get())), copy.Put());
    if (copy) copy->Save();
  }
  const double ms = NowMs() - start;
  scratchItems_ = sim_->Items(scratchId_);
  return ms;
}

std::map<std::wstring, double> Bench::UnitCostsUs() {
  std::map<std::wstring, double> us;
  const com::Variant store(masterStore_.c_str()), flags(16L);
  const double n = double(scratchItems_.size());
  if (n == 0) return us;
  double start = NowMs();
  for (size_t i = 0; i < scratchItems_.size(); ++i) {
    com::ComPtr<IRdoFolder> folder;
    session_->GetFolderById(com::Bstr(scratchId_), store, flags, folder.Put());
  }
  us[L"Session.GetFolderById"] = (NowMs() - start) * 1000.0 / n;

  std::vector<com::ComPtr<IRdoMessage>> opened;
  opened.reserve(scratchItems_.size());
  start = NowMs();
  for (const std::wstring& id : scratchItems_) {
    com::ComPtr<IRdoMessage> message;
    session_->GetMessageById(com::Bstr(id), store, flags, message.Put());
    opened.push_back(std::move(message));
  }
  us[L"Session.GetMessageById"] = (NowMs() - start) * 1000.0 / n;

  std::vector<std::wstring> keys;
  for (auto& message : opened) {
    com::Variant key;
    com::Bstr hex;
    if (message && SUCCEEDED(utils_->GetPropByTag(message.Get(), kTagSearchKey, key.Put())) &&
        SUCCEEDED(utils_->BinToHex(key, hex.Put())))
      keys.push_back(hex.Str());
  }
  com::ComPtr<IRdoFolder> scratch;
  com::ComPtr<IRdoItems> items;
  session_->GetFolderById(com::Bstr(scratchId_), store, flags, scratch.Put());
  if (scratch) scratch->get_Items(items.Put());
  if (items && !keys.empty()) {
    const std::wstring column = std::wstring(L"\"") + kDaslSearchKey + L"\"";
    start = NowMs();
    for (const std::wstring& key : keys) {
      com::ComPtr<IRdoMessage> found;
      items->Find(com::Bstr(L"select " + column + L" from Folder where " + column + L" = '" + key + L"'"),
                  found.Put());
    }
    us[L"Items.Find"] = (NowMs() - start) * 1000.0 / double(keys.size());
  }

  start = NowMs();
  for (auto& message : opened)
    if (message) message->Save();
  us[L"Message.Save"] = (NowMs() - start) * 1000.0 / n;

  start = NowMs();
  for (const std::wstring& id : items_) {
    com::ComPtr<IRdoMessage> message, copy;
    session_->GetMessageById(com::Bstr(id), store, flags, message.Put());
    if (message) message->CopyTo(com::Variant(static_cast<IDispatch*>(scratch.Get())), copy.Put());
  }
  us[L"Message.CopyTo"] = (NowMs() - start) * 1000.0 / double(items_.size()) - us[L"Session.GetMessageById"];
  return us;
}

// Splits the pass's time into what its wrapper calls cost when made on their
// own (the steps each new item needs) and what remains: the add-in's own work.
void Bench::PrintFloor(const std::vector<sim::SimCall>& calls, const Timing& pass, double storeMs) {
  std::map<std::wstring, long> count;
  for (const sim::SimCall& call : calls) ++count[call.op];
  const std::map<std::wstring, double> unit = UnitCostsUs();
  double floorMs = 0;
  std::printf("%6d  wrapper calls of the first pass, per item:", n_);
  for (const auto& [op, us] : unit) {
    const long c = count.count(op) ? count[op] : 0;
    floorMs += double(c) * us / 1000.0;
    std::printf("  %ls %.2f x %.1f us", op.c_str(), double(c) / n_, us);
  }
  std::printf("\n%6d  those calls alone %10.1f ms (%.2f x store copy); the add-in's own work %8.1f ms (%.2f x store copy)\n",
              n_, floorMs, floorMs / storeMs, pass.WorkMs() - floorMs, (pass.WorkMs() - floorMs) / storeMs);
}

void Bench::Print(const char* what, const Timing& t, double storeMs) {
  std::printf("%6d  %-26s %10.1f ms work  (pauses asked for, not slept: %7.1f s)", n_, what, t.WorkMs(),
              double(t.pausesMs) / 1000.0);
  if (storeMs > 0) std::printf("  store copy %8.1f ms  ratio %.2f", storeMs, t.WorkMs() / storeMs);
  std::printf("\n");
}

bool Bench::Run() {
  if (!Build()) return false;
  const double storeMs = StoreCopyMs();
  const Timing fill = Measure([&] { FillDeleteList(master_, session_.Get(), utils_.Get()); });
  Print("FillDeleteList", fill, 0);
  sim_->ClearCalls();
  const Timing first = Measure([&] { Pass(); });
  const std::vector<sim::SimCall> calls = sim_->Calls();
  if (long(sim_->Items(slave_->Events->EntryID.Str()).size()) != n_) std::printf("first pass copied too little\n");
  Print("first pass", first, storeMs);
  PrintFloor(calls, first, storeMs);
  LetClockTimePass(60000);
  const Timing idle = Measure([&] { Pass(); });
  Print("idle pass", idle, 0);
  std::printf("%6d  idle / first = %.2f%%\n", n_, 100.0 * idle.WorkMs() / first.WorkMs());
  LetClockTimePass(60000);
  const int changed = n_ / 100;
  for (int i = 0; i < changed; ++i) {
    sim::SimProp subject{L"http://schemas.microsoft.com/mapi/proptag/0x0037001F", {}};
    subject.value.vt = VT_BSTR;
    subject.value.bstrVal = SysAllocString((L"Changed " + std::to_wstring(i)).c_str());
    sim_->ChangeItem(items_[size_t(i) * 100], {subject});
    VariantClear(&subject.value);
  }
  const Timing onePercent = Measure([&] { Pass(); });
  Print("pass after 1% changed", onePercent, 0);
  delete master_;
  delete slave_;
  utils_.Reset();
  session_.Reset();
  return true;
}

}  // namespace

int main() {
  SetEnvironmentVariableW(L"TALLOWBY_CLOCK_SCALE", L"10000");
  clk::SkipSleeps(true);
  if (FAILED(CoInitialize(nullptr))) return 2;
  InitializeGlobalLocks();
  sim::ISimControl* control = Control();
  if (!control) {
    std::printf("simrdo.dll not found beside the benchmark\n");
    return 2;
  }
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  auto* engine = new CSyncEngine(nullptr, (std::wstring(temp) + L"pass_bench_debug.log").c_str());
  g_pSyncEngine = engine;
  int rc = 0;
  for (int n : {1000, 10000}) {
    if (!Bench(control, n).Run()) {
      std::printf("set-up failed for %d contacts\n", n);
      rc = 1;
    }
  }
  g_pSyncEngine = nullptr;
  delete engine;
  DeleteGlobalLocks();
  CoUninitialize();
  return rc;
}
