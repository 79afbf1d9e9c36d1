#include "hidden_window.h"

#include "clock.h"
#include "connect.h"
#include "dispatch.h"
#include "settings.h"
#include "sync_engine.h"

std::atomic<bool> g_bStartPending{true};

namespace {

// The hidden window of this process while it exists.
std::atomic<HWND> g_hiddenWindow{nullptr};

void PutConnectFalse() {
  if (IDispatch* addIn = g_pComAddIn) com::PutProperty(addIn, L"Connect", com::Variant(false));
}

}  // namespace

void RequestAddInDisconnect() {
  HWND hidden = g_hiddenWindow;
  if (hidden && ::IsWindow(hidden) && PostMessageW(hidden, CHiddenWindow::kMsgDisconnectAddIn, 0, 0)) return;
  PutConnectFalse();
}

bool CHiddenWindow::CreateHidden() {
  if (IsWindow()) return true;
  RECT empty{};
  if (!Create(GetDesktopWindow(), empty, nullptr, WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN))
    return false;
  ShowWindow(SW_HIDE);
  g_hiddenWindow = m_hWnd;
  return true;
}

bool CHiddenWindow::StartTimer() {
  return IsWindow() && SetTimer(kStartTimerId, clk::TimerPeriod(kStartTimerMs)) != 0;
}

void CHiddenWindow::Destroy() {
  if (!IsWindow()) return;
  KillTimer(kStartTimerId);
  HWND mine = m_hWnd;
  g_hiddenWindow.compare_exchange_strong(mine, nullptr);
  DestroyWindow();
}

LRESULT CHiddenWindow::OnTimer(UINT, WPARAM, LPARAM, BOOL&) {
  CSyncEngine* engine = g_pSyncEngine;
  if (engine && !engine->SyncPaused && engine->IsReady() && g_bStartPending && engine->SessionUsable() &&
      g_bStartPending.exchange(false))
    StartSync(engine);
  return 0;
}

// Outlook releases the add-in inside this call: nothing of this object may be
// touched after it.
LRESULT CHiddenWindow::OnDisconnectAddIn(UINT, WPARAM, LPARAM, BOOL&) {
  PutConnectFalse();
  return 0;
}
