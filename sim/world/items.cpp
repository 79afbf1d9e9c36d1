// Items: made, committed, read, and the folder's and store's indexes of them.
#include "world/id_forms.h"
#include "world/world_state.h"

namespace sim {

using detail::kNotFound;

void World::State::IndexItem(ItemRec& r) {
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

void World::State::UnindexItem(ItemRec& r) {
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

void World::State::StampCommit(ItemRec& r, StoreRec& store, std::optional<double> modifiedUtc) {
  const double now = Stamp(store);
  r.info.content.Set(PropKey::Tag(tags::kChangeKey), Value::Binary(NewKey(L"434B%036llX")));
  r.info.content.Set(PropKey::Tag(tags::kLastModificationTime), Value::Date(modifiedUtc.value_or(now)));
  r.lastSeq = ++seq;
  if (FolderRec* f = Folder(r.info.folder)) {
    f->info.commitTimeMaxUtc = now;
    ++f->version;
  }
}

ChangeNote World::State::Note(const ItemRec& r, ChangeKind kind) {
  ChangeNote n;
  n.folder = r.info.folder;
  n.item = r.info.id;
  n.itemEntryId = r.info.entryId;
  n.kind = kind;
  if (auto it = folders.find(r.info.folder); it != folders.end()) n.folderEntryId = it->second.info.entryId;
  return n;
}

ItemRec World::State::NewItemRecord(const FolderRec& folder, StoreRec& store) {
  ItemRec r;
  r.info.id = nextObj++;
  r.info.folder = folder.info.id;
  r.info.store = store.info.id;
  r.info.entryId = detail::Format(L"0000000053494D49%08X%08X", store.number, nextItemNumber++);
  return r;
}

ObjId World::State::Place(FolderRec& folder, ItemRec r, std::vector<ChangeNote>* notes) {
  const ObjId id = r.info.id;
  folder.items.push_back(id);
  folder.byOrdinal.push_back(id);
  itemById[r.info.entryId] = id;
  auto& stored = items[id] = std::move(r);
  IndexItem(stored);
  if (notes) notes->push_back(Note(stored, ChangeKind::Add));
  return id;
}

ObjId World::State::CreateItem(FolderRec& folder, ItemContent content, std::vector<ChangeNote>* notes) {
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

void World::State::DeleteItem(ItemRec& r, std::vector<ChangeNote>* notes) {
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
  auto it = s_->itemById.find(WrapperIdForm(entryIdHex));
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

HRESULT World::CreateItems(ObjId folder, std::vector<ItemContent> contents, std::vector<ObjId>* out) {
  std::vector<ChangeNote> notes;
  std::vector<ObjId> ids;
  {
    std::lock_guard lock(mutex_);
    FolderRec* f = s_->Folder(folder);
    if (!f) return kNotFound;
    for (ItemContent& c : contents) ids.push_back(s_->CreateItem(*f, std::move(c), &notes));
  }
  for (ChangeNote& n : notes) n.batch = notes.size();
  if (out) *out = std::move(ids);
  Notify(notes);
  return S_OK;
}

HRESULT World::CommitItem(ObjId item, ItemContent content, std::optional<double> modifiedUtc,
                          std::wstring_view openedAt) {
  std::vector<ChangeNote> notes;
  {
    std::lock_guard lock(mutex_);
    auto& st = *s_;
    ItemRec* r = st.Item(item);
    if (!r) return MAPI_E_OBJECT_DELETED;
    if (r->info.readOnly) return E_ACCESSDENIED;
    if (st.RefusesSave(*r, openedAt)) return MAPI_E_OBJECT_CHANGED;
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
    StoreRec& s = st.stores[r->info.store];
    st.MapContent(s, r->info.content);
    st.StampCommit(*r, s, modifiedUtc);
    st.IndexItem(*r);
    notes.push_back(st.Note(*r, ChangeKind::Change));
  }
  Notify(notes);
  return S_OK;
}

}  // namespace sim
