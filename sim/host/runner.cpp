#include "runner.h"

#include <commctrl.h>

#include <algorithm>
#include <cmath>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "clock.h"
#include "output.h"
#include "registry.h"
#include "variant.h"
#include "world/value.h"

namespace host {
namespace {


// How many times `text` stands in `log` (overlapping occurrences count).
long Occurrences(const std::wstring& log, const std::wstring& text) {
  if (text.empty()) return 0;
  long n = 0;
  for (size_t at = log.find(text); at != std::wstring::npos; at = log.find(text, at + 1)) ++n;
  return n;
}

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

constexpr wchar_t kTallowbyKey[] = L"Software\\Corvane\\Tallowby";

struct TypeInfo {
  const wchar_t* name;
  long itemType, defaultFolder;
  const wchar_t* messageClass;
};
const TypeInfo kTypes[] = {
    {L"mail", 0, 6, L"IPM.Note"},          {L"calendar", 1, 9, L"IPM.Appointment"},
    {L"contacts", 2, 10, L"IPM.Contact"},  {L"tasks", 3, 13, L"IPM.Task"},
    {L"journal", 4, 11, L"IPM.Activity"},  {L"notes", 5, 12, L"IPM.StickyNote"},
};
const TypeInfo* TypeByName(const std::wstring& n) {
  for (const TypeInfo& t : kTypes) if (n == t.name) return &t;
  return nullptr;
}
const TypeInfo* TypeByItemType(long itemType) {
  for (const TypeInfo& t : kTypes) if (t.itemType == itemType) return &t;
  return &kTypes[0];
}
// The default folder (Outlook folder number) for a folder of an item type,
// as the folder page picks it (distribution lists live with contacts).
long DefaultFolderFor(long itemType) { return itemType == 7 ? 10 : TypeByItemType(itemType)->defaultFolder; }

std::wstring Join(const std::vector<std::wstring>& parts, const wchar_t* sep) {
  std::wstring s;
  for (const std::wstring& p : parts) s += (s.empty() ? L"" : sep) + p;
  return s;
}

std::vector<std::wstring> SplitPath(const std::wstring& path) { return SplitList(path, L'/'); }

long LongOpt(const Command& c, const wchar_t* name, long fallback) {
  long v = fallback;
  if (auto o = c.Opt(name)) ParseLong(*o, &v);
  return v;
}

std::wstring ItemLine(const sim::HostItem& i) {
  return L"  item class=" + Quoted(i.messageClass) + L" subject=" + Quoted(i.subject) + L" categories=" +
         Quoted(Join(i.categories, L";")) + L" sensitivity=" + std::to_wstring(i.sensitivity) +
         L" reminder=" + (i.reminder ? L"1" : L"0");
}

bool Matches(const Command& c, const sim::HostItem& i) {
  if (auto v = c.Opt(L"subject"); v && *v != i.subject) return false;
  if (auto v = c.Opt(L"categories"); v && *v != Join(i.categories, L";")) return false;
  if (auto v = c.Opt(L"class"); v && *v != i.messageClass) return false;
  if (c.Has(L"sensitivity") && LongOpt(c, L"sensitivity", -1) != i.sensitivity) return false;
  if (c.Has(L"private") && i.sensitivity != 2) return false;
  if (c.Has(L"reminder") && !i.reminder) return false;
  if (c.Has(L"no-reminder") && i.reminder) return false;
  return true;
}

// A store clock's offset from now, given as one (-2d) or as the UTC time the
// store's clock is to show now (2026-10-25T00:40Z).
bool StoreClockDays(const std::wstring& text, double* days) {
  double at = 0;
  if (!ParseUtcTime(text, &at)) return ParseOffsetDays(text, days);
  *days = at - (double(clk::NowUtc()) / 864e9 - 109205.0);  // FILETIME days since 1601 to OLE dates
  return true;
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
  if (v == L"find") {
    Folder f;
    if (!ResolveFolder(c.Arg(L"PATH"), &f)) return L"no folder " + Quoted(c.Arg(L"PATH"));
    for (const sim::HostItem& i : side_->ItemsOf(f.entryId)) {
      if (i.subject != c.Opt(L"subject").value_or(L"")) continue;
      items_[c.Arg(L"NAME")] = i.entryId;
      return L"";
    }
    return L"no item with that subject in " + Quoted(c.Arg(L"PATH"));
  }
  if (v == L"clock") {
    auto it = stores_.find(c.Arg(L"PATH"));
    double days = 0;
    if (it == stores_.end()) return L"no store " + Quoted(c.Arg(L"PATH"));
    StoreClockDays(c.Arg(L"OFFSET"), &days);
    return control_->SetStoreClockOffset(it->second, days * 86400.0) ? L"" : L"cannot set the clock of " + Quoted(c.Arg(L"PATH"));
  }
  if (v == L"connection" && c.Sub() == L"sequence") {
    std::vector<long> modes;
    std::wistringstream list(c.Arg(L"MODES"));
    for (std::wstring part; std::getline(list, part, L',');) {
      long mode = 0;
      if (!ParseLong(part, &mode)) return L"not a connection mode: " + part;
      modes.push_back(mode);
    }
    control_->SetConnectionModes(modes);
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
  if (v == L"connection") {
    long mode = 0;
    ParseLong(c.Arg(L"MODE"), &mode);
    control_->SetConnectionModes({mode});
    return L"";
  }
  if (v == L"fail") {
    control_->InjectFailure(c.Arg(L"OPERATION"), LongOpt(c, L"nth", 1), HRESULT(LongOpt(c, L"hr", E_FAIL)),
                            LongOpt(c, L"count", 1));
    return L"";
  }
  if (v == L"inspector") {
    if (c.Sub() == L"close") { side_->CloseInspector(); return L""; }
    std::wstring error, id = ItemId(c.Arg(L"NAME"), &error);
    if (id.empty()) return error;
    return side_->OpenInspector(id) ? L"" : L"cannot open an inspector on " + c.Arg(L"NAME");
  }
  std::wstring error, id;
  if (v == L"delete") {
    std::vector<std::wstring> ids;
    for (const std::wstring& name : NamesOf(c)) {
      if ((id = ItemId(name, &error)).empty()) return error;
      ids.push_back(id);
    }
    return control_->DeleteItems(ids, c.Has(L"hard")) ? L"" : L"cannot delete " + c.Arg(L"NAME");
  }
  if (v == L"empty-deleted-items") {
    auto it = stores_.find(c.Arg(L"STORE"));
    if (it == stores_.end()) return L"no store " + Quoted(c.Arg(L"STORE"));
    return control_->EmptyDeletedItems(it->second) ? L"" : L"the store has no Deleted Items";
  }
  if (v == L"events") {
    double days = 0;
    ParseOffsetDays(c.Opt(L"delay").value_or(L"0s"), &days);
    side_->SetEventDelay(days * 86400.0);
    return L"";
  }
  if (v == L"echo") {
    if ((id = ItemId(c.Arg(L"NAME"), &error)).empty()) return error;
    return control_->EchoItem(id) ? L"" : L"cannot echo " + c.Arg(L"NAME");
  }
  if (v == L"copy" || v == L"move") {
    Folder to;
    if ((id = ItemId(c.Arg(L"NAME"), &error)).empty()) return error;
    if (!ResolveFolder(c.Arg(L"PATH"), &to)) return L"no folder " + Quoted(c.Arg(L"PATH"));
    // A copy is a new item under its own name; a moved item keeps its name.
    std::wstring made = v == L"copy" ? control_->CopyItem(id, to.entryId) : control_->MoveItem(id, to.entryId);
    if (made.empty()) return L"cannot " + v + L" " + c.Arg(L"NAME");
    items_[c.Arg(v == L"copy" ? L"COPY" : L"NAME")] = made;
    return L"";
  }
  if (v == L"expire-sync") {
    Folder f;
    if (!ResolveFolder(c.Arg(L"PATH"), &f)) return L"no folder " + Quoted(c.Arg(L"PATH"));
    return control_->ExpireSyncStates(f.entryId) ? L"" : L"cannot expire the states of " + Quoted(c.Arg(L"PATH"));
  }
  if (v == L"delete-folder") {
    Folder f;
    if (!ResolveFolder(c.Arg(L"PATH"), &f)) return L"no folder " + Quoted(c.Arg(L"PATH"));
    return control_->DeleteFolder(f.entryId, c.Has(L"hard")) ? L"" : L"cannot delete folder " + Quoted(c.Arg(L"PATH"));
  }
  if (v == L"address-list" || v == L"address-entry" || v == L"remove-address-entry") return AddressBook(c);
  if (v == L"remove-store") {
    auto it = stores_.find(c.Arg(L"PATH"));
    if (it == stores_.end()) return L"no store " + Quoted(c.Arg(L"PATH"));
    if (!control_->RemoveStore(it->second)) return L"cannot remove store " + Quoted(c.Arg(L"PATH"));
    stores_.erase(it);
    return L"";
  }
  return L"command not implemented: " + v;
}

std::wstring Runner::Outlook(const Command& c) {
  if (addIn_.Started()) return L"'outlook' belongs before 'start'";
  if (auto v = c.Opt(L"version")) side_->SetVersion(*v);
  if (auto p = c.Opt(L"profile")) side_->SetProfile(*p);
  return L"";
}

std::wstring Runner::Store(const Command& c) {
  const std::wstring& path = c.Arg(L"PATH");
  if (stores_.count(path)) return L"store " + Quoted(path) + L" exists already";
  std::wstring kind = c.Opt(L"kind").value_or(L"pst");
  sim::SimStore s;
  s.name = c.Opt(L"name").value_or(kind == L"internet-calendar" ? L"Internetkalender" : path);
  s.isDefault = c.Has(L"default");
  if (kind == L"exchange") s.kind = 3;
  if (kind == L"kind6") s.kind = 6;
  if (kind == L"icloud") s.providerHex = sim::providers::kICloud;
  if (kind == L"hotmail") s.providerHex = sim::providers::kHotmail;
  for (const std::wstring& t : SplitList(c.Opt(L"no-default").value_or(L""), L','))
    s.omitFolders.push_back(TypeByName(t)->defaultFolder);
  double days = 0;
  if (auto v = c.Opt(L"clock"); v && StoreClockDays(*v, &days)) s.clockOffsetSeconds = days * 86400.0;
  constexpr double kEchoAfterSeconds = 20;
  if (auto v = c.Opt(L"echo")) s.echoAfterSeconds = v->empty() || !ParseOffsetDays(*v, &days) ? kEchoAfterSeconds : days * 86400.0;
  if (auto v = c.Opt(L"upload")) {
    if (kind != L"exchange") return L"upload= is for a store of kind exchange";
    if (ParseOffsetDays(*v, &days)) s.uploadAfterSeconds = days * 86400.0;
  }
  std::wstring id = control_->AddStore(s);
  if (id.empty()) return L"cannot add store " + Quoted(path);
  stores_[path] = id;
  return L"";
}

std::wstring Runner::MakeFolder(const Command& c) {
  std::vector<std::wstring> parts = SplitPath(c.Arg(L"PATH"));
  if (parts.size() < 2) return L"a folder path is Store/Folder";
  const TypeInfo* type = TypeByName(c.Opt(L"type").value_or(L""));
  Folder existing, parent;
  if (ResolveFolder(c.Arg(L"PATH"), &existing)) {
    if (type && existing.itemType != type->itemType) return L"folder exists with another type: " + Quoted(c.Arg(L"PATH"));
    return L"";
  }
  std::vector<std::wstring> up(parts.begin(), parts.end() - 1);
  if (!ResolveFolder(Join(up, L"/"), &parent)) return L"no folder " + Quoted(Join(up, L"/"));
  if (control_->AddFolder(parent.entryId, parts.back(), type ? type->itemType : -1).empty())
    return L"cannot add folder " + Quoted(c.Arg(L"PATH"));
  return L"";
}

namespace {

constexpr wchar_t kDaslSensitivity[] = L"http://schemas.microsoft.com/mapi/proptag/0x00360003";
constexpr wchar_t kDaslReminderSet[] = L"http://schemas.microsoft.com/mapi/id/{00062008-0000-0000-C000-000000000046}/8503000B";
constexpr wchar_t kDaslEmail1[] = L"http://schemas.microsoft.com/mapi/id/{00062004-0000-0000-C000-000000000046}/8083001F";
constexpr wchar_t kDaslResponseStatus[] = L"http://schemas.microsoft.com/mapi/id/{00062002-0000-0000-C000-000000000046}/82180003";
constexpr wchar_t kDaslKeywords[] = L"urn:schemas:mailheader:keywords";
constexpr wchar_t kDaslModified[] = L"DAV:getlastmodified";

// Properties for the control, with the VARIANTs they point to kept alive.
class PropList {
 public:
  void Add(const wchar_t* dasl, com::Variant value) {
    values_.push_back(std::move(value));
    props_.push_back({dasl, values_.back()});
  }
  void AddStrings(const wchar_t* dasl, const std::vector<std::wstring>& list) {
    com::Variant v;
    if (!list.empty()) {
      SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 0, ULONG(list.size()));
      for (LONG i = 0; i < LONG(list.size()); ++i) {
        BSTR b = SysAllocString(list[size_t(i)].c_str());
        SafeArrayPutElement(array, &i, b);
        SysFreeString(b);
      }
      v.vt = VT_ARRAY | VT_BSTR;
      v.parray = array;
    }
    Add(dasl, std::move(v));
  }
  const std::vector<sim::SimProp>& Props() const { return props_; }

 private:
  std::deque<com::Variant> values_;
  std::vector<sim::SimProp> props_;
};

// modified=OFFSET: the local time that far from now.
void AddModified(const Command& c, sim::ISimControl* control, PropList* props) {
  double days = 0;
  if (auto m = c.Opt(L"modified"); m && ParseOffsetDays(*m, &days))
    props->Add(kDaslModified, com::Variant(control->LocalTime(days * 86400.0), VT_DATE));
}

}  // namespace

std::wstring Runner::MakeItem(const Command& c) {
  Folder f;
  if (!ResolveFolder(c.Arg(L"PATH"), &f)) return L"no folder " + Quoted(c.Arg(L"PATH"));
  sim::SimItem s;
  s.messageClass = TypeByItemType(f.itemType)->messageClass;
  if (c.Has(L"request")) {
    if (f.itemType == 1) s.messageClass = L"IPM.Schedule.Meeting.Request";
    else if (f.itemType == 3) s.messageClass = L"IPM.TaskRequest";
    else return L"'request' needs a calendar or tasks folder";
  }
  if (auto v = c.Opt(L"class")) s.messageClass = *v;
  s.categories = SplitList(c.Opt(L"categories").value_or(L""));
  s.members = SplitList(c.Opt(L"members").value_or(L""));
  s.recipients = SplitList(c.Opt(L"recipients").value_or(L""));
  PropList props;
  props.Add(kDaslSensitivity, com::Variant(c.Has(L"private") ? 2L : LongOpt(c, L"sensitivity", 0)));
  props.Add(kDaslReminderSet, com::Variant(c.Has(L"reminder")));
  if (auto v = c.Opt(L"email")) props.Add(kDaslEmail1, com::Variant(std::wstring_view(*v)));
  if (c.Has(L"response")) props.Add(kDaslResponseStatus, com::Variant(LongOpt(c, L"response", 0)));
  AddModified(c, control_, &props);
  s.props = props.Props();

  const std::vector<std::wstring> names = NamesOf(c);
  for (const std::wstring& name : names)
    if (items_.count(name)) return L"item " + name + L" exists already";
  std::vector<sim::SimItem> batch;
  const std::wstring subject = c.Opt(L"subject").value_or(c.Arg(L"NAME"));
  for (size_t i = 0; i < names.size(); ++i) {
    batch.push_back(s);
    batch.back().subject = c.verb == L"item" ? subject : subject + L" " + std::to_wstring(i + 1);
  }
  std::vector<std::wstring> ids = control_->AddItems(f.entryId, batch);
  if (ids.size() != names.size()) return L"cannot add " + c.Arg(L"NAME");
  for (size_t i = 0; i < names.size(); ++i) items_[names[i]] = ids[i];
  return L"";
}

std::wstring Runner::Change(const Command& c) {
  std::wstring error, id = ItemId(c.Arg(L"NAME"), &error);
  if (id.empty()) return error;
  PropList props;
  if (auto v = c.Opt(L"subject")) props.Add(L"http://schemas.microsoft.com/mapi/proptag/0x0037001F", com::Variant(std::wstring_view(*v)));
  if (auto v = c.Opt(L"categories")) props.AddStrings(kDaslKeywords, SplitList(*v));
  if (c.Has(L"private")) props.Add(kDaslSensitivity, com::Variant(2L));
  if (c.Has(L"public")) props.Add(kDaslSensitivity, com::Variant(0L));
  if (c.Has(L"sensitivity")) props.Add(kDaslSensitivity, com::Variant(LongOpt(c, L"sensitivity", 0)));
  if (c.Has(L"reminder")) props.Add(kDaslReminderSet, com::Variant(true));
  if (c.Has(L"no-reminder")) props.Add(kDaslReminderSet, com::Variant(false));
  AddModified(c, control_, &props);
  if (c.verb == L"conflict")
    return control_->ChangeItemBeforeSave(id, props.Props()) ? L"" : L"cannot arm an edit of " + c.Arg(L"NAME");
  return control_->ChangeItem(id, props.Props()) ? L"" : L"cannot change " + c.Arg(L"NAME");
}

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
  std::wstring storeId = stores_[parts[0]];
  std::wstring profile = c.Opt(L"profile").value_or(L"Outlook");
  std::wstring category = c.Opt(L"category").value_or(parts.back());
  std::wstring key = base + L"\\Folders\\" + master.entryId;
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
      std::wstring e = RegSetDword(entries + f.entryId, L"used", 1);
      return e.empty() ? RegSetString(entries + f.entryId, L"Categorie", category) : e;
    }
  }
  if (RegReadString(base + L"\\Config", L"defaultStoreName").empty()) return L"";
  std::wstring k = entries + target;
  if (RegReadDword(k, L"used", 0) != 0) return L"";
  for (const std::wstring& e : {RegSetDword(k, L"IS_STANDARD_KATEGORIE_ADD_INFO", 1), RegSetDword(k, L"used", 1),
                                RegSetString(k, L"SID", defaultStore), RegSetString(k, L"Profil", profile),
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

std::wstring Runner::Dump(const Command& c) {
  const std::wstring sub = c.Sub();
  if (sub == L"registry") {
    std::wstring key;
    if (!UserSubkey(c.Arg(L"KEY"), &key)) return L"registry paths start with HKCU\\: " + c.Arg(L"KEY");
    for (const std::wstring& line : RegDumpTree(key, c.Arg(L"KEY"))) Print(line);
    return L"";
  }
  if (sub == L"log" || sub == L"error-log") {
    std::wistringstream in(ReadLog(sub == L"log" ? L"Tallowby_debug.log" : L"Tallowby_error.log"));
    for (std::wstring line; std::getline(in, line);) {
      if (!line.empty() && line.back() == L'\r') line.pop_back();
      Print(L"  | " + line);
    }
    return L"";
  }
  if (!c.Arg(L"PATH").empty()) {
    Folder f;
    if (!ResolveFolder(c.Arg(L"PATH"), &f)) return L"no folder " + Quoted(c.Arg(L"PATH"));
    for (const std::wstring& line : FolderDump(c.Arg(L"PATH"), f)) Print(line);
    return L"";
  }
  // Every folder of every store but the empty default folders, depth first.
  for (const sim::HostStore& s : side_->Stores()) {
    std::vector<std::pair<std::wstring, sim::HostFolder>> stack;
    std::wstring storePath = StorePathOf(s.storeId);
    auto push = [&](const std::wstring& prefix, const std::wstring& parent) {
      auto subs = side_->Subfolders(parent);
      for (auto it = subs.rbegin(); it != subs.rend(); ++it) stack.emplace_back(prefix + L"/" + it->name, *it);
    };
    push(storePath, s.rootEntryId);
    while (!stack.empty()) {
      auto [path, folder] = stack.back();
      stack.pop_back();
      std::vector<std::wstring> lines = FolderDump(path, {folder.entryId, folder.itemType});
      if (folder.defaultKind == 0 || lines.size() > 1)
        for (const std::wstring& line : lines) Print(line);
      push(path, folder.entryId);
    }
  }
  return L"";
}

std::wstring Runner::Expect(const Command& c) {
  const std::wstring sub = c.Sub();
  if (sub == L"file" || sub == L"data-folder" || sub == L"registry-value" || sub == L"boxes") return ExpectMore(c);
  if (sub == L"field") {
    std::wstring error, id = ItemId(c.Arg(L"NAME"), &error);
    if (id.empty()) return error;
    com::Variant value;
    if (FAILED(control_->ReadItem(id, c.Arg(L"DASL"), value.Put()))) {
      Fail(c, L"the property cannot be read");
      return L"";
    }
    std::wstring text = value.IsEmpty() ? L"(empty)" : value.AsString();
    if (text != c.Arg(L"VALUE")) Fail(c, text);
    return L"";
  }
  if (sub == L"modified") {
    std::wstring error, id = ItemId(c.Arg(L"NAME"), &error);
    if (id.empty()) return error;
    double offset = 0, within = 10.0 / 1440;
    ParseOffsetDays(c.Arg(L"OFFSET"), &offset);
    if (auto w = c.Opt(L"within")) ParseOffsetDays(*w, &within);
    com::Variant value;
    if (FAILED(control_->ReadItem(id, L"DAV:getlastmodified", value.Put())) || value.vt != VT_DATE) {
      Fail(c, L"the item has no modification time");
      return L"";
    }
    const double off = value.date - control_->LocalTime(0);
    if (std::fabs(off - offset) > within) {
      wchar_t text[64];
      swprintf(text, 64, L"%+.1f minutes from now", off * 1440);
      Fail(c, text);
    }
    return L"";
  }
  if (sub == L"no-writes") {
    std::wstring writes;
    for (const sim::SimCall& call : control_->Calls()) {
      bool write = call.op == L"Message.CopyTo" || call.op == L"Message.Save" || call.op == L"Message.Delete" ||
                   call.op == L"AddressEntry.CopyTo" ||
                   (call.op == L"Utils.SetPropByTag" && call.detail.find(L"flags=0") == std::wstring::npos);
      if (write) writes += L"\n  " + call.op + L" " + call.detail;
    }
    if (!writes.empty()) Fail(c, writes);
    return L"";
  }
  if (sub == L"calls") {
    size_t seen = 0;
    for (const sim::SimCall& call : control_->Calls()) seen += call.op == c.Arg(L"OP") ? 1 : 0;
    if (std::to_wstring(seen) != c.Arg(L"N")) Fail(c, L"calls " + std::to_wstring(seen));
    return L"";
  }
  if (sub == L"count" || sub == L"item" || sub == L"no-item") {
    Folder f;
    if (!ResolveFolder(c.Arg(L"PATH"), &f)) {
      Fail(c, L"no folder " + Quoted(c.Arg(L"PATH")));
      return L"";
    }
    std::vector<sim::HostItem> items = side_->ItemsOf(f.entryId);
    if (sub == L"count") {
      long want = 0;
      ParseLong(c.Arg(L"N"), &want);
      if (long(items.size()) != want) Fail(c, L"count " + std::to_wstring(items.size()));
      return L"";
    }
    bool found = std::any_of(items.begin(), items.end(), [&](const sim::HostItem& i) { return Matches(c, i); });
    if (found != (sub == L"item")) {
      std::vector<std::wstring> lines = FolderDump(c.Arg(L"PATH"), f);
      Fail(c, L"\n" + Join(lines, L"\n"));
    }
    return L"";
  }
  if (sub == L"log" || sub == L"error-log") {
    const wchar_t* file = sub == L"log" ? L"Tallowby_debug.log" : L"Tallowby_error.log";
    std::wstring log = ReadLog(file);
    if (auto except = c.Opt(L"except")) {
      // Lines that hold the text and none of the excepted texts: the lines
      // that nothing in the scenario explains.
      std::vector<std::wstring> excepted = SplitList(*except), lines;
      std::wistringstream in(log);
      for (std::wstring line; std::getline(in, line);) {
        if (!line.empty() && line.back() == L'\r') line.pop_back();
        bool explained = std::any_of(excepted.begin(), excepted.end(),
                                     [&](const std::wstring& e) { return line.find(e) != std::wstring::npos; });
        if (!explained && line.find(c.Arg(L"TEXT")) != std::wstring::npos) lines.push_back(line);
      }
      bool ok = c.Has(L"count") ? long(lines.size()) == LongOpt(c, L"count", -1) : !lines.empty();
      if (!ok) Fail(c, L"count " + std::to_wstring(lines.size()) + (lines.empty() ? L"" : L"\n  | " + Join(lines, L"\n  | ")));
      return L"";
    }
    if (c.Has(L"count")) {
      long n = Occurrences(log, c.Arg(L"TEXT"));
      if (n != LongOpt(c, L"count", -1)) Fail(c, L"count " + std::to_wstring(n));
      return L"";
    }
    if (log.find(c.Arg(L"TEXT")) == std::wstring::npos)
      Fail(c, log.empty() ? std::wstring(file) + L" is empty or missing" : std::wstring(file) + L" lacks it");
    return L"";
  }
  if (sub == L"registry") {
    std::wstring key;
    if (!UserSubkey(c.Arg(L"KEY"), &key)) return L"registry paths start with HKCU\\: " + c.Arg(L"KEY");
    bool exists = RegKeyExists(key);
    if (c.Has(L"missing")) {
      if (exists) Fail(c, L"the key exists");
      return L"";
    }
    if (!exists) {
      Fail(c, L"the key is missing");
      return L"";
    }
    if (c.Has(L"subkeys") && long(RegCountSubkeys(key)) != LongOpt(c, L"subkeys", -1))
      Fail(c, L"subkeys=" + std::to_wstring(RegCountSubkeys(key)));
    if (c.Has(L"values") && long(RegCountValues(key)) != LongOpt(c, L"values", -1))
      Fail(c, L"values=" + std::to_wstring(RegCountValues(key)));
    return L"";
  }
  // box
  std::vector<BoxRecord> boxes = boxes_.All();
  for (const BoxRecord& b : boxes)
    if (b.caption == c.Arg(L"CAPTION") && b.text == c.Arg(L"TEXT")) return L"";
  std::wstring shown;
  for (const BoxRecord& b : boxes) shown += L"\n  box " + Quoted(b.caption) + L" " + Quoted(b.text);
  Fail(c, boxes.empty() ? L"no message box was shown" : shown);
  return L"";
}

// Writes the text as 8-bit bytes, as the add-in's logs are written.
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

std::wstring Runner::ExpectMore(const Command& c) {
  const std::wstring sub = c.Sub();
  if (sub == L"file") {
    std::wstring name = c.Arg(L"NAME");
    if (auto folderPath = c.Opt(L"folder")) {
      Folder f;
      if (!ResolveFolder(*folderPath, &f)) {
        Fail(c, L"no folder " + Quoted(*folderPath));
        return L"";
      }
      name = f.entryId + name;
    }
    std::filesystem::path path(FolderOf(c.Arg(L"WHERE")) + name);
    std::error_code ec;
    bool exists = std::filesystem::is_regular_file(path, ec);
    const std::wstring& state = c.Arg(L"STATE");
    if (state == L"missing") {
      if (exists) Fail(c, L"the file exists");
      return L"";
    }
    if (!exists) {
      Fail(c, L"the file is missing");
      return L"";
    }
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::wstring text(bytes.size(), L'\0');
    std::transform(bytes.begin(), bytes.end(), text.begin(), [](char ch) { return wchar_t(static_cast<unsigned char>(ch)); });
    auto contains = c.Opt(L"contains"), lacks = c.Opt(L"lacks");
    if ((contains && text.find(*contains) == std::wstring::npos) || (lacks && text.find(*lacks) != std::wstring::npos))
      Fail(c, L"the file holds " + Quoted(text));
    return L"";
  }
  if (sub == L"data-folder") {
    std::error_code ec;
    bool exists = std::filesystem::is_directory(std::filesystem::path(FolderOf(L"data")), ec);
    if (exists != (c.Arg(L"STATE") == L"exists")) Fail(c, exists ? L"the data folder exists" : L"no data folder");
    return L"";
  }
  if (sub == L"registry-value") {
    std::wstring key;
    if (!UserSubkey(c.Arg(L"KEY"), &key)) return L"registry paths start with HKCU\\: " + c.Arg(L"KEY");
    if (auto path = c.Opt(L"folder")) {
      Folder f;
      if (!ResolveFolder(*path, &f)) {
        Fail(c, L"no folder " + Quoted(*path));
        return L"";
      }
      key += L"\\" + f.entryId;
    }
    DWORD type = 0, size = 0;
    bool exists = RegValueInfo(key, c.Arg(L"VALUE"), &type, &size);
    if (c.Has(L"missing")) {
      if (exists) Fail(c, L"the value exists");
      return L"";
    }
    if (!exists) {
      Fail(c, L"the value is missing");
      return L"";
    }
    const std::wstring& want = c.Arg(L"TYPE");
    DWORD wantType = want == L"dword" ? REG_DWORD : want == L"sz" ? REG_SZ : REG_BINARY;
    const wchar_t* shown = type == REG_DWORD ? L"dword" : type == REG_SZ ? L"sz" : type == REG_BINARY ? L"binary" : nullptr;
    std::wstring actual = (shown ? std::wstring(shown) : L"type " + std::to_wstring(type)) + L" size=" + std::to_wstring(size);
    if (type != wantType || (c.Has(L"size") && long(size) != LongOpt(c, L"size", -1))) {
      Fail(c, actual);
      return L"";
    }
    if (auto data = c.Opt(L"data")) {
      const std::wstring& name = c.Arg(L"VALUE");
      std::wstring have = type == REG_DWORD ? std::to_wstring(RegReadDword(key, name, 0)) : RegReadString(key, name);
      if (have != *data) Fail(c, actual + L" data=" + Quoted(have));
    }
    return L"";
  }
  // boxes: how many boxes with this caption were shown
  long want = 0, shown = 0;
  ParseLong(c.Arg(L"N"), &want);
  std::wstring texts;
  for (const BoxRecord& b : boxes_.All()) {
    if (b.caption != c.Arg(L"CAPTION")) continue;
    ++shown;
    texts += L"\n  box " + Quoted(b.caption) + L" " + Quoted(b.text);
  }
  if (shown != want) Fail(c, std::to_wstring(shown) + texts);
  return L"";
}

std::wstring Runner::Pages(const Command& c) {
  const std::wstring& v = c.verb;
  if (v == L"options" || v == L"properties") {
    std::wstring entryId;
    if (v == L"properties") {
      Folder f;
      if (!ResolveFolder(c.Arg(L"PATH"), &f)) return L"no folder " + Quoted(c.Arg(L"PATH"));
      entryId = f.entryId;
    }
    dialog_.Close();
    lastPages_.clear();
    if (!side_->RequestOptionPages(entryId, &lastPages_)) return L"the folder is gone";
    Print(L"  pages added: " + (lastPages_.empty() ? L"none" : Join(lastPages_, L";")));
    std::vector<std::wstring> report;
    std::wstring title = v == L"options" ? L"Options" : L"Properties of " + SplitPath(c.Arg(L"PATH")).back();
    if (!dialog_.Open(title, lastPages_, &report)) return L"cannot open the dialog";
    for (const std::wstring& line : report) Print(L"  " + line);
    Pump(300);
    return L"";
  }
  if (c.Sub() == L"pages") {
    if (Join(lastPages_, L";") != c.Arg(L"TEXT")) Fail(c, Quoted(Join(lastPages_, L";")));
    return L"";
  }
  if (!dialog_.IsOpen()) return L"no options dialog is open";
  if (v == L"screenshot") {
    const std::filesystem::path dir = ArtifactsFolder();
    SetForegroundWindow(dialog_.Frame());
    RedrawWindow(dialog_.Frame(), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    Pump(500);
    const std::wstring path = (dir / (c.Arg(L"NAME") + L".bmp")).wstring();
    if (!SaveWindowBitmap(dialog_.Frame(), path)) return L"cannot save " + path;
    Print(L"  screenshot " + c.Arg(L"NAME") + L".bmp");
    return L"";
  }
  const size_t tab = size_t(LongOpt(c, L"tab", 1));
  if (tab < 1 || tab > dialog_.PageCount()) return L"the dialog has no page " + std::to_wstring(tab);
  HostedPage& page = dialog_.Page(tab - 1);
  const std::wstring sub = c.Sub();
  if (v == L"expect") {
    const bool wantDirty = c.form == L"page dirty";
    if (page.Dirty() != wantDirty) Fail(c, page.Dirty() ? L"dirty" : L"clean");
    return L"";
  }
  if (sub == L"click") {
    long id = 0;
    ParseLong(c.Arg(L"N"), &id);
    HWND control = GetDlgItem(page.PageWindow(), int(id));
    if (!control) return L"the page has no control " + c.Arg(L"N");
    SendMessageW(control, BM_CLICK, 0, 0);
    Pump(100);
    return L"";
  }
  if (sub == L"text" || sub == L"select" || sub == L"check") {
    long id = 0;
    ParseLong(c.Arg(L"N"), &id);
    HWND control = GetDlgItem(page.PageWindow(), int(id));
    if (!control) return L"the page has no control " + c.Arg(L"N");
    std::wstring error = sub == L"text"     ? TypeInto(control, c.Arg(L"TEXT"))
                         : sub == L"select" ? SelectEntry(page.PageWindow(), control, int(id), c.Arg(L"TEXT"))
                                            : CheckRow(control, c.Arg(L"ROW"), !c.Has(L"off"));
    Pump(100);
    return error;
  }
  if (sub == L"apply") {
    std::vector<std::wstring> report;
    bool ok = dialog_.Apply(&report);
    for (const std::wstring& line : report) Print(L"  " + line);
    if (!ok) Print(L"  the dialog stays open");
    return L"";
  }
  dialog_.Close();  // close
  return L"";
}

std::wstring Runner::TypeInto(HWND control, const std::wstring& text) {
  // A combo box is typed into through its edit field, as the keyboard does.
  HWND edit = control;
  COMBOBOXINFO info{sizeof info};
  if (GetComboBoxInfo(control, &info)) {
    if (!info.hwndItem || info.hwndItem == control) return L"the combo box has no edit field";
    edit = info.hwndItem;
  }
  SetFocus(edit);
  SendMessageW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L""));
  for (wchar_t ch : text) {
    SendMessageW(edit, WM_KEYDOWN, WPARAM(ch), 0);
    SendMessageW(edit, WM_CHAR, WPARAM(ch), 0);
  }
  return L"";
}

std::wstring Runner::SelectEntry(HWND page, HWND combo, int id, const std::wstring& text) {
  const LRESULT index = SendMessageW(combo, CB_FINDSTRINGEXACT, WPARAM(-1), reinterpret_cast<LPARAM>(text.c_str()));
  if (index == CB_ERR) return L"the combo box has no entry " + Quoted(text);
  SendMessageW(combo, CB_SETCURSEL, WPARAM(index), 0);
  // What the combo box tells its parent when the user picks an entry.
  SendMessageW(page, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), reinterpret_cast<LPARAM>(combo));
  SendMessageW(page, WM_COMMAND, MAKEWPARAM(id, CBN_SELENDOK), reinterpret_cast<LPARAM>(combo));
  return L"";
}

std::wstring Runner::CheckRow(HWND list, const std::wstring& row, bool on) {
  const int rows = int(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
  for (int i = 0; i < rows; ++i) {
    wchar_t text[256] = {};
    LVITEMW item{};
    item.pszText = text;
    item.cchTextMax = 256;
    SendMessageW(list, LVM_GETITEMTEXTW, WPARAM(i), reinterpret_cast<LPARAM>(&item));
    if (row != text) continue;
    // The check box's state image, as the space bar toggles it.
    LVITEMW state{};
    state.stateMask = LVIS_STATEIMAGEMASK;
    state.state = INDEXTOSTATEIMAGEMASK(on ? 2 : 1);
    SendMessageW(list, LVM_SETITEMSTATE, WPARAM(i), reinterpret_cast<LPARAM>(&state));
    return L"";
  }
  return L"the list has no row " + Quoted(row);
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
