// Echo writes: a store that writes an item the add-in wrote again on its own,
// later, as a connector or a server assistant does.
#include "world/world_state.h"

namespace sim {

void World::AddInWrote(ObjId item) {
  std::lock_guard lock(mutex_);
  ItemRec* r = s_->Item(item);
  StoreRec* s = r ? s_->Store(r->info.store) : nullptr;
  if (s && s->info.echoAfterSeconds >= 0) s_->Schedule(item, detail::LaterWork::Echo, s->info.echoAfterSeconds);
}

HRESULT World::EchoItem(ObjId item) {
  std::vector<ChangeNote> notes;
  {
    std::lock_guard lock(mutex_);
    auto& st = *s_;
    ItemRec* r = st.Item(item);
    if (!r) return MAPI_E_OBJECT_DELETED;
    st.StampCommit(*r, st.stores[r->info.store]);
    notes.push_back(st.Note(*r, ChangeKind::Change));
  }
  Notify(notes);
  return S_OK;
}

}  // namespace sim
