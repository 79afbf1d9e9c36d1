// The record of calls that tests and scenarios read back.
#include <algorithm>

#include "world/world_state.h"

namespace sim {
namespace detail {

void CallLog::Add(std::wstring_view op, std::wstring_view detail) {
  const Span span = Place(detail);
  entries_.push_back({OpIndex(op), span.block, span.start, span.length});
}

void CallLog::Clear() {
  entries_.clear();
  blocks_.clear();
}

size_t CallLog::OpIndex(std::wstring_view op) {
  for (size_t i = 0; i < ops_.size(); ++i)
    if (ops_[i] == op) return i;
  ops_.emplace_back(op);
  return ops_.size() - 1;
}

CallLog::Span CallLog::Place(std::wstring_view detail) {
  if (blocks_.empty() || blocks_.back().size() + detail.size() > blocks_.back().capacity()) {
    blocks_.emplace_back();
    blocks_.back().reserve(std::max(kBlockChars, detail.size()));
  }
  std::wstring& block = blocks_.back();
  const size_t start = block.size();
  block.append(detail);
  return {blocks_.size() - 1, start, detail.size()};
}

}  // namespace detail

void World::Record(std::wstring_view op, std::wstring_view detail) {
  std::lock_guard lock(mutex_);
  s_->calls.Add(op, detail);
}

std::vector<CallRecord> World::Calls() const {
  std::lock_guard lock(mutex_);
  return s_->calls.Select([](const std::wstring&) { return true; });
}

std::vector<CallRecord> World::CallsOf(std::wstring_view op) const {
  std::lock_guard lock(mutex_);
  return s_->calls.Select([op](const std::wstring& name) { return name == op; });
}

void World::ClearCalls() {
  std::lock_guard lock(mutex_);
  s_->calls.Clear();
}

}  // namespace sim
