// An ordered list of sync ids with a hashed index beside it, so that "is this
// id listed?" costs the same for ten items as for ten thousand. The order is
// the order of appending; an id may be listed more than once, as with a plain
// vector. Not locked: its owner guards it.
//
// Each id's text is stored once, in blocks of characters that the list owns
// and that never move; the order and the index both refer to that text. A
// pass enters thousands of ids, and this way an id costs the list no
// allocation of the process's heap of its own (it cost three).
//
// The index is a table of slots, at most three in four of them used, where
// an id lies in the slot its hash names or in the next free one after it
// (linear probing). A pass enters an id between two items whose work leaves the
// list's memory cold, and looking it up mostly reads one slot, where a map
// of linked entries read three or four places.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class SyncIdList {
 public:
  using const_iterator = std::vector<std::wstring_view>::const_iterator;

  SyncIdList() = default;
  // The order and the index refer into the blocks: the list stays where it is.
  SyncIdList(const SyncIdList&) = delete;
  SyncIdList& operator=(const SyncIdList&) = delete;

  size_t size() const { return ids_.size(); }
  bool empty() const { return ids_.empty(); }
  // Valid until the list next changes.
  const_iterator begin() const { return ids_.begin(); }
  const_iterator end() const { return ids_.end(); }
  // A copy of the entries in order.
  std::vector<std::wstring> Items() const { return {ids_.begin(), ids_.end()}; }

  bool Contains(std::wstring_view id) const { return !slots_.empty() && slots_[SlotOf(id, HashOf(id))].text; }

  // Makes room for `more` further ids, so that they go in without growing
  // the list step by step. Room that is there already is kept as it is.
  void Reserve(size_t more) {
    const size_t ids = ids_.size() + more;
    if (ids > ids_.capacity()) ids_.reserve(std::max(ids, 2 * ids_.capacity()));
    RoomForKeys(keys_ + more);
  }
  void push_back(std::wstring_view id) {
    const uint32_t hash = HashOf(id);
    RoomForKeys(keys_ + 1);
    Slot& slot = slots_[SlotOf(id, hash)];
    if (!slot.text) Fill(&slot, id, hash);
    ids_.push_back(TextOf(slot));
  }
  // Appends unless listed; true when appended.
  bool AddOnce(std::wstring_view id) {
    const uint32_t hash = HashOf(id);
    RoomForKeys(keys_ + 1);
    Slot& slot = slots_[SlotOf(id, hash)];
    if (slot.text) return false;
    Fill(&slot, id, hash);
    ids_.push_back(TextOf(slot));
    return true;
  }
  // Takes every entry of `id` out, keeping the order of the others.
  void Remove(std::wstring_view id) {
    if (slots_.empty()) return;
    const size_t at = SlotOf(id, HashOf(id));
    if (!slots_[at].text) return;
    const std::wstring_view stored = TextOf(slots_[at]);
    Vacate(at);
    ids_.erase(std::remove(ids_.begin(), ids_.end(), stored), ids_.end());
    // The text of a removed id stays in its block; once most of the blocks'
    // text is of removed ids, the list is copied afresh.
    unused_ += stored.size();
    if (unused_ > kBlockChars && unused_ > used_ / 2) StoreAfresh();
  }
  void clear() {
    ids_.clear();
    slots_.clear();
    keys_ = 0;
    blocks_.clear();
    free_ = nullptr;
    freeChars_ = used_ = unused_ = 0;
  }
  // The entries in order; the list is empty afterwards.
  std::vector<std::wstring> TakeAll() {
    std::vector<std::wstring> all = Items();
    clear();
    return all;
  }

 private:
  static constexpr size_t kBlockChars = 16 * 1024;
  static constexpr size_t kFewestSlots = 16;

  // One id of the index, in 16 bytes: four to a cache line. A slot without
  // text is free.
  struct Slot {
    const wchar_t* text = nullptr;
    uint32_t size = 0;
    uint32_t hash = 0;
  };

  // Ids are hexadecimal keys of a few dozen characters: the low half of the
  // hash tells them apart.
  static uint32_t HashOf(std::wstring_view id) { return uint32_t(std::hash<std::wstring_view>{}(id)); }
  static std::wstring_view TextOf(const Slot& slot) { return {slot.text, slot.size}; }

  // The slot that holds `id`, else the free slot where it would go. The
  // table has a free slot, being at most three quarters full.
  size_t SlotOf(std::wstring_view id, uint32_t hash) const {
    const size_t mask = slots_.size() - 1;
    size_t at = hash & mask;
    while (slots_[at].text && (slots_[at].hash != hash || TextOf(slots_[at]) != id)) at = (at + 1) & mask;
    return at;
  }
  // Stores `id` and makes the free `slot` its own. An empty id, which has
  // no text in the blocks, points at an empty text of its own.
  void Fill(Slot* slot, std::wstring_view id, uint32_t hash) {
    const std::wstring_view stored = id.empty() ? std::wstring_view(L"") : Store(id);
    *slot = {stored.data(), uint32_t(stored.size()), hash};
    ++keys_;
  }
  // Frees the slot at `at`. A lookup stops at a free slot: each further id
  // of the same run whose own slot does not lie after the gap moves into
  // it, and the gap moves on to where that id was.
  void Vacate(size_t at) {
    const size_t mask = slots_.size() - 1;
    for (size_t next = (at + 1) & mask; slots_[next].text; next = (next + 1) & mask) {
      const size_t home = slots_[next].hash & mask;
      // Its own slot lies after the gap (round the end of the table, too).
      const bool stays = at < next ? (at < home && home <= next) : (at < home || home <= next);
      if (stays) continue;
      slots_[at] = slots_[next];
      at = next;
    }
    slots_[at] = {};
    --keys_;
  }
  // Grows the table (doubling it) until `keys` ids fill at most three in
  // four of its slots.
  void RoomForKeys(size_t keys) {
    if (4 * keys <= 3 * slots_.size()) return;
    size_t size = std::max(kFewestSlots, slots_.size());
    while (4 * keys > 3 * size) size *= 2;
    std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(size));
    for (const Slot& slot : old)
      if (slot.text) slots_[SlotOf(TextOf(slot), slot.hash)] = slot;
  }

  // A copy of `id` in the list's blocks.
  std::wstring_view Store(std::wstring_view id) {
    if (id.size() > freeChars_) {
      freeChars_ = std::max(kBlockChars, id.size());
      blocks_.emplace_back(new wchar_t[freeChars_]);
      free_ = blocks_.back().get();
    }
    const std::wstring_view stored(free_, id.size());
    free_ = std::copy(id.begin(), id.end(), free_);
    freeChars_ -= id.size();
    used_ += id.size();
    return stored;
  }
  // The same entries with their text in new blocks, without the text of
  // removed ids; the old blocks go once every id is copied out of them.
  void StoreAfresh() {
    const std::vector<std::unique_ptr<wchar_t[]>> old = std::exchange(blocks_, {});
    const std::vector<std::wstring_view> ids = std::exchange(ids_, {});
    slots_.clear();
    keys_ = 0;
    free_ = nullptr;
    freeChars_ = used_ = unused_ = 0;
    Reserve(ids.size());
    for (std::wstring_view id : ids) push_back(id);
  }

  std::vector<std::wstring_view> ids_;
  std::vector<Slot> slots_;  // empty, or a power of two of them
  size_t keys_ = 0;          // slots in use
  std::vector<std::unique_ptr<wchar_t[]>> blocks_;
  wchar_t* free_ = nullptr;  // the unused end of the last block
  size_t freeChars_ = 0;
  size_t used_ = 0, unused_ = 0;  // characters stored, and those of removed ids
};
