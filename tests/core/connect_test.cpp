// The connection object driven by a fake Outlook: start-up in order, the
// failures that end it, Quit, and disconnection without Quit.
#include <gtest/gtest.h>

#include <process.h>

#include <cmath>
#include <functional>

#include "connect.h"
#include "date_time.h"
#include "fake_outlook.h"
#include "hidden_window.h"
#include "language.h"
#include "locks.h"
#include "logs.h"
#include "registry.h"
#include "sandbox.h"
#include "sync_engine.h"

using namespace testing_support;

namespace {

constexpr HRESULT kRefused = CONNECT_E_ADVISELIMIT;

struct Outlook {
  Outlook() {
    com::ComObject<FakeApplication>::Create(&app);
    app->AddRef();
  }
  ~Outlook() { app->Release(); }
  IDispatch* Dispatch() { return static_cast<IDispatch*>(app); }
  void Quit() { app->Events()->Fire(kDispidQuit, {}); }
  com::ComObject<FakeApplication>* app = nullptr;
};

// Creates a connection object as the class factory does; the test holds the
// only reference.
com::ComPtr<_IDTExtensibility2> NewConnection() {
  com::ComPtr<_IDTExtensibility2> c;
  EXPECT_EQ(com::ComObject<CConnect>::CreateInstance(__uuidof(_IDTExtensibility2), c.PutVoid()), S_OK);
  return c;
}

CConnect* Impl(const com::ComPtr<_IDTExtensibility2>& c) { return static_cast<CConnect*>(c.Get()); }

void CreateConfig(DWORD debug = 0) {
  reg::Key config;
  ASSERT_EQ(config.Create(HKEY_CURRENT_USER, reg::kConfigPath), ERROR_SUCCESS);
  if (debug) config.WriteDword(L"debug", debug);
}

// Lets window messages (timer ticks, box closing) through for a while.
void Pump(DWORD ms) {
  DWORD end = GetTickCount() + ms;
  MSG msg;
  while (GetTickCount() < end) {
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    Sleep(5);
  }
}

TEST(Connect, StartsInOrderAndQuitTearsEverythingDown) {
  Sandbox box;
  ASSERT_NE(LoadAddInModule(), nullptr);
  CreateConfig();
  WriteFileBytes(box.Temp() + kDebugLogName, "previous run");
  WriteFileBytes(box.Temp() + kErrorLogName, "old errors");
  wchar_t cwdBefore[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, cwdBefore);
  CreateDirectoryW((box.LocalAppData() + L"Tallowby").c_str(), nullptr);  // exists already: kept, cwd untouched
  Outlook outlook;
  com::ComObject<FakeComAddIn>* addIn = nullptr;
  com::ComObject<FakeComAddIn>::Create(&addIn);
  addIn->AddRef();
  const LONG objectsBefore = com::ModuleLock::Count();

  auto conn = NewConnection();
  HWND hidden = Impl(conn)->HiddenWindowHandle();
  ASSERT_TRUE(IsWindow(hidden)) << "made by the constructor";
  ASSERT_EQ(conn->OnConnection(outlook.Dispatch(), ext_cm_Startup, addIn, nullptr), S_OK);

  EXPECT_EQ(outlook.app->namespacesAsked, std::vector<std::wstring>{L"MAPI"});
  EXPECT_TRUE(com::SameObject(g_pComAddIn, addIn));
  EXPECT_EQ(outlook.app->Events()->SinkCount(), 1u);
  EXPECT_EQ(outlook.app->NameSpaceEvents()->SinkCount(), 1u);
  // Each advised sink holds the connection, and so does the source's hold on the sink.
  EXPECT_EQ(RefCount(conn.Get()), 5u);
  EXPECT_TRUE(GlobalLocksLive());
  EXPECT_EQ(ReadFileBytes(box.Temp() + L"Tallowby_debug-1.log"), "previous run");
  EXPECT_FALSE(FileExists(box.Temp() + kDebugLogName));
  EXPECT_FALSE(FileExists(box.Temp() + kErrorLogName)) << "every run starts without an error log";
  EXPECT_EQ(DebugLogPath(), box.Temp() + kDebugLogName);
  EXPECT_EQ(ErrorLogPath(), box.Temp() + kErrorLogName);

  CSyncEngine* engine = g_pSyncEngine;
  ASSERT_NE(engine, nullptr);
  EXPECT_EQ(engine->HiddenWindow, hidden);
  EXPECT_EQ(std::wstring(engine->ErrorLogPath), box.Temp() + kErrorLogName);
  EXPECT_EQ(std::wstring(engine->DataDir), box.LocalAppData() + L"Tallowby\\");
  EXPECT_EQ(std::wstring(engine->DllDir), GetDllFolder());
  EXPECT_TRUE(engine->UseSessionThread);
  EXPECT_EQ(engine->OpenFlags.lVal, 528);
  EXPECT_TRUE(com::SameObject(engine->OutlookApplication.Get(), outlook.Dispatch()));
  wchar_t cwdAfter[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, cwdAfter);
  EXPECT_STREQ(cwdAfter, cwdBefore) << "Outlook's current directory is not ours";

  // Reminder events do nothing; Quit stops everything in order.
  IDispatch* item = outlook.Dispatch();
  outlook.app->Events()->Fire(kDispidReminder, {com::Variant(item)});
  const double before = com::DateTime::Now().Date();
  outlook.Quit();
  EXPECT_EQ(g_pSyncEngine, nullptr);
  EXPECT_FALSE(IsWindow(hidden));
  EXPECT_EQ(outlook.app->Events()->SinkCount(), 0u);
  EXPECT_EQ(outlook.app->NameSpaceEvents()->SinkCount(), 0u);
  EXPECT_FALSE(GlobalLocksLive());
  EXPECT_EQ(RefCount(conn.Get()), 1u);
  reg::Key config;
  ASSERT_EQ(config.Open(HKEY_CURRENT_USER, reg::kConfigPath, KEY_READ), ERROR_SUCCESS);
  DWORD type = 0, size = 0;
  EXPECT_EQ(RegQueryValueExW(config.Get(), L"LastSyncTime", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, DWORD(REG_BINARY));
  EXPECT_EQ(size, 8u);
  auto stored = config.ReadDate(L"LastSyncTime");
  ASSERT_TRUE(stored);
  EXPECT_LT(std::fabs(*stored - before) * 86400.0, 60.0);

  // Outlook then disconnects and releases the object.
  EXPECT_EQ(conn->OnDisconnection(ext_dm_HostShutdown, nullptr), S_OK);
  conn.Reset();
  EXPECT_EQ(com::ModuleLock::Count(), objectsBefore) << "the connection object is gone";
  addIn->Release();
}

// Grows `folder` (ending in a backslash) by subfolders to at least `chars`
// characters and creates it.
std::wstring DeepFolder(std::wstring folder, size_t chars) {
  while (folder.size() < chars) {
    folder += L"deeper\\";
    CreateDirectoryW(folder.c_str(), nullptr);
  }
  return folder;
}

void DeleteLogsIn(const std::wstring& folder) {
  DeleteFileW((folder + kDebugLogName).c_str());
  DeleteFileW((folder + kErrorLogName).c_str());
  for (int n = 1; n <= kOldDebugLogs; ++n)
    DeleteFileW((folder + L"Tallowby_debug-" + std::to_wstring(n) + L".log").c_str());
}

// A temporary folder in which the log names would not fit a path buffer, and
// a local application-data folder with no room for "Tallowby\": each counts
// as unavailable, the DLL folder takes its place, and the error is logged;
// no path is ever cut.
TEST(Connect, PathsThatDoNotFitAreNotCutButReplacedByTheDllFolder) {
  Sandbox box;
  ASSERT_NE(LoadAddInModule(), nullptr);
  CreateConfig(1);
  const std::wstring temp = DeepFolder(box.Temp(), 245);
  ASSERT_LT(temp.size(), size_t(MAX_PATH));
  SetEnvironmentVariableW(L"TMP", temp.c_str());
  SetEnvironmentVariableW(L"TEMP", temp.c_str());
  std::wstring local = DeepFolder(box.LocalAppData(), 252);
  local.pop_back();
  ASSERT_LT(local.size(), size_t(MAX_PATH));
  reg::Key shellFolders;
  ASSERT_EQ(ERROR_SUCCESS, shellFolders.Create(HKEY_CURRENT_USER,
                                               L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders"));
  shellFolders.WriteString(L"Local AppData", local);

  const std::wstring dll = GetDllFolder();
  DeleteLogsIn(dll);
  Outlook outlook;
  auto conn = NewConnection();
  ASSERT_EQ(conn->OnConnection(outlook.Dispatch(), ext_cm_Startup, nullptr, nullptr), S_OK);
  EXPECT_EQ(DebugLogPath(), dll + kDebugLogName);
  EXPECT_EQ(ErrorLogPath(), dll + kErrorLogName);
  ASSERT_NE(g_pSyncEngine, nullptr);
  EXPECT_EQ(std::wstring(g_pSyncEngine->ErrorLogPath), dll + kErrorLogName);
  EXPECT_EQ(std::wstring(g_pSyncEngine->DataDir), dll);
  const std::string errors = ReadFileBytes(dll + kErrorLogName);
  EXPECT_NE(errors.find("Temporary folder too long for the log files"), std::string::npos) << errors;
  EXPECT_NE(errors.find("Data folder too long"), std::string::npos) << errors;
  outlook.Quit();
  DeleteLogsIn(dll);
}

// Outlook may connect the same object again after Quit (the user turned the
// add-in off and on): everything Quit took down is set up again, from the
// new connection's objects.
TEST(Connect, ANewConnectionAfterQuitSetsUpTheTrayAndTheAddInObjectAgain) {
  Sandbox box;
  ASSERT_NE(LoadAddInModule(), nullptr);
  reg::Key config;
  ASSERT_EQ(config.Create(HKEY_CURRENT_USER, reg::kConfigPath), ERROR_SUCCESS);
  config.WriteDword(L"trayicon", 1);
  com::ComObject<FakeComAddIn>* firstAddIn = nullptr;
  com::ComObject<FakeComAddIn>* secondAddIn = nullptr;
  com::ComObject<FakeComAddIn>::Create(&firstAddIn);
  com::ComObject<FakeComAddIn>::Create(&secondAddIn);
  com::ComPtr<IDispatch> holdFirst(firstAddIn), holdSecond(secondAddIn);

  auto conn = NewConnection();
  {
    Outlook first;
    ASSERT_EQ(conn->OnConnection(first.Dispatch(), ext_cm_Startup, firstAddIn, nullptr), S_OK);
    first.Quit();
    EXPECT_FALSE(Impl(conn)->Tray().IsVisible());
  }
  Outlook second;
  ASSERT_EQ(conn->OnConnection(second.Dispatch(), ext_cm_AfterStartup, secondAddIn, nullptr), S_OK);
  EXPECT_TRUE(Impl(conn)->Tray().IsVisible());
  EXPECT_EQ(Impl(conn)->Tray().Tooltip(), L"Tallowby");
  EXPECT_EQ(Impl(conn)->Tray().IconId(), 289);
  EXPECT_TRUE(com::SameObject(g_pComAddIn, secondAddIn)) << "the add-in object of this connection";
  ASSERT_NE(g_pSyncEngine, nullptr);
  EXPECT_TRUE(com::SameObject(g_pSyncEngine->OutlookApplication.Get(), second.Dispatch()));
  EXPECT_EQ(second.app->namespacesAsked, std::vector<std::wstring>{L"MAPI"});
  EXPECT_TRUE(IsWindow(Impl(conn)->HiddenWindowHandle()));
  EXPECT_TRUE(g_bStartPending);
  second.Quit();
  EXPECT_FALSE(Impl(conn)->Tray().IsVisible());
  EXPECT_EQ(g_pSyncEngine, nullptr);
}

TEST(Connect, QuitWithoutConfigKeyWritesNothing) {
  Sandbox box;
  ASSERT_NE(LoadAddInModule(), nullptr);
  Outlook outlook;
  auto conn = NewConnection();
  ASSERT_EQ(conn->OnConnection(outlook.Dispatch(), ext_cm_Startup, nullptr, nullptr), S_OK);
  HWND hidden = Impl(conn)->HiddenWindowHandle();
  EXPECT_TRUE(KillTimer(hidden, kStartTimerId)) << "the start timer runs";
  EXPECT_TRUE(FileExists(box.LocalAppData() + L"Tallowby\\")) << "the data folder is created";
  outlook.Quit();
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, L"Software\\Corvane")) << "Quit creates no key";
}

TEST(Connect, GetNamespaceFailureShowsOneBoxAndStopsStartUp) {
  Sandbox box;
  ASSERT_NE(LoadAddInModule(), nullptr);
  WriteFileBytes(box.Temp() + kDebugLogName, "previous run");
  Outlook outlook;
  outlook.app->failGetNamespace = E_FAIL;
  MessageBoxRecorder boxes;
  auto conn = NewConnection();
  HWND hidden = Impl(conn)->HiddenWindowHandle();
  EXPECT_EQ(conn->OnConnection(outlook.Dispatch(), ext_cm_Startup, nullptr, nullptr), E_FAIL);
  Pump(200);

  auto shown = boxes.Boxes();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].caption, L"Error");
  EXPECT_EQ(shown[0].text, L"error on GetNamespace:-2147467259");
  EXPECT_EQ(g_pSyncEngine, nullptr);
  EXPECT_FALSE(KillTimer(hidden, kStartTimerId)) << "no start timer";
  EXPECT_EQ(ReadFileBytes(box.Temp() + kDebugLogName), "previous run") << "no rotation";
  EXPECT_EQ(outlook.app->Events()->SinkCount(), 0u);
  EXPECT_EQ(RefCount(conn.Get()), 1u);

  // Outlook releases the failed add-in: nothing of it stays behind.
  conn.Reset();
  EXPECT_FALSE(IsWindow(hidden));
  EXPECT_FALSE(GlobalLocksLive());
}

TEST(Connect, FailedNameSpaceAdviseKeepsTheObjectAliveUntilQuit) {
  Sandbox box;
  ASSERT_NE(LoadAddInModule(), nullptr);
  CreateConfig();
  Outlook outlook;
  outlook.app->NameSpaceEvents()->FailAdvise(kRefused);
  MessageBoxRecorder boxes;
  const LONG objectsBefore = com::ModuleLock::Count();
  auto conn = NewConnection();
  HWND hidden = Impl(conn)->HiddenWindowHandle();
  EXPECT_EQ(conn->OnConnection(outlook.Dispatch(), ext_cm_Startup, nullptr, nullptr), kRefused);
  Pump(200);
  auto shown = boxes.Boxes();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].caption, L"Error");
  EXPECT_EQ(shown[0].text, L"error on DispEventAdvise NamespaceEvents:" + std::to_wstring(int(kRefused)));
  EXPECT_EQ(g_pSyncEngine, nullptr);
  EXPECT_EQ(outlook.app->Events()->SinkCount(), 1u) << "the application sink stays, so Quit arrives";

  // Outlook lets go of the add-in; the advised sink keeps it alive.
  EXPECT_EQ(RefCount(conn.Get()), 3u);
  conn.Reset();
  EXPECT_EQ(com::ModuleLock::Count(), objectsBefore + 1);
  EXPECT_TRUE(IsWindow(hidden));

  outlook.Quit();  // harmless: no engine, no registry write; then the object goes
  EXPECT_EQ(outlook.app->Events()->SinkCount(), 0u);
  EXPECT_EQ(com::ModuleLock::Count(), objectsBefore);
  EXPECT_FALSE(IsWindow(hidden));
  EXPECT_FALSE(GlobalLocksLive());
  reg::Key config;
  ASSERT_EQ(config.Open(HKEY_CURRENT_USER, reg::kConfigPath, KEY_READ), ERROR_SUCCESS);
  EXPECT_FALSE(config.ReadDate(L"LastSyncTime"));
  outlook.Quit();  // a second Quit finds no sink
}

TEST(Connect, DisconnectionWithoutQuitLeavesNothingBehind) {
  Sandbox box;
  ASSERT_NE(LoadAddInModule(), nullptr);
  Outlook outlook;
  auto conn = NewConnection();
  ASSERT_EQ(conn->OnConnection(outlook.Dispatch(), ext_cm_AfterStartup, nullptr, nullptr), S_OK);
  HWND hidden = Impl(conn)->HiddenWindowHandle();
  EXPECT_EQ(conn->OnDisconnection(ext_dm_UserClosed, nullptr), S_OK);
  EXPECT_EQ(g_pSyncEngine, nullptr);
  EXPECT_FALSE(IsWindow(hidden));
  EXPECT_EQ(outlook.app->Events()->SinkCount(), 0u);
  EXPECT_EQ(outlook.app->NameSpaceEvents()->SinkCount(), 0u);
  EXPECT_FALSE(GlobalLocksLive());
  EXPECT_EQ(RefCount(conn.Get()), 1u);
  EXPECT_EQ(conn->OnDisconnection(ext_dm_UserClosed, nullptr), S_OK) << "a second call is harmless";
  outlook.Quit();  // reaches nobody
  Pump(50);
}

// The user turns the add-in off while a thread of the engine still runs;
// the disconnection waits for it, pumping messages, and what Outlook sends
// meanwhile (a Quit, a new connection) is handled inside that wait.
class DuringDisconnection {
 public:
  explicit DuringDisconnection(std::function<void()> act) : act_(std::move(act)) { current_ = this; }
  ~DuringDisconnection() { current_ = nullptr; }
  // Gives the engine a thread that ends on its own a little later, and acts
  // once the disconnection waits for it.
  void Arm(CSyncEngine* engine) {
    engine->AdoptThread(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &SlowThread, nullptr, 0, nullptr)));
    SetTimer(nullptr, 0, 100, &Act);
  }
  int acted = 0;

 private:
  static unsigned __stdcall SlowThread(void*) {
    Sleep(800);
    return 0;
  }
  static void CALLBACK Act(HWND, UINT, UINT_PTR id, DWORD) {
    KillTimer(nullptr, id);
    ++current_->acted;
    current_->act_();
  }
  static inline DuringDisconnection* current_ = nullptr;
  std::function<void()> act_;
};

TEST(Connect, AQuitDuringADisconnectionsWaitLeavesTheShutdownToIt) {
  Sandbox box;
  ASSERT_NE(LoadAddInModule(), nullptr);
  CreateConfig(1);
  Outlook outlook;
  auto conn = NewConnection();
  ASSERT_EQ(conn->OnConnection(outlook.Dispatch(), ext_cm_AfterStartup, nullptr, nullptr), S_OK);
  CSyncEngine* engine = g_pSyncEngine;
  ASSERT_NE(engine, nullptr);
  bool engineAfterQuit = false, locksAfterQuit = false;
  DuringDisconnection during([&] {
    outlook.Quit();
    engineAfterQuit = g_pSyncEngine == engine;
    locksAfterQuit = GlobalLocksLive();
  });
  during.Arm(engine);
  EXPECT_EQ(conn->OnDisconnection(ext_dm_UserClosed, nullptr), S_OK);
  ASSERT_EQ(during.acted, 1);
  EXPECT_TRUE(engineAfterQuit) << "the engine is the running shutdown's to delete";
  EXPECT_TRUE(locksAfterQuit);
  EXPECT_EQ(g_pSyncEngine, nullptr);
  EXPECT_FALSE(GlobalLocksLive());
  EXPECT_EQ(outlook.app->Events()->SinkCount(), 0u);
  const std::string log = ReadFileBytes(box.Temp() + kDebugLogName);
  ASSERT_NE(log.find("Shutdown initiated"), std::string::npos);
  EXPECT_EQ(log.find("Shutdown initiated"), log.rfind("Shutdown initiated")) << "begun once";
  EXPECT_EQ(RefCount(conn.Get()), 1u);
}

// The add-in turned off and on again at once: the new connection comes
// while the old one still waits for its engine's threads. The old one
// takes down only what was its own.
TEST(Connect, AConnectionMadeDuringADisconnectionsWaitKeepsItsEngineAndLocks) {
  Sandbox box;
  ASSERT_NE(LoadAddInModule(), nullptr);
  Outlook outlook;
  auto first = NewConnection();
  com::ComPtr<_IDTExtensibility2> second;
  ASSERT_EQ(first->OnConnection(outlook.Dispatch(), ext_cm_AfterStartup, nullptr, nullptr), S_OK);
  HRESULT connected = E_PENDING;
  DuringDisconnection during([&] {
    second = NewConnection();
    connected = second->OnConnection(outlook.Dispatch(), ext_cm_AfterStartup, nullptr, nullptr);
  });
  during.Arm(g_pSyncEngine);
  EXPECT_EQ(first->OnDisconnection(ext_dm_UserClosed, nullptr), S_OK);
  ASSERT_EQ(during.acted, 1);
  EXPECT_EQ(connected, S_OK);
  ASSERT_NE(g_pSyncEngine, nullptr) << "the new connection's engine";
  EXPECT_EQ(g_pSyncEngine->HiddenWindow, Impl(second)->HiddenWindowHandle());
  EXPECT_TRUE(GlobalLocksLive()) << "the new connection's engine uses them";
  EXPECT_FALSE(g_bShutdown) << "the old engine's shutdown signal must not end the new one's threads";
  EXPECT_TRUE(KillTimer(Impl(second)->HiddenWindowHandle(), kStartTimerId)) << "its start timer runs";
  outlook.Quit();
  EXPECT_EQ(g_pSyncEngine, nullptr);
  EXPECT_FALSE(GlobalLocksLive());
  Pump(50);
}

TEST(Connect, SecondAdviseOnTheSameObjectFails) {
  Sandbox box;
  ASSERT_NE(LoadAddInModule(), nullptr);
  Outlook outlook;
  MessageBoxRecorder boxes;
  auto conn = NewConnection();
  ASSERT_EQ(conn->OnConnection(outlook.Dispatch(), ext_cm_Startup, nullptr, nullptr), S_OK);
  EXPECT_TRUE(g_bStartPending) << "a new engine waits for its start";
  g_bStartPending = false;  // as after the start timer's first start
  EXPECT_EQ(conn->OnConnection(outlook.Dispatch(), ext_cm_Startup, nullptr, nullptr), E_FAIL);
  EXPECT_FALSE(g_bStartPending) << "the running engine is not started a second time";
  Pump(200);
  auto shown = boxes.Boxes();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].text, L"error on DispEventAdvise AppEvents:-2147467259");
  EXPECT_NE(g_pSyncEngine, nullptr) << "the running engine is kept";
  outlook.Quit();
  EXPECT_EQ(g_pSyncEngine, nullptr);
}

TEST(Connect, TrayShownOnlyForDwordOne) {
  Sandbox box;
  ASSERT_NE(LoadAddInModule(), nullptr);
  reg::Key config;
  ASSERT_EQ(config.Create(HKEY_CURRENT_USER, reg::kConfigPath), ERROR_SUCCESS);
  config.WriteString(L"trayicon", L"1");
  EXPECT_FALSE(Impl(NewConnection())->Tray().IsVisible()) << "REG_SZ \"1\"";
  config.WriteDword(L"trayicon", 2);
  EXPECT_FALSE(Impl(NewConnection())->Tray().IsVisible());
  config.WriteDword(L"trayicon", 1);
  auto conn = NewConnection();
  EXPECT_TRUE(Impl(conn)->Tray().IsVisible());
  EXPECT_EQ(Impl(conn)->Tray().Tooltip(), L"Tallowby");
  EXPECT_EQ(Impl(conn)->Tray().IconId(), 289);
  Outlook outlook;
  ASSERT_EQ(conn->OnConnection(outlook.Dispatch(), ext_cm_Startup, nullptr, nullptr), S_OK);
  outlook.Quit();
  EXPECT_FALSE(Impl(conn)->Tray().IsVisible());
}

TEST(Connect, DebugSwitchAndOutlookVersionMode) {
  Sandbox box;
  ASSERT_NE(LoadAddInModule(), nullptr);
  CreateConfig(1);
  Outlook outlook;
  outlook.app->version = L"10.0.6626";
  auto conn = NewConnection();
  // Called the way a late-bound host calls it: through IDispatch, arguments reversed.
  com::ComPtr<IDispatch> disp;
  ASSERT_EQ(conn->QueryInterface(IID_IDispatch, disp.PutVoid()), S_OK);
  DISPID id = 0;
  ASSERT_EQ(com::GetDispId(disp.Get(), L"OnConnection", &id), S_OK);
  EXPECT_EQ(id, 1);
  ASSERT_EQ(com::InvokeById(disp.Get(), id, DISPATCH_METHOD,
                            {com::Variant(outlook.Dispatch()), com::Variant(1L), com::Variant(),
                             com::Variant()},
                            nullptr),
            S_OK);
  ASSERT_NE(g_pSyncEngine, nullptr);
  EXPECT_FALSE(g_pSyncEngine->UseSessionThread);
  EXPECT_EQ(g_pSyncEngine->OpenFlags.lVal, 16);
  std::string log = ReadFileBytes(box.Temp() + kDebugLogName);
  EXPECT_NE(log.find("-> Using OL2000-OL2002 mode flags\r\n"), std::string::npos) << log;
  g_pSyncEngine->UserLogOn = 1;
  outlook.Quit();
  log = ReadFileBytes(box.Temp() + kDebugLogName);
  EXPECT_NE(log.find("-> Shutdown initiated\r\n"), std::string::npos);
  EXPECT_NE(log.find(" | Tallowby shutdown\r\n"), std::string::npos) << "user log";
  EXPECT_NE(log.find("-> Tallowby shutdown\r\n"), std::string::npos) << "debug log";
  EXPECT_EQ(com::InvokeById(disp.Get(), 2, DISPATCH_METHOD, {com::Variant(0L), com::Variant()}, nullptr), S_OK);
}

}  // namespace
