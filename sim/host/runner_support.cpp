// Small helpers shared by the scenario runner's files.
#include "runner_support.h"

#include "clock.h"
#include "output.h"

namespace host {
namespace {

const TypeInfo kTypes[] = {
    {L"mail", 0, 6, L"IPM.Note"},          {L"calendar", 1, 9, L"IPM.Appointment"},
    {L"contacts", 2, 10, L"IPM.Contact"},  {L"tasks", 3, 13, L"IPM.Task"},
    {L"journal", 4, 11, L"IPM.Activity"},  {L"notes", 5, 12, L"IPM.StickyNote"},
};

}  // namespace

long Occurrences(const std::wstring& log, const std::wstring& text) {
  if (text.empty()) return 0;
  long n = 0;
  for (size_t at = log.find(text); at != std::wstring::npos; at = log.find(text, at + 1)) ++n;
  return n;
}

const TypeInfo* TypeByName(const std::wstring& n) {
  for (const TypeInfo& t : kTypes) if (n == t.name) return &t;
  return nullptr;
}
const TypeInfo* TypeByItemType(long itemType) {
  for (const TypeInfo& t : kTypes) if (t.itemType == itemType) return &t;
  return &kTypes[0];
}
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

double NowUtcDate() { return double(clk::NowUtc()) / 864e9 - 109205.0; }  // FILETIME days since 1601 to OLE dates

bool StoreClockDays(const std::wstring& text, double* days) {
  double at = 0;
  if (!ParseUtcTime(text, &at)) return ParseOffsetDays(text, days);
  *days = at - NowUtcDate();
  return true;
}

}  // namespace host
