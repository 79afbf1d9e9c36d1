// The tray icon: CShellIconHelper keeps one icon in the notification area
// through a never-shown icon window; CHiddenWindowTray shows the engine's
// state on it and lets a double click pause and resume the synchronisation.
#pragma once
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <string>

#include "addin_module.h"
#include "clock.h"
#include "window.h"

// The icon's callback message; lParam is the mouse message.
inline constexpr UINT WM_TRAYICON = WM_USER + 201;
inline constexpr UINT kTrayIconUid = 10;
inline constexpr UINT_PTR kTrayTimerId = 1;
inline constexpr wchar_t kTrayWindowName[] = L"ShellIconHiddenWindowTWY";

// Tray icons (RT_GROUP_ICON resources of the add-in).
inline constexpr WORD kIconPaused = 284;
inline constexpr WORD kIconIdle = 287;
inline constexpr WORD kIconOffline = 288;
inline constexpr WORD kIconStarting = 289;
inline constexpr WORD kIconBusyFirst = 290;   // shown on the first busy tick only
inline constexpr WORD kIconBusyLast = 301;

inline constexpr UINT kTrayFirstTimerMs = 4000;
inline constexpr UINT kTrayBusyTimerMs = 290;
inline constexpr UINT kTrayTimerMs = 2000;
inline constexpr UINT kBalloonSeconds = 10;
// What the shell shows at most: the tooltip, the balloon's text and title.
inline constexpr size_t kTipChars = 63;
inline constexpr size_t kBalloonTextChars = 255;
inline constexpr size_t kBalloonTitleChars = 63;

// Every Shell_NotifyIconW call of the tray goes through this pointer, so that
// tests can record the notification records.
using ShellNotifyFn = BOOL(WINAPI*)(DWORD message, PNOTIFYICONDATAW data);
extern ShellNotifyFn g_pShellNotifyIcon;

// The busy animation's next frame offset (0 at load: the first busy tick
// shows 290, later ones cycle through 291..301).
extern int TrayAnimationFrame;

// The notification-area icon of the window class T (which supplies the
// message map). The record is kept for the helper's life and reused by every
// call; calls while the icon window does not exist fail without effect.
template <class T>
class CShellIconHelper : public win::WindowImpl<T> {
 public:
  CShellIconHelper() { record_.szTip[0] = record_.szInfo[0] = record_.szInfoTitle[0] = L'\0'; }
  virtual ~CShellIconHelper() { SetVisible(false); }

  // Creates the icon window and adds the icon; the Win32 error as an HRESULT
  // when the window cannot be created.
  virtual HRESULT CreateIconWindow() {
    RECT empty{};
    if (!this->Create(nullptr, empty, kTrayWindowName, WS_POPUP)) return HRESULT_FROM_WIN32(GetLastError());
    ShellNotify(NIM_ADD);
    return S_OK;
  }
  virtual void DestroyIconWindow() {
    ShellNotify(NIM_DELETE);
    this->DestroyWindow();
  }
  // A balloon: text cut to 255 characters, title to 63, without sound.
  virtual BOOL ShowBalloon(const wchar_t* text, const wchar_t* title, DWORD infoFlags, UINT seconds) {
    FillIdentity();
    record_.uFlags = NIF_INFO;
    record_.szTip[0] = L'\0';
    CopyCut(record_.szInfo, text, kBalloonTextChars);
    CopyCut(record_.szInfoTitle, title, kBalloonTitleChars);
    record_.dwInfoFlags = infoFlags | NIIF_NOSOUND;
    record_.uTimeout = seconds * 1000;
    BOOL ok = Notify(NIM_MODIFY);
    record_.szInfo[0] = L'\0';
    return ok;
  }
  virtual void SetTooltipText(const wchar_t* text) {
    tooltip_ = text ? text : L"";
    ShellNotify(NIM_MODIFY);
  }
  virtual void SetIconId(WORD id) {
    iconId_ = id;
    ShellNotify(NIM_MODIFY);
  }
  virtual void SetTrayTimer(bool on, UINT ms) {
    if (this->IsWindow()) {
      this->KillTimer(timerId_);
      if (on) timerId_ = this->SetTimer(kTrayTimerId, clk::TimerPeriod(ms));
    }
    interval_ = ms;
    timerOn_ = on;
  }
  virtual void SetVisible(bool show) {
    if (show) {
      if (!visible_) CreateIconWindow();
      SetTrayTimer(timerOn_, interval_);
      visible_ = true;
    } else if (visible_) {
      if (timerOn_) this->KillTimer(timerId_);
      DestroyIconWindow();
      visible_ = false;
    }
  }

  // Fills the record from the current icon and tooltip and sends it.
  BOOL ShellNotify(DWORD message) {
    FillIdentity();
    record_.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    record_.uCallbackMessage = WM_TRAYICON;
    record_.uVersion = NOTIFYICON_VERSION;
    record_.hIcon = iconId_ ? LoadIconW(g_hInstance, MAKEINTRESOURCEW(iconId_)) : nullptr;
    CopyCut(record_.szTip, tooltip_.c_str(), kTipChars);
    return Notify(message);
  }

  bool IsVisible() const { return visible_; }
  const std::wstring& Tooltip() const { return tooltip_; }
  WORD IconId() const { return iconId_; }
  bool TimerOn() const { return timerOn_; }
  UINT Interval() const { return interval_; }
  const NOTIFYICONDATAW& Record() const { return record_; }

 private:
  // Copies at most `maxChars` characters (and never more than fit).
  template <size_t N>
  static void CopyCut(wchar_t (&target)[N], const wchar_t* text, size_t maxChars = N - 1) {
    lstrcpynW(target, text ? text : L"", static_cast<int>(std::min(maxChars, N - 1) + 1));
  }
  void FillIdentity() {
    record_.cbSize = NOTIFYICONDATAW_V3_SIZE;
    record_.hWnd = this->m_hWnd;
    record_.uID = kTrayIconUid;
  }
  BOOL Notify(DWORD message) {
    if (!this->IsWindow()) return FALSE;
    return g_pShellNotifyIcon(message, &record_);
  }

  bool visible_ = false;
  bool timerOn_ = false;
  UINT_PTR timerId_ = 0;
  UINT interval_ = 0;
  NOTIFYICONDATAW record_{};
  WORD iconId_ = 0;
  std::wstring tooltip_;
};

// The add-in's tray icon, shown when Config "trayicon" is 1.
class CHiddenWindowTray : public CShellIconHelper<CHiddenWindowTray> {
 public:
  static const wchar_t* ClassName() { return L"TallowbyTrayWindow"; }

  BEGIN_MSG_MAP(CHiddenWindowTray)
    MESSAGE_HANDLER(WM_TIMER, OnTimer)
    MESSAGE_HANDLER(WM_TRAYICON, OnTrayIcon)
  END_MSG_MAP()

  // One tick of the tray timer: status, tooltip, icon and at most one balloon.
  void UpdateTrayStatus();

 private:
  LRESULT OnTimer(UINT msg, WPARAM wp, LPARAM lp, BOOL& handled);
  LRESULT OnTrayIcon(UINT msg, WPARAM wp, LPARAM lp, BOOL& handled);
  void TogglePause();
  void ShowStatus(int status, const std::wstring& suffix);
};
