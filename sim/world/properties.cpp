// Properties of items, folders and stores, DASL names, sorted views and
// queries.
#include <algorithm>
#include <map>
#include <optional>

#include "world/query.h"
#include "world/world_state.h"

namespace sim {

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

}  // namespace

bool detail::ResolveStatic(std::wstring_view dasl, PropKey* key, uint32_t* namedTag) {
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

using detail::ContainerClassOf;
using detail::kNotFound;
using detail::ResolveStatic;

// ---------------------------------------------------------------------------
// Reads, sorted views, queries

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

bool World::ResolveDasl(ObjId store, std::wstring_view dasl, bool create, PropKey* key, HRESULT* quota) {
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
      if (!create || s_->RefusesNewName(*s, quota)) return false;
      s_->MapNamed(*s, plain);
    }
  }
  *key = k;
  return true;
}

uint16_t World::NamedPropId(ObjId store, const PropKey& namedKey, bool create, HRESULT* quota) {
  std::lock_guard lock(mutex_);
  StoreRec* s = s_->Store(store);
  if (!s || !namedKey.IsNamed()) return 0;
  PropKey plain = namedKey;
  plain.type = 0;
  auto it = s->namedIds.find(plain);
  if (it != s->namedIds.end()) return it->second;
  if (!create || s_->RefusesNewName(*s, quota)) return 0;
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
    default: {
      PropKey key;
      if (!st.KeyForTag(s, tag, &key)) return Value();
      auto it = f->info.props.find(key);
      return it == f->info.props.end() ? Value() : it->second;
    }
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

bool IsReminderDue(const ItemContent& content, double nowUtc) {
  const Value* set = content.Find(named::ReminderSet());
  const Value* time = content.Find(named::ReminderTime());
  return set && set->num && (!time || time->dbl <= nowUtc);
}

std::vector<ObjId> World::DueReminders(ObjId store) const {
  std::lock_guard lock(mutex_);
  std::vector<ObjId> due;
  const double now = times::NowUtc();
  auto s = s_->stores.find(store);
  if (s == s_->stores.end()) return due;
  for (ObjId id : s->second.withReminder) {  // ascending ids
    if (IsReminderDue(s_->items.at(id).info.content, now)) due.push_back(id);
  }
  return due;
}

// What a query on a property name the store does not know fails with.
constexpr HRESULT kUnknownName = MAPI_E_INVALID_PARAMETER;

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
  // Each name resolves once, before any item is read: a name the store does
  // not know (a named property it never mapped) fails the query, as the
  // restriction cannot be built; it does not read as missing.
  std::map<std::wstring, std::optional<PropKey>> keys;
  for (const std::wstring& dasl : query::ConditionNames(q)) {
    if (keys.count(dasl)) continue;
    std::optional<PropKey> k = st.QueryKey(s, dasl);
    if (!k) return kUnknownName;
    keys[dasl] = k;
  }
  auto keyOf = [&](const std::wstring& dasl) -> const std::optional<PropKey>& { return keys[dasl]; };
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
}  // namespace sim
