// Moves and deletes: the user's delete moves an item or folder to its store's
// Deleted Items (from there, or hard, it goes for good); a move keeps the
// item's search key, change key and time, and gives it a new EntryID.
#include <map>

#include "world/world_state.h"

namespace sim {

using detail::kNotFound;

ObjId World::State::MoveItem(ItemRec& r, FolderRec& to, std::vector<ChangeNote>* notes) {
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

bool World::State::InDeletedItems(ObjId folder) {
  const FolderRec* f = Folder(folder);
  const ObjId bin = f ? DefaultFolder(f->info.store, kOlDeletedItems) : 0;
  for (; f && bin; f = Folder(f->info.parent)) {
    if (f->info.id == bin) return true;
  }
  return false;
}

ObjId World::State::BinFor(ObjId folder) {
  const FolderRec* f = Folder(folder);
  if (!f || InDeletedItems(folder)) return 0;
  return DefaultFolder(f->info.store, kOlDeletedItems);
}

void World::State::DeleteFolderTree(ObjId id) {
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

bool World::DeleteFolder(ObjId folder, bool hard) {
  std::lock_guard lock(mutex_);
  auto& st = *s_;
  FolderRec* f = st.Folder(folder);
  if (!f || !f->info.parent || f->info.defaultKind) return false;  // a store's own folders stay
  const ObjId bin = hard ? 0 : st.BinFor(f->info.parent);
  FolderRec* to = st.Folder(bin);
  if (!to) {
    st.DeleteFolderTree(folder);
    return true;
  }
  if (FolderRec* p = st.Folder(f->info.parent)) std::erase(p->children, folder);
  f->info.parent = bin;
  to->children.push_back(folder);
  return true;
}

bool World::EmptyDeletedItems(ObjId store) {
  std::vector<ChangeNote> notes;
  {
    std::lock_guard lock(mutex_);
    auto& st = *s_;
    FolderRec* bin = st.Folder(st.DefaultFolder(store, kOlDeletedItems));
    if (!bin) return false;
    for (ObjId c : std::vector<ObjId>(bin->children)) st.DeleteFolderTree(c);
    for (ObjId i : std::vector<ObjId>(bin->items)) {
      if (ItemRec* r = st.Item(i)) st.DeleteItem(*r, &notes);
    }
  }
  for (ChangeNote& n : notes) n.batch = notes.size();
  Notify(notes);
  return true;
}

HRESULT World::DeleteItem(ObjId item, DeleteMode mode) { return DeleteItems({item}, mode); }

HRESULT World::DeleteItems(const std::vector<ObjId>& items, DeleteMode mode) {
  std::vector<ChangeNote> notes;
  HRESULT hr = S_OK;
  {
    std::lock_guard lock(mutex_);
    auto& st = *s_;
    for (ObjId item : items) {
      ItemRec* r = st.Item(item);
      if (!r) {
        hr = MAPI_E_OBJECT_DELETED;
        continue;
      }
      FolderRec* bin = mode == DeleteMode::ToDeletedItems ? st.Folder(st.BinFor(r->info.folder)) : nullptr;
      if (bin) st.MoveItem(*r, *bin, &notes);
      else st.DeleteItem(*r, &notes);
    }
  }
  // Each folder's share of the step is one batch.
  std::map<ObjId, size_t> perFolder;
  for (const ChangeNote& n : notes) ++perFolder[n.folder];
  for (ChangeNote& n : notes) n.batch = perFolder[n.folder];
  Notify(notes);
  return hr;
}

HRESULT World::MoveItem(ObjId item, ObjId folder, ObjId* out) {
  std::vector<ChangeNote> notes;
  ObjId id = 0;
  {
    std::lock_guard lock(mutex_);
    auto& st = *s_;
    ItemRec* r = st.Item(item);
    FolderRec* to = st.Folder(folder);
    if (!r) return MAPI_E_OBJECT_DELETED;
    if (!to) return kNotFound;
    if (r->info.folder == folder) {
      id = item;
    } else {
      id = st.MoveItem(*r, *to, &notes);
    }
  }
  if (out) *out = id;
  Notify(notes);
  return S_OK;
}

}  // namespace sim
