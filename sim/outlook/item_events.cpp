// Outlook's item events: the world's changes raised on Outlook's
// user-interface thread as ItemsEvents, as Outlook raises them: late when
// told (events delay=), none while Outlook is closed nor later for what
// changed meanwhile, none for a large batch, and ItemChange more than once
// for one save when told (events changes=). Each event raised is recorded
// (Outlook.ItemAdd, Outlook.ItemChange, Outlook.ItemRemove).
#include <deque>
#include <memory>

#include "clock.h"
#include "model.h"
#include "window.h"

namespace simol {
namespace {

constexpr UINT kChangeMessage = WM_APP + 1;

}  // namespace

// A world change on its way to the user-interface thread, from the Outlook
// session it happened in.
struct PostedChange {
  sim::ChangeNote note;
  uint64_t session = 0;
};

// The hidden window on Outlook's user-interface thread through which world
// changes from any thread become events on that thread, at once or (when
// Outlook raises its events late) after the delay.
class EventWindow final : public win::WindowImpl<EventWindow> {
 public:
  static const wchar_t* ClassName() { return L"TallowbySimOutlookEvents"; }
  BEGIN_MSG_MAP(EventWindow)
    MESSAGE_HANDLER(kChangeMessage, OnChange)
    MESSAGE_HANDLER(WM_TIMER, OnTimer)
  END_MSG_MAP()

  LRESULT OnChange(UINT, WPARAM, LPARAM lp, BOOL&) {
    std::unique_ptr<PostedChange> change(reinterpret_cast<PostedChange*>(lp));
    Model& m = Model::Instance();
    const uint64_t delayMs = m.EventDelayMs();
    if (delayMs == 0 && late_.empty()) {
      Deliver(*change);
      return 0;
    }
    late_.push_back({clk::TickMs() + delayMs, std::move(*change)});
    if (!timer_) timer_ = ::SetTimer(m_hWnd, 1, clk::TimerPeriod(100), nullptr) != 0;
    return 0;
  }
  LRESULT OnTimer(UINT, WPARAM id, LPARAM, BOOL&) {
    if (id == kReminderTimer) {
      Model::Instance().RaiseDueReminders();
      return 0;
    }
    while (!late_.empty() && late_.front().due <= clk::TickMs()) {
      PostedChange change = std::move(late_.front().change);
      late_.pop_front();
      Deliver(change);
    }
    if (late_.empty() && timer_) {
      ::KillTimer(m_hWnd, 1);
      timer_ = false;
    }
    return 0;
  }
  static constexpr UINT_PTR kReminderTimer = 2;
  // Drops the changes still queued (the thread is going away).
  void Drain() {
    MSG msg;
    while (PeekMessageW(&msg, m_hWnd, kChangeMessage, kChangeMessage, PM_REMOVE)) {
      delete reinterpret_cast<PostedChange*>(msg.lParam);
      Model::Instance().EventDone();
    }
    for (size_t i = 0; i < late_.size(); ++i) Model::Instance().EventDone();
    late_.clear();
  }

 private:
  // A change of an Outlook session that has ended is never raised.
  static void Deliver(const PostedChange& change) {
    Model& m = Model::Instance();
    if (change.session == m.Session()) m.Raise(change.note);
    m.EventDone();
  }
  struct Late {
    uint64_t due;
    PostedChange change;
  };
  std::deque<Late> late_;
  bool timer_ = false;
};

HRESULT Model::AttachUiThread() {
  std::lock_guard lock(mutex_);
  if (window_) return S_FALSE;
  auto* w = new EventWindow();
  if (!w->Create(HWND_MESSAGE, RECT{}, L"", 0)) {
    DWORD err = GetLastError();
    delete w;
    return HRESULT_FROM_WIN32(err);
  }
  window_ = w;
  ::SetTimer(w->m_hWnd, EventWindow::kReminderTimer, clk::TimerPeriod(1000), nullptr);
  observer_ = World().AddObserver([this](const sim::ChangeNote& n) { OnWorldChange(n); });
  return S_OK;
}

void Model::DetachUiThread() {
  EventWindow* w = nullptr;
  {
    std::lock_guard lock(mutex_);
    if (observer_) World().RemoveObserver(observer_);
    observer_ = 0;
    w = std::exchange(window_, nullptr);
  }
  if (!w) return;
  w->Drain();
  w->DestroyWindow();
  delete w;
}

void Model::OnWorldChange(const sim::ChangeNote& note) {
  ++changes_;
  std::lock_guard lock(mutex_);
  if (!window_ || !running_) return;  // no events while Outlook is closed
  ++pending_;
  auto* copy = new PostedChange{note, session_};
  if (!window_->PostMessage(kChangeMessage, 0, reinterpret_cast<LPARAM>(copy))) {
    delete copy;
    --pending_;
  }
}

void Model::SetRunning(bool running) {
  std::lock_guard lock(mutex_);
  if (running != running_) ++session_;
  running_ = running;
}

uint64_t Model::Session() {
  std::lock_guard lock(mutex_);
  return running_ ? session_ : 0;
}

void Model::SetEventDelay(double seconds) { eventDelayMs_ = seconds > 0 ? uint64_t(seconds * 1000) : 0; }

void Model::SetChangeRepeats(int times) { changeRepeats_ = times > 1 ? times : 1; }

void Model::Raise(const sim::ChangeNote& note) {
  // Outlook raises no item events when many items come or go at once.
  if (note.batch >= kBulkEventThreshold) return;
  // Every Items object of the folder that is still alive raises it; the
  // points are held, so that a sink may release its Items meanwhile.
  std::vector<com::ComPtr<IConnectionPoint>> points;
  {
    std::lock_guard lock(mutex_);
    auto [from, to] = itemsPoints_.equal_range(note.folder);
    for (auto it = from; it != to; ++it) {
      if (it->second->SinkCount() != 0) points.emplace_back(it->second);
    }
  }
  for (const auto& p : points) {
    auto* cp = static_cast<com::ConnectionPoint*>(p.Get());
    switch (note.kind) {
      case sim::ChangeKind::Add:
        World().Record(L"Outlook.ItemAdd", note.itemEntryId);
        cp->Fire(kEvItemAdd, {com::Variant(NewItem(note.item, note.itemEntryId).Get())});
        break;
      case sim::ChangeKind::Change:
        // Outlook may raise ItemChange more than once for one save.
        for (int i = 0; i < changeRepeats_; ++i) {
          World().Record(L"Outlook.ItemChange", note.itemEntryId);
          cp->Fire(kEvItemChange, {com::Variant(NewItem(note.item, note.itemEntryId).Get())});
        }
        break;
      case sim::ChangeKind::Remove:
        World().Record(L"Outlook.ItemRemove", note.itemEntryId);
        cp->Fire(kEvItemRemove, {});
        break;
    }
  }
}

}  // namespace simol
