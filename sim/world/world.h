// The in-memory MAPI world behind the simulated wrapper library and the
// simulated Outlook: stores, folders, items and their properties, contents
// tables, queries, incremental change synchronisation, the address book,
// failure injection and a record of calls.
//
// Plain C++ (no COM). One World is shared by every thread of the process; it
// is guarded inside by one mutex, and every method may be called from any
// thread. Objects are named by ObjId handles (0 = none); a handle stays valid
// (and reads as gone) after its object was deleted.
//
// Observers are told of every change (by a scenario acting as the user or by
// any wrapper session on any thread), after the world's lock is released, on
// the thread that made the change.
//
// Failure injection: an operation name (see kOperations below) can be made to
// fail on its n-th call from now. The wrapper objects, the Outlook objects
// and the DLL's class factories ask ShouldFail(name, &hr) at their entry.
#pragma once
#include <windows.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "world/value.h"

namespace sim {

using ObjId = uint64_t;

// Operation names for failure injection (ShouldFail) and for the call record.
// Wrapper side (sim/rdo):
//   "Create.OLSafeRDOSession", "Create.OLMAPIUtils", "Create.OLSafeDistList",
//   "Create.OLMAPITable"                     class factory CreateInstance fails
//   "Session.Logon", "Session.MapiSession", "Session.GetFolderById",
//   "Session.GetMessageById", "Session.GetStoreById", "Session.GetDefaultFolder",
//   "Store.GetDefaultFolder", "Folders.Add", "Items.Find", "Items.FindNext",
//   "Items.GetFirst", "Items.GetNext", "Items.Add", "Items.Table",
//   "Table.SetColumns", "Table.RowCount", "Table.Sort", "Table.GetRows", "Table.SeekRow",
//   "Table.EmptyBatch" (the batch comes back empty with S_OK),
//   "Message.Save", "Message.Delete", "Message.CopyTo", "Message.EntryID",
//   "Utils.GetPropByTag", "Utils.SetPropByTag", "Utils.GetNamedPropId",
//   "Utils.GetMessageById", "Folder.Synchronizer", "Sync.GetChanges",
//   "Changes.Item", "Change.SourceKey", "Change.Kind", "Change.EntryID", "Change.ChangeKey",
//   "DistList.AddMember", "DistList.Save", "AddressEntry.CopyTo",
//   "AddressBook.AddressLists", "AddressList.Entries", "AddressEntries.Item",
//   "AddressEntry.SmtpAddress".
//   A session that is neither attached ("Session.MapiSession") nor logged on
//   ("Session.Logon") answers MAPI_E_NOT_INITIALIZED to every call that needs
//   the profile (its stores, folders, messages, address book, profile name,
//   connection mode), as the wrapper's own does.
// Outlook side (sim/outlook) adds its own, e.g. "GetNamespace",
//   "Advise.ApplicationEvents", "Advise.NameSpaceEvents",
//   "Advise.ItemsEvents", "PropertyPages.Add", "GetFolderFromID".

// Outlook's folder numbers (OlDefaultFolders) the world knows.
enum OlFolder : long {
  kOlDeletedItems = 3, kOlOutbox = 4, kOlSentMail = 5, kOlInbox = 6, kOlCalendar = 9,
  kOlContacts = 10, kOlJournal = 11, kOlNotes = 12, kOlTasks = 13, kOlDrafts = 16,
};
// Outlook's item types (OlItemType).
enum OlItemType : long {
  kOlMailItem = 0, kOlAppointmentItem = 1, kOlContactItem = 2, kOlTaskItem = 3,
  kOlJournalItem = 4, kOlNoteItem = 5, kOlPostItem = 6, kOlDistributionListItem = 7,
};

// The item type of a folder that the wrapper's Folders.Add makes for its
// type argument (an Outlook folder number; a plain item type 0-5 is taken as
// it is; anything else makes a mail folder).
long ItemTypeOfFolderNumber(long olFolder);

// Store kinds: 3, 4 and 5 are Exchange; 6 the kind that gets no option page;
// anything else (1 by default) is a personal-folders file.
inline bool IsExchangeKind(long kind) { return kind >= 3 && kind <= 5; }

struct StoreSpec {
  std::wstring name = L"Personal Folders";
  long kind = 1;
  std::wstring providerHex;        // PR_MDB_PROVIDER as hex; empty gives a fixed PST provider
  bool isDefault = false;          // the first store added is the default unless another says so
  std::vector<long> omitFolders;   // default folders (OlFolder) this store leaves out
  bool supportsIcs = true;         // only meaningful for Exchange kinds
  double clockOffsetSeconds = 0;   // the store's (or its server's) clock runs ahead (> 0) or behind
  // A store that writes an item again on its own this long after the add-in
  // wrote it (a connector stamping its service's ids, a server assistant):
  // a new time and change key, the content unchanged. Negative: never.
  double echoAfterSeconds = -1;
  // Its echoes change the content as a service does (RewriteAsService).
  bool echoRewrites = false;
  // Its table of named properties is full (its quota reached): the wrapper
  // gets no id for a name the store has not mapped yet.
  bool namedPropsFull = false;
  // An Exchange mailbox in cached mode: a new item is on the server (has a
  // source key, and the incremental sync reports it) only this long after
  // its save, when it was uploaded. Negative: online, at once.
  double uploadAfterSeconds = -1;
};

// How a store behaves: a personal-folders file, an Exchange mailbox, or one
// of the connector stores (a personal-folders file that a connector keeps in
// step with its service), known by their provider.
enum class StoreFlavor { Personal, Exchange, ICloud, Hotmail };

struct StoreInfo {
  ObjId id = 0;
  StoreFlavor flavor = StoreFlavor::Personal;
  std::wstring name, storeId, providerHex;
  long kind = 1;
  bool isDefault = false, exchange = false, supportsIcs = false;
  ObjId root = 0;
  double clockOffsetSeconds = 0;
  double echoAfterSeconds = -1;
  bool echoRewrites = false;
  bool namedPropsFull = false;
  double uploadAfterSeconds = -1;
};

struct FolderInfo {
  ObjId id = 0, store = 0, parent = 0;
  std::wstring name, entryId, storeId, description, messageClass;
  long itemType = kOlMailItem;
  long folderType = 1;             // PR_FOLDER_TYPE: 1 generic, 2 search folder
  long defaultKind = 0;            // OlFolder number when it is a default folder, else 0
  double created = 0;              // PR_CREATION_TIME (UTC DATE)
  double commitTimeMaxUtc = 0;     // PR_LOCAL_COMMIT_TIME_MAX (UTC DATE), every commit in the folder
  std::map<PropKey, Value> props;  // further properties, written by tag through the wrapper
};

struct Recipient { std::wstring name, address, type = L"SMTP"; };
struct UserProperty { std::wstring name; long type = 20; Value value; };  // 20 = olInteger
struct DlMember { std::wstring name, address, addressType = L"SMTP"; };

// What an item carries; what a copy copies. Properties are keyed by PropKey
// (plain tags by id, named properties by set and name or id), so that a copy
// into another store keeps its named properties.
struct ItemContent {
  std::map<PropKey, Value> props;
  std::vector<Recipient> recipients;
  std::vector<UserProperty> userProps;
  std::vector<DlMember> members;

  const Value* Find(const PropKey& k) const;
  void Set(const PropKey& k, Value v);
};

struct ItemInfo {
  ObjId id = 0, folder = 0, store = 0;
  std::wstring entryId;
  bool deleted = false;
  bool readOnly = false;           // Save and SetPropByTag(commit) give E_ACCESSDENIED
  ItemContent content;
  // Convenience reads of content.
  std::wstring MessageClass() const;
  std::wstring Subject() const;
  std::wstring SearchKeyHex() const;
  std::wstring SourceKeyHex() const;
  std::wstring ChangeKeyHex() const;
  double LastModified() const;
};

// What a connector's or a server's service keeps of an item it writes back:
// the categories in an order of its own (reversed), none of the add-in's
// origin marks nor any user property, and a body cut to kServiceBodyChars.
inline constexpr size_t kServiceBodyChars = 32;
void RewriteAsService(ItemContent& content);

// A reminder is due when it is set and its time (none: at once) has come.
bool IsReminderDue(const ItemContent& content, double nowUtc);

enum class ChangeKind { Add, Change, Remove };
struct ChangeNote {
  ObjId folder = 0, item = 0;
  std::wstring folderEntryId, itemEntryId;
  ChangeKind kind = ChangeKind::Change;
  // How many items of the folder one step changed at once (a paste, an
  // import, a deletion of many): Outlook raises no item events for a large
  // batch.
  size_t batch = 1;
};

// What a deletion does: a soft delete takes the item out of sight (an
// Exchange store keeps it among its recoverable items), a user's delete
// moves it to the store's Deleted Items (a delete there, or in a store
// without that folder, is for good), a hard delete removes it.
enum class DeleteMode { Soft, ToDeletedItems, Hard };
using Observer = std::function<void(const ChangeNote&)>;

struct CallRecord {
  std::wstring op;      // operation name as in kOperations
  std::wstring detail;  // e.g. the query text, "flags=16", "<src> -> <dst>"
};

// Address book.
struct AddressEntry {
  std::wstring name, smtp, alias, firstName, lastName;
  bool isDistList = false;
  std::vector<DlMember> members;
};
struct AddressList {
  std::wstring name;
  std::vector<AddressEntry> entries;
  ObjId contactsFolder = 0;  // 0: the list has none (S_OK with null)
};

// One change of an incremental synchronisation.
struct IcsChange {
  std::wstring sourceKey, changeKey, entryId;  // hex; entryId may be empty for deletions
  long kind = 2;                               // 1 deletion, 2 new or changed
  bool isNew = false;
};
struct IcsResult {
  std::vector<IcsChange> changes;
  std::wstring newState;
  bool noCollection = false;  // S_OK but no change collection (a scripted mode)
};

// Settings of the profile and of behaviours tests switch.
struct ProfileSettings {
  std::wstring profileName = L"Outlook";
  std::wstring exchangeVersion;     // empty: none (S_OK with a null BSTR)
  std::wstring userName = L"Sim User", userAlias = L"simuser", userSmtp = L"simuser@example.com";
  double serverClockOffsetSeconds = 0;  // Exchange stores stamp times with the server clock
  bool appendRecipientsOnCopy = false;        // CopyTo onto a message appends recipients
  bool icsServerDown = false;                 // GetChanges gives MAPI_E_NETWORK_ERROR
  bool icsNullCollection = false;             // GetChanges gives S_OK with no collection
};

class World {
 public:
  World();
  ~World();
  World(const World&) = delete;
  World& operator=(const World&) = delete;

  // The process's world (in simrdo.dll, the one the wrapper and Outlook share).
  static World& Instance();

  // Empties everything and restarts every id counter and the failure and
  // call records: the same scenario afterwards gives the same ids.
  void Reset();

  // --- observers ---
  int AddObserver(Observer o);
  void RemoveObserver(int token);

  // --- profile ---
  ProfileSettings Settings() const;
  void SetSettings(const ProfileSettings& s);
  // 800 when an Exchange store exists (700, cached, when one uploads
  // later), else 0, unless set; a sequence is read one value per call, its
  // last value staying.
  long ConnectionMode();
  void SetConnectionModes(std::vector<long> modes);

  // --- stores ---
  ObjId AddStore(const StoreSpec& desc);
  // The store leaves the profile; Outlook raises no item events for it.
  bool RemoveStore(ObjId store);
  std::vector<ObjId> Stores() const;
  ObjId DefaultStore() const;
  std::optional<StoreInfo> GetStore(ObjId store) const;
  ObjId StoreByStoreId(std::wstring_view storeIdHex) const;
  ObjId StoreDefaultFolder(ObjId store, long olFolder) const;  // 0 when left out
  void SetStoreClockOffset(ObjId store, double seconds);
  bool HasExchangeStore() const;

  // --- folders ---
  // Adds a subfolder of an item type (OlItemType); itemType < 0 inherits the
  // parent's (mail under a root).
  // Fails (0, *hr = MAPI_E_COLLISION) when the parent already has that name.
  ObjId AddFolder(ObjId parent, std::wstring_view name, long itemType = -1, HRESULT* hr = nullptr);
  // The user's delete: the folder moves below its store's Deleted Items with
  // its items and subfolders, keeping its EntryID; a folder already there, or
  // `hard`, goes for good. Neither raises item events.
  bool DeleteFolder(ObjId folder, bool hard = false);
  // Everything below a store's Deleted Items goes for good.
  bool EmptyDeletedItems(ObjId store);
  std::optional<FolderInfo> GetFolder(ObjId folder) const;
  ObjId FolderByEntryId(std::wstring_view entryIdHex) const;
  std::vector<ObjId> Subfolders(ObjId folder) const;
  void SetFolderDescription(ObjId folder, std::wstring_view text);
  void SetFolderType(ObjId folder, long folderType);
  // A property of the folder by tag (named ids as the folder's store maps
  // them); false for a tag the store does not know.
  bool SetFolderProp(ObjId folder, uint32_t tag, Value value);

  // --- items ---
  std::vector<ObjId> Items(ObjId folder) const;  // live items in creation order
  size_t ItemCount(ObjId folder) const;
  // Live items ordered by a property, stably (missing values first), or in
  // creation order when `key` is null. *version, when given, receives the
  // FolderVersion the order belongs to.
  std::vector<ObjId> SortedItems(ObjId folder, const PropKey* key, bool descending, uint64_t* version = nullptr) const;
  // Changes whenever an item of the folder is created, committed or deleted
  // (a view of the folder made at one version is still right at the same).
  uint64_t FolderVersion(ObjId folder) const;
  // The values of the columns (tags, named ids resolved in `store`) of one
  // item, read under one lock; false when the item is gone.
  bool ReadItemColumns(ObjId store, ObjId item, const std::vector<uint32_t>& tags, std::vector<Value>* out) const;
  // The EntryID of an item; empty when it is gone.
  std::wstring ItemEntryId(ObjId item) const;
  std::optional<ItemInfo> GetItem(ObjId item) const;
  ObjId ItemByEntryId(std::wstring_view entryIdHex) const;
  ObjId FindBySearchKey(ObjId folder, const Bytes& key) const;  // first in creation order
  ObjId FindBySourceKey(ObjId store, const Bytes& key) const;
  void SetReadOnly(ObjId item, bool readOnly);

  // Creates a committed item in `folder` (new EntryID, source key and change
  // key; a search key unless the content has one). An item that carries its
  // modification or creation time (imported, or written by a connector)
  // keeps it; else the store stamps its clock's now.
  HRESULT CreateItem(ObjId folder, ItemContent content, ObjId* out);
  // Several items made in one step (a paste, an import): one batch.
  HRESULT CreateItems(ObjId folder, std::vector<ItemContent> contents, std::vector<ObjId>* out);
  // Commits new content over an item: a new change key, and the store's now
  // as its modification time, or `modifiedUtc` when a connector or a phone
  // writes a time of its own. `openedAt`, when given, is the change key the
  // writer read the item at: an Exchange store refuses the commit with
  // MAPI_E_OBJECT_CHANGED when the item changed since (a personal-folders
  // file takes the last write).
  HRESULT CommitItem(ObjId item, ItemContent content, std::optional<double> modifiedUtc = std::nullopt,
                     std::wstring_view openedAt = {});
  // An edit that lands right before the wrapper next saves the item over
  // what it read: a user's or phone's edit made while the add-in holds the
  // item.
  void EditBeforeNextSave(ObjId item, std::function<void()> edit);
  // The wrapper saves the item: an edit waiting for that runs now.
  void Saving(ObjId item);
  HRESULT DeleteItem(ObjId item, DeleteMode mode = DeleteMode::Soft);
  // Several items deleted in one step; each folder's share is one batch.
  HRESULT DeleteItems(const std::vector<ObjId>& items, DeleteMode mode);
  // The user's move (drag and drop): the item leaves its folder and enters
  // `folder` as it is (search key, change key, times); a new EntryID, and
  // within one store the same source key.
  HRESULT MoveItem(ObjId item, ObjId folder, ObjId* out);
  // What the store does after the add-in wrote an item through the wrapper
  // (an echo, when the store echoes).
  void AddInWrote(ObjId item);
  // The store writes the item again on its own: a new change key and time,
  // the content unchanged (an echo; also what a dismissed reminder does),
  // or with `rewrite` changed as a service keeps it (RewriteAsService).
  HRESULT EchoItem(ObjId item, bool rewrite = false);

  // --- what stores do on their own, later ---
  // Runs the work that is due (echoes, uploads); returns how much ran. The host
  // calls it while it waits, as the stores' own threads would run.
  size_t RunDue();
  // Work scheduled and not yet run.
  size_t PendingWork() const;
  // The user's copy and paste: new EntryID and source key, the rest kept
  // (search key included), modification and creation time now.
  HRESULT CopyItemToFolder(ObjId item, ObjId folder, ObjId* out);
  // The wrapper's copy of a message's content (its pending writes
  // included): the same, except that an iCloud store gives the copy a
  // search key of its own.
  HRESULT CreateCopy(ObjId folder, ItemContent content, ObjId* out);
  // Copies `source` content over `target` (what CopyTo onto a message does,
  // before the caller saves): properties present in the source overwrite,
  // identity properties of the target stay.
  void CopyContentOnto(const ItemContent& source, ItemContent& target) const;

  // --- properties ---
  // Resolves a DASL name for a store; create=false fails for an unmapped
  // named property. Returns false for a name the world does not know.
  // `quota`, given by the wrapper's callers: a store whose named properties
  // are full maps no new name, and *quota receives
  // MAPI_E_NAMED_PROP_QUOTA_EXCEEDED (the world's own items, made through
  // the control, map theirs regardless).
  bool ResolveDasl(ObjId store, std::wstring_view dasl, bool create, PropKey* key, HRESULT* quota = nullptr);
  // Named-property id (0x8000..) in a store; 0 when not mapped and !create,
  // or (with `quota`, as above) when the store maps no new name.
  uint16_t NamedPropId(ObjId store, const PropKey& named, bool create, HRESULT* quota = nullptr);
  // What a save or copy of `content` through the wrapper into `store` meets
  // first: MAPI_E_NAMED_PROP_QUOTA_EXCEEDED when the content carries a name
  // the store has not mapped and its named properties are full, else S_OK.
  HRESULT NamesFit(ObjId store, const ItemContent& content) const;
  // The key of a tag in a store (named ids are looked up in the store's map).
  bool KeyForTag(ObjId store, uint32_t tag, PropKey* key) const;
  // Reads a property of an item, computed ones (PR_ENTRYID...) included;
  // a missing property gives an empty value.
  Value ReadItemProp(const ItemInfo& item, const PropKey& key) const;
  // Reads a folder's or store's property by tag (display name, provider,
  // folder type, commit time, EntryID...).
  Value ReadFolderProp(ObjId folder, uint32_t tag) const;
  Value ReadStoreProp(ObjId store, uint32_t tag) const;
  // Items of a store whose reminder is set and due (IsReminderDue).
  std::vector<ObjId> DueReminders(ObjId store) const;

  // --- query and filter ---
  // Runs a query (select ... from Folder where ...) or a filter over the
  // folder's live items in `order` (empty: creation order); returns the
  // matching items in that order.
  // Fails with MAPI_E_INVALID_PARAMETER for a text that does not parse, and
  // for a condition on a name the folder's store does not know (a named
  // property it has not mapped): such a name does not read as missing.
  HRESULT Query(ObjId folder, std::wstring_view text, const std::vector<ObjId>& order,
                std::vector<ObjId>* matches);

  // --- incremental synchronisation (Exchange folders) ---
  // The changes since `state` (empty: everything) of the items in scope (the
  // restriction; none: every item). A state names the items the client had
  // then: one that left the scope is reported as a deletion, one that came
  // into it as new. MAPI_E_CORRUPT_DATA for a damaged state, one of another
  // folder, or one the server no longer keeps (ExpireSyncStates).
  HRESULT GetChanges(ObjId folder, std::wstring_view state, const std::optional<std::wstring>& restriction,
                     IcsResult* out);
  // The server forgets the states it gave for the folder so far: the client
  // has to synchronise it from nothing.
  bool ExpireSyncStates(ObjId folder);

  // --- address book ---
  void SetAddressLists(std::vector<AddressList> lists);
  std::vector<AddressList> AddressLists() const;

  // --- failure injection ---
  // The nth call of `op` from now (1 = the next) fails with hr, and the
  // count-1 calls after it too (count < 0: every call from the nth on).
  void InjectFailure(std::wstring_view op, int nth, HRESULT hr, int count = 1);
  void ClearFailures();
  // Counts a call of `op`; true (and *hr) when it is to fail.
  bool ShouldFail(std::wstring_view op, HRESULT* hr);

  // --- call record ---
  void Record(std::wstring_view op, std::wstring_view detail);
  std::vector<CallRecord> Calls() const;
  std::vector<CallRecord> CallsOf(std::wstring_view op) const;
  void ClearCalls();

  // A readable dump of stores, folders and items (for failing scenarios).
  std::wstring Dump() const;

  struct State;  // the guarded state (world_state.h)

 private:
  void Notify(const std::vector<ChangeNote>& notes);
  void UploadItem(ObjId item);
  HRESULT MakeCopy(ObjId folder, ItemContent content, bool userPaste, ObjId* out);
  mutable std::mutex mutex_;
  std::unique_ptr<State> s_;
  std::mutex observerMutex_;
  std::map<int, Observer> observers_;
  int nextObserver_ = 1;
};

}  // namespace sim
