// A store's quota of named properties: once its table of names is full, the
// wrapper's request for a new name's id (GetIDsFromNames with create, and a
// write by a name not mapped yet) fails, as a mailbox's does.
#include "world/world_state.h"

namespace sim {
namespace {
constexpr HRESULT kNamedPropQuotaExceeded = static_cast<HRESULT>(0x80040900);  // MAPI_E_NAMED_PROP_QUOTA_EXCEEDED
}  // namespace

bool World::State::RefusesNewName(const StoreRec& store, HRESULT* quota) const {
  if (!quota || !store.info.namedPropsFull) return false;
  *quota = kNamedPropQuotaExceeded;
  return true;
}

HRESULT World::NamesFit(ObjId store, const ItemContent& content) const {
  std::lock_guard lock(mutex_);
  auto it = s_->stores.find(store);
  if (it == s_->stores.end()) return S_OK;
  const StoreRec& s = it->second;
  for (const auto& [key, value] : content.props) {
    if (!key.IsNamed()) continue;
    PropKey plain = key;
    plain.type = 0;
    HRESULT quota = S_OK;
    if (!s.namedIds.count(plain) && s_->RefusesNewName(s, &quota)) return quota;
  }
  return S_OK;
}

}  // namespace sim
