// Small helpers shared by the scenario runner's files (runner*.cpp): folder
// types, lists and paths, options, store clocks, and the item lines that a
// dump or a failing expectation shows.
#pragma once
#include <string>
#include <vector>

#include "control/sim_control.h"
#include "outlook/host_side.h"
#include "script.h"

namespace host {

inline constexpr wchar_t kTallowbyKey[] = L"Software\\Corvane\\Tallowby";

// How many times `text` stands in `log` (overlapping occurrences count).
long Occurrences(const std::wstring& log, const std::wstring& text);

// A folder type of the scenario language: its item type, the default
// folder (Outlook folder number) of that type, and its items' class.
struct TypeInfo {
  const wchar_t* name;
  long itemType, defaultFolder;
  const wchar_t* messageClass;
};
const TypeInfo* TypeByName(const std::wstring& n);       // null for an unknown name
const TypeInfo* TypeByItemType(long itemType);          // mail for an unknown type
// The default folder (Outlook folder number) for a folder of an item type,
// as the folder page picks it (distribution lists live with contacts).
long DefaultFolderFor(long itemType);

std::wstring Join(const std::vector<std::wstring>& parts, const wchar_t* sep);
std::vector<std::wstring> SplitPath(const std::wstring& path);
long LongOpt(const Command& c, const wchar_t* name, long fallback);

// One item of a folder as a dump shows it, and whether it matches an
// expectation's options (subject=, categories=, class=, privacy, reminder).
std::wstring ItemLine(const sim::HostItem& i);
bool Matches(const Command& c, const sim::HostItem& i);

// Now as a UTC OLE Automation date.
double NowUtcDate();

// A store clock's offset from now, given as one (-2d) or as the UTC time the
// store's clock is to show now (2026-10-25T00:40Z).
bool StoreClockDays(const std::wstring& text, double* days);

}  // namespace host
