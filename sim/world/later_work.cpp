// What stores do on their own, later: the work scheduled (echoes, uploads)
// and run when it is due, while the host waits.
#include <algorithm>

#include "world/world_state.h"

namespace sim {

void World::State::Schedule(ObjId item, detail::LaterWork what, double afterSeconds) {
  std::erase_if(scheduled, [&](const detail::Scheduled& w) { return w.item == item && w.what == what; });
  scheduled.push_back({times::NowUtc() + afterSeconds * times::kSecond, item, what});
}

size_t World::RunDue() {
  std::vector<detail::Scheduled> due;
  {
    std::lock_guard lock(mutex_);
    const double now = times::NowUtc();
    auto& list = s_->scheduled;
    auto late = std::stable_partition(list.begin(), list.end(), [&](const detail::Scheduled& w) { return w.dueUtc > now; });
    due.assign(late, list.end());
    list.erase(late, list.end());
  }
  for (const detail::Scheduled& w : due) {
    switch (w.what) {
      case detail::LaterWork::Echo: EchoItem(w.item); break;
      case detail::LaterWork::RewritingEcho: EchoItem(w.item, true); break;
      case detail::LaterWork::Upload: UploadItem(w.item); break;
    }
  }
  return due.size();
}

size_t World::PendingWork() const {
  std::lock_guard lock(mutex_);
  return s_->scheduled.size();
}

}  // namespace sim
