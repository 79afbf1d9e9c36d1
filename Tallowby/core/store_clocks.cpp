#include "store_clocks.h"

#include <cmath>
#include <cwctype>

namespace {

constexpr double kOneSecond = 1.0 / 86400.0;

}  // namespace

bool StoreClock::Learn(double offsetDays) {
  const bool first = !measured_.exchange(true, std::memory_order_relaxed);
  const double before = offset_.exchange(offsetDays, std::memory_order_relaxed);
  return first || std::fabs(offsetDays - before) >= kOneSecond;
}

StoreClock& StoreClocks::Of(std::wstring_view storeId) {
  std::wstring key(storeId);
  for (wchar_t& c : key) c = wchar_t(std::towupper(c));
  std::lock_guard<std::mutex> hold(lock_);
  std::unique_ptr<StoreClock>& clock = clocks_[key];
  if (!clock) clock = std::make_unique<StoreClock>();
  return *clock;
}
