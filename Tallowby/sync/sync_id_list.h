// An ordered list of sync ids with a hashed count beside it, so that "is this
// id listed?" costs the same for ten items as for ten thousand. The order is
// the order of appending; an id may be listed more than once, as with a plain
// vector. Not locked: its owner guards it.
#pragma once
#include <algorithm>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

class SyncIdList {
 public:
  using const_iterator = std::vector<std::wstring>::const_iterator;

  size_t size() const { return ids_.size(); }
  bool empty() const { return ids_.empty(); }
  const_iterator begin() const { return ids_.begin(); }
  const_iterator end() const { return ids_.end(); }
  const std::vector<std::wstring>& Items() const { return ids_; }

  bool Contains(const std::wstring& id) const { return counts_.count(id) != 0; }

  void push_back(std::wstring id) {
    ++counts_[id];
    ids_.push_back(std::move(id));
  }
  // Appends unless listed; true when appended.
  bool AddOnce(const std::wstring& id) { return Added(counts_.try_emplace(id, 0)); }
  bool AddOnce(std::wstring&& id) { return Added(counts_.try_emplace(std::move(id), 0)); }
  // Takes every entry of `id` out, keeping the order of the others.
  void Remove(const std::wstring& id) {
    if (counts_.erase(id) == 0) return;
    ids_.erase(std::remove(ids_.begin(), ids_.end(), id), ids_.end());
  }
  void clear() {
    ids_.clear();
    counts_.clear();
  }
  // The entries in order; the list is empty afterwards.
  std::vector<std::wstring> TakeAll() {
    counts_.clear();
    return std::exchange(ids_, {});
  }

 private:
  // One hashed look-up per append: the count is made (or found) first.
  template <class Entry>
  bool Added(Entry entry) {
    if (!entry.second) return false;
    ++entry.first->second;
    ids_.push_back(entry.first->first);
    return true;
  }

  std::vector<std::wstring> ids_;
  std::unordered_map<std::wstring, size_t> counts_;
};
