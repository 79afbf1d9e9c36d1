// A store's clock: the times it stamps on its commits, ahead of or behind the
// machine's, at the store's resolution.
#include <cmath>

#include "world/world_state.h"

namespace sim {

double World::State::Stamp(StoreRec& store) const {
  double offset = store.info.clockOffsetSeconds + (store.info.exchange ? settings.serverClockOffsetSeconds : 0);
  double now = times::NowUtc() + offset * times::kSecond;
  if (store.wholeSeconds) return times::WholeSeconds(now);
  now = std::floor(now / detail::kMillisecond + 0.5) * detail::kMillisecond;
  if (now <= store.lastStamp) now = store.lastStamp + detail::kMillisecond;
  return store.lastStamp = now;
}

void World::SetStoreClockOffset(ObjId store, double seconds) {
  std::lock_guard lock(mutex_);
  if (StoreRec* s = s_->Store(store)) {
    s->info.clockOffsetSeconds = seconds;
    s->lastStamp = 0;  // a clock put back stamps earlier times from now on
  }
}

}  // namespace sim
