// The world's state: stores, folders, items and their commits, the
// observers, the profile, the address book and the dump. Properties and
// queries, incremental synchronisation, failure injection and the call
// record have files of their own.
#include "world/world.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>

#include "clock.h"
#include "world/world_state.h"

namespace sim {

// ---------------------------------------------------------------------------
// ItemContent / ItemInfo

const Value* ItemContent::Find(const PropKey& k) const {
  auto it = props.find(k);
  return it == props.end() ? nullptr : &it->second;
}

void ItemContent::Set(const PropKey& k, Value v) {
  if (v.IsEmpty()) props.erase(k);
  else props[k] = std::move(v);
}

namespace detail {
std::wstring StringOf(const ItemContent& c, uint32_t tag) {
  const Value* v = c.Find(PropKey::Tag(tag));
  return v && v->type == ValueType::String ? v->str : std::wstring();
}
}  // namespace detail

namespace {
using detail::StringOf;
std::wstring HexOf(const ItemContent& c, uint32_t tag) {
  const Value* v = c.Find(PropKey::Tag(tag));
  return v && v->type == ValueType::Binary ? ToHex(v->bin) : std::wstring();
}
}  // namespace

std::wstring ItemInfo::MessageClass() const { return StringOf(content, tags::kMessageClass); }
std::wstring ItemInfo::Subject() const { return StringOf(content, tags::kSubject); }
std::wstring ItemInfo::SearchKeyHex() const { return HexOf(content, tags::kSearchKey); }
std::wstring ItemInfo::SourceKeyHex() const { return HexOf(content, tags::kSourceKey); }
std::wstring ItemInfo::ChangeKeyHex() const { return HexOf(content, tags::kChangeKey); }
double ItemInfo::LastModified() const {
  const Value* v = content.Find(PropKey::Tag(tags::kLastModificationTime));
  return v ? v->dbl : 0;
}

// ---------------------------------------------------------------------------
// Helpers of the state

namespace detail {

const wchar_t* MessageClassOf(long itemType) {
  switch (itemType) {
    case kOlAppointmentItem: return L"IPM.Appointment";
    case kOlContactItem: return L"IPM.Contact";
    case kOlTaskItem: return L"IPM.Task";
    case kOlJournalItem: return L"IPM.Activity";
    case kOlNoteItem: return L"IPM.StickyNote";
    case kOlDistributionListItem: return L"IPM.DistList";
    default: return L"IPM.Note";
  }
}

const wchar_t* ContainerClassOf(long itemType) {
  switch (itemType) {
    case kOlAppointmentItem: return L"IPF.Appointment";
    case kOlContactItem: return L"IPF.Contact";
    case kOlTaskItem: return L"IPF.Task";
    case kOlJournalItem: return L"IPF.Journal";
    case kOlNoteItem: return L"IPF.StickyNote";
    default: return L"IPF.Note";
  }
}

std::wstring Format(const wchar_t* fmt, unsigned long long a, unsigned long long b) {
  wchar_t buf[96];
  swprintf(buf, 96, fmt, a, b);
  return buf;
}

}  // namespace detail

using detail::kDefaultFolders;
using detail::kNotFound;
using detail::Format;

// ---------------------------------------------------------------------------
// World

World::World() : s_(std::make_unique<State>()) {}
World::~World() = default;

World& World::Instance() {
  static World world;
  return world;
}

void World::Reset() {
  std::lock_guard lock(mutex_);
  s_ = std::make_unique<State>();
}

int World::AddObserver(Observer o) {
  std::lock_guard lock(observerMutex_);
  observers_[nextObserver_] = std::move(o);
  return nextObserver_++;
}

void World::RemoveObserver(int token) {
  std::lock_guard lock(observerMutex_);
  observers_.erase(token);
}

void World::Notify(const std::vector<ChangeNote>& notes) {
  if (notes.empty()) return;
  std::vector<Observer> copy;
  {
    std::lock_guard lock(observerMutex_);
    for (const auto& [token, o] : observers_) copy.push_back(o);
  }
  for (const auto& n : notes) {
    for (const auto& o : copy) o(n);
  }
}

ProfileSettings World::Settings() const {
  std::lock_guard lock(mutex_);
  return s_->settings;
}

void World::SetSettings(const ProfileSettings& s) {
  std::lock_guard lock(mutex_);
  s_->settings = s;
}

long World::ConnectionMode() {
  std::lock_guard lock(mutex_);
  auto& st = *s_;
  if (st.modes.empty()) {
    // Online; a mailbox that uploads later works cached (connected, full items).
    bool exchange = false, cached = false;
    for (ObjId id : st.storeOrder) {
      const StoreRec* r = st.Store(id);
      if (!r || !r->info.exchange) continue;
      exchange = true;
      cached = cached || r->info.uploadAfterSeconds >= 0;
    }
    return !exchange ? 0 : cached ? 700 : 800;
  }
  long mode = st.modes[std::min(st.modeIndex, st.modes.size() - 1)];
  if (st.modeIndex < st.modes.size()) ++st.modeIndex;
  return mode;
}

void World::SetConnectionModes(std::vector<long> modes) {
  std::lock_guard lock(mutex_);
  s_->modes = std::move(modes);
  s_->modeIndex = 0;
}

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
  auto it = s_->storeById.find(Upper(storeIdHex));
  return it == s_->storeById.end() ? 0 : it->second;
}

ObjId World::StoreDefaultFolder(ObjId store, long olFolder) const {
  std::lock_guard lock(mutex_);
  return s_->DefaultFolder(store, olFolder);
}

void World::SetStoreClockOffset(ObjId store, double seconds) {
  std::lock_guard lock(mutex_);
  if (StoreRec* s = s_->Store(store)) {
    s->info.clockOffsetSeconds = seconds;
    s->lastStamp = 0;  // a clock put back stamps earlier times from now on
  }
}

bool World::HasExchangeStore() const {
  std::lock_guard lock(mutex_);
  for (ObjId id : s_->storeOrder) {
    if (s_->Store(id)->info.exchange) return true;
  }
  return false;
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

std::optional<FolderInfo> World::GetFolder(ObjId folder) const {
  std::lock_guard lock(mutex_);
  const FolderRec* f = s_->Folder(folder);
  if (!f) return std::nullopt;
  return f->info;
}

ObjId World::FolderByEntryId(std::wstring_view entryIdHex) const {
  std::lock_guard lock(mutex_);
  auto it = s_->folderById.find(Upper(entryIdHex));
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
  auto it = s_->itemById.find(Upper(entryIdHex));
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
    if (!openedAt.empty() && st.stores[r->info.store].info.exchange && r->info.ChangeKeyHex() != openedAt)
      return MAPI_E_OBJECT_CHANGED;
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

size_t World::RunDue() {
  std::vector<detail::Scheduled> due;
  {
    std::lock_guard lock(mutex_);
    const double now = times::NowUtc();
    auto& list = s_->scheduled;
    auto late = std::stable_partition(list.begin(), list.end(), [&](const detail::Scheduled& w) { return w.dueUtc > now; });
    due.assign(late, list.end());
    list.erase(late, list.end());
  }
  for (const detail::Scheduled& w : due) {
    switch (w.what) {
      case detail::LaterWork::Echo: EchoItem(w.item); break;
      case detail::LaterWork::Upload: UploadItem(w.item); break;
    }
  }
  return due.size();
}

// The cached mailbox uploads a new item: the server gives it its source key,
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

size_t World::PendingWork() const {
  std::lock_guard lock(mutex_);
  return s_->scheduled.size();
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

// ---------------------------------------------------------------------------
// Address book, dump

void World::SetAddressLists(std::vector<AddressList> lists) {
  std::lock_guard lock(mutex_);
  s_->addressLists = std::move(lists);
}

std::vector<AddressList> World::AddressLists() const {
  std::lock_guard lock(mutex_);
  return s_->addressLists;
}

std::wstring World::Dump() const {
  std::lock_guard lock(mutex_);
  const auto& st = *s_;
  std::wstring out;
  std::function<void(ObjId, int)> folder = [&](ObjId id, int depth) {
    const FolderRec& f = st.folders.at(id);
    out += std::wstring(size_t(depth) * 2, L' ') + L"folder \"" + f.info.name + L"\" " + f.info.entryId +
           L" type " + std::to_wstring(f.info.itemType) + L"\n";
    for (ObjId i : f.items) {
      const ItemInfo& info = st.items.at(i).info;
      out += std::wstring(size_t(depth) * 2 + 2, L' ') + L"item " + info.entryId + L" " + info.MessageClass() +
             L" \"" + info.Subject() + L"\" SK " + info.SearchKeyHex() + L" CK " + info.ChangeKeyHex() + L"\n";
    }
    for (ObjId c : f.children) {
      if (!st.folders.at(c).deleted) folder(c, depth + 1);
    }
  };
  for (ObjId id : st.storeOrder) {
    const StoreRec& s = st.stores.at(id);
    out += L"store \"" + s.info.name + L"\" kind " + std::to_wstring(s.info.kind) + L" " + s.info.storeId +
           (s.info.isDefault ? L" default\n" : L"\n");
    folder(s.info.root, 1);
  }
  return out;
}


}  // namespace sim
