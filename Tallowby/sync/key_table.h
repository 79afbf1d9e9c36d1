// Key/value pairs in the order they were added (as the state files hold
// them) with hashed indexes by key and by value beside them, so that "the
// first entry with this key" or "... with this value" costs the same for ten
// entries as for a hundred thousand, and finds what a walk from the start
// would, also among duplicates. Not locked: its owner guards it.
//
// An Exchange run adds several entries per item to these tables, so an
// entry costs the allocations of its two texts and nothing else: the
// entries live in blocks of the table's own, and each index is a table of
// slots found by linear probing, one slot per distinct text, whose entry
// leads the chain of the entries with that text in the order they were
// added. The index by value is made at the first search by value (the
// change tables are searched by key alone), and kept from then on.
#pragma once
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class KeyTable {
 public:
  using Entry = std::pair<std::wstring, std::wstring>;

 private:
  struct Node {
    Entry entry;
    uint64_t seq;  // grows with every append: the order of the list
    Node* prev;
    Node* next;
    Node* nextSame[2];  // the next entry with the same key, value
    size_t hash[2];     // of the key, of the value
  };

 public:
  class const_iterator {
   public:
    using iterator_category = std::bidirectional_iterator_tag;
    using value_type = Entry;
    using difference_type = std::ptrdiff_t;
    using pointer = const Entry*;
    using reference = const Entry&;
    const_iterator() = default;
    reference operator*() const { return node_->entry; }
    pointer operator->() const { return &node_->entry; }
    const_iterator& operator++() {
      node_ = node_->next;
      return *this;
    }
    const_iterator operator++(int) {
      const_iterator was = *this;
      node_ = node_->next;
      return was;
    }
    const_iterator& operator--() {
      node_ = node_ ? node_->prev : table_->last_;
      return *this;
    }
    const_iterator operator--(int) {
      const_iterator was = *this;
      --*this;
      return was;
    }
    bool operator==(const const_iterator& o) const { return node_ == o.node_; }

   private:
    friend class KeyTable;
    const_iterator(const KeyTable* table, Node* node) : table_(table), node_(node) {}
    const KeyTable* table_ = nullptr;
    Node* node_ = nullptr;  // null: end()
  };
  using iterator = const_iterator;
  using value_type = Entry;

  KeyTable() = default;
  KeyTable(std::initializer_list<Entry> entries) { Append(entries.begin(), entries.end()); }
  explicit KeyTable(const std::vector<Entry>& entries) { Append(entries.begin(), entries.end()); }
  KeyTable(const KeyTable& o) { Append(o.begin(), o.end()); }
  // Entries keep their place; the table moved from is left empty.
  KeyTable(KeyTable&& o) noexcept { Swap(o); }
  KeyTable& operator=(const KeyTable& o) {
    if (this != &o) {
      KeyTable copy(o);
      Swap(copy);
    }
    return *this;
  }
  KeyTable& operator=(KeyTable&& o) noexcept {
    if (this != &o) {
      KeyTable taken(std::move(o));
      Swap(taken);
    }
    return *this;
  }
  KeyTable& operator=(std::initializer_list<Entry> entries) {
    KeyTable fresh(entries);
    Swap(fresh);
    return *this;
  }
  ~KeyTable() { DestroyNodes(); }

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const_iterator begin() const { return {this, first_}; }
  const_iterator end() const { return {this, nullptr}; }
  const Entry& front() const { return first_->entry; }

  void clear() {
    DestroyNodes();
    first_ = last_ = nullptr;
    spare_.clear();
    blocks_.clear();
    index_[0].Clear();
    index_[1].Clear();
    valuesIndexed_ = false;
    size_ = 0;
    epoch_ = NewEpoch();
  }
  void PushBack(std::wstring key, std::wstring value) {
    Node* node = NewNode(std::move(key), std::move(value));
    node->prev = last_;
    (last_ ? last_->next : first_) = node;
    last_ = node;
    ++size_;
    for (int i = 0; i < Indexes(); ++i) Link(i, node);
  }

  // The first entry with that key (value), or end().
  const_iterator FindKey(std::wstring_view key) const { return {this, index_[kKey].Find(key, Hash(key))}; }
  const_iterator FindValue(std::wstring_view value) const {
    IndexValues();
    return {this, index_[kValue].Find(value, Hash(value))};
  }

  void SetKey(const_iterator at, std::wstring key) { Retext(at.node_, kKey, std::move(key)); }
  void SetValue(const_iterator at, std::wstring value) { Retext(at.node_, kValue, std::move(value)); }

  // Takes the entry out, keeping the order of the others.
  void Erase(const_iterator at) {
    Node* node = at.node_;
    for (int i = 0; i < Indexes(); ++i) Unlink(i, node);
    (node->prev ? node->prev->next : first_) = node->next;
    (node->next ? node->next->prev : last_) = node->prev;
    --size_;
    FreeNode(node);
    epoch_ = NewEpoch();
  }
  // Takes every entry with that value out.
  void EraseValue(const std::wstring& value) {
    for (auto found = FindValue(value); found != end(); found = FindValue(value)) Erase(found);
  }

  // The table as it stands, for a copy of it kept elsewhere (a file) that
  // grows as the table does. Every change other than an append at the end
  // (a key or value changed, an entry erased, the table emptied or assigned)
  // starts a new epoch, unique in the process, so that no copy made before
  // it passes for one that only lacks appended entries.
  struct Mark {
    uint64_t epoch = 0;  // no table's
    uint64_t seq = 0;
  };
  Mark EndMark() const { return {epoch_, nextSeq_}; }
  // Calls `onEntry` for each entry appended since `mark`, oldest first, and
  // returns true; false, without calls, when the table changed otherwise
  // since (or `mark` is another table's).
  template <typename Fn>
  bool ForEachAppendedSince(const Mark& mark, Fn onEntry) const {
    if (mark.epoch != epoch_) return false;
    Node* from = nullptr;
    for (Node* node = last_; node && node->seq >= mark.seq; node = node->prev) from = node;
    for (; from; from = from->next) onEntry(from->entry);
    return true;
  }

  friend bool operator==(const KeyTable& a, const KeyTable& b) { return std::equal(a.begin(), a.end(), b.begin(), b.end()); }
  friend bool operator==(const KeyTable& a, const std::vector<Entry>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
  }

 private:
  static constexpr int kKey = 0, kValue = 1;
  static constexpr size_t kBlockNodes = 64;

  // One index: a slot per distinct text, holding the first entry with it.
  class Index {
   public:
    Node* Find(std::wstring_view text, size_t hash) const {
      if (slots_.empty()) return nullptr;
      for (size_t i = hash & Mask();; i = (i + 1) & Mask()) {
        const Slot& slot = slots_[i];
        if (!slot.head) return nullptr;
        if (slot.hash == hash && TextOf(slot.head) == text) return slot.head;
      }
    }
    // The slot of `text`, or the empty slot where it would go.
    size_t Place(std::wstring_view text, size_t hash) {
      if ((used_ + 1) * 4 > slots_.size() * 3) Grow();
      size_t i = hash & Mask();
      while (slots_[i].head && !(slots_[i].hash == hash && TextOf(slots_[i].head) == text)) i = (i + 1) & Mask();
      return i;
    }
    // The slot of a text the index holds.
    size_t Locate(std::wstring_view text, size_t hash) const {
      size_t i = hash & Mask();
      while (!(slots_[i].hash == hash && TextOf(slots_[i].head) == text)) i = (i + 1) & Mask();
      return i;
    }
    Node*& HeadAt(size_t i) { return slots_[i].head; }
    void Fill(size_t i, size_t hash, Node* head) {
      slots_[i] = {hash, head};
      ++used_;
    }
    // Empties slot `i`, moving later slots of its run back so that every
    // text stays reachable from its home slot.
    void Vacate(size_t i) {
      --used_;
      for (size_t j = (i + 1) & Mask(); slots_[j].head; j = (j + 1) & Mask()) {
        const size_t home = slots_[j].hash & Mask();
        // Slot j may move to i when its home does not lie in (i, j].
        if (((j - home) & Mask()) >= ((j - i) & Mask())) {
          slots_[i] = slots_[j];
          i = j;
        }
      }
      slots_[i] = {};
    }
    void Clear() {
      slots_.clear();
      used_ = 0;
    }
    int which = kKey;

   private:
    struct Slot {
      size_t hash = 0;
      Node* head = nullptr;
    };
    size_t Mask() const { return slots_.size() - 1; }
    std::wstring_view TextOf(const Node* node) const {
      return which == kKey ? std::wstring_view(node->entry.first) : std::wstring_view(node->entry.second);
    }
    void Grow() {
      std::vector<Slot> old(std::max<size_t>(16, slots_.size() * 2));
      old.swap(slots_);
      for (const Slot& slot : old) {
        if (!slot.head) continue;
        size_t i = slot.hash & Mask();
        while (slots_[i].head) i = (i + 1) & Mask();
        slots_[i] = slot;
      }
    }
    std::vector<Slot> slots_;
    size_t used_ = 0;
  };

  static uint64_t NewEpoch() {
    static std::atomic<uint64_t> next{1};
    return next.fetch_add(1, std::memory_order_relaxed);
  }
  static size_t Hash(std::wstring_view text) { return std::hash<std::wstring_view>{}(text); }
  static const std::wstring& TextOf(const Node* node, int i) { return i == kKey ? node->entry.first : node->entry.second; }
  static std::wstring& TextOf(Node* node, int i) { return i == kKey ? node->entry.first : node->entry.second; }

  template <typename It>
  void Append(It first, It last) {
    for (; first != last; ++first) PushBack(first->first, first->second);
  }

  void Swap(KeyTable& o) noexcept {
    std::swap(first_, o.first_);
    std::swap(last_, o.last_);
    spare_.swap(o.spare_);
    blocks_.swap(o.blocks_);
    std::swap(index_, o.index_);
    std::swap(valuesIndexed_, o.valuesIndexed_);
    std::swap(size_, o.size_);
    std::swap(nextSeq_, o.nextSeq_);
    std::swap(epoch_, o.epoch_);
    o.epoch_ = NewEpoch();
  }

  int Indexes() const { return valuesIndexed_ ? 2 : 1; }
  void IndexValues() const {
    if (valuesIndexed_) return;
    valuesIndexed_ = true;
    for (Node* node = first_; node; node = node->next) Link(kValue, node);
  }
  // Puts `node` into index `i`'s chain of its text, in the order of appends.
  void Link(int i, Node* node) const {
    const std::wstring& text = TextOf(node, i);
    node->hash[i] = Hash(text);
    node->nextSame[i] = nullptr;
    Index& index = index_[i];
    const size_t slot = index.Place(text, node->hash[i]);
    Node*& head = index.HeadAt(slot);
    if (!head) {
      index.Fill(slot, node->hash[i], node);
      return;
    }
    if (node->seq < head->seq) {
      node->nextSame[i] = head;
      head = node;
      return;
    }
    Node* before = head;
    while (before->nextSame[i] && before->nextSame[i]->seq < node->seq) before = before->nextSame[i];
    node->nextSame[i] = before->nextSame[i];
    before->nextSame[i] = node;
  }
  void Unlink(int i, Node* node) const {
    Index& index = index_[i];
    const size_t slot = index.Locate(TextOf(node, i), node->hash[i]);
    Node*& head = index.HeadAt(slot);
    if (head == node) {
      if (node->nextSame[i])
        head = node->nextSame[i];
      else
        index.Vacate(slot);
      return;
    }
    Node* before = head;
    while (before && before->nextSame[i] != node) before = before->nextSame[i];
    if (before) before->nextSame[i] = node->nextSame[i];
  }
  void Retext(Node* node, int i, std::wstring text) {
    if (TextOf(node, i) == text) return;
    epoch_ = NewEpoch();
    const bool indexed = i < Indexes();
    if (indexed) Unlink(i, node);
    TextOf(node, i) = std::move(text);
    if (indexed) Link(i, node);
  }

  Node* NewNode(std::wstring key, std::wstring value) {
    if (spare_.empty()) {
      blocks_.push_back(std::make_unique<Slab>());
      for (size_t k = kBlockNodes; k-- > 0;) spare_.push_back(blocks_.back()->bytes + k * sizeof(Node));
    }
    void* place = spare_.back();
    spare_.pop_back();
    return new (place) Node{{std::move(key), std::move(value)}, nextSeq_++, nullptr, nullptr, {}, {}};
  }
  void FreeNode(Node* node) {
    node->~Node();
    spare_.push_back(node);
  }
  void DestroyNodes() {
    for (Node* node = first_; node;) {
      Node* next = node->next;
      node->~Node();
      node = next;
    }
  }

  struct Slab {
    alignas(Node) unsigned char bytes[sizeof(Node) * kBlockNodes];
  };
  Node* first_ = nullptr;
  Node* last_ = nullptr;
  std::vector<std::unique_ptr<Slab>> blocks_;
  std::vector<void*> spare_;  // places in the blocks without an entry
  mutable Index index_[2] = {Index{}, MakeValueIndex()};
  mutable bool valuesIndexed_ = false;
  size_t size_ = 0;
  uint64_t nextSeq_ = 0;
  uint64_t epoch_ = NewEpoch();

  static Index MakeValueIndex() {
    Index index;
    index.which = kValue;
    return index;
  }
};
