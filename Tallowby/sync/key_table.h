// Key/value pairs in the order they were added (as the state files hold
// them) with hashed indexes by key and by value beside them, so that "the
// first entry with this key" or "... with this value" costs the same for ten
// entries as for a hundred thousand, and finds what a walk from the start
// would, also among duplicates. Not locked: its owner guards it.
#pragma once
#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <list>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

class KeyTable {
 public:
  using Entry = std::pair<std::wstring, std::wstring>;

 private:
  struct Node {
    Entry entry;
    uint64_t seq;  // grows with every append: the order of the list
  };
  using List = std::list<Node>;
  using Index = std::unordered_map<std::wstring, std::vector<List::iterator>>;

 public:
  class const_iterator {
   public:
    using iterator_category = std::bidirectional_iterator_tag;
    using value_type = Entry;
    using difference_type = std::ptrdiff_t;
    using pointer = const Entry*;
    using reference = const Entry&;
    const_iterator() = default;
    reference operator*() const { return it_->entry; }
    pointer operator->() const { return &it_->entry; }
    const_iterator& operator++() {
      ++it_;
      return *this;
    }
    const_iterator operator++(int) { return const_iterator(it_++); }
    const_iterator& operator--() {
      --it_;
      return *this;
    }
    const_iterator operator--(int) { return const_iterator(it_--); }
    bool operator==(const const_iterator& o) const { return it_ == o.it_; }

   private:
    friend class KeyTable;
    explicit const_iterator(List::const_iterator it) : it_(it) {}
    List::const_iterator it_;
  };
  using iterator = const_iterator;
  using value_type = Entry;

  KeyTable() = default;
  KeyTable(std::initializer_list<Entry> entries) { Assign(entries.begin(), entries.end()); }
  explicit KeyTable(const std::vector<Entry>& entries) { Assign(entries.begin(), entries.end()); }
  KeyTable(const KeyTable& o) { Assign(o.begin(), o.end()); }
  KeyTable(KeyTable&&) noexcept = default;  // list nodes keep their place
  KeyTable& operator=(const KeyTable& o) {
    if (this != &o) Assign(o.begin(), o.end());
    return *this;
  }
  KeyTable& operator=(KeyTable&&) noexcept = default;
  KeyTable& operator=(std::initializer_list<Entry> entries) {
    Assign(entries.begin(), entries.end());
    return *this;
  }

  size_t size() const { return list_.size(); }
  bool empty() const { return list_.empty(); }
  const_iterator begin() const { return const_iterator(list_.cbegin()); }
  const_iterator end() const { return const_iterator(list_.cend()); }
  const Entry& front() const { return list_.front().entry; }

  void clear() {
    list_.clear();
    byKey_.clear();
    byValue_.clear();
  }
  void PushBack(std::wstring key, std::wstring value) {
    list_.push_back({{std::move(key), std::move(value)}, nextSeq_++});
    auto it = std::prev(list_.end());
    byKey_[it->entry.first].push_back(it);
    byValue_[it->entry.second].push_back(it);
  }

  // The first entry with that key (value), or end().
  const_iterator FindKey(const std::wstring& key) const { return First(byKey_, key); }
  const_iterator FindValue(const std::wstring& value) const { return First(byValue_, value); }

  void SetKey(const_iterator at, std::wstring key) { Reindex(at, &Entry::first, byKey_, std::move(key)); }
  void SetValue(const_iterator at, std::wstring value) { Reindex(at, &Entry::second, byValue_, std::move(value)); }

  // Takes the entry out, keeping the order of the others.
  void Erase(const_iterator at) {
    List::iterator it = Mutable(at);
    Unindex(byKey_, it->entry.first, it);
    Unindex(byValue_, it->entry.second, it);
    list_.erase(it);
  }
  // Takes every entry with that value out.
  void EraseValue(const std::wstring& value) {
    for (auto found = FindValue(value); found != end(); found = FindValue(value)) Erase(found);
  }

  friend bool operator==(const KeyTable& a, const KeyTable& b) { return std::equal(a.begin(), a.end(), b.begin(), b.end()); }
  friend bool operator==(const KeyTable& a, const std::vector<Entry>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
  }

 private:
  template <typename It>
  void Assign(It first, It last) {
    KeyTable fresh;
    for (; first != last; ++first) fresh.PushBack(first->first, first->second);
    *this = std::move(fresh);
  }
  List::iterator Mutable(const_iterator at) { return list_.erase(at.it_, at.it_); }
  const_iterator First(const Index& index, const std::wstring& text) const {
    auto found = index.find(text);
    return found == index.end() ? end() : const_iterator(found->second.front());
  }
  static void Unindex(Index& index, const std::wstring& text, List::iterator it) {
    auto found = index.find(text);
    if (found == index.end()) return;
    std::erase(found->second, it);
    if (found->second.empty()) index.erase(found);
  }
  void Reindex(const_iterator at, std::wstring Entry::*field, Index& index, std::wstring text) {
    List::iterator it = Mutable(at);
    if (it->entry.*field == text) return;
    Unindex(index, it->entry.*field, it);
    it->entry.*field = std::move(text);
    auto& slots = index[it->entry.*field];
    auto place = std::upper_bound(slots.begin(), slots.end(), it->seq,
                                  [](uint64_t seq, List::iterator other) { return seq < other->seq; });
    slots.insert(place, it);
  }

  List list_;
  Index byKey_, byValue_;
  uint64_t nextSeq_ = 0;
};
