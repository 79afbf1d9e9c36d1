// Failure injection: the nth call of an operation fails with a chosen result.
#include <algorithm>
#include <climits>

#include "world/world_state.h"

namespace sim {

bool World::State::ShouldFail(std::wstring_view op, HRESULT* hr) {
  auto it = ops.find(op);
  if (it == ops.end()) it = ops.emplace(std::wstring(op), detail::OpState{}).first;
  detail::OpState& o = it->second;
  int n = ++o.calls;
  for (const auto& r : o.rules) {
    if (n >= r.from && n <= r.to) {
      if (hr) *hr = r.hr;
      return true;
    }
  }
  return false;
}

void World::InjectFailure(std::wstring_view op, int nth, HRESULT hr, int count) {
  std::lock_guard lock(mutex_);
  auto it = s_->ops.find(op);
  if (it == s_->ops.end()) it = s_->ops.emplace(std::wstring(op), detail::OpState{}).first;
  int from = it->second.calls + std::max(nth, 1);
  int to = count < 0 ? INT_MAX : from + std::max(count, 1) - 1;
  it->second.rules.push_back({from, to, hr});
}

void World::ClearFailures() {
  std::lock_guard lock(mutex_);
  for (auto& [op, o] : s_->ops) o.rules.clear();
}

bool World::ShouldFail(std::wstring_view op, HRESULT* hr) {
  std::lock_guard lock(mutex_);
  return s_->ShouldFail(op, hr);
}

}  // namespace sim
