#include "store_clocks.h"

#include <cmath>
#include <cwctype>
#include <optional>

#include "registry.h"

namespace {

constexpr double kOneSecond = 1.0 / 86400.0;

}  // namespace

bool StoreClock::Learn(double offsetDays) {
  const bool first = !measured_.exchange(true, std::memory_order_relaxed);
  const double before = offset_.exchange(offsetDays, std::memory_order_relaxed);
  const bool news = first || std::fabs(offsetDays - before) >= kOneSecond;
  if (news && !keptAs_.empty()) {
    reg::Key key;
    if (key.Create(HKEY_CURRENT_USER, reg::kStoreClocksPath) == ERROR_SUCCESS)
      key.WriteDate(keptAs_.c_str(), offsetDays);
  }
  return news;
}

StoreClock& StoreClocks::Of(std::wstring_view storeId) {
  std::wstring key(storeId);
  for (wchar_t& c : key) c = wchar_t(std::towupper(c));
  std::lock_guard<std::mutex> hold(lock_);
  std::unique_ptr<StoreClock>& clock = clocks_[key];
  if (!clock) {
    clock = std::make_unique<StoreClock>();
    reg::Key kept;
    if (kept.Open(HKEY_CURRENT_USER, reg::kStoreClocksPath, KEY_READ) == ERROR_SUCCESS)
      if (const std::optional<double> offset = kept.ReadDate(key.c_str()))
        clock->offset_.store(*offset, std::memory_order_relaxed);
    clock->keptAs_ = std::move(key);
  }
  return *clock;
}
