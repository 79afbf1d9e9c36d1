// The world as a whole: item contents, the observers, the profile and its
// connection mode, the address book and the dump. Each concern of the world
// has a file of its own: stores, store_clock, folders, items, copies, moves
// (moves and deletes), conflicts (save conflicts), echo, cached_upload and
// later_work (what stores do on their own), properties and query,
// incremental_sync, failures and call_record.
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