// The folder-sync lock's turn order: one folder at a time, the longest
// waiter of its kind first, and default folders never held back by waiting
// masters. The waits run through the workers' own WaitForFolderSync; the
// test only holds the lock, starts the waiters in a known order and reads
// the order in which they got it. Nothing here depends on how long a step
// takes: a broken order either shows as a wrong sequence or never ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "clock.h"
#include "engine_fixture.h"
#include "folder_object.h"
#include "folder_threads.h"
#include "locks.h"

using namespace engine_testing;

namespace {

class FolderTurns : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    ASSERT_NE(MakeEngine(L"16.0.0.6000"), nullptr);
  }
  void TearDown() override {
    for (std::thread& t : waiters_)
      if (t.joinable()) t.join();
    EngineTest::TearDown();
  }

  // A folder object in the engine's list, without a worker: the test makes
  // its waits itself.
  CMAPIFolderObject* Folder(const wchar_t* category, bool isDefault) {
    auto* folder = new CMAPIFolderObject(nullptr, isDefault ? 1 : 0, false, false, false);
    SetFolderCategory(folder->Categorie, category);
    engine_->AddFolderObject(folder);
    return folder;
  }

  // Waits for the lock on a thread of its own, as a worker's pass does
  // (polling every `pauseMs`), and writes down the folder's category while
  // it holds the lock. Returns once the wait has begun, and once the clock
  // has moved on, so that the next waiter starts strictly later.
  void StartWaiting(CMAPIFolderObject* folder, DWORD pauseMs) {
    waiters_.emplace_back([this, folder, pauseMs] {
      if (!WaitForFolderSync(folder, pauseMs, false)) {
        Note(std::wstring(L"gave up:") + folder->Categorie);
        return;
      }
      Note(folder->Categorie);
      LeaveCriticalSection(&g_csFolderSync);
    });
    while (folder->WaitStartTick == 0) Sleep(1);
    const DWORD started = folder->WaitStartTick;
    while (DWORD(clk::TickMs()) <= started) Sleep(1);
  }

  void Note(const std::wstring& what) {
    std::lock_guard<std::mutex> lock(orderLock_);
    order_.push_back(what);
  }
  std::vector<std::wstring> Order() {
    std::lock_guard<std::mutex> lock(orderLock_);
    return order_;
  }
  void UntilNoted(size_t count) {
    while (Order().size() < count) Sleep(1);
  }
  void JoinWaiters() {
    for (std::thread& t : waiters_) t.join();
    waiters_.clear();
  }

  std::vector<std::thread> waiters_;
  std::mutex orderLock_;
  std::vector<std::wstring> order_;
};

TEST_F(FolderTurns, IsMyTurnComparesOnlyWaitersOfTheSameKind) {
  CMAPIFolderObject* first = Folder(L"First", false);
  CMAPIFolderObject* second = Folder(L"Second", false);
  CMAPIFolderObject* calendar = Folder(L"S:Calendar", true);
  CMAPIFolderObject* contacts = Folder(L"S:Contacts", true);
  EXPECT_TRUE(first->IsMyTurn()) << "nobody waits";

  first->WaitStartTick = 100;
  second->WaitStartTick = 200;
  calendar->WaitStartTick = 300;
  EXPECT_TRUE(first->IsMyTurn());
  EXPECT_FALSE(second->IsMyTurn()) << "a master that waited longer goes first";
  EXPECT_TRUE(calendar->IsMyTurn()) << "masters are not compared with default folders";

  contacts->WaitStartTick = 250;
  EXPECT_FALSE(calendar->IsMyTurn()) << "a default folder that waited longer goes first";
  EXPECT_TRUE(contacts->IsMyTurn());

  second->WaitStartTick = 100;
  EXPECT_TRUE(first->IsMyTurn()) << "waiters since the same tick do not hold each other back";
  EXPECT_TRUE(second->IsMyTurn());
  first->WaitStartTick = second->WaitStartTick = calendar->WaitStartTick = contacts->WaitStartTick = 0;
}

TEST_F(FolderTurns, TheLongestWaitingMasterGetsTheLockFirst) {
  CMAPIFolderObject* first = Folder(L"First", false);
  CMAPIFolderObject* second = Folder(L"Second", false);
  CMAPIFolderObject* third = Folder(L"Third", false);
  EnterCriticalSection(&g_csFolderSync);  // a pass is running
  // The longest waiter polls least often: only the turn order lets it in first.
  StartWaiting(first, 10000);
  StartWaiting(second, 1000);
  StartWaiting(third, 1);
  LeaveCriticalSection(&g_csFolderSync);
  JoinWaiters();
  EXPECT_EQ((std::vector<std::wstring>{L"First", L"Second", L"Third"}), Order());
  for (CMAPIFolderObject* f : {first, second, third}) EXPECT_EQ(0u, f->WaitStartTick.load()) << f->Categorie;
}

TEST_F(FolderTurns, ADefaultFolderIsNotHeldBackByWaitingMasters) {
  // A master that has waited longest and never takes the lock: it holds
  // back every later master, but not a default folder.
  CMAPIFolderObject* stuck = Folder(L"Stuck", false);
  CMAPIFolderObject* master = Folder(L"Master", false);
  CMAPIFolderObject* calendar = Folder(L"S:Calendar", true);
  EnterCriticalSection(&g_csFolderSync);
  stuck->WaitStartTick = std::max<DWORD>(DWORD(clk::TickMs()), 1);
  while (DWORD(clk::TickMs()) <= stuck->WaitStartTick) Sleep(1);
  StartWaiting(master, 1);
  StartWaiting(calendar, 1);
  LeaveCriticalSection(&g_csFolderSync);
  UntilNoted(1);
  EXPECT_EQ((std::vector<std::wstring>{L"S:Calendar"}), Order());

  // Once the earlier master is gone from the queue, the later one gets its turn.
  stuck->WaitStartTick = 0;
  UntilNoted(2);
  EXPECT_EQ((std::vector<std::wstring>{L"S:Calendar", L"Master"}), Order());
  JoinWaiters();
}

TEST_F(FolderTurns, AStoppedFolderGivesUpItsWaitWithoutTheLock) {
  CMAPIFolderObject* first = Folder(L"First", false);
  CMAPIFolderObject* second = Folder(L"Second", false);
  EnterCriticalSection(&g_csFolderSync);
  StartWaiting(first, 1);
  StartWaiting(second, 1);
  first->RunFlag = false;
  second->RunFlag = false;
  JoinWaiters();
  std::vector<std::wstring> order = Order();
  std::sort(order.begin(), order.end());
  EXPECT_EQ((std::vector<std::wstring>{L"gave up:First", L"gave up:Second"}), order);
  EXPECT_EQ(0u, first->WaitStartTick.load());
  EXPECT_EQ(0u, second->WaitStartTick.load());
  LeaveCriticalSection(&g_csFolderSync);
}

}  // namespace
