// Save conflicts: an edit that lands while the add-in holds an item, right
// before the wrapper's next save of it, which then meets a changed item.
#include "world/world_state.h"

namespace sim {

bool World::State::RefusesSave(const ItemRec& r, std::wstring_view openedAt) {
  return !openedAt.empty() && stores[r.info.store].info.exchange && r.info.ChangeKeyHex() != openedAt;
}

void World::EditBeforeNextSave(ObjId item, std::function<void()> edit) {
  std::lock_guard lock(mutex_);
  s_->editsBeforeSave.emplace(item, std::move(edit));
}

void World::Saving(ObjId item) {
  std::function<void()> edit;
  {
    std::lock_guard lock(mutex_);
    auto it = s_->editsBeforeSave.find(item);
    if (it == s_->editsBeforeSave.end()) return;
    edit = std::move(it->second);
    s_->editsBeforeSave.erase(it);
  }
  edit();
}

}  // namespace sim
