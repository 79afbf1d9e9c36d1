// What the simulated Outlook host (sim/host) needs from the simulation
// beyond sim::ISimControl: Outlook's own state (version, profile, the
// add-in's COMAddIn, inspector, option pages, events) and the reads of
// stores, folders and items that the scenario language needs. Items are
// made and changed through sim::ISimControl alone.
//
// simrdo.dll exports SimGetHostSide(); the host reaches it with
// GetProcAddress like SimGetControl. Every method is safe from any thread
// unless it says otherwise.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

struct HostStore {
  std::wstring storeId, name, rootEntryId;
  long kind = 1;
  bool isDefault = false;
};

struct HostFolder {
  std::wstring entryId, name;
  long itemType = 0;
  long defaultKind = 0;  // Outlook folder number of a default folder, else 0
};

struct HostItem {
  std::wstring entryId, messageClass, subject;
  std::vector<std::wstring> categories;
  long sensitivity = 0;
  bool reminder = false;
};

class IHostSide {
 public:
  // Forgets Outlook's state (inspector, recorded pages, cached objects).
  virtual void Reset() = 0;
  virtual void SetVersion(const std::wstring& version) = 0;
  virtual void SetProfile(const std::wstring& profile) = 0;

  // The add-in's COMAddIn: Connect reads `connected`; a put of false is
  // remembered until the host takes it.
  virtual void SetConnected(bool connected) = 0;
  virtual bool TakeDisconnectRequest() = 0;
  // Whether Outlook runs: while it is closed no item event is raised, and
  // none raised later for a change made meanwhile. It runs unless told.
  virtual void SetOutlookRunning(bool running) = 0;
  // Item events come this many seconds of the clock late (0: at once).
  virtual void SetEventDelay(double seconds) = 0;
  // ItemChange comes this many times for one save (1: once).
  virtual void SetChangeRepeats(int times) = 0;
  // Raises ApplicationEvents.Quit on the calling (user-interface) thread.
  virtual void FireQuit() = 0;
  virtual bool OpenInspector(const std::wstring& itemEntryId) = 0;
  virtual void CloseInspector() = 0;
  // ProgIDs given to PropertyPages.Add, in order.
  virtual std::vector<std::wstring> PagesAdded() = 0;
  // World changes not yet raised as events on the user-interface thread,
  // and the number of changes seen so far.
  virtual long PendingEvents() = 0;
  virtual uint64_t ChangeCount() = 0;

  // The ids here are the wrapper's form; OutlookId gives Outlook's form of
  // one, as Outlook's objects (and so the option pages) give it.
  virtual std::wstring OutlookId(const std::wstring& id) = 0;
  virtual std::vector<HostStore> Stores() = 0;
  virtual std::vector<HostFolder> Subfolders(const std::wstring& folderEntryId) = 0;
  virtual std::vector<HostItem> ItemsOf(const std::wstring& folderEntryId) = 0;

  // Outlook asks for option pages on the calling (user-interface) thread:
  // for its Options dialog (empty EntryID, ApplicationEvents) or for the
  // properties of a folder (NameSpaceEvents). Returns the ProgIDs the add-in
  // gave PropertyPages.Add during this request, in order; false when the
  // folder does not exist.
  virtual bool RequestOptionPages(const std::wstring& folderEntryId, std::vector<std::wstring>* progIds) = 0;

 protected:
  ~IHostSide() = default;
};

using SimGetHostSideFn = IHostSide* (*)();

}  // namespace sim
