// The folder time in the registry and the folder lock of shared folders.
#include <gtest/gtest.h>

#include "blocks_fixture.h"
#include "clock.h"
#include "folder_time.h"
#include "registry.h"

namespace {

using blocks_testing::BlocksTest;
using blocks_testing::CountOf;

constexpr double kDate1900 = 2.0;
constexpr double kSecond = 1.0 / 86400.0;

class FolderTimeTest : public BlocksTest {
 protected:
  void SetUp() override {
    BlocksTest::SetUp();
    store_ = AddStore(L"Personal Folders", 1);
    folder_ = AddFolder(store_, L"Family");
  }
  std::wstring MasterKey() { return std::wstring(reg::kFoldersPath) + L"\\" + EntryIdOf(folder_); }
  std::wstring DefaultKey() { return std::wstring(reg::kDefaultFoldersPath) + L"\\" + EntryIdOf(folder_); }
  reg::Key CreateKey(const std::wstring& path) {
    reg::Key key;
    EXPECT_EQ(ERROR_SUCCESS, key.Create(HKEY_CURRENT_USER, path.c_str()));
    return key;
  }
  // A fresh master object that reads its folder time, as at a worker start.
  CMAPIFolderObject* StartMaster() {
    CMAPIFolderObject* f = AddFolderObject(folder_, 0, L"Family", false, false);
    FolderTime(f);
    return f;
  }

  sim::ObjId store_ = 0, folder_ = 0;
};

TEST_F(FolderTimeTest, MissingWrongOrFutureTimesAskForAResetAndAGoodOneIsLoaded) {
  // No key at all.
  CMAPIFolderObject* f = StartMaster();
  EXPECT_TRUE(f->Events->ResetRequest);
  EXPECT_EQ(kDate1900, f->LastFolderSyncTime.Date());
  EXPECT_EQ(1u, CountOf(DebugLogText(), "FolderTime::no key::reset2: 01011900-000000"));
  EXPECT_FALSE(testing_support::KeyExists(HKEY_CURRENT_USER, MasterKey().c_str())) << "a master's key is never made";

  // A key without the value, then the value as REG_DWORD.
  reg::Key key = CreateKey(MasterKey());
  f = StartMaster();
  EXPECT_TRUE(f->Events->ResetRequest);
  key.WriteDword(reg::kLastFolderSyncTime, 12345);
  f = StartMaster();
  EXPECT_TRUE(f->Events->ResetRequest);
  EXPECT_EQ(kDate1900, f->LastFolderSyncTime.Date());
  EXPECT_EQ(2u, CountOf(DebugLogText(), "FolderTime::no value::reset2: 01011900-000000"));

  // Two days ahead: no walk can have stored that; it would hide every change.
  const double now = clk::NowLocalDate();
  key.WriteDate(reg::kLastFolderSyncTime, now + 2.0);
  f = StartMaster();
  EXPECT_TRUE(f->Events->ResetRequest);
  EXPECT_EQ(kDate1900, f->LastFolderSyncTime.Date());

  // A stored time (also one a few hours ahead, a clock a little off) is used.
  for (double stored : {now - 3.5, now + 0.2}) {
    key.WriteDate(reg::kLastFolderSyncTime, stored);
    f = StartMaster();
    EXPECT_FALSE(f->Events->ResetRequest);
    EXPECT_EQ(stored, f->LastFolderSyncTime.Date());
  }
  EXPECT_EQ(2u, CountOf(DebugLogText(), "FolderTime::last:"));
}

TEST_F(FolderTimeTest, DefaultFolderKeyIsMadeAndTheTimeSurvivesARestart) {
  CMAPIFolderObject* standard = AddFolderObject(folder_, 1, L"", false, false);
  FolderTime(standard);
  EXPECT_TRUE(testing_support::KeyExists(HKEY_CURRENT_USER, DefaultKey().c_str()));
  EXPECT_TRUE(standard->Events->ResetRequest);
  EXPECT_EQ(1u, CountOf(DebugLogText(), "FolderTime::no value::reset2:"));

  // The destructor stores the time once the settings were loaded.
  const double walked = clk::NowLocalDate() - 0.25;
  standard->LastFolderSyncTime = com::DateTime(walked);
  engine_->SetSettingsLoaded(true);
  loose_.clear();
  delete standard;

  CMAPIFolderObject* again = AddFolderObject(folder_, 1, L"", false, false);
  FolderTime(again);
  EXPECT_FALSE(again->Events->ResetRequest);
  EXPECT_EQ(walked, again->LastFolderSyncTime.Date());
}

TEST_F(FolderTimeTest, SavingNeverBringsBackARemovedJobsKey) {
  CMAPIFolderObject* master = AddFolderObject(folder_, 0, L"Family", false, false);
  master->LastFolderSyncTime = com::DateTime(clk::NowLocalDate());
  saveMasterfoldertime(master);
  EXPECT_FALSE(testing_support::KeyExists(HKEY_CURRENT_USER, MasterKey().c_str()));
  EXPECT_NE(std::string::npos, ErrorLogText().find("saveMasterfoldertime"));

  reg::Key key = CreateKey(MasterKey());
  saveMasterfoldertime(master);
  EXPECT_EQ(master->LastFolderSyncTime.Date(), key.ReadDate(reg::kLastFolderSyncTime).value_or(0));
}

// The default folder of Hotmail masters and of other masters has two objects:
// a time one of them stored must not make the other skip an item it has not
// written yet.
TEST_F(FolderTimeTest, TwoObjectsOfOneDefaultFolderKeepTheirOwnTimes) {
  const double now = clk::NowLocalDate();
  auto defaultObject = [&](bool hotmail) {
    CMAPIFolderObject* f = AddFolderObject(folder_, 1, L"", false, false);
    f->Events->HotMailMode = hotmail;
    return f;
  };
  CMAPIFolderObject* plain = defaultObject(false);
  CMAPIFolderObject* hotmail = defaultObject(true);
  plain->LastFolderSyncTime = com::DateTime(now - 600 * kSecond);  // a write of its own waits
  hotmail->LastFolderSyncTime = com::DateTime(now - 60 * kSecond);
  saveMasterfoldertime(plain);
  saveMasterfoldertime(hotmail);

  for (CMAPIFolderObject* saved : {plain, hotmail}) {
    CMAPIFolderObject* next = defaultObject(saved->Events->HotMailMode);
    FolderTime(next);
    EXPECT_FALSE(next->Events->ResetRequest);
    EXPECT_EQ(saved->LastFolderSyncTime.Date(), next->LastFolderSyncTime.Date()) << saved->Events->HotMailMode;
  }
}

TEST(CommitTimeRule, LockedOnlyWithinTheLockIntervalAndNeverFromTheFarFuture) {
  const double now = 45000.5;
  EXPECT_TRUE(IsCommitTimeLocked(now - 30 * kSecond, now, 60));
  EXPECT_FALSE(IsCommitTimeLocked(now - 90 * kSecond, now, 60));
  EXPECT_TRUE(IsCommitTimeLocked(now + 30 * kSecond, now, 60)) << "a clock a little ahead still counts";
  EXPECT_FALSE(IsCommitTimeLocked(now + 120 * kSecond, now, 60));
  EXPECT_FALSE(IsCommitTimeLocked(now + 1.0, now, 60));
  EXPECT_TRUE(IsStoredFolderTimeUsable(now + 0.9, now));
  EXPECT_FALSE(IsStoredFolderTimeUsable(now + 1.1, now));
}

// Exchange stores stamp commits with the server clock, so the server offset
// places a folder's last commit where the test wants it. Stamps only ever
// grow, so the older commits are made first.
class FolderLockTest : public BlocksTest {
 protected:
  void SetUp() override {
    BlocksTest::SetUp();
    SetServerOffset(-90);  // the folders themselves are stamped when made
    store_ = AddStore(L"Mailbox", 3);
    quiet_ = AddFolder(store_, L"Archive");
    busy_ = AddFolder(store_, L"Team");
    oneWay_ = AddFolder(store_, L"Board");
    target_ = World().StoreDefaultFolder(store_, sim::kOlContacts);
    CommitSecondsAgo(quiet_, 90);
    CommitSecondsAgo(busy_, 30);
    CommitSecondsAgo(oneWay_, 5);
  }
  void SetServerOffset(double seconds) {
    sim::ProfileSettings s = World().Settings();
    s.serverClockOffsetSeconds = seconds;
    World().SetSettings(s);
  }
  void CommitSecondsAgo(sim::ObjId folder, double seconds) {
    SetServerOffset(-seconds);
    AddItem(folder, L"written by someone else");
    SetServerOffset(0);
  }
  CMAPIFolderObject* TwoWayMaster(sim::ObjId folder, const wchar_t* category) {
    CMAPIFolderObject* f = AddFolderObject(folder, 0, category, true);
    f->Events->BOTH_DIRECTIONS = true;
    return f;
  }

  sim::ObjId store_ = 0, quiet_ = 0, busy_ = 0, oneWay_ = 0, target_ = 0;
};

TEST_F(FolderLockTest, ACommitWithinLockTimeLocksTheMasterAndItsDefaultFolder) {
  CMAPIFolderObject* quiet = TwoWayMaster(quiet_, L"Archive");
  CMAPIFolderObject* busy = TwoWayMaster(busy_, L"Team");
  CMAPIFolderObject* oneWay = AddFolderObject(oneWay_, 0, L"Board", true);
  CMAPIFolderObject* standard = AddFolderObject(target_, 1, L"", true);

  EXPECT_TRUE(IsFolderUnlocked(quiet, session_.Get(), utils_.Get())) << "90 s ago with LockTime 60";
  EXPECT_FALSE(IsFolderUnlocked(busy, session_.Get(), utils_.Get())) << "30 s ago with LockTime 60";
  EXPECT_TRUE(IsFolderUnlocked(oneWay, session_.Get(), utils_.Get())) << "a one-way pair is never locked";
  EXPECT_FALSE(IsFolderUnlocked(standard, session_.Get(), utils_.Get()));
  EXPECT_EQ(2u, CountOf(DebugLogText(), "LockFldr:FolderIsLockedByOtherUser"));
  EXPECT_EQ(2u, CountOf(DebugLogText(), " <=?=> "));

  // A default folder waits only for running two-way masters.
  busy->RunFlag = false;
  EXPECT_TRUE(AreMasterFoldersUnlocked(standard, session_.Get(), utils_.Get()));
  busy->RunFlag = true;
  busy->Events->BOTH_DIRECTIONS = false;
  EXPECT_TRUE(IsFolderUnlocked(standard, session_.Get(), utils_.Get()));
  EXPECT_NE(std::string::npos, DebugLogText().find("LockFldr:We Have Locked Folder"));
}

TEST_F(FolderLockTest, FailuresAndCommitsFromTheFutureNeverLock) {
  CMAPIFolderObject* busy = TwoWayMaster(busy_, L"Team");
  com::ComPtr<IRdoFolder> folder = OpenFolder(busy_);
  ASSERT_FALSE(LockFldr(busy, session_.Get(), utils_.Get(), folder.Get()));

  World().InjectFailure(L"Utils.GetPropByTag", 1, MAPI_E_NOT_FOUND);
  EXPECT_TRUE(LockFldr(busy, session_.Get(), utils_.Get(), folder.Get()));
  EXPECT_NE(std::string::npos, ErrorLogText().find("LOCKFAILEDMAXCOMMITTIME"));

  // A wrong offset of the store's clock puts the commit an hour ahead: not
  // another user.
  busy->Clock().Learn(-1.0 / 24);
  EXPECT_TRUE(LockFldr(busy, session_.Get(), utils_.Get(), folder.Get()));
  EXPECT_NE(std::string::npos, DebugLogText().find("LockFldr:CommitTimeInTheFuture"));

  // The measured offset is taken off: with the server 60 s ahead, a commit
  // stamped 30 s ago by the server's clock happened 90 s ago.
  busy->Clock().Learn(60.0 * kSecond);
  EXPECT_TRUE(LockFldr(busy, session_.Get(), utils_.Get(), folder.Get()));
  busy->Clock().Learn(0);

  // A folder nobody has written to.
  com::ComPtr<IRdoFolder> empty = OpenFolder(target_);
  EXPECT_TRUE(LockFldr(busy, session_.Get(), utils_.Get(), empty.Get()));
}

}  // namespace
