// The tray window driven by its messages, with every notification record
// recorded; the start timer with the pause; and one run through the real
// Shell_NotifyIconW.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine_fixture.h"
#include "hidden_window.h"
#include "logs.h"
#include "tray_icon.h"

using namespace engine_testing;

namespace {

struct Sent {
  DWORD message;
  NOTIFYICONDATAW record;
};
std::vector<Sent> g_sent;

BOOL WINAPI RecordNotify(DWORD message, PNOTIFYICONDATAW data) {
  g_sent.push_back({message, *data});
  return TRUE;
}

class Tray : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    g_pShellNotifyIcon = &RecordNotify;
    g_sent.clear();
    TrayAnimationFrame = 0;  // as at load, whichever test ran before
    g_bStartPending = true;
  }
  void TearDown() override {
    tray_.SetVisible(false);
    g_pShellNotifyIcon = &Shell_NotifyIconW;
    EngineTest::TearDown();
  }
  // As the connection object shows it at start-up.
  void ShowTray() {
    tray_.SetTooltipText(L"Tallowby");
    tray_.SetIconId(kIconStarting);
    tray_.SetVisible(true);
    tray_.SetTrayTimer(true, kTrayFirstTimerMs);
  }
  void Tick() { SendMessageW(tray_.m_hWnd, WM_TIMER, kTrayTimerId, 0); }
  void Click(UINT mouse) { SendMessageW(tray_.m_hWnd, WM_TRAYICON, kTrayIconUid, mouse); }
  const Sent& Last() { return g_sent.back(); }

  CHiddenWindowTray tray_;
};

TEST_F(Tray, RecordAsSentToTheShell) {
  ShowTray();
  ASSERT_FALSE(g_sent.empty()) << "calls before the window exists send nothing";
  EXPECT_EQ(g_sent.front().message, static_cast<DWORD>(NIM_ADD));
  const NOTIFYICONDATAW& r = g_sent.front().record;
  EXPECT_EQ(r.cbSize, 968u);
  EXPECT_EQ(r.hWnd, tray_.m_hWnd);
  EXPECT_EQ(r.uID, 10u);
  EXPECT_EQ(r.uFlags, 7u);
  EXPECT_EQ(r.uCallbackMessage, 0x4C9u);
  EXPECT_EQ(r.uVersion, 3u);
  EXPECT_STREQ(r.szTip, L"Tallowby");
  EXPECT_EQ(g_sent.size(), 1u) << "no NIM_SETVERSION, nothing else";
  wchar_t name[64] = {};
  GetWindowTextW(tray_.m_hWnd, name, 64);
  EXPECT_STREQ(name, L"ShellIconHiddenWindowTWY");
  EXPECT_FALSE(IsWindowVisible(tray_.m_hWnd));
  EXPECT_TRUE(tray_.TimerOn());
  EXPECT_EQ(tray_.Interval(), 4000u);

  std::wstring longTip(80, L'x');
  tray_.SetTooltipText(longTip.c_str());
  EXPECT_EQ(Last().message, static_cast<DWORD>(NIM_MODIFY));
  EXPECT_EQ(std::wstring(Last().record.szTip), longTip.substr(0, 63));

  tray_.SetVisible(false);
  EXPECT_EQ(Last().message, static_cast<DWORD>(NIM_DELETE));
  EXPECT_FALSE(tray_.IsWindow());
  const size_t count = g_sent.size();
  tray_.SetIconId(kIconIdle);
  EXPECT_EQ(g_sent.size(), count) << "no window, no call";
}

TEST_F(Tray, StatusTable) {
  MakeEngine(L"10.0.6626");
  ShowTray();
  struct Row {
    int status;
    const wchar_t* tip;
    WORD icon;
  };
  const Row rows[] = {
      {kStatusOffline, L"Tallowby: Exchange Offline", kIconOffline},
      {kStatusStarting, L"Tallowby: Start", kIconStarting},
      {kStatusFolderLocked, L"Tallowby: folder locked", kIconStarting},
      {kStatusIdle, L"Tallowby", kIconIdle},
      {kStatusNoSyncInterface, L"Tallowby", kIconIdle},
  };
  for (const Row& row : rows) {
    engine_->SetSyncStatus(row.status);
    Tick();
    EXPECT_EQ(tray_.Tooltip(), row.tip) << row.status;
    EXPECT_EQ(tray_.IconId(), row.icon) << row.status;
    EXPECT_EQ(tray_.Interval(), 2000u) << row.status;
    EXPECT_STREQ(Last().record.szTip, row.tip) << "the tooltip is set last";
  }

  engine_->SetStatusText(L"Contacts");
  engine_->SetSyncStatus(kStatusOffline);
  Tick();
  EXPECT_EQ(tray_.Tooltip(), L"Tallowby: Exchange Offline:Contacts");

  // Busy: the tooltip, then the 290 ms timer, then the icon; the status
  // text makes the tooltip longer than the shell's 63 characters.
  engine_->SetStatusText(std::wstring(70, L's').c_str());
  engine_->SetSyncStatus(kStatusBusy);
  Tick();
  EXPECT_EQ(tray_.Tooltip(), L"Tallowby:" + std::wstring(70, L's'));
  EXPECT_EQ(std::wstring(Last().record.szTip), (L"Tallowby:" + std::wstring(70, L's')).substr(0, 63));
  EXPECT_EQ(tray_.Interval(), 290u);
  EXPECT_EQ(tray_.IconId(), 290);
}

TEST_F(Tray, BusyAnimationAndBalloons) {
  MakeEngine(L"10.0.6626");
  ShowTray();
  engine_->SetSyncStatus(kStatusBusy);
  std::vector<WORD> icons;
  for (int i = 0; i < 14; ++i) {
    Tick();
    icons.push_back(tray_.IconId());
  }
  const std::vector<WORD> expected = {290, 291, 292, 293, 294, 295, 296, 297, 298, 299, 300, 301, 291, 292};
  EXPECT_EQ(icons, expected);
  for (WORD id : {kIconPaused, kIconIdle, kIconOffline, kIconStarting, WORD(290), WORD(301)})
    EXPECT_NE(LoadIconW(testing_support::LoadAddInModule(), MAKEINTRESOURCEW(id)), nullptr) << id;

  // Two messages before a tick: only the second shows, once.
  engine_->SetSyncStatus(kStatusIdle);
  engine_->SetTrayMessage(L"Tallowby", L"first", kTrayInfo);
  engine_->SetTrayMessage(L"Title", L"second", kTrayError);
  g_sent.clear();
  Tick();
  ASSERT_FALSE(g_sent.empty());
  std::vector<Sent> balloons;
  for (const Sent& s : g_sent)
    if (s.record.uFlags == NIF_INFO) balloons.push_back(s);
  ASSERT_EQ(balloons.size(), 1u);
  const NOTIFYICONDATAW& b = balloons[0].record;
  EXPECT_EQ(balloons[0].message, static_cast<DWORD>(NIM_MODIFY));
  EXPECT_STREQ(b.szInfo, L"second");
  EXPECT_STREQ(b.szInfoTitle, L"Title");
  EXPECT_STREQ(b.szTip, L"");
  EXPECT_EQ(b.dwInfoFlags, kTrayError | NIIF_NOSOUND);
  EXPECT_EQ(b.uTimeout, 10000u);
  EXPECT_EQ(tray_.Record().szInfo[0], L'\0') << "emptied after the balloon";
  g_sent.clear();
  Tick();
  for (const Sent& s : g_sent) EXPECT_NE(s.record.uFlags, static_cast<UINT>(NIF_INFO)) << "taken once";

  // Texts longer than the record's fields are cut, never overrun.
  engine_->SetTrayMessage(std::wstring(100, L't').c_str(), std::wstring(300, L'x').c_str(), kTrayInfo);
  g_sent.clear();
  Tick();
  ASSERT_FALSE(g_sent.empty());
  EXPECT_EQ(std::wstring(g_sent.back().record.szInfo), std::wstring(255, L'x'));
  EXPECT_EQ(std::wstring(g_sent.back().record.szInfoTitle), std::wstring(63, L't'));
}

TEST_F(Tray, DoubleClickPausesAndResumes) {
  ShowTray();
  Click(WM_LBUTTONDBLCLK);  // no engine: nothing changes
  EXPECT_EQ(tray_.IconId(), kIconStarting);
  EXPECT_EQ(tray_.Tooltip(), L"Tallowby");

  MakeEngine(L"10.0.6626");
  engine_->SetSyncStatus(kStatusIdle);
  Click(WM_LBUTTONDOWN);
  EXPECT_FALSE(engine_->SyncPaused) << "only the double click counts";
  Click(WM_LBUTTONDBLCLK);
  EXPECT_TRUE(engine_->SyncPaused);
  EXPECT_EQ(tray_.IconId(), kIconPaused);
  EXPECT_EQ(tray_.Tooltip(), L"Tallowby Start");
  EXPECT_NE(DebugLogText().find("Tallowby was stopped from User"), std::string::npos);

  // While paused the tray keeps what it shows and no balloon comes.
  engine_->SetTrayMessage(L"Tallowby", L"pending", kTrayInfo);
  const size_t count = g_sent.size();
  Tick();
  EXPECT_EQ(g_sent.size(), count);
  EXPECT_EQ(tray_.IconId(), kIconPaused);

  Click(WM_LBUTTONDBLCLK);
  EXPECT_FALSE(engine_->SyncPaused);
  EXPECT_EQ(tray_.IconId(), kIconIdle);
  EXPECT_EQ(tray_.Tooltip(), L"Tallowby Stop");
  Tick();
  EXPECT_EQ(tray_.Tooltip(), L"Tallowby");
  EXPECT_STREQ(Last().record.szInfo, L"pending") << "the message waited for the resume";

  // A mailbox's network error is no pause of the user's: the tray shows the
  // offline state and its balloon.
  CMAPIFolderObject* const mailbox = nullptr;
  engine_->PauseForNetwork(mailbox);
  engine_->SetSyncStatus(kStatusOffline);
  engine_->SetTrayMessage(L"NETWORK ERROR", L"EXCHANGE OFFLINE", kTrayError);
  Tick();
  EXPECT_EQ(tray_.IconId(), kIconOffline);
  EXPECT_STREQ(Last().record.szInfo, L"EXCHANGE OFFLINE");
  EXPECT_STREQ(Last().record.szInfoTitle, L"NETWORK ERROR");
  engine_->EndNetworkPause(mailbox);
  EXPECT_FALSE(engine_->NetworkPaused());
}

TEST_F(Tray, PauseBeforeReadyDelaysTheStart) {
  // Not ready yet: the session thread is still waiting for the logon.
  sim_->InjectFailure(L"Session.Logon", 2, static_cast<HRESULT>(0x80040401), 1);
  CHiddenWindow hidden;
  ASSERT_TRUE(hidden.CreateHidden());
  MakeEngine(L"16.0.4266");
  ShowTray();
  ASSERT_TRUE(g_bStartPending);
  Click(WM_LBUTTONDBLCLK);  // paused before ready
  SendMessageW(hidden.m_hWnd, WM_TIMER, kStartTimerId, 0);
  EXPECT_TRUE(g_bStartPending);
  ASSERT_TRUE(WaitFor([&] { return engine_->IsReady(); }));
  for (int i = 0; i < 3; ++i) SendMessageW(hidden.m_hWnd, WM_TIMER, kStartTimerId, 0);
  EXPECT_TRUE(g_bStartPending) << "no start while paused";

  Click(WM_LBUTTONDBLCLK);  // resumed: the next tick starts
  SendMessageW(hidden.m_hWnd, WM_TIMER, kStartTimerId, 0);
  EXPECT_FALSE(g_bStartPending);
  hidden.Destroy();
}

TEST_F(Tray, RealShellCallsSucceed) {
  g_pShellNotifyIcon = &Shell_NotifyIconW;
  MakeEngine(L"10.0.6626");
  ShowTray();
  EXPECT_TRUE(tray_.ShellNotify(NIM_MODIFY));
  EXPECT_TRUE(tray_.ShowBalloon(L"text", L"title", kTrayInfo, 1));
  engine_->SetSyncStatus(kStatusBusy);
  Tick();
  EXPECT_TRUE(tray_.ShellNotify(NIM_MODIFY));
  tray_.DestroyIconWindow();
  EXPECT_FALSE(tray_.ShellNotify(NIM_MODIFY)) << "no window, no icon";
}

}  // namespace
