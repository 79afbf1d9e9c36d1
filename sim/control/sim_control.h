// The host-facing control of the simulation.
//
// simrdo.dll holds the process's one simulated world. The host exe reaches it
// without linking the simulation: LoadLibraryW(L"simrdo.dll") (the same module
// that COM loads for the wrapper's ProgIDs), then
//   auto get = reinterpret_cast<sim::SimGetControlFn>(GetProcAddress(m, "SimGetControl"));
//   sim::ISimControl* control = get();
// The control lives as long as the module; the host never deletes it.
//
// Every method is safe from any thread. Objects are named by their hex
// EntryID or StoreID text, the same the wrapper and Outlook's object model
// give. Changes made here act as the user: they go to the world's observers,
// so Outlook's ItemsEvents fire as for any other change.
//
// Property names are DASL names ("http://schemas.microsoft.com/mapi/proptag/0x0037001F",
// ".../mapi/id/{GUID}/00030102", ".../mapi/string/{GUID}/Name",
// "urn:schemas:mailheader:keywords", "DAV:getlastmodified").
// Values cross as VARIANTs: VT_I4, VT_BOOL, VT_R8, VT_DATE (local time; the
// world keeps UTC, as MAPI does),
// VT_BSTR, VT_ARRAY|VT_UI1 (binary) or VT_ARRAY|VT_BSTR (multi-valued text).
#pragma once
#include <windows.h>
#include <oaidl.h>

#include <string>
#include <vector>

namespace sim {

struct SimStore {
  std::wstring name = L"Personal Folders";
  long kind = 1;                    // 3, 4, 5 Exchange; 6 the kind without option pages; else personal folders
  std::wstring providerHex;         // PR_MDB_PROVIDER as hex; empty: a fixed personal-folders provider
  bool isDefault = false;           // the first store is the default unless another one says so
  std::vector<long> omitFolders;    // Outlook default-folder numbers this store leaves out
  bool supportsIcs = true;          // Exchange stores only
  double clockOffsetSeconds = 0;    // the store's (its server's) clock runs ahead (> 0) or behind
  double echoAfterSeconds = -1;     // >= 0: the store writes each item the add-in wrote again, that much later
  bool echoRewrites = false;        // ... changing it as a service keeps it (sim::RewriteAsService)
  bool namedPropsFull = false;      // the wrapper gets no id for a named property the store has not mapped
  double uploadAfterSeconds = -1;   // >= 0: an Exchange mailbox in cached mode, uploading a new item that much
                                    // later (until then it has no source key and is not on the server)
};

struct SimProp {
  std::wstring dasl;
  VARIANT value;                    // owned by the caller
};

struct SimItem {
  std::wstring messageClass = L"IPM.Note";
  std::wstring subject;
  std::vector<std::wstring> categories;
  // Any further properties, by DASL name. A modification time among them
  // ("DAV:getlastmodified") is kept, as for an imported item.
  std::vector<SimProp> props;
  std::vector<std::wstring> recipients;  // "Name <address>", or an address that is also the name
  std::vector<std::wstring> members;     // addresses of a distribution list
  bool readOnly = false;            // saves of it fail with E_ACCESSDENIED
};

struct SimCall {
  std::wstring op, detail;
};

// An entry of an address list of the simulated directory.
struct SimAddressEntry {
  std::wstring name, smtp, alias, firstName, lastName;
  bool isDistList = false;
  std::vector<std::wstring> members;  // a distribution list's member addresses (name = address)
};

class ISimControl {
 public:
  // --- the world ---
  // Empties the world, failures and call record; restarts the id counters.
  virtual void Reset() = 0;
  // Returns the new store's StoreID.
  virtual std::wstring AddStore(const SimStore& store) = 0;
  virtual bool RemoveStore(const std::wstring& storeId) = 0;
  // EntryID of a store's default folder (Outlook folder number) or root
  // (kind 0); empty when the store has none.
  virtual std::wstring DefaultFolder(const std::wstring& storeId, long olFolder) = 0;
  // Adds a subfolder; itemType -1 takes the parent's. Returns its EntryID, empty on failure.
  virtual std::wstring AddFolder(const std::wstring& parentEntryId, const std::wstring& name, long itemType) = 0;
  // The user's delete: the folder moves to its store's Deleted Items with
  // everything in it (there already, or `hard`: for good).
  virtual bool DeleteFolder(const std::wstring& folderEntryId, bool hard) = 0;
  // Everything in a store's Deleted Items goes for good.
  virtual bool EmptyDeletedItems(const std::wstring& storeId) = 0;
  // Live items of a folder, EntryIDs in creation order.
  virtual std::vector<std::wstring> Items(const std::wstring& folderEntryId) = 0;

  // --- acting as the user ---
  // Returns the new item's EntryID, empty on failure.
  virtual std::wstring AddItem(const std::wstring& folderEntryId, const SimItem& item) = 0;
  // Several items in one step (a paste, an import): their EntryIDs, empty on
  // failure. Outlook raises no ItemAdd for a large batch.
  virtual std::vector<std::wstring> AddItems(const std::wstring& folderEntryId, const std::vector<SimItem>& items) = 0;
  // Writes properties and commits them: a new change key, and the store's
  // now as the time, unless the props carry a modification time of their own
  // (a phone's edit that a connector uploads later keeps its time).
  virtual bool ChangeItem(const std::wstring& entryId, const std::vector<SimProp>& props) = 0;
  // The same edit, made while the add-in holds the item: right before the
  // wrapper's next save of it, which then meets a changed item.
  virtual bool ChangeItemBeforeSave(const std::wstring& entryId, const std::vector<SimProp>& props) = 0;
  // The user's delete: to the store's Deleted Items (a delete there is for good).
  virtual bool DeleteItem(const std::wstring& entryId) = 0;
  // Several items deleted in one step, to Deleted Items or (`hard`) for
  // good; Outlook raises no ItemRemove for a large batch.
  virtual bool DeleteItems(const std::vector<std::wstring>& entryIds, bool hard) = 0;
  // The user's move: returns the item's EntryID in its new folder.
  virtual std::wstring MoveItem(const std::wstring& entryId, const std::wstring& folderEntryId) = 0;
  // The store writes the item again on its own (new time and change key,
  // content unchanged), as a connector, a server assistant or a dismissed
  // reminder does; with `rewrite`, changed as a service keeps it.
  virtual bool EchoItem(const std::wstring& entryId, bool rewrite) = 0;
  // Runs what the stores do on their own and is due now (echoes); the host
  // calls it while it waits. PendingWork: what is scheduled and not run yet.
  virtual size_t RunDue() = 0;
  virtual size_t PendingWork() = 0;
  // Copies into a folder; returns the copy's EntryID.
  virtual std::wstring CopyItem(const std::wstring& entryId, const std::wstring& folderEntryId) = 0;
  // Reads a property of an item (VT_EMPTY when missing); the caller clears *value.
  virtual HRESULT ReadItem(const std::wstring& entryId, const std::wstring& dasl, VARIANT* value) = 0;
  // The server forgets the folder's incremental-sync states: a client has to
  // synchronise it from nothing.
  virtual bool ExpireSyncStates(const std::wstring& folderEntryId) = 0;
  // 800 online, 200-400 offline or cached, 0 no Exchange; a sequence is read one value per call.
  virtual void SetConnectionModes(const std::vector<long>& modes) = 0;
  // The clock of every Exchange store's server, or of one store.
  virtual void SetServerClockOffset(double seconds) = 0;
  virtual bool SetStoreClockOffset(const std::wstring& storeId, double seconds) = 0;
  // The local time `secondsFromNow` from now (negative: in the past).
  virtual double LocalTime(double secondsFromNow) = 0;
  // Sets the address list of that name (appended when new): its entries in
  // order, and the EntryID of the contacts folder behind it (empty: none, as
  // for a server list). The directory's changes are made this way.
  virtual void SetAddressList(const std::wstring& name, const std::wstring& contactsFolderEntryId,
                              const std::vector<SimAddressEntry>& entries) = 0;

  // --- failures and the record ---
  // The nth call of `op` from now fails with hr, and count-1 calls after it (count < 0: all).
  virtual void InjectFailure(const std::wstring& op, int nth, HRESULT hr, int count) = 0;
  virtual void ClearFailures() = 0;
  virtual std::vector<SimCall> Calls() = 0;
  virtual void ClearCalls() = 0;
  virtual std::wstring Dump() = 0;

  // --- Outlook (provided by the Outlook layer, see SetOutlookSide) ---
  // Outlook's Application object with a reference for the caller; null when
  // the Outlook layer is not present.
  virtual IDispatch* Application() = 0;
  // Makes the calling thread Outlook's user-interface thread: events are
  // raised there from now on. Detach before the thread ends.
  virtual HRESULT AttachUiThread() = 0;
  virtual void DetachUiThread() = 0;

 protected:
  ~ISimControl() = default;
};

// The Outlook layer's part of the control; sim/outlook registers one with
// SetOutlookSide() (for example from a static initialiser).
class IOutlookSide {
 public:
  virtual IDispatch* Application() = 0;
  virtual HRESULT AttachUiThread() = 0;
  virtual void DetachUiThread() = 0;

 protected:
  ~IOutlookSide() = default;
};

// Implemented in the simulation library (sim/world/sim_control_impl.cpp).
ISimControl* GetControl();
void SetOutlookSide(IOutlookSide* side);

using SimGetControlFn = ISimControl* (*)();

}  // namespace sim
