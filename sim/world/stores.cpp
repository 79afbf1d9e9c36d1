// The stores of the profile: added with their default folders, removed, looked up.
#include <algorithm>

#include "world/id_forms.h"
#include "world/world_state.h"

namespace sim {

using detail::kDefaultFolders;
using detail::Format;

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
  r.info.providerHex = desc.providerHex.empty() ? std::wstring(providers::kPersonalFolders) : Upper(desc.providerHex);
  r.info.flavor = r.info.exchange                              ? StoreFlavor::Exchange
                  : r.info.providerHex == providers::kICloud   ? StoreFlavor::ICloud
                  : r.info.providerHex == providers::kHotmail  ? StoreFlavor::Hotmail
                                                               : StoreFlavor::Personal;
  r.info.clockOffsetSeconds = desc.clockOffsetSeconds;
  r.info.echoAfterSeconds = desc.echoAfterSeconds;
  r.info.echoRewrites = desc.echoRewrites;
  r.info.namedPropsFull = desc.namedPropsFull;
  r.info.uploadAfterSeconds = r.info.exchange ? desc.uploadAfterSeconds : -1;
  r.wholeSeconds = r.info.flavor == StoreFlavor::ICloud || r.info.flavor == StoreFlavor::Hotmail;
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
  std::lock_guard lock(mutex_);
  auto& st = *s_;
  StoreRec* r = st.Store(store);
  if (!r) return false;
  st.DeleteFolderTree(r->info.root);
  r->removed = true;
  st.storeById.erase(r->info.storeId);
  std::erase(st.storeOrder, store);
  if (r->info.isDefault && !st.storeOrder.empty()) {
    st.Store(st.storeOrder.front())->info.isDefault = true;
    st.EnsureInbox(st.storeOrder.front());
  }
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
  auto it = s_->storeById.find(WrapperIdForm(storeIdHex));
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

}  // namespace sim
