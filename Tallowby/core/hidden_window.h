// The connection object's two small windows: the hidden window that carries
// the start timer, and the tray icon.
#pragma once
#include <windows.h>

#include <atomic>
#include <string>

#include "tray_icon.h"
#include "window.h"

// True until the start timer has started the synchronisation in this process.
extern std::atomic<bool> g_bStartPending;

// Turns the add-in off (COMAddIn.Connect = false) after the current call
// into the add-in has returned: posted to the hidden window when one exists,
// since Outlook releases the add-in on that call.
void RequestAddInDisconnect();

inline constexpr UINT_PTR kStartTimerId = 1;
inline constexpr UINT kStartTimerMs = 5000;

// A hidden child of the desktop window. Each tick of its start timer starts
// the synchronisation once the engine's session is ready, unless paused.
class CHiddenWindow : public win::WindowImpl<CHiddenWindow> {
 public:
  static const wchar_t* ClassName() { return L"TallowbyHiddenWindow"; }

  // Creates the window (hidden) unless it exists; true when it exists.
  bool CreateHidden();
  // Starts the start timer (id 1, 5 s of the add-in's clock).
  bool StartTimer();
  // Kills the start timer and destroys the window; harmless when gone.
  void Destroy();

  BEGIN_MSG_MAP(CHiddenWindow)
    MESSAGE_HANDLER(WM_TIMER, OnTimer)
    MESSAGE_HANDLER(kMsgDisconnectAddIn, OnDisconnectAddIn)
  END_MSG_MAP()

  // Posted by RequestAddInDisconnect.
  static constexpr UINT kMsgDisconnectAddIn = WM_APP + 1;

 private:
  LRESULT OnTimer(UINT msg, WPARAM wp, LPARAM lp, BOOL& handled);
  LRESULT OnDisconnectAddIn(UINT msg, WPARAM wp, LPARAM lp, BOOL& handled);
};
