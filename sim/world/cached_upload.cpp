// A mailbox in cached mode: a new item gets its source key, and reaches the
// server, only when it is uploaded.
#include "world/world_state.h"

namespace sim {

void World::State::GiveSourceKey(ItemRec& r, const StoreRec& store) {
  if (!r.info.SourceKeyHex().empty()) return;
  if (store.info.uploadAfterSeconds < 0)
    r.info.content.Set(PropKey::Tag(tags::kSourceKey), Value::Binary(NewKey(L"5352%040llX")));
  else
    Schedule(r.info.id, detail::LaterWork::Upload, store.info.uploadAfterSeconds);
}

// and the incremental sync reports it from now on. Outlook raises no event.
void World::UploadItem(ObjId item) {
  std::lock_guard lock(mutex_);
  auto& st = *s_;
  ItemRec* r = st.Item(item);
  if (!r || !r->info.SourceKeyHex().empty()) return;
  r->info.content.Set(PropKey::Tag(tags::kSourceKey), Value::Binary(st.NewKey(L"5352%040llX")));
  if (StoreRec* s = st.Store(r->info.store)) s->bySourceKey[r->info.SourceKeyHex()] = item;
  r->lastSeq = ++st.seq;
}

}  // namespace sim
