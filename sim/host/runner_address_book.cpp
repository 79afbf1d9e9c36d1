// The scenario's directory: address lists and their entries, handed to the
// simulated wrapper's address book whole after every change.
#include <algorithm>

#include "runner.h"

namespace host {

std::wstring Runner::AddressBook(const Command& c) {
  const std::wstring& listName = c.Arg(L"LIST");
  if (c.verb == L"address-list") {
    AddressListState& list = addressLists_[listName];
    if (auto path = c.Opt(L"folder")) {
      Folder f;
      if (!ResolveFolder(*path, &f)) return L"no folder " + *path;
      list.contactsFolderEntryId = f.entryId;
    }
    long generate = 0;
    if (auto n = c.Opt(L"generate")) ParseLong(*n, &generate);
    for (long i = 1; i <= generate; ++i) {
      const std::wstring number = std::to_wstring(i);
      sim::SimAddressEntry e;
      e.name = L"Person " + number;
      e.smtp = L"person" + number + L"@example.com";
      e.alias = L"person" + number;
      e.firstName = L"Person";
      e.lastName = number;
      list.entries.emplace_back(L"person" + number, std::move(e));
    }
  } else {
    auto found = addressLists_.find(listName);
    if (found == addressLists_.end()) return L"no address list \"" + listName + L"\"";
    auto& entries = found->second.entries;
    const std::wstring& name = c.Arg(L"NAME");
    auto same = std::find_if(entries.begin(), entries.end(), [&](const auto& e) { return e.first == name; });
    if (c.verb == L"remove-address-entry") {
      if (same == entries.end()) return L"no address entry " + name + L" in \"" + listName + L"\"";
      entries.erase(same);
    } else {
      sim::SimAddressEntry e;
      e.name = c.Opt(L"name").value_or(name);
      e.smtp = c.Opt(L"smtp").value_or(L"");
      e.alias = c.Opt(L"alias").value_or(L"");
      e.firstName = c.Opt(L"first").value_or(L"");
      e.lastName = c.Opt(L"last").value_or(L"");
      e.isDistList = c.Has(L"distlist");
      e.members = SplitList(c.Opt(L"members").value_or(L""));
      if (same != entries.end())
        same->second = std::move(e);
      else
        entries.emplace_back(name, std::move(e));
    }
  }
  const AddressListState& list = addressLists_[listName];
  std::vector<sim::SimAddressEntry> entries;
  for (const auto& e : list.entries) entries.push_back(e.second);
  control_->SetAddressList(listName, list.contactsFolderEntryId, entries);
  return L"";
}

}  // namespace host
