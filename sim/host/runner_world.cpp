// The scenario's world and what happens in it: stores, folders and items
// made; the user's edits, deletes, moves and copies; what the stores do on
// their own (echoes, clocks, forgotten sync states); failures injected.
#include "runner.h"

#include <deque>
#include <sstream>

#include "clock.h"
#include "output.h"
#include "runner_support.h"
#include "variant.h"
#include "world/value.h"

namespace host {

std::wstring Runner::UserStep(const Command& c) {
  const std::wstring& v = c.verb;
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
    if (!StoreClockDays(c.Arg(L"OFFSET"), &days)) return L"a store clock is an offset or a UTC time: " + c.Arg(L"OFFSET");
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
    // Each option given changes its setting; without any, both go back.
    const bool both = !c.Has(L"delay") && !c.Has(L"changes");
    double days = 0;
    ParseOffsetDays(c.Opt(L"delay").value_or(L"0s"), &days);
    if (both || c.Has(L"delay")) side_->SetEventDelay(days * 86400.0);
    if (both || c.Has(L"changes")) side_->SetChangeRepeats(LongOpt(c, L"changes", 1));
    return L"";
  }
  if (v == L"echo") {
    if ((id = ItemId(c.Arg(L"NAME"), &error)).empty()) return error;
    return control_->EchoItem(id, c.Has(L"rewrite")) ? L"" : L"cannot echo " + c.Arg(L"NAME");
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
  if (v == L"timezone") {
    // The machine moves to another zone while Outlook runs: from now on
    // every module of the process, the add-in's included, gives local times
    // in it.
    SetEnvironmentVariableW(L"TALLOWBY_TIME_ZONE", c.Arg(L"ZONE").c_str());
    TIME_ZONE_INFORMATION zone;
    return clk::LocalZone(&zone) ? L"" : L"no time zone " + Quoted(c.Arg(L"ZONE"));
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
  s.echoRewrites = c.Has(L"rewrite");
  if (auto v = c.Opt(L"named-props")) {
    if (*v != L"full") return L"named-props= takes full";
    s.namedPropsFull = true;
  }
  if (s.echoRewrites && s.echoAfterSeconds < 0) return L"rewrite is for a store that echoes (echo or echo=)";
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
constexpr wchar_t kDaslBody[] = L"http://schemas.microsoft.com/mapi/proptag/0x1000001F";

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

// What an item and a change of it share: modified=OFFSET (the local time
// that far from now) and body=TEXT.
void AddTimeAndBody(const Command& c, sim::ISimControl* control, PropList* props) {
  double days = 0;
  if (auto m = c.Opt(L"modified"); m && ParseOffsetDays(*m, &days))
    props->Add(kDaslModified, com::Variant(control->LocalTime(days * 86400.0), VT_DATE));
  if (auto b = c.Opt(L"body")) props->Add(kDaslBody, com::Variant(std::wstring_view(*b)));
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
  AddTimeAndBody(c, control_, &props);
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
  AddTimeAndBody(c, control_, &props);
  if (c.verb == L"conflict")
    return control_->ChangeItemBeforeSave(id, props.Props()) ? L"" : L"cannot arm an edit of " + c.Arg(L"NAME");
  return control_->ChangeItem(id, props.Props()) ? L"" : L"cannot change " + c.Arg(L"NAME");
}

}  // namespace host
