// The scenario runner: the run of a script's commands, the dispatch of each
// to the file of its concern, and the look-ups and pumping they share.
// runner_world.cpp builds the world and acts as the user and the stores,
// runner_addin.cpp drives the add-in and Outlook (registry, jobs, start,
// quit, waits), runner_expect.cpp checks and dumps, runner_pages.cpp hosts
// the option pages, runner_address_book.cpp keeps the directory.
#include "runner.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "output.h"
#include "runner_support.h"

namespace host {
namespace {

// The first top-level or message-only window of this process with `title`.
HWND FindOwnWindow(const wchar_t* title) {
  for (HWND parent : {HWND(nullptr), HWND_MESSAGE}) {
    for (HWND w = FindWindowExW(parent, nullptr, nullptr, title); w;
         w = FindWindowExW(parent, w, nullptr, title)) {
      DWORD pid = 0;
      GetWindowThreadProcessId(w, &pid);
      if (pid == GetCurrentProcessId()) return w;
    }
  }
  return nullptr;
}

}  // namespace

Runner::Runner(sim::ISimControl* control, sim::IHostSide* side, const Sandbox& sandbox, BoxWatcher& boxes)
    : control_(control), side_(side), sandbox_(sandbox), boxes_(boxes), addIn_(side) {}

int Runner::Run(const std::vector<Command>& commands) {
  for (const Command& c : commands) {
    Print(L"> " + c.text);
    std::wstring error = Execute(c);
    Pump(0);  // Outlook's thread never stands still for long
    ReportBoxes();
    if (!error.empty()) {
      Print(L"ERROR line " + std::to_wstring(c.line) + L": " + error);
      ++failures_;
      break;
    }
  }
  if (addIn_.Started()) {
    Print(L"> quit (end of scenario)");
    Quit(false);
    ReportBoxes();
  }
  Print(failures_ ? L"scenario FAILED: " + std::to_wstring(failures_) + L" failure(s)" : L"scenario passed");
  return failures_;
}

std::wstring Runner::Execute(const Command& c) {
  const std::wstring& v = c.verb;
  if (v == L"outlook") return Outlook(c);
  if (v == L"store") return Store(c);
  if (v == L"folder") return MakeFolder(c);
  if (v == L"item" || v == L"items") return MakeItem(c);
  if (v == L"change" || v == L"conflict") return Change(c);
  if (v == L"reg") return Registry(c);
  if (v == L"job") return Job(c);
  if (v == L"wait") return Wait(c);
  if (v == L"start") return Start();
  if (v == L"quit") return Quit(false);
  if (v == L"restart") {
    if (std::wstring e = Quit(true); !e.empty()) return e;
    return Start();
  }
  if (v == L"reload") return Reload();
  if (v == L"setenv")
    return SetEnvironmentVariableW(c.Arg(L"NAME").c_str(), c.Arg(L"VALUE").c_str()) ? L"" : L"cannot set " + c.Arg(L"NAME");
  if (v == L"options" || v == L"properties" || v == L"page" || v == L"screenshot" ||
      (v == L"expect" && (c.Sub() == L"pages" || c.Sub() == L"page")))
    return Pages(c);
  if (v == L"dump") return Dump(c);
  if (v == L"expect") return Expect(c);
  if (v == L"file") return SeedFile(c);
  if (v == L"calls") {
    control_->ClearCalls();
    return L"";
  }
  if (v == L"tray") {
    // The add-in's icon window is found by its name, as the shell knows it,
    // among this process's windows (scenarios run side by side).
    HWND icon = FindOwnWindow(L"ShellIconHiddenWindowTWY");
    if (!icon) return L"the add-in shows no tray icon";
    SendMessageW(icon, WM_USER + 201, 10, WM_LBUTTONDBLCLK);
    return L"";
  }
  if (v == L"address-list" || v == L"address-entry" || v == L"remove-address-entry") return AddressBook(c);
  return UserStep(c);
}

std::wstring Runner::FolderOf(const std::wstring& where) const {
  return where == L"data" ? sandbox_.LocalAppData() + L"\\Tallowby\\" : sandbox_.TempDir();
}

bool Runner::ResolveFolder(const std::wstring& path, Folder* out) {
  std::vector<std::wstring> parts = SplitPath(path);
  if (parts.empty()) return false;
  auto store = stores_.find(parts[0]);
  if (store == stores_.end()) return false;
  std::wstring current;
  for (const sim::HostStore& s : side_->Stores())
    if (s.storeId == store->second) current = s.rootEntryId;
  long itemType = 0;
  for (size_t i = 1; i < parts.size() && !current.empty(); ++i) {
    std::wstring next;
    for (const sim::HostFolder& f : side_->Subfolders(current)) {
      if (f.name == parts[i]) {
        next = f.entryId;
        itemType = f.itemType;
        break;
      }
    }
    current = next;
  }
  if (current.empty()) return false;
  *out = {current, itemType};
  return true;
}

// The item names a command stands for: NAME, or NAME1 to NAMEn for a
// command over N items.
std::vector<std::wstring> Runner::NamesOf(const Command& c) {
  long n = 0;
  if (c.Arg(L"N").empty() || !ParseLong(c.Arg(L"N"), &n)) return {c.Arg(L"NAME")};
  std::vector<std::wstring> names;
  for (long i = 1; i <= n; ++i) names.push_back(c.Arg(L"NAME") + std::to_wstring(i));
  return names;
}

std::wstring Runner::ItemId(const std::wstring& name, std::wstring* error) {
  auto it = items_.find(name);
  if (it == items_.end()) *error = L"no item named " + name;
  return it == items_.end() ? L"" : it->second;
}

std::wstring Runner::StorePathOf(const std::wstring& storeId) {
  for (const auto& [path, id] : stores_)
    if (id == storeId) return path;
  for (const sim::HostStore& s : side_->Stores())
    if (s.storeId == storeId) return s.name;
  return storeId;
}

std::vector<std::wstring> Runner::FolderDump(const std::wstring& path, const Folder& folder) {
  std::vector<sim::HostItem> items = side_->ItemsOf(folder.entryId);
  std::sort(items.begin(), items.end(), [](const sim::HostItem& a, const sim::HostItem& b) {
    if (a.subject != b.subject) return a.subject < b.subject;
    return Join(a.categories, L";") < Join(b.categories, L";");
  });
  std::vector<std::wstring> lines = {L"folder " + Quoted(path) + L" items=" + std::to_wstring(items.size())};
  for (const sim::HostItem& i : items) lines.push_back(ItemLine(i));
  return lines;
}

// The logs are 8-bit text: each byte is the code unit of the same value.
std::wstring Runner::ReadLog(const wchar_t* file) {
  std::ifstream in(std::filesystem::path(sandbox_.TempDir() + file), std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::wstring text(bytes.size(), L'\0');
  std::transform(bytes.begin(), bytes.end(), text.begin(), [](char ch) { return wchar_t(static_cast<unsigned char>(ch)); });
  return text;
}

void Runner::Pump(DWORD realMs) {
  const ULONGLONG end = GetTickCount64() + realMs;
  for (;;) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    control_->RunDue();  // what the stores do on their own
    if (side_->TakeDisconnectRequest()) {
      std::wstring report;
      addIn_.Disconnect(&report);
      if (!report.empty()) Print(L"  " + report);
    }
    ULONGLONG now = GetTickCount64();
    if (now >= end) break;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, DWORD(std::min<ULONGLONG>(end - now, 10)), QS_ALLINPUT);
  }
}

void Runner::ReportBoxes() {
  for (const BoxRecord& b : boxes_.TakeNew()) Print(L"  box " + Quoted(b.caption) + L" " + Quoted(b.text));
}

void Runner::Fail(const Command& c, const std::wstring& actual) {
  ++failures_;
  Print(L"FAILED line " + std::to_wstring(c.line) + L": " + c.text);
  Print(L"  actual: " + actual);
}

}  // namespace host
