// Stopping folder workers from Outlook's thread: the wrapper folder a worker
// opened goes with the worker's apartment; a Reload asked for while a Reload
// waits for the workers (its wait pumps messages) leaves the folder objects
// of the running one alone; Quit while a worker runs or while Reload waits
// frees nothing that is still in use.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "connect.h"
#include "engine_fixture.h"
#include "folder_object.h"
#include "locks.h"
#include "settings.h"

using namespace engine_testing;

namespace {

class FolderStop : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    ASSERT_NE(MakeEngine(L"16.0.0.6000"), nullptr);
    OpenContacts();
  }
  void TearDown() override {
    contacts.Reset();
    session.Reset();
    EngineTest::TearDown();
  }
  void OpenContacts() {
    ASSERT_EQ(S_OK, CreateRdoObject(kRdoSessionProgId, __uuidof(IRdoSession), session.PutVoid()));
    com::Variant none;
    ASSERT_EQ(S_OK, session->Logon(none, none, none, none, none, none));
    ASSERT_EQ(S_OK, session->GetDefaultFolder(10, contacts.Put()));
  }
  // A master object on the default Contacts, in the published engine's
  // list, with its worker started.
  CMAPIFolderObject* StartedFolder() {
    auto* folder = new CMAPIFolderObject(nullptr, 0, false, false, false);
    contacts->get_EntryID(folder->Events->EntryID.Put());
    contacts->get_StoreID(folder->Events->StoreID.Put());
    SetFolderCategory(folder->Categorie, L"Work");
    g_pSyncEngine->AddFolderObject(folder);
    folder->StartThread();
    return folder;
  }

  com::ComPtr<IRdoSession> session;
  com::ComPtr<IRdoFolder> contacts;
};

// The add-in connected to the fake Outlook, so that Quit comes as Outlook
// sends it; the engine is the connection's own.
class QuitWhileWorking : public FolderStop {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    ASSERT_EQ(S_OK, com::ComObject<CConnect>::CreateInstance(__uuidof(_IDTExtensibility2), connection_.PutVoid()));
    ASSERT_EQ(S_OK, connection_->OnConnection(static_cast<IDispatch*>(app_), ext_cm_Startup, nullptr, nullptr));
    ASSERT_NE(g_pSyncEngine, nullptr);
    OpenContacts();
  }
  void TearDown() override {
    contacts.Reset();
    session.Reset();
    if (g_pSyncEngine) Quit();
    connection_.Reset();
    EngineTest::TearDown();
  }
  void Quit() { app_->Events()->Fire(kDispidQuit, {}); }

  com::ComPtr<_IDTExtensibility2> connection_;
};

TEST_F(FolderStop, TheWorkersWrapperFolderGoesWithTheWorker) {
  CMAPIFolderObject* folder = StartedFolder();
  ASSERT_TRUE(WaitFor([&] { return DebugLogText().find("PST Thread is running") != std::string::npos; }));
  folder->RdoFolder = contacts;  // as the worker's own open would leave it
  folder->FolderPrepared = true;
  StopAllFolderWorkers();
  EXPECT_FALSE(folder->WorkerAlive());
  EXPECT_FALSE(folder->RdoFolder) << "released by the worker, not later on this thread";
  EXPECT_FALSE(folder->FolderPrepared);
  EXPECT_EQ(folder, engine_->TakeFirstFolderObject());
  delete folder;
}

// Holds g_csDeleteList on a thread of its own, so that a starting worker
// stays in its delete-list fill, until released or `realMs` have passed.
class DeleteListHeld {
 public:
  explicit DeleteListHeld(DWORD realMs) : release_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    HANDLE held = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    thread_ = std::thread([this, held, realMs] {
      EnterCriticalSection(&g_csDeleteList);
      SetEvent(held);
      WaitForSingleObject(release_, realMs);
      LeaveCriticalSection(&g_csDeleteList);
    });
    WaitForSingleObject(held, INFINITE);
    CloseHandle(held);
  }
  ~DeleteListHeld() {
    Release();
    thread_.join();
    CloseHandle(release_);
  }
  void Release() { SetEvent(release_); }

 private:
  HANDLE release_;
  std::thread thread_;
};

struct Nested {
  CSyncEngine* engine = nullptr;
  DeleteListHeld* held = nullptr;
  bool ran = false;
  bool result = false;
  size_t objectsAfter = 0;
};
Nested g_nested;

void CALLBACK ReloadAgain(HWND, UINT, UINT_PTR id, DWORD) {
  KillTimer(nullptr, id);
  g_nested.ran = true;
  g_nested.result = Reload(g_nested.engine);
  g_nested.objectsAfter = LiveFolderObjectCount();
  g_nested.held->Release();
}

TEST_F(FolderStop, AReloadAskedForWhileOneWaitsLeavesItsObjectsAlone) {
  DeleteListHeld held(3000);
  StartedFolder();
  ASSERT_EQ(1u, LiveFolderObjectCount());
  g_nested = Nested{engine_, &held};
  ASSERT_NE(0u, SetTimer(nullptr, 0, 10, ReloadAgain));  // handled by the outer Reload's pumped wait
  EXPECT_TRUE(Reload(engine_));
  ASSERT_TRUE(g_nested.ran);
  EXPECT_TRUE(g_nested.result);
  EXPECT_EQ(1u, g_nested.objectsAfter) << "the nested Reload deleted what the running one was stopping";
  EXPECT_EQ(0u, LiveFolderObjectCount()) << "no job in the registry: the running Reload loads none";
  EXPECT_EQ(1u, CountOf(DebugLogText(), "Reload already running"));
  EXPECT_EQ(1u, CountOf(DebugLogText(), "EXIT Reload"));
}

// A worker that has not ended may still reach the engine through
// g_pSyncEngine: Quit unpublishes the engine only after its workers ended.
TEST_F(QuitWhileWorking, TheEngineStaysPublishedUntilItsWorkersHaveEnded) {
  DeleteListHeld held(300);
  HANDLE worker = StartedFolder()->DuplicateWorkerHandle();
  ASSERT_NE(worker, nullptr);
  std::atomic<bool> goneWhileWorking{false};
  std::thread watch([&] {
    // The engine is read first and the worker after it: read the other way
    // round, a worker that ends between the two reads looks unfinished.
    while (WaitForSingleObject(worker, 1) == WAIT_TIMEOUT)
      if (!g_pSyncEngine && WaitForSingleObject(worker, 0) == WAIT_TIMEOUT) goneWhileWorking = true;
  });
  Quit();
  watch.join();
  CloseHandle(worker);
  EXPECT_FALSE(goneWhileWorking);
  EXPECT_EQ(g_pSyncEngine, nullptr);
  EXPECT_EQ(0u, LiveFolderObjectCount());
}

struct QuitLater {
  com::ConnectionPoint* outlookEvents = nullptr;
  DeleteListHeld* held = nullptr;
  bool fired = false;
  CSyncEngine* engineAfterQuit = nullptr;
};
QuitLater g_quitLater;

void CALLBACK QuitFromTheWait(HWND, UINT, UINT_PTR id, DWORD) {
  KillTimer(nullptr, id);
  g_quitLater.fired = true;
  g_quitLater.outlookEvents->Fire(kDispidQuit, {});
  g_quitLater.engineAfterQuit = g_pSyncEngine;
  g_quitLater.held->Release();
}

// Outlook quits (the session ends, say) while a folder page's Apply waits in
// Reload for a worker: the engine, its folder objects and the locks stay
// until Reload has returned, then the shutdown finishes; no settings are
// loaded into the engine that is going.
TEST_F(QuitWhileWorking, QuitWhileReloadWaitsFinishesOnceReloadHasReturned) {
  DeleteListHeld held(3000);
  StartedFolder();
  g_quitLater = QuitLater{app_->Events(), &held};
  ASSERT_NE(0u, SetTimer(nullptr, 0, 10, QuitFromTheWait));  // handled by Reload's pumped wait
  CSyncEngine* engine = g_pSyncEngine;
  EXPECT_TRUE(Reload(engine));
  ASSERT_TRUE(g_quitLater.fired);
  EXPECT_EQ(g_quitLater.engineAfterQuit, engine) << "Reload still uses the engine after the Quit handler";
  EXPECT_EQ(g_pSyncEngine, nullptr) << "the shutdown finished after Reload";
  EXPECT_EQ(0u, LiveFolderObjectCount());
  EXPECT_EQ(0u, app_->Events()->SinkCount());
  EXPECT_TRUE(GlobalLocksLive()) << "the test's own locks";
  const std::string log = DebugLogText();
  EXPECT_EQ(0u, CountOf(log, "ENTER GetSettings"));
  EXPECT_EQ(1u, CountOf(log, "Shutdown initiated"));
}

}  // namespace
