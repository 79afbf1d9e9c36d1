// Folders: made (default folders with their store), looked up, and their
// own properties.
#include "world/id_forms.h"
#include "world/world_state.h"

namespace sim {

using detail::kDefaultFolders;
using detail::kNotFound;

ObjId World::State::NewFolder(StoreRec& store, ObjId parent, std::wstring_view name, long itemType, long defaultKind) {
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

ObjId World::State::DefaultFolder(ObjId store, long kind) {
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

void World::State::EnsureInbox(ObjId store) {
  StoreRec* s = Store(store);
  if (s && !DefaultFolder(store, kOlInbox)) NewFolder(*s, s->info.root, L"Inbox", kOlMailItem, kOlInbox);
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

std::optional<FolderInfo> World::GetFolder(ObjId folder) const {
  std::lock_guard lock(mutex_);
  const FolderRec* f = s_->Folder(folder);
  if (!f) return std::nullopt;
  return f->info;
}

ObjId World::FolderByEntryId(std::wstring_view entryIdHex) const {
  std::lock_guard lock(mutex_);
  auto it = s_->folderById.find(WrapperIdForm(entryIdHex));
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

bool World::SetFolderProp(ObjId folder, uint32_t tag, Value value) {
  std::lock_guard lock(mutex_);
  FolderRec* f = s_->Folder(folder);
  PropKey key;
  if (!f || !s_->KeyForTag(s_->Store(f->info.store), tag, &key)) return false;
  f->info.props[key] = std::move(value);
  return true;
}

void World::SetFolderType(ObjId folder, long folderType) {
  std::lock_guard lock(mutex_);
  if (FolderRec* f = s_->Folder(folder)) f->info.folderType = folderType;
}

}  // namespace sim
