#include "world/world.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <unordered_map>

#include "clock.h"
#include "world/query.h"

namespace sim {

// ---------------------------------------------------------------------------
// ItemContent / ItemInfo

const Value* ItemContent::Find(const PropKey& k) const {
  auto it = props.find(k);
  return it == props.end() ? nullptr : &it->second;
}

void ItemContent::Set(const PropKey& k, Value v) {
  if (v.IsEmpty()) props.erase(k);
  else props[k] = std::move(v);
}

namespace {
std::wstring StringOf(const ItemContent& c, uint32_t tag) {
  const Value* v = c.Find(PropKey::Tag(tag));
  return v && v->type == ValueType::String ? v->str : std::wstring();
}
std::wstring HexOf(const ItemContent& c, uint32_t tag) {
  const Value* v = c.Find(PropKey::Tag(tag));
  return v && v->type == ValueType::Binary ? ToHex(v->bin) : std::wstring();
}
}  // namespace

std::wstring ItemInfo::MessageClass() const { return StringOf(content, tags::kMessageClass); }
std::wstring ItemInfo::Subject() const { return StringOf(content, tags::kSubject); }
std::wstring ItemInfo::SearchKeyHex() const { return HexOf(content, tags::kSearchKey); }
std::wstring ItemInfo::SourceKeyHex() const { return HexOf(content, tags::kSourceKey); }
std::wstring ItemInfo::ChangeKeyHex() const { return HexOf(content, tags::kChangeKey); }
double ItemInfo::LastModified() const {
  const Value* v = content.Find(PropKey::Tag(tags::kLastModificationTime));
  return v ? v->dbl : 0;
}

// ---------------------------------------------------------------------------
// State

namespace {

constexpr double kMillisecond = 1.0 / 86400000.0;
constexpr HRESULT kNotFound = MAPI_E_NOT_FOUND;

struct DefaultFolderSpec {
  long kind;
  const wchar_t* name;
  long itemType;
};
constexpr DefaultFolderSpec kDefaultFolders[] = {
    {kOlInbox, L"Inbox", kOlMailItem},          {kOlCalendar, L"Calendar", kOlAppointmentItem},
    {kOlContacts, L"Contacts", kOlContactItem}, {kOlTasks, L"Tasks", kOlTaskItem},
    {kOlNotes, L"Notes", kOlNoteItem},          {kOlJournal, L"Journal", kOlJournalItem},
    {kOlDeletedItems, L"Deleted Items", kOlMailItem}, {kOlDrafts, L"Drafts", kOlMailItem},
    {kOlOutbox, L"Outbox", kOlMailItem},        {kOlSentMail, L"Sent Items", kOlMailItem},
};

const wchar_t* MessageClassOf(long itemType) {
  switch (itemType) {
    case kOlAppointmentItem: return L"IPM.Appointment";
    case kOlContactItem: return L"IPM.Contact";
    case kOlTaskItem: return L"IPM.Task";
    case kOlJournalItem: return L"IPM.Activity";
    case kOlNoteItem: return L"IPM.StickyNote";
    case kOlDistributionListItem: return L"IPM.DistList";
    default: return L"IPM.Note";
  }
}

const wchar_t* ContainerClassOf(long itemType) {
  switch (itemType) {
    case kOlAppointmentItem: return L"IPF.Appointment";
    case kOlContactItem: return L"IPF.Contact";
    case kOlTaskItem: return L"IPF.Task";
    case kOlJournalItem: return L"IPF.Journal";
    case kOlNoteItem: return L"IPF.StickyNote";
    default: return L"IPF.Note";
  }
}

// The item type a folder-kind or item-type number given to Folders.Add means.
constexpr wchar_t kPstProvider[] = L"4E495441F9BFB80100AA0037D96E0000";

std::wstring Format(const wchar_t* fmt, unsigned long long a, unsigned long long b = 0) {
  wchar_t buf[96];
  swprintf(buf, 96, fmt, a, b);
  return buf;
}

uint32_t Fnv1a(std::wstring_view s) {
  uint32_t h = 2166136261u;
  for (wchar_t c : s) {
    h ^= uint32_t(c);
    h *= 16777619u;
  }
  return h;
}

double FileTimeToDate(uint64_t ft) { return double(ft) / 864000000000.0 - 109205.0; }

struct Tombstone {
  std::wstring sourceKey;
  uint64_t createdSeq = 0, deletedSeq = 0;
};

struct StoreRec {
  StoreInfo info;
  uint32_t number = 0;
  std::map<PropKey, uint16_t> namedIds;
  std::vector<PropKey> namedById;  // index = id - 0x8000
  std::unordered_map<std::wstring, ObjId> bySourceKey;
  bool removed = false;
};

struct FolderRec {
  FolderInfo info;
  std::vector<ObjId> children;
  std::vector<ObjId> items;  // live, creation order
  std::unordered_map<std::wstring, std::vector<ObjId>> bySearchKey;
  std::vector<Tombstone> tombstones;
  uint64_t version = 0;  // bumped by every create, commit and delete of its items
  bool deleted = false;
};

struct ItemRec {
  ItemInfo info;
  uint64_t createdSeq = 0, lastSeq = 0;
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
  void Add(std::wstring_view op, std::wstring_view detail) {
    const Span span = Place(detail);
    entries_.push_back({OpIndex(op), span.block, span.start, span.length});
  }
  void Clear() {
    entries_.clear();
    blocks_.clear();
  }
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
  size_t OpIndex(std::wstring_view op) {
    for (size_t i = 0; i < ops_.size(); ++i)
      if (ops_[i] == op) return i;
    ops_.emplace_back(op);
    return ops_.size() - 1;
  }
  Span Place(std::wstring_view detail) {
    if (blocks_.empty() || blocks_.back().size() + detail.size() > blocks_.back().capacity()) {
      blocks_.emplace_back();
      blocks_.back().reserve(std::max(kBlockChars, detail.size()));
    }
    std::wstring& block = blocks_.back();
    const size_t start = block.size();
    block.append(detail);
    return {blocks_.size() - 1, start, detail.size()};
  }

  std::vector<std::wstring> ops_;
  std::vector<std::wstring> blocks_;
  std::vector<Entry> entries_;
};

}  // namespace

struct World::State {
  ObjId nextObj = 1;
  uint64_t seq = 0;
  uint64_t keyCounter = 0;
  uint32_t nextStoreNumber = 1;
  uint32_t nextFolderNumber = 1;
  uint32_t nextItemNumber = 1;
  double lastStamp = 0;

  std::vector<ObjId> storeOrder;
  std::unordered_map<ObjId, StoreRec> stores;
  std::unordered_map<ObjId, FolderRec> folders;
  std::unordered_map<ObjId, ItemRec> items;
  std::unordered_map<std::wstring, ObjId> storeById, folderById, itemById;

  ProfileSettings settings;
  std::vector<long> modes;
  size_t modeIndex = 0;
  std::vector<AddressList> addressLists;
  std::map<std::wstring, OpState, std::less<>> ops;
  CallLog calls;

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
    FromHex(Format(fmt, ++keyCounter), &b);
    return b;
  }

  // Strictly increasing local time with millisecond resolution.
  double Stamp(bool exchange) {
    double now = clk::NowLocalDate();
    if (exchange) now += settings.serverClockOffsetSeconds / 86400.0;
    now = std::floor(now / kMillisecond + 0.5) * kMillisecond;
    if (now <= lastStamp) now = lastStamp + kMillisecond;
    lastStamp = now;
    return now;
  }

  double UtcBiasDays() const { return clk::NowLocalDate() - FileTimeToDate(clk::NowUtc()); }

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
    f.info.messageClass = MessageClassOf(itemType);
    f.info.defaultKind = defaultKind;
    f.info.storeId = store.info.storeId;
    f.info.entryId = Format(L"0000000053494D46%08X%08X", store.number, nextFolderNumber++);
    f.info.created = Stamp(store.info.exchange);
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
    if (s) s->bySourceKey[r.info.SourceKeyHex()] = r.info.id;
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
    if (s) s->bySourceKey.erase(r.info.SourceKeyHex());
  }

  // Stamps a commit on the item: change key, time, sequence, folder time.
  void StampCommit(ItemRec& r, bool exchange) {
    double now = Stamp(exchange);
    r.info.content.Set(PropKey::Tag(tags::kChangeKey), Value::Binary(NewKey(L"434B%036llX")));
    r.info.content.Set(PropKey::Tag(tags::kLastModificationTime), Value::Date(now));
    r.lastSeq = ++seq;
    if (FolderRec* f = Folder(r.info.folder)) {
      f->info.commitTimeMaxUtc = now - UtcBiasDays();
      ++f->version;
    }
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

  ObjId CreateItem(FolderRec& folder, ItemContent content, std::vector<ChangeNote>* notes) {
    StoreRec& store = stores[folder.info.store];
    ObjId id = nextObj++;
    ItemRec r;
    r.info.id = id;
    r.info.folder = folder.info.id;
    r.info.store = store.info.id;
    r.info.entryId = Format(L"0000000053494D49%08X%08X", store.number, nextItemNumber++);
    r.info.content = std::move(content);
    auto& c = r.info.content;
    c.props.erase(PropKey::Tag(tags::kEntryId));
    if (!c.Find(PropKey::Tag(tags::kSearchKey))) c.Set(PropKey::Tag(tags::kSearchKey), Value::Binary(NewKey(L"534B%028llX")));
    if (StringOf(c, tags::kMessageClass).empty()) c.Set(PropKey::Tag(tags::kMessageClass), Value::String(folder.info.messageClass));
    c.Set(PropKey::Tag(tags::kSourceKey), Value::Binary(NewKey(L"5352%040llX")));
    MapContent(store, c);
    StampCommit(r, store.info.exchange);
    c.Set(PropKey::Tag(tags::kCreationTime), *c.Find(PropKey::Tag(tags::kLastModificationTime)));
    r.createdSeq = r.lastSeq;
    folder.items.push_back(id);
    itemById[r.info.entryId] = id;
    auto& stored = items[id] = std::move(r);
    IndexItem(stored);
    notes->push_back(Note(stored, ChangeKind::Add));
    return id;
  }

  void DeleteItem(ItemRec& r, std::vector<ChangeNote>* notes) {
    UnindexItem(r);
    r.info.deleted = true;
    itemById.erase(r.info.entryId);
    if (FolderRec* f = Folder(r.info.folder)) {
      std::erase(f->items, r.info.id);
      ++f->version;
      f->tombstones.push_back({r.info.SourceKeyHex(), r.createdSeq, ++seq});
      StoreRec* s = Store(r.info.store);
      f->info.commitTimeMaxUtc = Stamp(s && s->info.exchange) - UtcBiasDays();
    }
    notes->push_back(Note(r, ChangeKind::Remove));
  }

  void DeleteFolderTree(ObjId id, std::vector<ChangeNote>* notes) {
    FolderRec* f = Folder(id);
    if (!f) return;
    for (ObjId c : std::vector<ObjId>(f->children)) DeleteFolderTree(c, notes);
    for (ObjId i : std::vector<ObjId>(f->items)) {
      if (ItemRec* r = Item(i)) DeleteItem(*r, notes);
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

  bool ShouldFail(std::wstring_view op, HRESULT* hr) {
    auto it = ops.find(op);
    if (it == ops.end()) it = ops.emplace(std::wstring(op), OpState{}).first;
    OpState& o = it->second;
    int n = ++o.calls;
    for (const auto& r : o.rules) {
      if (n >= r.from && n <= r.to) {
        if (hr) *hr = r.hr;
        return true;
      }
    }
    return false;
  }
};

// ---------------------------------------------------------------------------
// DASL names

namespace {

bool StartsWithNoCase(std::wstring_view s, std::wstring_view prefix) {
  return s.size() >= prefix.size() && Upper(s.substr(0, prefix.size())) == Upper(prefix);
}

bool ParseHex32(std::wstring_view s, uint32_t* v) {
  Bytes b;
  if (s.size() != 8 || !FromHex(s, &b)) return false;
  *v = (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | b[3];
  return true;
}

// Resolves a DASL name without a store; a named-by-tag name (proptag 0x8xxx)
// comes back as a plain tag for the caller to map.
bool ResolveStatic(std::wstring_view dasl, PropKey* key, uint32_t* namedTag) {
  *namedTag = 0;
  static const std::pair<const wchar_t*, uint32_t> kAliases[] = {
      {L"DAV:id", tags::kEntryId},
      {L"DAV:getlastmodified", tags::kLastModificationTime},
      {L"DAV:creationdate", tags::kCreationTime},
      {L"urn:schemas:httpmail:subject", tags::kSubject},
      {L"DAV:displayname", tags::kDisplayName},
  };
  for (const auto& [name, tag] : kAliases) {
    if (Upper(dasl) == Upper(name)) { *key = PropKey::Tag(tag); return true; }
  }
  if (Upper(dasl) == Upper(L"urn:schemas:mailheader:keywords") ||
      Upper(dasl) == Upper(L"urn:schemas-microsoft-com:office:office#Keywords")) {
    *key = PropKey::Keywords();
    return true;
  }
  constexpr std::wstring_view kTag = L"http://schemas.microsoft.com/mapi/proptag/0x";
  constexpr std::wstring_view kId = L"http://schemas.microsoft.com/mapi/id/";
  constexpr std::wstring_view kString = L"http://schemas.microsoft.com/mapi/string/";
  if (StartsWithNoCase(dasl, kTag)) {
    uint32_t tag = 0;
    if (!ParseHex32(dasl.substr(kTag.size()), &tag)) return false;
    if (TagId(tag) >= 0x8000) { *namedTag = tag; return true; }
    *key = PropKey::Tag(tag);
    return true;
  }
  bool byId = StartsWithNoCase(dasl, kId);
  if (byId || StartsWithNoCase(dasl, kString)) {
    std::wstring_view rest = dasl.substr(byId ? kId.size() : kString.size());
    size_t slash = rest.find(L'/');
    if (slash != 38 || rest[0] != L'{' || rest[37] != L'}') return false;
    std::wstring_view set = rest.substr(0, 38), tail = rest.substr(39);
    if (!byId) {
      if (tail.empty()) return false;
      *key = PropKey::Named(set, tail, kPtUnspecified);
      return true;
    }
    uint32_t idType = 0;
    if (!ParseHex32(tail, &idType)) return false;
    *key = PropKey::Named(set, long(idType >> 16), uint16_t(idType & 0xFFFF));
    return true;
  }
  return false;
}

}  // namespace

// ---------------------------------------------------------------------------
// World

World::World() : s_(std::make_unique<State>()) {}
World::~World() = default;

World& World::Instance() {
  static World world;
  return world;
}

void World::Reset() {
  std::lock_guard lock(mutex_);
  s_ = std::make_unique<State>();
}

int World::AddObserver(Observer o) {
  std::lock_guard lock(observerMutex_);
  observers_[nextObserver_] = std::move(o);
  return nextObserver_++;
}

void World::RemoveObserver(int token) {
  std::lock_guard lock(observerMutex_);
  observers_.erase(token);
}

void World::Notify(const std::vector<ChangeNote>& notes) {
  if (notes.empty()) return;
  std::vector<Observer> copy;
  {
    std::lock_guard lock(observerMutex_);
    for (const auto& [token, o] : observers_) copy.push_back(o);
  }
  for (const auto& n : notes) {
    for (const auto& o : copy) o(n);
  }
}

ProfileSettings World::Settings() const {
  std::lock_guard lock(mutex_);
  return s_->settings;
}

void World::SetSettings(const ProfileSettings& s) {
  std::lock_guard lock(mutex_);
  s_->settings = s;
}

long World::ConnectionMode() {
  std::lock_guard lock(mutex_);
  auto& st = *s_;
  if (st.modes.empty()) {
    for (ObjId id : st.storeOrder) {
      if (const StoreRec* r = st.Store(id); r && r->info.exchange) return 800;
    }
    return 0;
  }
  long mode = st.modes[std::min(st.modeIndex, st.modes.size() - 1)];
  if (st.modeIndex < st.modes.size()) ++st.modeIndex;
  return mode;
}

void World::SetConnectionModes(std::vector<long> modes) {
  std::lock_guard lock(mutex_);
  s_->modes = std::move(modes);
  s_->modeIndex = 0;
}

ObjId World::AddStore(const StoreSpec& desc) {
  std::lock_guard lock(mutex_);
  auto& st = *s_;
  ObjId id = st.nextObj++;
  StoreRec r;
  r.number = st.nextStoreNumber++;
  r.info.id = id;
  r.info.name = desc.name;
  r.info.kind = desc.kind;
  r.info.exchange = IsExchangeKind(desc.kind);
  r.info.supportsIcs = r.info.exchange && desc.supportsIcs;
  r.info.providerHex = desc.providerHex.empty() ? std::wstring(kPstProvider) : Upper(desc.providerHex);
  r.info.storeId = Format(L"0000000053494D53544F5245%08X", r.number);
  bool hasDefault = false;
  for (ObjId s : st.storeOrder) hasDefault = hasDefault || (st.Store(s) && st.Store(s)->info.isDefault);
  r.info.isDefault = desc.isDefault || !hasDefault;
  if (desc.isDefault) {
    for (ObjId s : st.storeOrder) {
      if (StoreRec* o = st.Store(s)) o->info.isDefault = false;
    }
  }
  st.MapNamed(r, PropKey::Keywords());
  if (r.info.exchange) {
    for (const PropKey& k : {named::GlobalObjectId(), named::ResponseStatus(), named::TallowbySource(),
                             named::TallowbyReminderWasSet()}) {
      st.MapNamed(r, k);
    }
  }
  st.storeById[r.info.storeId] = id;
  st.storeOrder.push_back(id);
  StoreRec& stored = st.stores[id] = std::move(r);
  stored.info.root = st.NewFolder(stored, 0, desc.name, kOlMailItem, 0);
  for (const auto& d : kDefaultFolders) {
    bool omitted = std::find(desc.omitFolders.begin(), desc.omitFolders.end(), d.kind) != desc.omitFolders.end();
    if (omitted && !(d.kind == kOlInbox && stored.info.isDefault)) continue;
    st.NewFolder(stored, stored.info.root, d.name, d.itemType, d.kind);
  }
  return id;
}

bool World::RemoveStore(ObjId store) {
  std::vector<ChangeNote> notes;
  {
    std::lock_guard lock(mutex_);
    auto& st = *s_;
    StoreRec* r = st.Store(store);
    if (!r) return false;
    st.DeleteFolderTree(r->info.root, &notes);
    r->removed = true;
    st.storeById.erase(r->info.storeId);
    std::erase(st.storeOrder, store);
    if (r->info.isDefault && !st.storeOrder.empty()) {
      st.Store(st.storeOrder.front())->info.isDefault = true;
      st.EnsureInbox(st.storeOrder.front());
    }
  }
  Notify(notes);
  return true;
}

std::vector<ObjId> World::Stores() const {
  std::lock_guard lock(mutex_);
  return s_->storeOrder;
}

ObjId World::DefaultStore() const {
  std::lock_guard lock(mutex_);
  for (ObjId id : s_->storeOrder) {
    if (s_->Store(id)->info.isDefault) return id;
  }
  return 0;
}

std::optional<StoreInfo> World::GetStore(ObjId store) const {
  std::lock_guard lock(mutex_);
  const StoreRec* r = s_->Store(store);
  if (!r) return std::nullopt;
  return r->info;
}

ObjId World::StoreByStoreId(std::wstring_view storeIdHex) const {
  std::lock_guard lock(mutex_);
  auto it = s_->storeById.find(Upper(storeIdHex));
  return it == s_->storeById.end() ? 0 : it->second;
}

ObjId World::StoreDefaultFolder(ObjId store, long olFolder) const {
  std::lock_guard lock(mutex_);
  return s_->DefaultFolder(store, olFolder);
}

bool World::HasExchangeStore() const {
  std::lock_guard lock(mutex_);
  for (ObjId id : s_->storeOrder) {
    if (s_->Store(id)->info.exchange) return true;
  }
  return false;
}

long ItemTypeOfFolderNumber(long olFolder) {
  for (const auto& d : kDefaultFolders) {
    if (d.kind == olFolder) return d.itemType;
  }
  return olFolder >= 0 && olFolder <= 5 ? olFolder : kOlMailItem;
}

ObjId World::AddFolder(ObjId parent, std::wstring_view name, long itemType, HRESULT* hr) {
  std::lock_guard lock(mutex_);
  auto& st = *s_;
  HRESULT ignored;
  if (!hr) hr = &ignored;
  FolderRec* p = st.Folder(parent);
  StoreRec* s = p ? st.Store(p->info.store) : nullptr;
  if (!p || !s || name.empty()) { *hr = p ? E_INVALIDARG : kNotFound; return 0; }
  for (ObjId c : p->children) {
    if (Upper(st.Folder(c)->info.name) == Upper(name)) { *hr = MAPI_E_COLLISION; return 0; }
  }
  long type = itemType < 0 ? p->info.itemType : itemType;
  *hr = S_OK;
  return st.NewFolder(*s, parent, name, type, 0);
}

bool World::DeleteFolder(ObjId folder) {
  std::vector<ChangeNote> notes;
  {
    std::lock_guard lock(mutex_);
    FolderRec* f = s_->Folder(folder);
    if (!f || !f->info.parent) return false;  // a store's root goes only with its store
    s_->DeleteFolderTree(folder, &notes);
  }
  Notify(notes);
  return true;
}

std::optional<FolderInfo> World::GetFolder(ObjId folder) const {
  std::lock_guard lock(mutex_);
  const FolderRec* f = s_->Folder(folder);
  if (!f) return std::nullopt;
  return f->info;
}

ObjId World::FolderByEntryId(std::wstring_view entryIdHex) const {
  std::lock_guard lock(mutex_);
  auto it = s_->folderById.find(Upper(entryIdHex));
  return it == s_->folderById.end() ? 0 : it->second;
}

std::vector<ObjId> World::Subfolders(ObjId folder) const {
  std::lock_guard lock(mutex_);
  const FolderRec* f = s_->Folder(folder);
  return f ? f->children : std::vector<ObjId>();
}

void World::SetFolderDescription(ObjId folder, std::wstring_view text) {
  std::lock_guard lock(mutex_);
  if (FolderRec* f = s_->Folder(folder)) f->info.description = text;
}

void World::SetFolderType(ObjId folder, long folderType) {
  std::lock_guard lock(mutex_);
  if (FolderRec* f = s_->Folder(folder)) f->info.folderType = folderType;
}

std::vector<ObjId> World::Items(ObjId folder) const {
  std::lock_guard lock(mutex_);
  const FolderRec* f = s_->Folder(folder);
  return f ? f->items : std::vector<ObjId>();
}

size_t World::ItemCount(ObjId folder) const {
  std::lock_guard lock(mutex_);
  const FolderRec* f = s_->Folder(folder);
  return f ? f->items.size() : 0;
}

namespace {

// Orders values of one property for sorting (missing values first).
bool ValueLess(const Value& a, const Value& b) {
  if (a.type != b.type) return a.type < b.type;
  switch (a.type) {
    case ValueType::Double: case ValueType::Date: return a.dbl < b.dbl;
    case ValueType::Long: case ValueType::Bool: return a.num < b.num;
    case ValueType::String: return Upper(a.str) < Upper(b.str);
    case ValueType::Binary: return a.bin < b.bin;
    case ValueType::StringList: return a.list < b.list;
    default: return false;
  }
}

constexpr uint64_t kGoneFolderVersion = ~uint64_t(0);

}  // namespace

std::vector<ObjId> World::SortedItems(ObjId folder, const PropKey* key, bool descending, uint64_t* version) const {
  std::lock_guard lock(mutex_);
  const auto& st = *s_;
  const FolderRec* f = s_->Folder(folder);
  if (version) *version = f ? f->version : kGoneFolderVersion;
  if (!f) return {};
  if (!key) return f->items;
  static const Value kMissing;
  std::vector<std::pair<Value, ObjId>> keyed;
  keyed.reserve(f->items.size());
  for (ObjId id : f->items) {
    auto it = st.items.find(id);
    keyed.emplace_back(it == st.items.end() ? kMissing : st.ReadItemProp(it->second.info, *key), id);
  }
  std::stable_sort(keyed.begin(), keyed.end(), [&](const auto& a, const auto& b) {
    return descending ? ValueLess(b.first, a.first) : ValueLess(a.first, b.first);
  });
  std::vector<ObjId> ids;
  ids.reserve(keyed.size());
  for (const auto& k : keyed) ids.push_back(k.second);
  return ids;
}

uint64_t World::FolderVersion(ObjId folder) const {
  std::lock_guard lock(mutex_);
  const FolderRec* f = s_->Folder(folder);
  return f ? f->version : kGoneFolderVersion;
}

bool World::ReadItemColumns(ObjId store, ObjId item, const std::vector<uint32_t>& tags, std::vector<Value>* out) const {
  std::lock_guard lock(mutex_);
  out->assign(tags.size(), Value());
  const ItemRec* r = s_->Item(item);
  if (!r) return false;
  const StoreRec* s = s_->Store(store);
  for (size_t c = 0; c < tags.size(); ++c) {
    PropKey key;
    if (s_->KeyForTag(s, tags[c], &key)) (*out)[c] = s_->ReadItemProp(r->info, key);
  }
  return true;
}

std::wstring World::ItemEntryId(ObjId item) const {
  std::lock_guard lock(mutex_);
  const ItemRec* r = s_->Item(item);
  return r ? r->info.entryId : std::wstring();
}

std::optional<ItemInfo> World::GetItem(ObjId item) const {
  std::lock_guard lock(mutex_);
  const ItemRec* r = s_->Item(item);
  if (!r) return std::nullopt;
  return r->info;
}

ObjId World::ItemByEntryId(std::wstring_view entryIdHex) const {
  std::lock_guard lock(mutex_);
  auto it = s_->itemById.find(Upper(entryIdHex));
  return it == s_->itemById.end() ? 0 : it->second;
}

ObjId World::FindBySearchKey(ObjId folder, const Bytes& key) const {
  std::lock_guard lock(mutex_);
  const FolderRec* f = s_->Folder(folder);
  if (!f) return 0;
  auto it = f->bySearchKey.find(ToHex(key));
  return it == f->bySearchKey.end() || it->second.empty() ? 0 : it->second.front();
}

ObjId World::FindBySourceKey(ObjId store, const Bytes& key) const {
  std::lock_guard lock(mutex_);
  const StoreRec* s = s_->Store(store);
  if (!s) return 0;
  auto it = s->bySourceKey.find(ToHex(key));
  return it == s->bySourceKey.end() ? 0 : it->second;
}

void World::SetReadOnly(ObjId item, bool readOnly) {
  std::lock_guard lock(mutex_);
  if (ItemRec* r = s_->Item(item)) r->info.readOnly = readOnly;
}

HRESULT World::CreateItem(ObjId folder, ItemContent content, ObjId* out) {
  std::vector<ChangeNote> notes;
  ObjId id = 0;
  {
    std::lock_guard lock(mutex_);
    FolderRec* f = s_->Folder(folder);
    if (!f) return kNotFound;
    id = s_->CreateItem(*f, std::move(content), &notes);
  }
  if (out) *out = id;
  Notify(notes);
  return S_OK;
}

HRESULT World::CommitItem(ObjId item, ItemContent content) {
  std::vector<ChangeNote> notes;
  {
    std::lock_guard lock(mutex_);
    auto& st = *s_;
    ItemRec* r = st.Item(item);
    if (!r) return MAPI_E_OBJECT_DELETED;
    if (r->info.readOnly) return E_ACCESSDENIED;
    st.UnindexItem(*r);
    // The identity stays: EntryID, source key, creation time.
    for (uint32_t tag : {tags::kSourceKey, tags::kCreationTime}) {
      if (const Value* v = r->info.content.Find(PropKey::Tag(tag))) content.Set(PropKey::Tag(tag), *v);
    }
    if (!content.Find(PropKey::Tag(tags::kSearchKey))) {
      if (const Value* v = r->info.content.Find(PropKey::Tag(tags::kSearchKey))) content.Set(PropKey::Tag(tags::kSearchKey), *v);
    }
    content.props.erase(PropKey::Tag(tags::kEntryId));
    r->info.content = std::move(content);
    StoreRec* s = st.Store(r->info.store);
    if (s) st.MapContent(*s, r->info.content);
    st.StampCommit(*r, s && s->info.exchange);
    st.IndexItem(*r);
    notes.push_back(st.Note(*r, ChangeKind::Change));
  }
  Notify(notes);
  return S_OK;
}

HRESULT World::DeleteItem(ObjId item) {
  std::vector<ChangeNote> notes;
  {
    std::lock_guard lock(mutex_);
    ItemRec* r = s_->Item(item);
    if (!r) return MAPI_E_OBJECT_DELETED;
    s_->DeleteItem(*r, &notes);
  }
  Notify(notes);
  return S_OK;
}

HRESULT World::CopyItemToFolder(ObjId item, ObjId folder, ObjId* out) {
  std::vector<ChangeNote> notes;
  ObjId id = 0;
  {
    std::lock_guard lock(mutex_);
    ItemRec* r = s_->Item(item);
    FolderRec* f = s_->Folder(folder);
    if (!r) return MAPI_E_OBJECT_DELETED;
    if (!f) return kNotFound;
    ItemContent content = r->info.content;
    content.props.erase(PropKey::Tag(tags::kChangeKey));
    id = s_->CreateItem(*f, std::move(content), &notes);
  }
  if (out) *out = id;
  Notify(notes);
  return S_OK;
}

void World::CopyContentOnto(const ItemContent& source, ItemContent& target) const {
  static const PropKey kIdentity[] = {PropKey::Tag(tags::kSourceKey), PropKey::Tag(tags::kChangeKey),
                                      PropKey::Tag(tags::kEntryId), PropKey::Tag(tags::kCreationTime)};
  for (const auto& [k, v] : source.props) {
    if (std::find(std::begin(kIdentity), std::end(kIdentity), k) == std::end(kIdentity)) target.props[k] = v;
  }
  bool append = Settings().appendRecipientsOnCopy;
  if (!append) target.recipients.clear();
  target.recipients.insert(target.recipients.end(), source.recipients.begin(), source.recipients.end());
  for (const auto& p : source.userProps) {
    auto it = std::find_if(target.userProps.begin(), target.userProps.end(),
                           [&](const UserProperty& t) { return Upper(t.name) == Upper(p.name); });
    if (it == target.userProps.end()) target.userProps.push_back(p);
    else *it = p;
  }
  if (!source.members.empty()) target.members = source.members;
}

bool World::ResolveDasl(ObjId store, std::wstring_view dasl, bool create, PropKey* key) {
  std::lock_guard lock(mutex_);
  uint32_t namedTag = 0;
  PropKey k;
  if (!ResolveStatic(dasl, &k, &namedTag)) return false;
  StoreRec* s = s_->Store(store);
  if (namedTag) {
    if (!s_->KeyForTag(s, namedTag, &k)) return false;
  } else if (k.IsNamed() && s) {
    PropKey plain = k;
    plain.type = 0;
    if (!s->namedIds.count(plain)) {
      if (!create) return false;
      s_->MapNamed(*s, plain);
    }
  }
  *key = k;
  return true;
}

uint16_t World::NamedPropId(ObjId store, const PropKey& namedKey, bool create) {
  std::lock_guard lock(mutex_);
  StoreRec* s = s_->Store(store);
  if (!s || !namedKey.IsNamed()) return 0;
  PropKey plain = namedKey;
  plain.type = 0;
  auto it = s->namedIds.find(plain);
  if (it != s->namedIds.end()) return it->second;
  if (!create) return 0;
  s_->MapNamed(*s, plain);
  return s->namedIds[plain];
}

bool World::KeyForTag(ObjId store, uint32_t tag, PropKey* key) const {
  std::lock_guard lock(mutex_);
  return s_->KeyForTag(s_->Store(store), tag, key);
}

Value World::ReadItemProp(const ItemInfo& item, const PropKey& key) const {
  std::lock_guard lock(mutex_);
  return s_->ReadItemProp(item, key);
}

Value World::ReadFolderProp(ObjId folder, uint32_t tag) const {
  std::lock_guard lock(mutex_);
  auto& st = *s_;
  const FolderRec* f = st.Folder(folder);
  if (!f) return Value::Error(MAPI_E_OBJECT_DELETED);
  const StoreRec* s = st.Store(f->info.store);
  Bytes b;
  switch (TagId(tag)) {
    case TagId(tags::kDisplayName): return Value::String(f->info.name);
    case TagId(tags::kComment): return f->info.description.empty() ? Value() : Value::String(f->info.description);
    case TagId(tags::kEntryId): FromHex(f->info.entryId, &b); return Value::Binary(b);
    case TagId(tags::kStoreEntryId): FromHex(f->info.storeId, &b); return Value::Binary(b);
    case TagId(tags::kMdbProvider): if (s) FromHex(s->info.providerHex, &b); return Value::Binary(b);
    case TagId(tags::kFolderType): return Value::Long(f->info.folderType);
    case TagId(tags::kContainerClass): return Value::String(ContainerClassOf(f->info.itemType));
    case TagId(tags::kCreationTime): return Value::Date(f->info.created);
    case TagId(tags::kLocalCommitTimeMax):
      return f->info.commitTimeMaxUtc ? Value::Date(f->info.commitTimeMaxUtc) : Value();
    default: return Value();
  }
}

Value World::ReadStoreProp(ObjId store, uint32_t tag) const {
  std::lock_guard lock(mutex_);
  const StoreRec* s = s_->Store(store);
  if (!s) return Value::Error(MAPI_E_OBJECT_DELETED);
  Bytes b;
  switch (TagId(tag)) {
    case TagId(tags::kDisplayName): return Value::String(s->info.name);
    case TagId(tags::kMdbProvider): FromHex(s->info.providerHex, &b); return Value::Binary(b);
    case TagId(tags::kEntryId):
    case TagId(tags::kStoreEntryId): FromHex(s->info.storeId, &b); return Value::Binary(b);
    default: return Value();
  }
}

std::vector<ObjId> World::DueReminders(ObjId store) const {
  std::lock_guard lock(mutex_);
  std::vector<ObjId> due;
  double now = clk::NowLocalDate();
  for (const auto& [fid, f] : s_->folders) {
    if (f.deleted || f.info.store != store) continue;
    for (ObjId id : f.items) {
      const ItemInfo& info = s_->items.at(id).info;
      const Value* set = info.content.Find(named::ReminderSet());
      const Value* time = info.content.Find(named::ReminderTime());
      if (set && set->num && (!time || time->dbl <= now)) due.push_back(id);
    }
  }
  std::sort(due.begin(), due.end());
  return due;
}

HRESULT World::Query(ObjId folder, std::wstring_view text, const std::vector<ObjId>& order,
                     std::vector<ObjId>* matches) {
  query::Parsed q;
  if (!query::Parse(text, &q)) return MAPI_E_INVALID_PARAMETER;
  std::lock_guard lock(mutex_);
  auto& st = *s_;
  matches->clear();
  FolderRec* f = st.Folder(folder);
  if (!f) return MAPI_E_OBJECT_DELETED;
  StoreRec* s = st.Store(f->info.store);
  // Each name resolves once per query; unknown names read as missing.
  std::map<std::wstring, std::optional<PropKey>> keys;
  auto keyOf = [&](const std::wstring& dasl) -> const std::optional<PropKey>& {
    auto it = keys.find(dasl);
    if (it != keys.end()) return it->second;
    uint32_t namedTag = 0;
    PropKey k;
    std::optional<PropKey> r;
    if (ResolveStatic(dasl, &k, &namedTag) && (!namedTag || st.KeyForTag(s, namedTag, &k))) r = k;
    return keys[dasl] = r;
  };
  // The search-key lookup the synchronisation makes for every item is indexed.
  std::wstring name, literal;
  const std::vector<ObjId>* candidates = order.empty() ? &f->items : &order;
  std::vector<ObjId> indexed;
  if (order.empty() && query::IsSimpleEquality(q, &name, &literal)) {
    const auto& key = keyOf(name);
    Bytes bytes;
    if (key && !key->IsNamed() && key->id == TagId(tags::kSearchKey)) {
      if (FromHex(literal, &bytes)) {
        auto it = f->bySearchKey.find(ToHex(bytes));
        if (it != f->bySearchKey.end()) indexed = it->second;
      }
      candidates = &indexed;
    }
  }
  for (ObjId id : *candidates) {
    const ItemRec* r = st.Item(id);
    if (!r || r->info.folder != folder) continue;
    auto read = [&](const std::wstring& dasl) {
      const auto& key = keyOf(dasl);
      return key ? st.ReadItemProp(r->info, *key) : Value();
    };
    if (query::Matches(q, read)) matches->push_back(id);
  }
  return S_OK;
}

// ---------------------------------------------------------------------------
// Incremental synchronisation

namespace {

constexpr wchar_t kStatePrefix[] = L"SIMICS1:";

std::wstring MakeState(const std::wstring& folderEntryId, uint64_t seq) {
  std::wstring body = kStatePrefix + folderEntryId + L":" + std::to_wstring(seq);
  wchar_t crc[16];
  swprintf(crc, 16, L"%08X", Fnv1a(body));
  return body + L":" + crc;
}

// The sequence number of a state text made for this folder; false when the
// text is damaged or belongs to another folder.
bool ParseState(std::wstring_view state, const std::wstring& folderEntryId, uint64_t* seq) {
  std::wstring_view prefix = kStatePrefix;
  if (state.substr(0, prefix.size()) != prefix) return false;
  size_t lastColon = state.rfind(L':');
  size_t idColon = state.find(L':', prefix.size());
  if (lastColon == std::wstring_view::npos || idColon == std::wstring_view::npos || idColon >= lastColon) return false;
  std::wstring_view id = state.substr(prefix.size(), idColon - prefix.size());
  std::wstring_view num = state.substr(idColon + 1, lastColon - idColon - 1);
  if (id != folderEntryId || num.empty() || num.size() > 19) return false;
  uint64_t n = 0;
  for (wchar_t c : num) {
    if (c < L'0' || c > L'9') return false;
    n = n * 10 + (c - L'0');
  }
  if (MakeState(folderEntryId, n) != state) return false;
  *seq = n;
  return true;
}

}  // namespace

HRESULT World::GetChanges(ObjId folder, std::wstring_view state, const std::optional<std::wstring>& restriction,
                          IcsResult* out) {
  query::Parsed q;
  if (restriction && !restriction->empty() && !query::Parse(*restriction, &q)) return MAPI_E_INVALID_PARAMETER;
  std::lock_guard lock(mutex_);
  auto& st = *s_;
  *out = IcsResult();
  FolderRec* f = st.Folder(folder);
  if (!f) return MAPI_E_OBJECT_DELETED;
  StoreRec* s = st.Store(f->info.store);
  if (!s || !s->info.supportsIcs) return MAPI_E_NO_SUPPORT;
  if (st.settings.icsServerDown) return MAPI_E_NETWORK_ERROR;
  if (st.settings.icsNullCollection) { out->noCollection = true; return S_OK; }
  uint64_t since = 0;
  if (!state.empty() && !ParseState(state, f->info.entryId, &since)) return MAPI_E_CORRUPT_DATA;

  std::vector<std::pair<uint64_t, IcsChange>> found;
  for (ObjId id : f->items) {
    const ItemRec& r = st.items.at(id);
    if (r.lastSeq <= since) continue;
    IcsChange c;
    c.sourceKey = r.info.SourceKeyHex();
    auto read = [&](const std::wstring& dasl) {
      uint32_t namedTag = 0;
      PropKey k;
      if (!ResolveStatic(dasl, &k, &namedTag) || (namedTag && !st.KeyForTag(s, namedTag, &k))) return Value();
      return st.ReadItemProp(r.info, k);
    };
    if (!query::Matches(q, read)) {
      if (!st.settings.icsReportUnmatchedAsDeletion || since == 0 || r.createdSeq > since) continue;
      c.kind = 1;
    } else {
      c.kind = 2;
      c.changeKey = r.info.ChangeKeyHex();
      c.entryId = r.info.entryId;
      c.isNew = since == 0 || r.createdSeq > since;
    }
    found.emplace_back(r.lastSeq, std::move(c));
  }
  if (since) {
    for (const Tombstone& t : f->tombstones) {
      if (t.deletedSeq <= since || t.createdSeq > since) continue;  // gone before, or born and gone after
      IcsChange c;
      c.sourceKey = t.sourceKey;
      c.kind = 1;
      found.emplace_back(t.deletedSeq, std::move(c));
    }
  }
  std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  for (auto& [seq, c] : found) out->changes.push_back(std::move(c));
  out->newState = MakeState(f->info.entryId, st.seq);
  return S_OK;
}

// ---------------------------------------------------------------------------
// Address book, failures, call record, dump

void World::SetAddressLists(std::vector<AddressList> lists) {
  std::lock_guard lock(mutex_);
  s_->addressLists = std::move(lists);
}

std::vector<AddressList> World::AddressLists() const {
  std::lock_guard lock(mutex_);
  return s_->addressLists;
}

void World::InjectFailure(std::wstring_view op, int nth, HRESULT hr, int count) {
  std::lock_guard lock(mutex_);
  auto it = s_->ops.find(op);
  if (it == s_->ops.end()) it = s_->ops.emplace(std::wstring(op), OpState{}).first;
  int from = it->second.calls + std::max(nth, 1);
  int to = count < 0 ? INT_MAX : from + std::max(count, 1) - 1;
  it->second.rules.push_back({from, to, hr});
}

void World::ClearFailures() {
  std::lock_guard lock(mutex_);
  for (auto& [op, o] : s_->ops) o.rules.clear();
}

bool World::ShouldFail(std::wstring_view op, HRESULT* hr) {
  std::lock_guard lock(mutex_);
  return s_->ShouldFail(op, hr);
}

void World::Record(std::wstring_view op, std::wstring_view detail) {
  std::lock_guard lock(mutex_);
  s_->calls.Add(op, detail);
}

std::vector<CallRecord> World::Calls() const {
  std::lock_guard lock(mutex_);
  return s_->calls.Select([](const std::wstring&) { return true; });
}

std::vector<CallRecord> World::CallsOf(std::wstring_view op) const {
  std::lock_guard lock(mutex_);
  return s_->calls.Select([op](const std::wstring& name) { return name == op; });
}

void World::ClearCalls() {
  std::lock_guard lock(mutex_);
  s_->calls.Clear();
}

std::wstring World::Dump() const {
  std::lock_guard lock(mutex_);
  const auto& st = *s_;
  std::wstring out;
  std::function<void(ObjId, int)> folder = [&](ObjId id, int depth) {
    const FolderRec& f = st.folders.at(id);
    out += std::wstring(size_t(depth) * 2, L' ') + L"folder \"" + f.info.name + L"\" " + f.info.entryId +
           L" type " + std::to_wstring(f.info.itemType) + L"\n";
    for (ObjId i : f.items) {
      const ItemInfo& info = st.items.at(i).info;
      out += std::wstring(size_t(depth) * 2 + 2, L' ') + L"item " + info.entryId + L" " + info.MessageClass() +
             L" \"" + info.Subject() + L"\" SK " + info.SearchKeyHex() + L" CK " + info.ChangeKeyHex() + L"\n";
    }
    for (ObjId c : f.children) {
      if (!st.folders.at(c).deleted) folder(c, depth + 1);
    }
  };
  for (ObjId id : st.storeOrder) {
    const StoreRec& s = st.stores.at(id);
    out += L"store \"" + s.info.name + L"\" kind " + std::to_wstring(s.info.kind) + L" " + s.info.storeId +
           (s.info.isDefault ? L" default\n" : L"\n");
    folder(s.info.root, 1);
  }
  return out;
}

}  // namespace sim
