#include "bench_support.h"

#include <psapi.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <map>

#include "bstr.h"
#include "clock.h"
#include "dispatch.h"
#include "locks.h"
#include "logs.h"
#include "core/registry.h"
#include "sync_engine.h"
#include "variant.h"

namespace bench {

sim::ISimControl* SimControl() {
  static sim::ISimControl* control = [] () -> sim::ISimControl* {
    HMODULE m = LoadLibraryW(L"simrdo.dll");
    if (!m) return nullptr;
    using RegisterFn = HRESULT(STDAPICALLTYPE*)();
    if (auto reg = reinterpret_cast<RegisterFn>(GetProcAddress(m, "DllRegisterServer"))) reg();
    auto get = reinterpret_cast<sim::SimGetControlFn>(GetProcAddress(m, "SimGetControl"));
    return get ? get() : nullptr;
  }();
  return control;
}

Program::Program(const wchar_t* name, bool ole) : name_(name), ole_(ole) {
  UseBenchmarkClock();
  if (FAILED(ole ? OleInitialize(nullptr) : CoInitialize(nullptr))) return;
  InitializeGlobalLocks();
  sim::ISimControl* sim = SimControl();
  if (!sim || !WatchWrapperClasses(sim)) {
    std::printf("simrdo.dll not found beside the benchmark\n");
    return;
  }
  UseErrorLog((name_ + L"_error.log").c_str());
  sim_ = sim;
  std::printf("   each timed call costs %.1f ns beside its own time (the stubs that time it); own work is given "
              "without it\n",
              StubCostMs() * 1e6);
}

Program::~Program() {
  if (engine_) {
    g_pSyncEngine = nullptr;
    delete engine_;
  }
  DeleteGlobalLocks();
  if (ole_)
    OleUninitialize();
  else
    CoUninitialize();
}

CSyncEngine* Program::Engine() {
  if (!engine_) {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    engine_ = new CSyncEngine(nullptr, (std::wstring(temp) + name_ + L"_debug.log").c_str());
    g_pSyncEngine = engine_;
  }
  return engine_;
}

void ForEachSize(const char* what, const std::function<double(int)>& measure) {
  std::vector<std::pair<int, double>> done;
  for (int n : Sizes()) {
    // 1,000 and 10,000 items are always measured, larger folders only where
    // a run ends within a few minutes.
    if (n > 10000 && !WorthMeasuring(done, n, what)) break;
    done.emplace_back(n, measure(n));
  }
}

void UseBenchmarkClock() {
  SetEnvironmentVariableW(L"TALLOWBY_CLOCK_SCALE", L"10000");
  clk::SkipSleeps(true);
}

int Repetitions(int usual) {
  wchar_t text[16] = {};
  if (GetEnvironmentVariableW(L"BENCH_REPEAT", text, 16) > 0) {
    const int n = _wtoi(text);
    if (n > 0) return n;
  }
  return usual;
}

std::vector<int> Sizes() {
  wchar_t text[128] = {};
  std::vector<int> sizes;
  if (GetEnvironmentVariableW(L"BENCH_SIZES", text, 128) > 0) {
    for (wchar_t* p = text; *p;) {
      const int n = int(wcstol(p, &p, 10));
      if (n > 0) sizes.push_back(n);
      while (*p == L',' || *p == L' ') ++p;
      if (*p && !iswdigit(*p)) break;
    }
    if (!sizes.empty()) return sizes;
  }
  sizes = {1000, 10000};
  if (GetEnvironmentVariableW(L"BENCH_QUICK", nullptr, 0) == 0) sizes.push_back(100000);
  return sizes;
}

int RepetitionsFor(int n) { return n >= 100000 ? std::min(Repetitions(2), 2) : Repetitions(n >= 10000 ? 5 : 7); }

namespace {

double EnvSeconds(const wchar_t* name, double usual) {
  wchar_t text[32] = {};
  if (GetEnvironmentVariableW(name, text, 32) > 0) {
    const double v = _wtof(text);
    if (v > 0) return v;
  }
  return usual;
}

}  // namespace

bool AnotherRepetition(int n, int done, double spentMs) {
  if (done == 0) return true;
  return done < RepetitionsFor(n) && spentMs < EnvSeconds(L"BENCH_BUDGET", 150) * 1000.0;
}

bool WorthMeasuring(const std::vector<std::pair<int, double>>& done, int n, const char* what) {
  if (done.size() < 2) return true;
  const auto [a, ta] = done[done.size() - 2];
  const auto [b, tb] = done.back();
  if (ta <= 0 || tb <= 0 || b <= a) return true;
  const double exponent = std::log(tb / ta) / std::log(double(b) / double(a));
  const double projectedMs = tb * std::pow(double(n) / double(b), exponent);
  if (projectedMs <= EnvSeconds(L"BENCH_MAX_RUN", 240) * 1000.0) return true;
  std::printf("  %7d  %s not measured: one run would take about %.0f min (it grows as n^%.2f from %d to %d)\n", n,
              what, projectedMs / 60000.0, exponent, a, b);
  return false;
}

namespace {
std::wstring g_errorLog;
}  // namespace

void UseErrorLog(const wchar_t* name) {
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  g_errorLog = std::wstring(temp) + name;
  DeleteFileW(g_errorLog.c_str());
  SetErrorLogPath(g_errorLog.c_str());
  g_bErrorLogEnabled = true;
}

void ReportErrors() {
  if (g_errorLog.empty()) return;
  // Lines read "hh:mm:ss|thread|-> ERROR: label: status ...": counted by label.
  std::map<std::string, size_t> labels;
  size_t lines = 0;
  if (FILE* f = _wfopen(g_errorLog.c_str(), L"rb")) {
    char line[1024];
    while (std::fgets(line, sizeof line, f)) {
      std::string text(line);
      const size_t at = text.find("ERROR: ");
      if (at == std::string::npos) continue;
      ++lines;
      text = text.substr(at + 7);
      ++labels[text.substr(0, text.find(": "))];
    }
    std::fclose(f);
  }
  if (lines == 0) {
    std::printf("   the add-in logged no error during these runs\n");
    return;
  }
  std::string list;
  for (const auto& [label, count] : labels) list += (list.empty() ? "" : ", ") + label + " (" + std::to_string(count) + ")";
  std::printf("   the add-in logged %zu error lines: %s\n", lines, list.c_str());
}

double Figure::Min() const { return values_.empty() ? 0 : *std::min_element(values_.begin(), values_.end()); }
double Figure::Max() const { return values_.empty() ? 0 : *std::max_element(values_.begin(), values_.end()); }
double Figure::SpreadPercent() const {
  const double lo = Min();
  return lo > 0 ? 100.0 * (Max() - lo) / lo : 0;
}

Split Measure(const std::function<void()>& body) {
  TakeCalls();
  const double start = NowMs();
  body();
  Split s;
  s.totalMs = NowMs() - start;
  s.calls = TakeCalls();
  return s;
}

void Section(const char* title, const char* about) {
  std::printf("\n== %s\n", title);
  if (about && *about) std::printf("   %s\n", about);
}

void Note(const char* text) { std::printf("   %s\n", text); }

std::string Format(const char* format, double v) {
  char text[64];
  std::snprintf(text, sizeof text, format, v);
  return text;
}

std::string Ms(double ms) {
  if (ms >= 10000) return Format("%.1f s", ms / 1000);
  if (ms >= 100) return Format("%.0f ms", ms);
  if (ms >= 1) return Format("%.1f ms", ms);
  return Format("%.3f ms", ms);
}

std::string Us(double us) { return Format(us >= 100 ? "%.0f us" : "%.1f us", us); }
std::string Times(double ratio) { return Format("%.2fx", ratio); }
std::string Spread(const Figure& f) { return f.Count() < 2 ? "-" : Format("%.0f%%", f.SpreadPercent()); }

void SplitHeader(const char* items) {
  std::printf("  %7s  %-26s %10s %6s %12s %10s\n", items, "", "time", "spread", "wrapper calls", "own work");
}

void SplitRow(int n, const char* what, const SplitFigures& s, const std::string& remark) {
  std::printf("  %7d  %-26s %10s %6s %12s %10s  %s\n", n, what, Ms(s.total.Min()).c_str(), Spread(s.total).c_str(),
              Ms(s.wrapper.Min()).c_str(), Ms(s.own.Min()).c_str(), remark.c_str());
}

std::string Growth(int from, int to, double fromMs, double toMs) {
  const double nlogn = double(to) / double(from) * std::log(double(to)) / std::log(double(from));
  char text[96];
  std::snprintf(text, sizeof text, "%.1f times (n log n: %.1f)", fromMs > 0 ? toMs / fromMs : 0, nlogn);
  return text;
}

std::string CallsPerItem(const CallRecord& calls, double items, double minPerItem) {
  std::string out;
  for (const auto& [op, t] : calls.ops) {
    const double per = double(t.calls) / items;
    if (per < minPerItem) continue;
    char text[160];
    std::snprintf(text, sizeof text, "%s%ls %.2f x %.1f us", out.empty() ? "" : ", ", op.c_str(), per,
                  t.ms * 1000.0 / double(t.calls));
    out += text;
  }
  return out;
}

uint64_t PrivateBytes() {
  PROCESS_MEMORY_COUNTERS_EX pmc{};
  pmc.cb = sizeof pmc;
  if (!GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&pmc), sizeof pmc))
    return 0;
  // Wine 8 leaves PrivateUsage at 0; PagefileUsage is the same commit
  // charge on Windows, and Wine fills it from the process's private memory.
  return pmc.PrivateUsage ? pmc.PrivateUsage : pmc.PagefileUsage;
}

std::string Mb(double bytes) { return Format("%.1f MB", bytes / (1024.0 * 1024.0)); }

PeakSampler::PeakSampler() {
  peak_ = PrivateBytes();
  stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  thread_ = CreateThread(nullptr, 0, &PeakSampler::Loop, this, 0, nullptr);
}

PeakSampler::~PeakSampler() {
  Peak();
  CloseHandle(stop_);
}

uint64_t PeakSampler::Peak() {
  if (thread_) {
    SetEvent(stop_);
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
    thread_ = nullptr;
  }
  peak_ = std::max<uint64_t>(peak_.load(), PrivateBytes());
  return peak_.load();
}

DWORD WINAPI PeakSampler::Loop(void* self) {
  auto* s = static_cast<PeakSampler*>(self);
  while (WaitForSingleObject(s->stop_, 1) == WAIT_TIMEOUT) s->peak_ = std::max<uint64_t>(s->peak_.load(), PrivateBytes());
  return 0;
}

com::ComPtr<IRdoSession> NewSession() {
  com::ComPtr<IRdoSession> session;
  if (FAILED(CreateRdoObject(kRdoSessionProgId, __uuidof(IRdoSession), session.PutVoid()))) return nullptr;
  com::Variant none;
  session->Logon(none, none, none, none, none, none);
  return session;
}

com::ComPtr<IRdoUtils> NewUtils() {
  com::ComPtr<IRdoUtils> utils;
  if (FAILED(CreateRdoObject(kRdoUtilsProgId, __uuidof(IRdoUtils), utils.PutVoid()))) return nullptr;
  return utils;
}

com::ComPtr<IDispatch> OutlookNameSpace(sim::ISimControl* control) {
  com::ComPtr<IDispatch> app, ns;
  app.Attach(control->Application());
  com::Variant result;
  if (!app || FAILED(com::CallMethod(app.Get(), L"GetNamespace", {com::Variant(L"MAPI")}, result.Put())) ||
      FAILED(com::ResultToDispatch(result, ns.Put())))
    return nullptr;
  return ns;
}

com::ComPtr<IDispatch> OutlookFolder(sim::ISimControl* control, const std::wstring& entryId) {
  com::ComPtr<IDispatch> ns = OutlookNameSpace(control), folder;
  com::Variant result;
  if (!ns || FAILED(com::CallMethod(ns.Get(), L"GetFolderFromID", {com::Variant(entryId.c_str())}, result.Put())) ||
      FAILED(com::ResultToDispatch(result, folder.Put())))
    return nullptr;
  return folder;
}

bool ChangeSubject(sim::ISimControl* control, const std::wstring& entryId, const std::wstring& subject) {
  sim::SimProp p{kSubjectDasl, {}};
  p.value.vt = VT_BSTR;
  p.value.bstrVal = SysAllocString(subject.c_str());
  const bool ok = control->ChangeItem(entryId, {p});
  VariantClear(&p.value);
  return ok;
}

Split StoreCopy(IRdoSession* session, const std::wstring& storeId, const std::wstring& targetFolderId,
                const std::vector<std::wstring>& items) {
  com::ComPtr<IRdoFolder> target;
  const com::Variant store(storeId.c_str()), flags(16L);
  session->GetFolderById(com::Bstr(targetFolderId), store, flags, target.Put());
  const com::Variant to(static_cast<IDispatch*>(target.Get()));
  return Measure([&] {
    for (const std::wstring& id : items) {
      com::ComPtr<IRdoMessage> item, copy;
      session->GetMessageById(com::Bstr(id), store, flags, item.Put());
      if (!item) continue;
      item->CopyTo(to, copy.Put());
      if (copy) copy->Save();
    }
  });
}

void LetClockTimePass() { ::Sleep(clk::RealMs(60000)); }

void ChangeOnePercent(sim::ISimControl* control, const std::vector<std::wstring>& items) {
  for (size_t i = 0; i < items.size(); i += 100) ChangeSubject(control, items[i], L"Changed " + std::to_wstring(i));
}

void CreateJobKey(const std::wstring& masterEntryId) {
  reg::Key job;
  job.Create(HKEY_CURRENT_USER, (std::wstring(reg::kFoldersPath) + L"\\" + masterEntryId).c_str());
}

void ClearRegistry() {
  reg::Key root;
  if (root.Open(HKEY_CURRENT_USER, L"Software\\Corvane", KEY_ALL_ACCESS) == ERROR_SUCCESS) root.DeleteTree(L"Tallowby");
}

namespace {

template <class T>
void Watch(const com::ComPtr<T>& object, const wchar_t* name = L"") {
  if (object) WatchClass(object.Get(), __uuidof(T), name);
}

// One object of each wrapper class, reached as the add-in reaches them.
void WatchFromSession(IRdoSession* session, const std::wstring& folderId, const std::wstring& storeId) {
  com::ComPtr<IRdoStores> stores;
  com::ComPtr<IRdoStore> store;
  com::ComPtr<IRdoReminders> reminders;
  com::ComPtr<IRdoReminder> reminder;
  com::ComPtr<IRdoFolder> folder, root;
  com::ComPtr<IRdoFolder2> folder2;
  com::ComPtr<IRdoFolders> folders;
  com::ComPtr<IRdoItems> items;
  com::ComPtr<IRdoTable> table;
  com::ComPtr<IRdoMessage> message;
  com::ComPtr<IRdoMeeting> meeting;
  com::ComPtr<IRdoTask> task;
  com::ComPtr<IRdoRecipients> recipients;
  com::ComPtr<IRdoRecipient> recipient;
  com::ComPtr<IRdoUserProperties> properties;
  com::ComPtr<IRdoUserProperty> property;
  com::ComPtr<IRdoSynchronizer> synchronizer;
  com::ComPtr<IRdoChanges> changes;
  com::ComPtr<IRdoChange> change;
  com::ComPtr<IRdoAddressBook> book;
  com::ComPtr<IRdoAddressLists> lists;
  com::ComPtr<IRdoAddressList> list;
  com::ComPtr<IRdoAddressEntries> entries;
  com::ComPtr<IRdoAddressEntry> entry;
  session->get_Stores(stores.Put());
  if (stores) stores->get_DefaultStore(store.Put());
  if (store) store->get_Reminders(reminders.Put());
  if (reminders) reminders->Item(1, reminder.Put());
  if (store) store->get_RootFolder(root.Put());
  if (root) root->get_Folders(folders.Put());
  session->GetFolderById(com::Bstr(folderId), com::Variant(storeId.c_str()), com::Variant(16L), folder.Put());
  if (folder) {
    folder.As(&folder2);
    folder->get_Items(items.Put());
    folder->get_Synchronizer(synchronizer.Put());
  }
  if (items) {
    items->get_Table(table.Put());
    items->GetFirst(message.Put());
  }
  if (message) {
    message.As(&meeting);
    message.As(&task);
    message->get_Recipients(recipients.Put());
    message->get_UserProperties(properties.Put());
  }
  if (recipients) recipients->Item(1, recipient.Put());
  if (properties) properties->Add(com::Bstr(L"BenchWatch"), 20, com::Variant(true), com::Variant(20L), property.Put());
  if (synchronizer) synchronizer->GetChanges(nullptr, com::Variant(), changes.Put());
  if (changes) changes->Item(1, change.Put());
  session->get_AddressBook(book.Put());
  if (book) book->AddressLists(VARIANT_FALSE, lists.Put());
  if (lists) lists->Item(com::Variant(1L), list.Put());
  if (list) list->get_Entries(entries.Put());
  if (entries) entries->Item(com::Variant(1L), entry.Put());

  Watch(com::ComPtr<IRdoSession>(session));
  Watch(stores);
  Watch(store);
  Watch(reminders);
  Watch(reminder);
  Watch(folder2);
  Watch(folders);
  Watch(items);
  Watch(table);
  Watch(message);
  Watch(meeting);
  Watch(task);
  Watch(recipients);
  Watch(recipient);
  Watch(properties);
  Watch(property);
  Watch(synchronizer);
  Watch(changes);
  Watch(change);
  Watch(book);
  Watch(lists);
  Watch(list);
  Watch(entries);
  Watch(entry);
}

}  // namespace

bool WatchWrapperClasses(sim::ISimControl* control) {
  control->Reset();
  sim::SimStore mailbox;
  mailbox.name = L"Watch";
  mailbox.kind = 3;
  mailbox.isDefault = true;
  const std::wstring storeId = control->AddStore(mailbox);
  const std::wstring folderId = control->AddFolder(control->DefaultFolder(storeId, 0), L"Watch", 2);
  sim::SimItem item;
  item.messageClass = L"IPM.Contact";
  item.subject = L"Watch";
  item.recipients = {L"someone"};
  sim::SimProp reminder{L"http://schemas.microsoft.com/mapi/id/{00062008-0000-0000-C000-000000000046}/8503000B", {}};
  reminder.value.vt = VT_BOOL;
  reminder.value.boolVal = VARIANT_TRUE;
  item.props.push_back(reminder);
  control->AddItem(folderId, item);
  control->SetAddressList(L"Watch", L"", {{L"Some One", L"some.one@example.com", L"sone", L"Some", L"One", false, {}}});

  com::ComPtr<IRdoSession> session = NewSession();
  com::ComPtr<IRdoUtils> utils = NewUtils();
  com::ComPtr<IRdoDistList> distList;
  com::ComPtr<IRdoTable> table;
  CreateRdoObject(L"TallowbyRDOx.OLSafeDistList", __uuidof(IRdoDistList), distList.PutVoid());
  CreateRdoObject(L"TallowbyRDOx.OLMAPITable", __uuidof(IRdoTable), table.PutVoid());
  if (!session || !utils) return false;
  WatchFromSession(session.Get(), folderId, storeId);
  Watch(utils);
  Watch(distList);
  Watch(table);
  control->Reset();
  return true;
}

void WatchOutlookClasses(IDispatch* nameSpace, const std::wstring& folderEntryId) {
  WatchClass(nameSpace, IID_IDispatch, L"Outlook.NameSpace");
  com::Variant folder, items, item, folders;
  if (FAILED(com::CallMethod(nameSpace, L"GetFolderFromID", {com::Variant(folderEntryId.c_str())}, folder.Put())) ||
      folder.vt != VT_DISPATCH)
    return;
  WatchClass(folder.pdispVal, IID_IDispatch, L"Outlook.Folder");
  if (SUCCEEDED(com::GetProperty(folder.pdispVal, L"Folders", folders.Put())) && folders.vt == VT_DISPATCH)
    WatchClass(folders.pdispVal, IID_IDispatch, L"Outlook.Folders");
  if (FAILED(com::GetProperty(folder.pdispVal, L"Items", items.Put())) || items.vt != VT_DISPATCH) return;
  WatchClass(items.pdispVal, IID_IDispatch, L"Outlook.Items");
  if (SUCCEEDED(com::CallMethod(items.pdispVal, L"GetFirst", {}, item.Put())) && item.vt == VT_DISPATCH)
    WatchClass(item.pdispVal, IID_IDispatch, L"Outlook.Item");
}

}  // namespace bench
