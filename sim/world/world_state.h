// The world's guarded state, shared by the files that implement World one
// concern each: world.cpp (stores, folders, items and their commits),
// properties.cpp (property reads, DASL names, sorting and queries),
// incremental_sync.cpp, failures.cpp and call_record.cpp. Only they include
// this header; everything in it runs under World's mutex.
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
enum class LaterWork { Echo, Upload };
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

  // Now by the store's clock (UTC), at the store's resolution.
  double Stamp(StoreRec& store) const {
    double offset = store.info.clockOffsetSeconds + (store.info.exchange ? settings.serverClockOffsetSeconds : 0);
    double now = times::NowUtc() + offset * times::kSecond;
    if (store.wholeSeconds) return times::WholeSeconds(now);
    now = std::floor(now / detail::kMillisecond + 0.5) * detail::kMillisecond;
    if (now <= store.lastStamp) now = store.lastStamp + detail::kMillisecond;
    return store.lastStamp = now;
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

  ObjId NewFolder(StoreRec& store, ObjId parent, std::wstring_view name, long itemType, long defaultKind) {
    ObjId id = nextObj++;
    FolderRec f;
    f.info.id = id;
    f.info.store = store.info.id;
    f.info.parent = parent;
    f.info.name = name;
    f.info.itemType = itemType;
    f.info.messageClass = detail::MessageClassOf(itemType);
    f.info.defaultKind = defaultKind;
    f.info.storeId = store.info.storeId;
    f.info.entryId = detail::Format(L"0000000053494D46%08X%08X", store.number, nextFolderNumber++);
    f.info.created = Stamp(store);
    folderById[f.info.entryId] = id;
    folders[id] = std::move(f);
    if (FolderRec* p = Folder(parent)) p->children.push_back(id);
    return id;
  }

  ObjId DefaultFolder(ObjId store, long kind) {
    StoreRec* s = Store(store);
    if (!s) return 0;
    FolderRec* root = Folder(s->info.root);
    if (!root) return 0;
    for (ObjId c : root->children) {
      FolderRec* f = Folder(c);
      if (f && f->info.defaultKind == kind) return c;
    }
    return 0;
  }

  void EnsureInbox(ObjId store) {
    StoreRec* s = Store(store);
    if (s && !DefaultFolder(store, kOlInbox)) NewFolder(*s, s->info.root, L"Inbox", kOlMailItem, kOlInbox);
  }

  void IndexItem(ItemRec& r) {
    FolderRec* f = Folder(r.info.folder);
    StoreRec* s = Store(r.info.store);
    std::wstring sk = r.info.SearchKeyHex();
    if (f && !sk.empty()) {
      auto& v = f->bySearchKey[sk];
      v.insert(std::upper_bound(v.begin(), v.end(), r.info.id), r.info.id);  // ids grow with creation
    }
    if (s) {
      if (std::wstring source = r.info.SourceKeyHex(); !source.empty()) s->bySourceKey[source] = r.info.id;
      const Value* set = r.info.content.Find(named::ReminderSet());
      if (set && set->num) s->withReminder.insert(r.info.id);
    }
  }

  void UnindexItem(ItemRec& r) {
    FolderRec* f = Folder(r.info.folder);
    StoreRec* s = Store(r.info.store);
    std::wstring sk = r.info.SearchKeyHex();
    if (f && !sk.empty()) {
      auto it = f->bySearchKey.find(sk);
      if (it != f->bySearchKey.end()) {
        std::erase(it->second, r.info.id);
        if (it->second.empty()) f->bySearchKey.erase(it);
      }
    }
    if (s) {
      if (std::wstring source = r.info.SourceKeyHex(); !source.empty()) s->bySourceKey.erase(source);
      s->withReminder.erase(r.info.id);
    }
  }

  // Stamps a commit on the item: change key, modification time (the store's
  // now unless one is given), sequence, folder commit time.
  void StampCommit(ItemRec& r, StoreRec& store, std::optional<double> modifiedUtc = std::nullopt) {
    const double now = Stamp(store);
    r.info.content.Set(PropKey::Tag(tags::kChangeKey), Value::Binary(NewKey(L"434B%036llX")));
    r.info.content.Set(PropKey::Tag(tags::kLastModificationTime), Value::Date(modifiedUtc.value_or(now)));
    r.lastSeq = ++seq;
    if (FolderRec* f = Folder(r.info.folder)) {
      f->info.commitTimeMaxUtc = now;
      ++f->version;
    }
  }

  // Replaces any work of that kind already due for the item.
  void Schedule(ObjId item, detail::LaterWork what, double afterSeconds) {
    std::erase_if(scheduled, [&](const detail::Scheduled& w) { return w.item == item && w.what == what; });
    scheduled.push_back({times::NowUtc() + afterSeconds * times::kSecond, item, what});
  }

  ChangeNote Note(const ItemRec& r, ChangeKind kind) {
    ChangeNote n;
    n.folder = r.info.folder;
    n.item = r.info.id;
    n.itemEntryId = r.info.entryId;
    n.kind = kind;
    if (auto it = folders.find(r.info.folder); it != folders.end()) n.folderEntryId = it->second.info.entryId;
    return n;
  }

  // An item new in `store` (made there, or moved in from another store) gets
  // its source key now, or, in a cached mailbox, when it is uploaded.
  void GiveSourceKey(ItemRec& r, const StoreRec& store) {
    if (!r.info.SourceKeyHex().empty()) return;
    if (store.info.uploadAfterSeconds < 0)
      r.info.content.Set(PropKey::Tag(tags::kSourceKey), Value::Binary(NewKey(L"5352%040llX")));
    else
      Schedule(r.info.id, detail::LaterWork::Upload, store.info.uploadAfterSeconds);
  }

  // A new record of `store` for an item entering `folder`: its id and EntryID.
  ItemRec NewItemRecord(const FolderRec& folder, StoreRec& store) {
    ItemRec r;
    r.info.id = nextObj++;
    r.info.folder = folder.info.id;
    r.info.store = store.info.id;
    r.info.entryId = detail::Format(L"0000000053494D49%08X%08X", store.number, nextItemNumber++);
    return r;
  }

  // Puts a record into its folder and the indexes; observers hear of an Add.
  ObjId Place(FolderRec& folder, ItemRec r, std::vector<ChangeNote>* notes) {
    const ObjId id = r.info.id;
    folder.items.push_back(id);
    folder.byOrdinal.push_back(id);
    itemById[r.info.entryId] = id;
    auto& stored = items[id] = std::move(r);
    IndexItem(stored);
    if (notes) notes->push_back(Note(stored, ChangeKind::Add));
    return id;
  }

  ObjId CreateItem(FolderRec& folder, ItemContent content, std::vector<ChangeNote>* notes) {
    StoreRec& store = stores[folder.info.store];
    ItemRec r = NewItemRecord(folder, store);
    r.info.content = std::move(content);
    auto& c = r.info.content;
    c.props.erase(PropKey::Tag(tags::kEntryId));
    if (!c.Find(PropKey::Tag(tags::kSearchKey))) c.Set(PropKey::Tag(tags::kSearchKey), Value::Binary(NewKey(L"534B%028llX")));
    if (detail::StringOf(c, tags::kMessageClass).empty()) c.Set(PropKey::Tag(tags::kMessageClass), Value::String(folder.info.messageClass));
    c.props.erase(PropKey::Tag(tags::kSourceKey));
    GiveSourceKey(r, store);
    // A Hotmail store keeps its calendar on the service, which gives every
    // meeting item (a copy too) its meeting id.
    if (store.info.flavor == StoreFlavor::Hotmail && detail::IsMeetingClass(detail::StringOf(c, tags::kMessageClass)) &&
        !c.Find(named::GlobalObjectId()))
      c.Set(named::GlobalObjectId(), Value::Binary(NewKey(L"040000008200E00074C5B7101A82E008%032llX")));
    MapContent(store, c);
    const Value* carried = c.Find(PropKey::Tag(tags::kLastModificationTime));
    std::optional<double> modified;
    if (carried && carried->type == ValueType::Date) modified = carried->dbl;
    if (!c.Find(PropKey::Tag(tags::kCreationTime))) c.Set(PropKey::Tag(tags::kCreationTime), Value::Date(Stamp(store)));
    StampCommit(r, store, modified);
    return Place(folder, std::move(r), notes);
  }

  // A copy is a new item of the target store: its own change key and times.
  // An iCloud store makes the copy anew through its service, which gives it
  // a search key of its own; the user's paste in Outlook keeps the key.
  ObjId CreateCopy(FolderRec& folder, ItemContent content, std::vector<ChangeNote>* notes, bool userPaste) {
    for (uint32_t tag : {tags::kChangeKey, tags::kLastModificationTime, tags::kCreationTime})
      content.props.erase(PropKey::Tag(tag));
    if (!userPaste && stores[folder.info.store].info.flavor == StoreFlavor::ICloud)
      content.props.erase(PropKey::Tag(tags::kSearchKey));
    return CreateItem(folder, std::move(content), notes);
  }

  // `notes` may be null: the deletion raises no item event.
  void DeleteItem(ItemRec& r, std::vector<ChangeNote>* notes) {
    UnindexItem(r);
    r.info.deleted = true;
    itemById.erase(r.info.entryId);
    if (FolderRec* f = Folder(r.info.folder)) {
      std::erase(f->items, r.info.id);
      ++f->version;
      r.deletedSeq = ++seq;
      if (StoreRec* s = Store(r.info.store)) f->info.commitTimeMaxUtc = Stamp(*s);
    }
    if (notes) notes->push_back(Note(r, ChangeKind::Remove));
  }

  // The item leaves its folder and enters `to` as it is: its search key,
  // change key and times stay; it gets a new EntryID, and a new source key
  // only in another store.
  ObjId MoveItem(ItemRec& r, FolderRec& to, std::vector<ChangeNote>* notes) {
    ItemContent content = r.info.content;
    const bool sameStore = r.info.store == to.info.store;
    const bool readOnly = r.info.readOnly;
    DeleteItem(r, notes);
    StoreRec& store = stores[to.info.store];
    ItemRec m = NewItemRecord(to, store);
    m.info.readOnly = readOnly;
    m.info.content = std::move(content);
    if (!sameStore) m.info.content.props.erase(PropKey::Tag(tags::kSourceKey));
    GiveSourceKey(m, store);
    MapContent(store, m.info.content);
    m.lastSeq = ++seq;
    to.info.commitTimeMaxUtc = Stamp(store);
    ++to.version;
    return Place(to, std::move(m), notes);
  }

  // True when the folder is the store's Deleted Items or lies below it.
  bool InDeletedItems(ObjId folder) {
    const FolderRec* f = Folder(folder);
    const ObjId bin = f ? DefaultFolder(f->info.store, kOlDeletedItems) : 0;
    for (; f && bin; f = Folder(f->info.parent)) {
      if (f->info.id == bin) return true;
    }
    return false;
  }

  // Where a user's delete of an item of `folder` puts it; 0: nowhere (gone).
  ObjId BinFor(ObjId folder) {
    const FolderRec* f = Folder(folder);
    if (!f || InDeletedItems(folder)) return 0;
    return DefaultFolder(f->info.store, kOlDeletedItems);
  }

  // A folder deleted for good takes its items and subfolders with it; its
  // items raise no events of their own.
  void DeleteFolderTree(ObjId id) {
    FolderRec* f = Folder(id);
    if (!f) return;
    for (ObjId c : std::vector<ObjId>(f->children)) DeleteFolderTree(c);
    for (ObjId i : std::vector<ObjId>(f->items)) {
      if (ItemRec* r = Item(i)) DeleteItem(*r, nullptr);
    }
    f->deleted = true;
    folderById.erase(f->info.entryId);
    if (FolderRec* p = Folder(f->info.parent)) std::erase(p->children, id);
  }

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
