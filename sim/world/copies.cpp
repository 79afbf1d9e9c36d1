// Copies: the user's copy and paste, and the wrapper's copy of a message.
#include <algorithm>

#include "world/world_state.h"

namespace sim {

using detail::kNotFound;

ObjId World::State::CreateCopy(FolderRec& folder, ItemContent content, std::vector<ChangeNote>* notes, bool userPaste) {
  for (uint32_t tag : {tags::kChangeKey, tags::kLastModificationTime, tags::kCreationTime})
    content.props.erase(PropKey::Tag(tag));
  if (!userPaste && stores[folder.info.store].info.flavor == StoreFlavor::ICloud)
    content.props.erase(PropKey::Tag(tags::kSearchKey));
  return CreateItem(folder, std::move(content), notes);
}

HRESULT World::CopyItemToFolder(ObjId item, ObjId folder, ObjId* out) {
  std::optional<ItemInfo> info = GetItem(item);
  if (!info) return MAPI_E_OBJECT_DELETED;
  return MakeCopy(folder, std::move(info->content), true, out);
}

HRESULT World::CreateCopy(ObjId folder, ItemContent content, ObjId* out) {
  return MakeCopy(folder, std::move(content), false, out);
}

HRESULT World::MakeCopy(ObjId folder, ItemContent content, bool userPaste, ObjId* out) {
  std::vector<ChangeNote> notes;
  ObjId id = 0;
  {
    std::lock_guard lock(mutex_);
    FolderRec* f = s_->Folder(folder);
    if (!f) return kNotFound;
    id = s_->CreateCopy(*f, std::move(content), &notes, userPaste);
  }
  if (out) *out = id;
  Notify(notes);
  return S_OK;
}

void World::CopyContentOnto(const ItemContent& source, ItemContent& target) const {
  // The target's identity and times stay; its save stamps the time.
  static const PropKey kIdentity[] = {PropKey::Tag(tags::kSourceKey), PropKey::Tag(tags::kChangeKey),
                                      PropKey::Tag(tags::kEntryId), PropKey::Tag(tags::kCreationTime),
                                      PropKey::Tag(tags::kLastModificationTime)};
  for (const auto& [k, v] : source.props) {
    if (std::find(std::begin(kIdentity), std::end(kIdentity), k) == std::end(kIdentity)) target.props[k] = v;
  }
  bool append = Settings().appendRecipientsOnCopy;
  if (!append) target.recipients.clear();
  target.recipients.insert(target.recipients.end(), source.recipients.begin(), source.recipients.end());
  for (const auto& p : source.userProps) {
    auto it = std::find_if(target.userProps.begin(), target.userProps.end(),
                           [&](const UserProperty& t) { return Upper(t.name) == Upper(p.name); });
    if (it == target.userProps.end()) target.userProps.push_back(p);
    else *it = p;
  }
  if (!source.members.empty()) target.members = source.members;
}

}  // namespace sim
