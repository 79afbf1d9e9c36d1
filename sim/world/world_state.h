// The world's guarded state, shared by the files that implement World one
// concern each (world.cpp names them). Only they include this header;
// everything in it runs under World's mutex.
#pragma once
#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <set>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "world/times.h"
#include "world/world.h"

namespace sim {
namespace detail {

inline constexpr double kMillisecond = 1.0 / 86400000.0;
inline constexpr HRESULT kNotFound = MAPI_E_NOT_FOUND;

struct DefaultFolderSpec {
  long kind;
  const wchar_t* name;
  long itemType;
};
inline constexpr DefaultFolderSpec kDefaultFolders[] = {
    {kOlInbox, L"Inbox", kOlMailItem},          {kOlCalendar, L"Calendar", kOlAppointmentItem},
    {kOlContacts, L"Contacts", kOlContactItem}, {kOlTasks, L"Tasks", kOlTaskItem},
    {kOlNotes, L"Notes", kOlNoteItem},          {kOlJournal, L"Journal", kOlJournalItem},
    {kOlDeletedItems, L"Deleted Items", kOlMailItem}, {kOlDrafts, L"Drafts", kOlMailItem},
    {kOlOutbox, L"Outbox", kOlMailItem},        {kOlSentMail, L"Sent Items", kOlMailItem},
};

const wchar_t* MessageClassOf(long itemType);
// Appointments and meeting messages: the items that carry a meeting id.
inline bool IsMeetingClass(std::wstring_view mc) {
  auto starts = [&](std::wstring_view p) { return mc.size() >= p.size() && _wcsnicmp(mc.data(), p.data(), p.size()) == 0; };
  return starts(L"IPM.Appointment") || starts(L"IPM.Schedule.Meeting");
}
const wchar_t* ContainerClassOf(long itemType);
std::wstring Format(const wchar_t* fmt, unsigned long long a, unsigned long long b = 0);
std::wstring StringOf(const ItemContent& c, uint32_t tag);

// Resolves a DASL name without a store; a named-by-tag name (proptag 0x8xxx)
// comes back as a plain tag for the caller to map (properties.cpp).
bool ResolveStatic(std::wstring_view dasl, PropKey* key, uint32_t* namedTag);

struct StoreRec {
  StoreInfo info;
  uint32_t number = 0;
  std::map<PropKey, uint16_t> namedIds;
  std::vector<PropKey> namedById;  // index = id - 0x8000
  std::unordered_map<std::wstring, ObjId> bySourceKey;
  // Live items whose reminder is set, due or not: the reminders collection
  // reads these instead of every item of the store.
  std::set<ObjId> withReminder;
  bool removed = false;
  // Connector stores keep their service's whole seconds, so their times tie;
  // a personal-folders file and an Exchange server keep milliseconds, and as
  // a save takes longer than that, no two of their commits share one.
  bool wholeSeconds = false;
  double lastStamp = 0;
};

struct FolderRec {
  FolderInfo info;
  std::vector<ObjId> children;
  std::vector<ObjId> items;  // live, creation order
  std::unordered_map<std::wstring, std::vector<ObjId>> bySearchKey;
  // Every item that ever entered the folder, by its ordinal there (from 1),
  // gone ones included: what the incremental sync's states name.
  std::vector<ObjId> byOrdinal;
  uint64_t statesFrom = 0;  // sync states made before this sequence have expired
  uint64_t version = 0;  // bumped by every create, commit and delete of its items
  bool deleted = false;
};

struct ItemRec {
  ItemInfo info;
  uint64_t lastSeq = 0, deletedSeq = 0;
};

// Work a store does on its own at a later time: an echo write, the upload
// of an item a cached mailbox made.
enum class LaterWork { Echo, RewritingEcho, Upload };
struct Scheduled {
  double dueUtc = 0;
  ObjId item = 0;
  LaterWork what = LaterWork::Echo;
};

struct FailureRule {
  int from, to;
  HRESULT hr;
};
struct OpState {
  int calls = 0;
  std::vector<FailureRule> rules;
};

// The record of calls, kept in few large blocks: a long run records hundreds
// of thousands of calls, and as many small strings would slow every later
// allocation of the process down.
class CallLog {
 public:
  void Add(std::wstring_view op, std::wstring_view detail);
  void Clear();
  template <typename Keep>
  std::vector<CallRecord> Select(Keep keep) const {
    std::vector<CallRecord> out;
    for (const Entry& e : entries_) {
      if (!keep(ops_[e.op])) continue;
      out.push_back({ops_[e.op], std::wstring(blocks_[e.block].data() + e.start, e.length)});
    }
    return out;
  }

 private:
  static constexpr size_t kBlockChars = 1 << 20;
  struct Entry {
    size_t op;
    size_t block = 0, start = 0, length = 0;
  };
  struct Span {
    size_t block, start, length;
  };
  size_t OpIndex(std::wstring_view op);
  Span Place(std::wstring_view detail);

  std::vector<std::wstring> ops_;
  std::vector<std::wstring> blocks_;
  std::vector<Entry> entries_;
};

}  // namespace detail

using detail::FolderRec;
using detail::ItemRec;
using detail::StoreRec;

struct World::State {
  ObjId nextObj = 1;
  uint64_t seq = 0;
  uint64_t keyCounter = 0;
  uint32_t nextStoreNumber = 1;
  uint32_t nextFolderNumber = 1;
  uint32_t nextItemNumber = 1;

  std::vector<ObjId> storeOrder;
  std::unordered_map<ObjId, StoreRec> stores;
  std::unordered_map<ObjId, FolderRec> folders;
  std::unordered_map<ObjId, ItemRec> items;
  std::unordered_map<std::wstring, ObjId> storeById, folderById, itemById;

  ProfileSettings settings;
  std::vector<long> modes;
  size_t modeIndex = 0;
  std::vector<AddressList> addressLists;
  std::vector<detail::Scheduled> scheduled;
  std::multimap<ObjId, std::function<void()>> editsBeforeSave;
  std::map<std::wstring, detail::OpState, std::less<>> ops;
  detail::CallLog calls;

  StoreRec* Store(ObjId id) {
    auto it = stores.find(id);
    return it == stores.end() || it->second.removed ? nullptr : &it->second;
  }
  FolderRec* Folder(ObjId id) {
    auto it = folders.find(id);
    return it == folders.end() || it->second.deleted ? nullptr : &it->second;
  }
  ItemRec* Item(ObjId id) {
    auto it = items.find(id);
    return it == items.end() || it->second.info.deleted ? nullptr : &it->second;
  }

  Bytes NewKey(const wchar_t* fmt) {
    Bytes b;
    FromHex(detail::Format(fmt, ++keyCounter), &b);
    return b;
  }

  void MapNamed(StoreRec& s, const PropKey& k) {
    if (!k.IsNamed() || s.namedIds.count(k)) return;
    PropKey plain = k;
    plain.type = 0;
    uint16_t id = uint16_t(0x8000 + s.namedById.size());
    s.namedIds[plain] = id;
    s.namedById.push_back(plain);
  }

  void MapContent(StoreRec& s, const ItemContent& c) {
    for (const auto& [k, v] : c.props) MapNamed(s, k);
  }

  // --- named_prop_quota.cpp ---
  // True (and *quota set) when a store whose named properties are full is
  // asked through the wrapper (`quota` given) to map a new name.
  bool RefusesNewName(const StoreRec& store, HRESULT* quota) const;

  // --- store_clock.cpp ---
  // Now by the store's clock (UTC), at the store's resolution.
  double Stamp(StoreRec& store) const;

  // --- folders.cpp ---
  ObjId NewFolder(StoreRec& store, ObjId parent, std::wstring_view name, long itemType, long defaultKind);
  ObjId DefaultFolder(ObjId store, long kind);
  void EnsureInbox(ObjId store);

  // --- items.cpp ---
  void IndexItem(ItemRec& r);
  void UnindexItem(ItemRec& r);
  // Stamps a commit on the item: change key, modification time (the store's
  // now unless one is given), sequence, folder commit time.
  void StampCommit(ItemRec& r, StoreRec& store, std::optional<double> modifiedUtc = std::nullopt);
  ChangeNote Note(const ItemRec& r, ChangeKind kind);
  // A new record of `store` for an item entering `folder`: its id and EntryID.
  ItemRec NewItemRecord(const FolderRec& folder, StoreRec& store);
  // Puts a record into its folder and the indexes; observers hear of an Add.
  ObjId Place(FolderRec& folder, ItemRec r, std::vector<ChangeNote>* notes);
  ObjId CreateItem(FolderRec& folder, ItemContent content, std::vector<ChangeNote>* notes);
  // `notes` may be null: the deletion raises no item event.
  void DeleteItem(ItemRec& r, std::vector<ChangeNote>* notes);

  // --- copies.cpp ---
  // A copy is a new item of the target store: its own change key and times.
  // An iCloud store makes the copy anew through its service, which gives it
  // a search key of its own; the user's paste in Outlook keeps the key.
  ObjId CreateCopy(FolderRec& folder, ItemContent content, std::vector<ChangeNote>* notes, bool userPaste);

  // --- moves.cpp ---
  // The item leaves its folder and enters `to` as it is: its search key,
  // change key and times stay; it gets a new EntryID, and a new source key
  // only in another store.
  ObjId MoveItem(ItemRec& r, FolderRec& to, std::vector<ChangeNote>* notes);
  // True when the folder is the store's Deleted Items or lies below it.
  bool InDeletedItems(ObjId folder);
  // Where a user's delete of an item of `folder` puts it; 0: nowhere (gone).
  ObjId BinFor(ObjId folder);
  // A folder deleted for good takes its items and subfolders with it; its
  // items raise no events of their own.
  void DeleteFolderTree(ObjId id);

  // --- conflicts.cpp ---
  // An Exchange store refuses a save over an item that changed since the
  // writer read it at `openedAt` (a personal-folders file takes the last write).
  bool RefusesSave(const ItemRec& r, std::wstring_view openedAt);

  // --- later_work.cpp ---
  // Replaces any work of that kind already due for the item.
  void Schedule(ObjId item, detail::LaterWork what, double afterSeconds);

  // --- cached_upload.cpp ---
  // An item new in `store` (made there, or moved in from another store) gets
  // its source key now, or, in a cached mailbox, when it is uploaded.
  void GiveSourceKey(ItemRec& r, const StoreRec& store);

  // --- property reads (inline: every read of a row uses them) ---
  bool KeyForTag(const StoreRec* s, uint32_t tag, PropKey* key) const {
    uint16_t id = TagId(tag);
    if (id < 0x8000) { *key = PropKey::Tag(tag); return true; }
    if (!s || size_t(id - 0x8000) >= s->namedById.size()) return false;
    *key = s->namedById[id - 0x8000];
    key->type = TagType(tag);
    return true;
  }

  // A query's name as the store resolves it: none for a name it does not
  // know (a named property it never mapped); a restriction cannot be built
  // on such a name.
  std::optional<PropKey> QueryKey(const StoreRec* s, std::wstring_view dasl) const {
    uint32_t namedTag = 0;
    PropKey k;
    if (!detail::ResolveStatic(dasl, &k, &namedTag) || (namedTag && !KeyForTag(s, namedTag, &k))) return std::nullopt;
    if (!namedTag && k.IsNamed()) {
      PropKey plain = k;
      plain.type = 0;
      if (!s || !s->namedIds.count(plain)) return std::nullopt;
    }
    return k;
  }

  Value ReadItemProp(const ItemInfo& item, const PropKey& key) const {
    if (!key.IsNamed()) {
      if (key.id == TagId(tags::kEntryId)) {
        Bytes b;
        FromHex(item.entryId, &b);
        return Value::Binary(b);
      }
      if (key.id == TagId(tags::kStoreEntryId)) {
        auto it = stores.find(item.store);
        Bytes b;
        if (it != stores.end()) FromHex(it->second.info.storeId, &b);
        return Value::Binary(b);
      }
    }
    const Value* v = item.content.Find(key);
    return v ? *v : Value();
  }

  // Counts a call of `op`; true (and *hr) when it is to fail (failures.cpp).
  bool ShouldFail(std::wstring_view op, HRESULT* hr);
};

}  // namespace sim
