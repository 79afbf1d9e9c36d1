#include "tray_icon.h"

#include "folder_object.h"
#include "logs.h"
#include "sync_engine.h"

ShellNotifyFn g_pShellNotifyIcon = &Shell_NotifyIconW;
int TrayAnimationFrame = 0;

namespace {

constexpr int kLastAnimationStep = kIconBusyLast - kIconBusyFirst;  // 11

// The item events of the pause were not looked at: every job looks at its
// folder again at its next tick, and goes on where it stopped.
void WakeFolderObjects(CSyncEngine* engine) {
  for (int i = 0; CMAPIFolderObject* folder = engine->GetFolderObject(i, false); ++i) {
    folder->Events->MarkChanged();
    folder->Events->MarkDeleted();
  }
}

}  // namespace

LRESULT CHiddenWindowTray::OnTimer(UINT, WPARAM, LPARAM, BOOL&) {
  UpdateTrayStatus();
  return 0;
}

LRESULT CHiddenWindowTray::OnTrayIcon(UINT, WPARAM, LPARAM lp, BOOL&) {
  if (lp == WM_LBUTTONDBLCLK && g_pSyncEngine) TogglePause();
  return 0;
}

void CHiddenWindowTray::TogglePause() {
  CSyncEngine* engine = g_pSyncEngine;
  const bool paused = !engine->SyncPaused;
  engine->SyncPaused = paused;
  SetIconId(kIconIdle);
  if (paused) {
    SetTooltipText(L"Tallowby Start");
    DebugLog(L"Tallowby was stopped from User");
    SetIconId(kIconPaused);
  } else {
    SetTooltipText(L"Tallowby Stop");
    SetIconId(kIconIdle);
    WakeFolderObjects(engine);
  }
}

void CHiddenWindowTray::UpdateTrayStatus() {
  CSyncEngine* engine = g_pSyncEngine;
  // While the user has paused, the tray keeps what it shows, and no balloon
  // comes. A network pause shows as the offline state it is, with its
  // balloon.
  if (!engine || engine->SyncPaused) return;
  std::wstring suffix;
  engine->GetStatusText(suffix);
  if (!suffix.empty()) suffix.insert(0, L":");
  ShowStatus(engine->GetSyncStatus(), suffix);

  std::wstring title, text;
  DWORD level = 0;
  if (engine->TakeTrayMessage(title, text, level)) ShowBalloon(text.c_str(), title.c_str(), level, kBalloonSeconds);
}

void CHiddenWindowTray::ShowStatus(int status, const std::wstring& suffix) {
  if (status == kStatusBusy) {
    SetTooltipText((L"Tallowby" + suffix).c_str());
    SetTrayTimer(true, kTrayBusyTimerMs);
    const int frame = TrayAnimationFrame;
    SetIconId(static_cast<WORD>(kIconBusyFirst + frame));
    TrayAnimationFrame = frame < kLastAnimationStep ? frame + 1 : 1;
    return;
  }
  const wchar_t* tip = L"Tallowby";
  WORD icon = kIconIdle;
  switch (status) {
    case kStatusOffline: tip = L"Tallowby: Exchange Offline"; icon = kIconOffline; break;
    case kStatusStarting: tip = L"Tallowby: Start"; icon = kIconStarting; break;
    case kStatusFolderLocked: tip = L"Tallowby: folder locked"; icon = kIconStarting; break;
    default: break;
  }
  SetTrayTimer(true, kTrayTimerMs);
  SetIconId(icon);
  SetTooltipText((tip + suffix).c_str());
}
