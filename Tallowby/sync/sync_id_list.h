// An ordered list of sync ids with a hashed count beside it, so that "is this
// id listed?" costs the same for ten items as for ten thousand. The order is
// the order of appending; an id may be listed more than once, as with a plain
// vector. Not locked: its owner guards it.
//
// Each id's text is stored once, in blocks of characters that the list owns
// and that never move; the order and the index both refer to that text, and
// the index's entries come from a pool of the list's own. A pass enters
// thousands of ids, and this way an id costs the list no allocation of the
// process's heap of its own (it cost three).
#pragma once
#include <algorithm>
#include <cstddef>
#include <memory>
#include <memory_resource>
#include <string>
#include <string_view>
#include <unordered_map>
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

  bool Contains(std::wstring_view id) const { return counts_.count(id) != 0; }

  // Makes room for `more` further ids, so that they go in without growing
  // the list step by step. Room that is there already is kept as it is.
  void Reserve(size_t more) {
    const size_t ids = ids_.size() + more, keys = counts_.size() + more;
    if (ids > ids_.capacity()) ids_.reserve(std::max(ids, 2 * ids_.capacity()));
    if (double(keys) > double(counts_.bucket_count()) * counts_.max_load_factor()) counts_.reserve(keys);
  }
  void push_back(std::wstring_view id) {
    auto found = counts_.find(id);
    if (found == counts_.end()) found = counts_.emplace(Store(id), 0).first;
    ++found->second;
    ids_.push_back(found->first);
  }
  // Appends unless listed; true when appended.
  bool AddOnce(std::wstring_view id) {
    if (Contains(id)) return false;
    const std::wstring_view stored = Store(id);
    counts_.emplace(stored, 1);
    ids_.push_back(stored);
    return true;
  }
  // Takes every entry of `id` out, keeping the order of the others.
  void Remove(std::wstring_view id) {
    auto found = counts_.find(id);
    if (found == counts_.end()) return;
    const std::wstring_view stored = found->first;
    counts_.erase(found);
    ids_.erase(std::remove(ids_.begin(), ids_.end(), stored), ids_.end());
    // The text of a removed id stays in its block; once most of the blocks'
    // text is of removed ids, the list is copied afresh.
    unused_ += stored.size();
    if (unused_ > kBlockChars && unused_ > used_ / 2) StoreAfresh();
  }
  void clear() {
    ids_.clear();
    counts_.clear();
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
    counts_.clear();
    free_ = nullptr;
    freeChars_ = used_ = unused_ = 0;
    Reserve(ids.size());
    for (std::wstring_view id : ids) push_back(id);
  }

  std::pmr::unsynchronized_pool_resource pool_;  // before the index, which it outlives
  std::vector<std::wstring_view> ids_;
  std::pmr::unordered_map<std::wstring_view, size_t> counts_{&pool_};
  std::vector<std::unique_ptr<wchar_t[]>> blocks_;
  wchar_t* free_ = nullptr;  // the unused end of the last block
  size_t freeChars_ = 0;
  size_t used_ = 0, unused_ = 0;  // characters stored, and those of removed ids
};
