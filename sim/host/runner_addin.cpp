// The add-in and Outlook around it: the registry, the jobs a folder page
// writes, start, quit, reload, the waits, and files seeded for the add-in.
#include "runner.h"

#include <filesystem>
#include <fstream>

#include "clock.h"
#include "output.h"
#include "registry.h"
#include "runner_support.h"

namespace host {

std::wstring Runner::Registry(const Command& c) {
  std::wstring sub;
  if (!UserSubkey(c.Arg(L"KEY"), &sub)) return L"registry paths start with HKCU\\: " + c.Arg(L"KEY");
  if (c.Sub() == L"set") return RegSetValue(sub, c.Arg(L"VALUE"), c.Arg(L"TYPE"), c.Arg(L"DATA"));
  if (c.Sub() == L"create") return RegCreate(sub);
  return RegDelete(sub, c.Arg(L"VALUE"));
}

// Writes what the folder page's Apply writes for a job, so that the next
// start loads it.
std::wstring Runner::Job(const Command& c) {
  if (addIn_.Started()) return L"'job' takes effect at the next start: put it before 'start' or after 'quit'";
  const std::wstring& path = c.Arg(L"PATH");
  Folder master;
  if (!ResolveFolder(path, &master)) return L"no folder " + Quoted(path);
  std::vector<std::wstring> parts = SplitPath(path);
  const std::wstring base = kTallowbyKey;
  // The page names keys and writes StoreIDs in Outlook's form, which it has them in.
  std::wstring storeId = side_->OutlookId(stores_[parts[0]]);
  std::wstring profile = c.Opt(L"profile").value_or(L"Outlook");
  std::wstring category = c.Opt(L"category").value_or(parts.back());
  std::wstring key = base + L"\\Folders\\" + side_->OutlookId(master.entryId);
  std::vector<std::wstring> errors = {
      RegCreate(base + L"\\Config"),
      RegSetDword(key, L"used", 1),
      RegSetString(key, L"SID", storeId),
      RegSetString(key, L"Profil", profile),
      RegSetString(key, L"Categorie", category),
      RegSetString(key, L"Foldername", parts.back()),
      RegSetDword(key, L"DONT_SYNC_PRIV_ITEMS", c.Has(L"no-private")),
      RegSetDword(key, L"DONT_SYNC_BSP_ITEMS", c.Has(L"no-requests")),
      RegSetDword(key, L"BOTH_DIRECTIONS", c.Has(L"both")),
      RegSetDword(key, L"DONT_SYNC_REMINDERS", c.Has(L"no-reminders")),
      RegSetDword(key, L"CREATESUBFOLDER", c.Has(L"subfolder")),
      c.Has(L"mark-private") ? RegSetDword(key, L"MARK_AS_PRIVATE", 1) : L"",
      RegDelete(key + L"\\CategoriesFilter", L""),
      RegCreate(key + L"\\Users"),
      RegCreate(key + L"\\CategoriesFilter"),
  };
  for (const std::wstring& f : SplitList(c.Opt(L"filter").value_or(L"")))
    errors.push_back(RegCreate(key + L"\\CategoriesFilter\\" + f));
  for (const std::wstring& e : errors)
    if (!e.empty()) return e;
  if (!c.Has(L"both")) return L"";

  // The default folder's category entry, as the page makes it.
  std::wstring defaultStore;
  for (const sim::HostStore& s : side_->Stores())
    if (s.isDefault) defaultStore = s.storeId;
  std::wstring target = control_->DefaultFolder(defaultStore, DefaultFolderFor(master.itemType));
  if (target.empty()) return L"";
  const std::wstring entries = base + L"\\AddCategorieFolders\\";
  if (c.Has(L"subfolder")) {
    for (const sim::HostFolder& f : side_->Subfolders(target)) {
      if (f.name != category) continue;
      const std::wstring sub = entries + side_->OutlookId(f.entryId);
      std::wstring e = RegSetDword(sub, L"used", 1);
      return e.empty() ? RegSetString(sub, L"Categorie", category) : e;
    }
  }
  if (RegReadString(base + L"\\Config", L"defaultStoreName").empty()) return L"";
  std::wstring k = entries + side_->OutlookId(target);
  if (RegReadDword(k, L"used", 0) != 0) return L"";
  for (const std::wstring& e : {RegSetDword(k, L"IS_STANDARD_KATEGORIE_ADD_INFO", 1), RegSetDword(k, L"used", 1),
                                RegSetString(k, L"SID", side_->OutlookId(defaultStore)), RegSetString(k, L"Profil", profile),
                                RegSetString(k, L"Categorie", category), RegSetString(k, L"Foldername", L"Default")})
    if (!e.empty()) return e;
  return L"";
}

std::wstring Runner::Wait(const Command& c) {
  const std::wstring sub = c.Sub();
  if (sub.empty()) {
    long seconds = 0;
    ParseLong(c.Arg(L"SECONDS"), &seconds);
    Pump(clk::RealMs(DWORD(seconds) * 1000));
    return L"";
  }
  const uint64_t timeoutMs = uint64_t(LongOpt(c, L"timeout", 120)) * 1000;
  const uint64_t start = clk::TickMs();
  const std::wstring text = c.Arg(L"TEXT");
  const long wanted = LongOpt(c, L"count", 1);  // "wait for log": how many times the text must stand
  // With the clock running fast, a loaded machine stretches every real delay
  // by the clock's factor. So a wait without its own timeout also lasts a
  // floor of real time before it gives up; that changes nothing for a wait
  // that succeeds. A timeout given in the script is kept exactly.
  const ULONGLONG kRealTimeoutFloorMs = c.Opt(L"timeout") ? 0 : 30000;
  const ULONGLONG realStart = GetTickCount64();
  auto timedOut = [&] {
    return clk::TickMs() - start >= timeoutMs && GetTickCount64() - realStart >= kRealTimeoutFloorMs;
  };
  // Idle: no event pending, and neither the world nor the logs changed for
  // ten seconds of the add-in's clock.
  constexpr uint64_t kQuietMs = 10000;
  uint64_t lastChange = start, changes = side_->ChangeCount();
  size_t logSize = ReadLog(L"Tallowby_debug.log").size() + ReadLog(L"Tallowby_error.log").size();
  while (!timedOut()) {
    Pump(clk::RealMs(250));
    if (sub == L"for") {
      if (Occurrences(ReadLog(L"Tallowby_debug.log"), text) >= wanted) return L"";
      continue;
    }
    size_t size = ReadLog(L"Tallowby_debug.log").size() + ReadLog(L"Tallowby_error.log").size();
    uint64_t count = side_->ChangeCount();
    if (count != changes || size != logSize || side_->PendingEvents() != 0 || control_->PendingWork() != 0) {
      changes = count;
      logSize = size;
      lastChange = clk::TickMs();
    } else if (clk::TickMs() - lastChange >= kQuietMs) {
      return L"";
    }
  }
  Fail(c, sub != L"for" ? L"still busy"
         : wanted == 1 ? L"the log never showed " + Quoted(text)
                       : L"the log showed " + Quoted(text) + L" " +
                             std::to_wstring(Occurrences(ReadLog(L"Tallowby_debug.log"), text)) + L" times");
  return L"";
}

std::wstring Runner::Start() {
  if (addIn_.Started()) return L"Outlook runs already";
  com::ComPtr<IDispatch> app;
  app.Attach(control_->Application());
  if (!app) return L"the simulation has no Outlook layer";
  std::wstring report;
  HRESULT hr = addIn_.Start(app.Get(), &report);
  Print(L"  " + report);
  return FAILED(hr) ? report : L"";
}

// Calls the add-in's test entry point on this (Outlook's user-interface)
// thread, as a folder page's Apply would run.
std::wstring Runner::Reload() {
  if (!addIn_.Started()) return L"'reload' needs a running add-in";
  using ReloadFn = BOOL(WINAPI*)();
  HMODULE addIn = GetModuleHandleW(L"Tallowby.dll");
  auto reload = addIn ? reinterpret_cast<ReloadFn>(GetProcAddress(addIn, "TallowbyTestReload")) : nullptr;
  if (!reload) return L"Tallowby.dll has no TallowbyTestReload";
  return reload() ? L"" : L"the add-in has no engine to reload";
}

std::wstring Runner::Quit(bool requireUnload) {
  if (!addIn_.Started()) return requireUnload ? L"" : L"Outlook is not running";
  dialog_.Close();  // Outlook closes its dialogs before it quits
  std::wstring report;
  addIn_.Quit(&report);
  Print(L"  " + report);
  if (AddInHost::UnloadAddInModule()) return L"";
  const std::wstring why =
      L"Tallowby.dll is still loaded after quit: an object, class factory or lock of the add-in is still alive";
  if (requireUnload) return why;
  Print(L"  note: " + why);
  return L"";
}

std::wstring Runner::SeedFile(const Command& c) {
  const std::wstring& text = c.Arg(L"TEXT");
  std::string bytes(text.size(), '\0');
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] > 0xFF) return L"file text must be 8-bit: " + Quoted(text);
    bytes[i] = char(text[i]);
  }
  std::error_code ec;
  std::filesystem::path path(FolderOf(c.Arg(L"WHERE")) + c.Arg(L"NAME"));
  std::filesystem::create_directories(path.parent_path(), ec);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), std::streamsize(bytes.size()));
  out.close();
  return out ? L"" : L"cannot write " + path.wstring();
}

}  // namespace host
