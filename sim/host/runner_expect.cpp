// What a scenario checks and shows: the expect forms and the dumps.
#include "runner.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "output.h"
#include "registry.h"
#include "runner_support.h"
#include "variant.h"

namespace host {
namespace {

// A property value as `expect field` shows it: texts of a list joined by
// ';', bytes as upper-case hexadecimal, "(empty)" when missing.
std::wstring FieldText(const com::Variant& value) {
  if (value.IsEmpty()) return L"(empty)";
  if (!(value.vt & VT_ARRAY) || !value.parray) return value.AsString();
  const SAFEARRAY* a = value.parray;
  const ULONG n = a->rgsabound[0].cElements;
  std::wstring text;
  if ((value.vt & VT_TYPEMASK) == VT_UI1) {
    static const wchar_t kHex[] = L"0123456789ABCDEF";
    for (ULONG i = 0; i < n; ++i) {
      const BYTE b = static_cast<const BYTE*>(a->pvData)[i];
      text += kHex[b >> 4];
      text += kHex[b & 15];
    }
    return text;
  }
  if ((value.vt & VT_TYPEMASK) != VT_BSTR) return L"(a list)";
  for (ULONG i = 0; i < n; ++i) {
    BSTR s = static_cast<BSTR const*>(a->pvData)[i];
    text += (i ? L";" : L"") + std::wstring(s ? s : L"");
  }
  return text;
}

}  // namespace

// A property of a named item, as text; false (and a failure) when it
// cannot be read.
bool Runner::FieldOf(const Command& c, const std::wstring& name, std::wstring* text, std::wstring* error) {
  std::wstring id = ItemId(name, error);
  if (id.empty()) return false;
  com::Variant value;
  if (FAILED(control_->ReadItem(id, c.Arg(L"DASL"), value.Put()))) {
    Fail(c, L"the property of " + name + L" cannot be read");
    return false;
  }
  *text = FieldText(value);
  return true;
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
    // The value given, or the value another named item has (same-as=) or
    // has not (differs-from=).
    std::wstring error, text, other;
    if (!FieldOf(c, c.Arg(L"NAME"), &text, &error)) return error;
    const auto same = c.Opt(L"same-as"), differs = c.Opt(L"differs-from");
    if ((same || differs) && !FieldOf(c, same ? *same : *differs, &other, &error)) return error;
    const bool ok = same ? text == other : differs ? text != other : text == c.Arg(L"VALUE");
    if (!ok) Fail(c, text + (same || differs ? L" (the other: " + other + L")" : L""));
    return L"";
  }
  if (sub == L"off-thread-refused") {
    // Outlook's Application, called from a thread that did not make it.
    com::ComPtr<IDispatch> app;
    app.Attach(control_->Application());
    if (!app) return L"the simulation has no Outlook layer";
    HRESULT hr = S_OK;
    std::thread([&] {
      wchar_t member[] = L"Version";
      LPOLESTR names[] = {member};
      DISPID id = 0;
      hr = app->GetIDsOfNames(IID_NULL, names, 1, 0, &id);
    }).join();
    if (hr != RPC_E_WRONG_THREAD) {
      wchar_t text[64];
      swprintf(text, 64, L"0x%08lX", static_cast<unsigned long>(hr));
      Fail(c, text);
    }
    return L"";
  }
  if (sub == L"utc-offset") {
    double want = 0;
    ParseOffsetDays(c.Arg(L"OFFSET"), &want);
    const double offset = control_->LocalTime(0) - NowUtcDate();
    if (std::fabs(offset - want) > 1.0 / 1440) {
      wchar_t text[64];
      swprintf(text, 64, L"%+.2f hours", offset * 24);
      Fail(c, text);
    }
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
    // A local wall-clock time instead of an offset: the time the item's
    // local time reads (the world's conversion, daylight saving included).
    double at = 0;
    const bool wallClock = ParseLocalTime(c.Arg(L"OFFSET"), &at);
    const double off = value.date - (wallClock ? at : control_->LocalTime(0));
    if (std::fabs(off - offset) > within) {
      wchar_t text[64];
      swprintf(text, 64, wallClock ? L"%+.1f minutes from it" : L"%+.1f minutes from now", off * 1440);
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
    std::wstring folderId;
    if (!FolderIdOption(c, &folderId)) return L"";
    if (!folderId.empty()) key += L"\\" + folderId;
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


bool Runner::FolderIdOption(const Command& c, std::wstring* id) {
  id->clear();
  auto path = c.Opt(L"folder");
  if (!path) return true;
  Folder f;
  if (!ResolveFolder(*path, &f)) {
    Fail(c, L"no folder " + Quoted(*path));
    return false;
  }
  *id = c.Has(L"wrapper-id") ? f.entryId : side_->OutlookId(f.entryId);
  return true;
}

std::wstring Runner::ExpectMore(const Command& c) {
  const std::wstring sub = c.Sub();
  if (sub == L"file") {
    std::wstring name;
    if (!FolderIdOption(c, &name)) return L"";
    name += c.Arg(L"NAME");
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
    std::wstring folderId;
    if (!FolderIdOption(c, &folderId)) return L"";
    if (!folderId.empty()) key += L"\\" + folderId;
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

}  // namespace host
