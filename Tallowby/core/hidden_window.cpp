#include "hidden_window.h"

#include "clock.h"
#include "settings.h"
#include "sync_engine.h"

std::atomic<bool> g_bStartPending{true};

bool CHiddenWindow::CreateHidden() {
  if (IsWindow()) return true;
  RECT empty{};
  if (!Create(GetDesktopWindow(), empty, nullptr, WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN))
    return false;
  ShowWindow(SW_HIDE);
  return true;
}

bool CHiddenWindow::StartTimer() {
  return IsWindow() && SetTimer(kStartTimerId, clk::TimerPeriod(kStartTimerMs)) != 0;
}

void CHiddenWindow::Destroy() {
  if (!IsWindow()) return;
  KillTimer(kStartTimerId);
  DestroyWindow();
}

LRESULT CHiddenWindow::OnTimer(UINT, WPARAM, LPARAM, BOOL&) {
  CSyncEngine* engine = g_pSyncEngine;
  if (engine && !engine->SyncPaused && engine->IsReady() && g_bStartPending.exchange(false))
    StartSync(engine);
  return 0;
}

void CHiddenWindowTray::SetVisible(bool show) {
  visible_ = show;
}
