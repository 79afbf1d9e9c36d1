// Runs a parsed scenario against the simulated world and Outlook, driving
// the add-in on this (Outlook's user-interface) thread.
#pragma once
#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "addin_host.h"
#include "box_watcher.h"
#include "page_site.h"
#include "control/sim_control.h"
#include "outlook/host_side.h"
#include "sandbox.h"
#include "script.h"

namespace host {

class Runner {
 public:
  Runner(sim::ISimControl* control, sim::IHostSide* side, const Sandbox& sandbox, BoxWatcher& boxes);
  // Runs every command (stopping at the first error that leaves the scenario
  // meaningless) and quits Outlook at the end; returns the number of failures.
  int Run(const std::vector<Command>& commands);

 private:
  struct Folder {
    std::wstring entryId;
    long itemType = 0;
  };

  // Each returns an empty string on success, else the error (which stops the run).
  std::wstring Execute(const Command& c);
  // What the user, the stores and the scenario's settings do to the world
  // once it stands (runner_world.cpp).
  std::wstring UserStep(const Command& c);
  std::wstring Outlook(const Command& c);
  std::wstring Store(const Command& c);
  std::wstring MakeFolder(const Command& c);
  std::wstring MakeItem(const Command& c);
  std::wstring Change(const Command& c);
  std::wstring Registry(const Command& c);
  std::wstring Job(const Command& c);
  std::wstring Wait(const Command& c);
  std::wstring Start();
  std::wstring Quit(bool requireUnload);
  std::wstring Reload();
  std::wstring Dump(const Command& c);
  std::wstring Expect(const Command& c);
  std::wstring SeedFile(const Command& c);
  std::wstring ExpectMore(const Command& c);
  // Option pages: "options", "properties", "page", "expect pages/page", "screenshot".
  std::wstring Pages(const Command& c);
  // What the user does on a page's controls: types, picks a combo entry,
  // ticks a list row.
  static std::wstring TypeInto(HWND control, const std::wstring& text);
  static std::wstring SelectEntry(HWND page, HWND combo, int id, const std::wstring& text);
  static std::wstring CheckRow(HWND list, const std::wstring& row, bool on);
  // address-list, address-entry and remove-address-entry (runner_address_book.cpp).
  std::wstring AddressBook(const Command& c);

  bool ResolveFolder(const std::wstring& path, Folder* out);
  bool FieldOf(const Command& c, const std::wstring& name, std::wstring* text, std::wstring* error);
  // The EntryID of an expectation's folder=PATH (empty without one) in
  // Outlook's form, as the pages name keys and the add-in its files, or with
  // wrapper-id in the wrapper's; false (and a failure) for no such folder.
  bool FolderIdOption(const Command& c, std::wstring* id);
  std::wstring ItemId(const std::wstring& name, std::wstring* error);
  static std::vector<std::wstring> NamesOf(const Command& c);
  std::wstring StorePathOf(const std::wstring& storeId);
  std::vector<std::wstring> FolderDump(const std::wstring& path, const Folder& folder);
  std::wstring ReadLog(const wchar_t* file);
  // The scenario's temporary folder ("temp") or the add-in's data folder ("data"), ending in a backslash.
  std::wstring FolderOf(const std::wstring& where) const;
  // Pumps this thread's messages for `realMs` real milliseconds, serving
  // the add-in's disconnect request.
  void Pump(DWORD realMs);
  void ReportBoxes();
  void Fail(const Command& c, const std::wstring& actual);

  sim::ISimControl* control_;
  sim::IHostSide* side_;
  const Sandbox& sandbox_;
  BoxWatcher& boxes_;
  AddInHost addIn_;
  std::map<std::wstring, std::wstring> stores_;  // script path name -> StoreID
  std::map<std::wstring, std::wstring> items_;   // script name -> EntryID
  struct AddressListState {
    std::wstring contactsFolderEntryId;
    std::vector<std::pair<std::wstring, sim::SimAddressEntry>> entries;  // script name, entry
  };
  std::map<std::wstring, AddressListState> addressLists_;  // by list name
  int failures_ = 0;
  OptionsDialog dialog_;
  std::vector<std::wstring> lastPages_;  // ProgIDs of the last page request
};

}  // namespace host
