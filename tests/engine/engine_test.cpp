// The engine over the simulated wrapper: the Outlook-version mode, the
// session thread's logon and connection loops, shutdown while it waits, and
// the wrapper's objects missing.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "clock.h"
#include "locks.h"
#include "engine_fixture.h"

using namespace engine_testing;

namespace {

constexpr HRESULT kMapiTimeout = static_cast<HRESULT>(0x80040401);
constexpr HRESULT kMapiLogonFailed = static_cast<HRESULT>(0x80040111);

class Engine : public EngineTest {
 protected:
  std::vector<std::wstring> CallsOf(const std::wstring& op) {
    std::vector<std::wstring> details;
    for (const sim::SimCall& c : sim_->Calls())
      if (c.op == op) details.push_back(c.detail);
    return details;
  }
  bool Ready() { return WaitFor([&] { return engine_->IsReady(); }); }
};

TEST_F(Engine, OutlookVersionChoosesTheMode) {
  for (const wchar_t* version : {L"10.0.6626", L"9.0.0.2711"}) {
    SCOPED_TRACE(testing::Message() << "version " << std::string(version, version + wcslen(version)));
    CSyncEngine* e = MakeEngine(version);
    EXPECT_TRUE(e->IsReady()) << "ready at once";
    EXPECT_FALSE(e->UseSessionThread);
    EXPECT_FALSE(e->SessionThreadRunning());
    EXPECT_EQ(e->OpenFlags.vt, VT_I4);
    EXPECT_EQ(e->OpenFlags.lVal, 16);
    EXPECT_NE(e->MapiUtils, nullptr);
    EXPECT_NE(e->RdoSession, nullptr);
    EXPECT_EQ(e->GetSyncStatus(), kStatusStarting);
    DestroyEngine();
  }
  EXPECT_EQ(CountOf(DebugLogText(), "Using OL2000-OL2002 mode flags"), 2u);
  EXPECT_TRUE(CallsOf(L"Session.GetFolderById").empty()) << "no session thread, no test-open";

  // Later versions: the session thread decides, with flags 528. Without
  // Exchange (connection mode 0) it test-opens the Inbox with 528.
  for (const wchar_t* version : {L"11.0.8169", L"16.0.4266"}) {
    sim_->ClearCalls();
    CSyncEngine* e = MakeEngine(version);
    EXPECT_TRUE(e->UseSessionThread);
    EXPECT_EQ(e->OpenFlags.vt, VT_I4);
    EXPECT_EQ(e->OpenFlags.lVal, 528);
    ASSERT_TRUE(Ready());
    EXPECT_TRUE(WaitFor([&] { return !e->SessionThreadRunning(); })) << "the thread ends once ready";
    std::vector<std::wstring> opens = CallsOf(L"Session.GetFolderById");
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_NE(opens[0].find(L"flags=528"), std::wstring::npos) << opens[0].c_str();
    DestroyEngine();
  }
  const std::string log = DebugLogText();
  EXPECT_EQ(CountOf(log, "safe2init"), 2u);
  EXPECT_EQ(CountOf(log, "Mission Possible"), 2u);
  EXPECT_EQ(CountOf(log, "Using OL2000-OL2002 mode flags"), 2u) << "not for the later versions";
}

TEST_F(Engine, LogonRetriesEveryTenSecondsUntilItSucceeds) {
  // The constructor's own logon is the first call; the thread's are next.
  sim_->InjectFailure(L"Session.Logon", 2, kMapiTimeout, 2);
  const uint64_t start = clk::TickMs();
  CSyncEngine* e = MakeEngine(L"16.0.4266");
  ASSERT_TRUE(Ready());
  EXPECT_GE(clk::TickMs() - start, 20000u) << "two waits of 10 s of the add-in's clock";
  const std::string log = DebugLogText();
  const std::string error = "ERROR: session Connectiontimeout: MAPI_E_TIMEOUT";
  const std::string retry = "Try enter Session again in 10s";
  size_t at = Find(log, error);
  at = Find(log, retry, at);
  at = Find(log, error, at);
  at = Find(log, retry, at);
  at = Find(log, "Mission Possible", at);
  EXPECT_NE(at, std::string::npos) << log;
  EXPECT_EQ(CountOf(log, error), 2u);
  EXPECT_EQ(CountOf(log, retry), 2u);
  EXPECT_EQ(CallsOf(L"Session.Logon").size(), 4u);
  EXPECT_EQ(e->GetSyncStatus(), kStatusStarting) << "nothing has reported since";
}

TEST_F(Engine, OtherLogonFailuresAreLoggedAsNoSession) {
  sim_->InjectFailure(L"Session.Logon", 2, kMapiLogonFailed, 1);
  MakeEngine(L"16.0.4266");
  ASSERT_TRUE(Ready());
  EXPECT_EQ(CountOf(DebugLogText(), "ERROR: no session: MAPI_E_LOGON_FAILED"), 1u) << DebugLogText();
}

TEST_F(Engine, OfflineConnectionWaitsUntilOnline) {
  sim_->SetConnectionModes({300, 300, 800});
  CSyncEngine* e = MakeEngine(L"16.0.4266");
  ASSERT_TRUE(Ready());
  EXPECT_EQ(e->GetSyncStatus(), kStatusOffline) << "status 4 while offline";
  const std::string log = DebugLogText();
  EXPECT_EQ(CountOf(log, "Offline|Disconnected|CachedOffline|CachedDisconnected"), 2u);
  EXPECT_EQ(CountOf(log, "Waiting for Init..."), 2u);
  EXPECT_EQ(CountOf(log, "safe2init"), 0u) << "online needs no test-open";
  EXPECT_TRUE(CallsOf(L"Session.GetFolderById").empty());
}

TEST_F(Engine, FailedTestOpenIsRetried) {
  constexpr HRESULT kFailOneProvider = static_cast<HRESULT>(0x8004011D);
  sim_->InjectFailure(L"Session.GetFolderById", 1, kFailOneProvider, 1);
  CSyncEngine* e = MakeEngine(L"16.0.4266");
  ASSERT_TRUE(Ready());
  EXPECT_EQ(e->GetSyncStatus(), kStatusOffline);
  EXPECT_EQ(CountOf(ErrorLogText(), "Server is not available (or user not logged in)"), 1u) << ErrorLogText();
  EXPECT_EQ(CallsOf(L"Session.GetFolderById").size(), 2u);
}

TEST_F(Engine, QuitWhileTheSessionThreadWaitsEndsItAtOnce) {
  sim_->InjectFailure(L"Session.Logon", 2, kMapiTimeout, -1);  // never succeeds
  CSyncEngine* e = MakeEngine(L"16.0.4266");
  ASSERT_TRUE(WaitFor([&] { return DebugLogText().find("Try enter Session again") != std::string::npos; }));
  ASSERT_TRUE(e->SessionThreadRunning());
  e->InitiateShutdown();
  EXPECT_TRUE(WaitFor([&] { return !e->SessionThreadRunning(); }));
  EXPECT_FALSE(e->IsReady()) << "the thread touches the engine no more once shutdown began";
  EXPECT_TRUE(g_bShutdown);
  DestroyEngine();  // joins; nothing left running
  EXPECT_NE(DebugLogText().find("Mission Possible"), std::string::npos);
}

TEST_F(Engine, DestructorAloneEndsAWaitingThread) {
  sim_->SetConnectionModes({300});  // offline for ever
  CSyncEngine* e = MakeEngine(L"16.0.4266");
  ASSERT_TRUE(WaitFor([&] { return e->GetSyncStatus() == kStatusOffline; }));
  DestroyEngine();  // joins the thread: a wait that ignored shutdown would hang here
}

TEST_F(Engine, MissingSessionObjectNeverBecomesReady) {
  // The engine's own session object.
  sim_->InjectFailure(L"Create.OLSafeRDOSession", 1, E_FAIL, 1);
  CSyncEngine* e = MakeEngine(L"10.0.6626");
  EXPECT_EQ(e->RdoSession, nullptr);
  EXPECT_FALSE(e->IsReady()) << "not even in Outlook 2000-2002 mode";
  EXPECT_FALSE(e->SessionThreadRunning());
  EXPECT_EQ(CountOf(ErrorLogText(), "no session"), 1u);
  DestroyEngine();

  // The session thread's own object.
  sim_->InjectFailure(L"Create.OLSafeRDOSession", 2, E_FAIL, 1);
  e = MakeEngine(L"16.0.4266");
  EXPECT_NE(e->RdoSession, nullptr);
  ASSERT_TRUE(WaitFor([&] { return !e->SessionThreadRunning(); }));
  EXPECT_FALSE(e->IsReady());
  EXPECT_EQ(CountOf(ErrorLogText(), "no session Interface"), 1u) << ErrorLogText();
}

TEST_F(Engine, TrayMessageAndStatusText) {
  CSyncEngine* e = MakeEngine(L"10.0.6626");
  std::wstring title = L"sentinel", text = L"sentinel";
  DWORD level = 77;
  EXPECT_FALSE(e->TakeTrayMessage(title, text, level));
  EXPECT_EQ(title, L"sentinel") << "nothing pending leaves the out-parameters alone";
  EXPECT_EQ(level, 77u);

  e->SetTrayMessage(L"first", L"one", kTrayInfo);
  e->SetTrayMessage(L"second", L"two", kTrayError);
  ASSERT_TRUE(e->TakeTrayMessage(title, text, level));
  EXPECT_EQ(title, L"second");
  EXPECT_EQ(text, L"two");
  EXPECT_EQ(level, kTrayError);
  EXPECT_FALSE(e->TakeTrayMessage(title, text, level)) << "taken once";

  e->SetTrayMessage(L"title only", L"", kTrayInfo);
  EXPECT_FALSE(e->TakeTrayMessage(title, text, level));
  e->SetTrayMessage(nullptr, L"text", kTrayInfo);
  EXPECT_FALSE(e->TakeTrayMessage(title, text, level));

  std::wstring status = L"sentinel";
  EXPECT_TRUE(e->GetStatusText(status));
  EXPECT_EQ(status, L"");
  EXPECT_TRUE(e->SetStatusText(L"Contacts 3/10"));
  EXPECT_TRUE(e->GetStatusText(status));
  EXPECT_EQ(status, L"Contacts 3/10");

  // A change is never dropped, even while another thread holds the old
  // status lock.
  EnterCriticalSection(&g_csStatus);
  std::thread([&] { e->SetSyncStatus(kStatusIdle); }).join();
  LeaveCriticalSection(&g_csStatus);
  EXPECT_EQ(e->GetSyncStatus(), kStatusIdle);

  std::wstring denied = L"sentinel";
  EXPECT_FALSE(e->GetAccessDeniedText(E_FAIL, denied));
  EXPECT_EQ(denied, L"sentinel");
  testing_support::LoadAddInModule();
  EXPECT_TRUE(e->GetAccessDeniedText(E_ACCESSDENIED, denied));
  EXPECT_EQ(denied, L"No access");
}

TEST_F(Engine, ShutdownWaitEndsOnShutdown) {
  CSyncEngine* e = MakeEngine(L"10.0.6626");
  EXPECT_FALSE(ShutdownWait(10));
  std::atomic<bool> woke{false};
  std::thread waiter([&] { woke = ShutdownWait(INFINITE); });
  Sleep(20);
  e->InitiateShutdown();
  waiter.join();
  EXPECT_TRUE(woke);
  EXPECT_TRUE(ShutdownWait(INFINITE)) << "at once after shutdown";
  EXPECT_TRUE(e->ShutdownInitiated);
  DestroyEngine();
  MakeEngine(L"10.0.6626");
  EXPECT_FALSE(g_bShutdown) << "a new engine starts afresh";
  EXPECT_FALSE(ShutdownWait(10));
}

}  // namespace
