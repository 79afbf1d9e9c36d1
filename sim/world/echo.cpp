// Echo writes: a store that writes an item the add-in wrote again on its own,
// later, as a connector or a server assistant does, its content kept or
// changed as the service keeps it.
#include <algorithm>

#include "world/world_state.h"

namespace sim {

void RewriteAsService(ItemContent& content) {
  if (auto it = content.props.find(PropKey::Keywords()); it != content.props.end())
    std::reverse(it->second.list.begin(), it->second.list.end());
  std::erase_if(content.props, [](const auto& p) { return p.first.set == psets::kTallowby; });
  content.userProps.clear();
  if (auto it = content.props.find(PropKey::Tag(tags::kBody));
      it != content.props.end() && it->second.str.size() > kServiceBodyChars)
    it->second.str.resize(kServiceBodyChars);
}

void World::AddInWrote(ObjId item) {
  std::lock_guard lock(mutex_);
  ItemRec* r = s_->Item(item);
  StoreRec* s = r ? s_->Store(r->info.store) : nullptr;
  if (!s || s->info.echoAfterSeconds < 0) return;
  s_->Schedule(item, s->info.echoRewrites ? detail::LaterWork::RewritingEcho : detail::LaterWork::Echo,
               s->info.echoAfterSeconds);
}

HRESULT World::EchoItem(ObjId item, bool rewrite) {
  std::vector<ChangeNote> notes;
  {
    std::lock_guard lock(mutex_);
    auto& st = *s_;
    ItemRec* r = st.Item(item);
    if (!r) return MAPI_E_OBJECT_DELETED;
    if (rewrite) {
      st.UnindexItem(*r);
      RewriteAsService(r->info.content);
      st.IndexItem(*r);
    }
    st.StampCommit(*r, st.stores[r->info.store]);
    notes.push_back(st.Note(*r, ChangeKind::Change));
  }
  Notify(notes);
  return S_OK;
}

}  // namespace sim
