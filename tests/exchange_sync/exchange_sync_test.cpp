// The incremental runs, the own-write records and the restriction.
#include <gtest/gtest.h>

#include "connect.h"
#include "exchange_fixture.h"
#include "registry.h"

namespace {

using blocks_testing::CountOf;
using exchange_testing::ExchangeTest;

const std::wstring kWithCategories = L"\"urn:schemas:mailheader:keywords\"  is not null";

TEST(ExchangeRestriction, FollowsTheFolderKindAndTheFilterCategories) {
  EXPECT_EQ(46u, kWithCategories.size());
  EXPECT_EQ(kWithCategories, BuildRciRestriction(true, false, {}));
  EXPECT_EQ(std::nullopt, BuildRciRestriction(true, true, {})) << "a default category reaches every item";
  EXPECT_EQ(std::nullopt, BuildRciRestriction(false, false, {}));
  EXPECT_EQ(L"((" + kWithCategories +
                L") OR (\"urn:schemas:mailheader:keywords\" like '%Work%')) OR "
                L"(\"urn:schemas:mailheader:keywords\" like '%Home%')",
            BuildRciRestriction(false, false, {L"Work", L"Home"}));
  // A category's apostrophe must not end the literal (the synchronizer would
  // refuse every run), nor its wildcards match what the category does not.
  EXPECT_EQ(L"(" + kWithCategories + L") OR (\"urn:schemas:mailheader:keywords\" like '%Kid''s%')",
            BuildRciRestriction(false, false, {L"Kid's"}));
  EXPECT_EQ(L"(" + kWithCategories + L") OR (\"urn:schemas:mailheader:keywords\" like '%10[%] [_]Q[[]1]%')",
            BuildRciRestriction(false, false, {L"10% _Q[1]"}));
}

// A reload asks every folder to start afresh, and a run from nothing
// rewrites every item of a two-way pair: a pair whose job did not change
// goes on from its saved state instead.
TEST_F(ExchangeTest, AReloadStartsAfreshOnlyAPairThatChangedOrLostItsKeyMaps) {
  engine_->SetSettingsLoaded(true);
  AddItem(team_, L"Ada");
  Prepare(master_);
  Prepare(default_);
  Run(master_);
  Run(default_);
  struct Pair {
    CMAPIFolderObject* master;
    CMAPIFolderObject* target;
  };
  auto reload = [&](bool privateItemsStayOut) {
    Pair p{AddFolderObject(team_, 0, L"Team", true), AddFolderObject(contacts_, 1, L"", true)};
    p.master->Partner = p.target;
    p.master->Events->DONT_SYNC_PRIV_ITEMS = privateItemsStayOut;
    Prepare(p.master);
    Prepare(p.target);
    return p;
  };
  Pair same = reload(false);
  EXPECT_FALSE(HonourResetRequest(same.master));
  EXPECT_FALSE(HonourResetRequest(same.target));
  EXPECT_FALSE(same.master->SyncData.Empty());

  Pair changed = reload(true);
  EXPECT_TRUE(HonourResetRequest(changed.master));
  EXPECT_TRUE(HonourResetRequest(changed.target)) << "one of its jobs changed";
  EXPECT_TRUE(changed.master->SyncData.Empty());
  Run(changed.master);
  Run(changed.target);

  // The page's Reset takes the key maps with the job's state.
  DeleteFileW(StateFile(master_, kKeyMapSuffix).c_str());
  Pair reset = reload(true);
  EXPECT_TRUE(HonourResetRequest(reset.master));
  EXPECT_FALSE(HonourResetRequest(reset.target));
}

class ExchangeOwnWritesTest : public ExchangeTest {};

TEST_F(ExchangeOwnWritesTest, AnOwnWriteIsRecognisedByItsExactChangeKeyOnce) {
  const sim::ObjId item = AddItem(team_, L"Ada");
  const std::wstring source = SourceKeyOf(item);
  ASSERT_EQ(S_OK, ADDEXMODIF(master_, session_.Get(), utils_.Get(), SearchKeyOf(item)));
  ASSERT_EQ(1u, master_->CacheTable.size());
  const std::wstring written = ChangeKeyOf(item);
  EXPECT_EQ(written, master_->CacheTable.front().second);

  EXPECT_TRUE(IsFromLastRun(master_, source, written));
  EXPECT_TRUE(master_->CacheTable.empty()) << "seen once, forgotten";
  EXPECT_FALSE(IsFromLastRun(master_, source, written));

  // The user changed the item after the add-in's write: a foreign change.
  // When the run that meets it fails, the run that repeats it meets the same
  // change again, and it is still the user's.
  ASSERT_EQ(S_OK, ADDEXMODIF(master_, session_.Get(), utils_.Get(), SearchKeyOf(item)));
  Touch(item, L"Ada King");
  EXPECT_FALSE(IsFromLastRun(master_, source, ChangeKeyOf(item)));
  EXPECT_TRUE(master_->CacheTable.empty());
  EXPECT_FALSE(IsFromLastRun(master_, source, ChangeKeyOf(item)));

  // A change handled in the run not saved yet is skipped with its key only.
  master_->Cache2Table = {{L"S9", L"C1"}};
  EXPECT_TRUE(IsFromLastRun(master_, L"S9", L"C1"));
  EXPECT_FALSE(IsFromLastRun(master_, L"S9", L"C2"));
}

TEST_F(ExchangeOwnWritesTest, WritesThatCannotBeRegisteredYetWaitForLaterRuns) {
  const sim::ObjId a = AddItem(team_, L"A"), b = AddItem(team_, L"B"), c = AddItem(team_, L"C");
  Prepare(master_);
  // Cached or offline (201-399): kept for later, once each.
  World().SetConnectionModes({300});
  for (sim::ObjId item : {a, b, c, a})
    EXPECT_EQ(E_FAIL, RegisterExchangeWrite(master_, session_.Get(), utils_.Get(), Open(item).Get(), SearchKeyOf(item)));
  EXPECT_EQ(3u, master_->CachedItemsList.size());
  EXPECT_EQ(kStatusOffline, engine_->GetSyncStatus());

  // 200 and 400 count as connected here: the next run registers them all
  // (writes uploaded together do not come back as changes).
  World().SetConnectionModes({400});
  master_->Events->TakeChanged();
  Run(master_);
  EXPECT_TRUE(master_->CachedItemsList.empty());
  EXPECT_TRUE(master_->Events->TakeChanged()) << "the folder runs again soon";
  EXPECT_EQ(3u, master_->CacheTable.size());

  // A write kept by its sync id alone, or one whose item changed before its
  // upload, is not taken for the add-in's own: its change comes as any.
  World().SetConnectionModes({300});
  for (sim::ObjId item : {a, b})
    EXPECT_EQ(E_FAIL, item == a ? ADDEXMODIF(master_, session_.Get(), utils_.Get(), SearchKeyOf(item))
                                : RegisterExchangeWrite(master_, session_.Get(), utils_.Get(), Open(item).Get(),
                                                        SearchKeyOf(item)));
  const com::ComPtr<IRdoMessage> edited = Open(b);
  ASSERT_EQ(S_OK, edited->put_Subject(com::Bstr(L"B edited")));
  ASSERT_EQ(S_OK, edited->Save());
  master_->CacheTable.clear();
  World().SetConnectionModes({800});
  Run(master_);
  EXPECT_TRUE(master_->CachedItemsList.empty());
  EXPECT_TRUE(master_->CacheTable.empty());

  // An item the folder does not hold is not looked for again; a write into
  // a personal folder is recorded there.
  EXPECT_EQ(kAddExModifNotFound, ADDEXMODIF(master_, session_.Get(), utils_.Get(), L"0123456789ABCDEF"));
  const sim::ObjId local = AddItem(AddFolder(AddStore(L"Personal Folders", 1), L"Local"), L"local");
  CMAPIFolderObject* pst = AddFolderObject(World().GetItem(local)->folder, 1, L"");
  EXPECT_EQ(E_FAIL, ADDEXMODIF(pst, session_.Get(), utils_.Get(), SearchKeyOf(local)));
  EXPECT_EQ(1u, pst->Events->PSTChangeKeyList.count(SearchKeyOf(local)));
}

class ExchangeRunTest : public ExchangeTest {
 protected:
  void SetUp() override {
    ExchangeTest::SetUp();
    AddItem(team_, L"there before");
    Prepare(master_);
    startState_ = Stored(master_, kSyncDataSuffix);
  }
  std::string startState_;
};

TEST_F(ExchangeRunTest, ACompleteRunHandsOnEachChangeOnceAndSavesTheState) {
  EXPECT_FALSE(startState_.empty());
  const sim::ObjId added = AddItem(team_, L"new");
  Run(master_);
  EXPECT_EQ(1u, HandedOn());
  EXPECT_EQ(1u, CountOf(DebugLogText(), "RCI:isNew"));
  EXPECT_NE(startState_, Stored(master_, kSyncDataSuffix));
  EXPECT_EQ(startState_, Stored(master_, kSyncDataBackupSuffix));
  EXPECT_TRUE(master_->Cache2Table.empty());
  EXPECT_EQ(SearchKeyOf(added), [&] {
    std::wstring key;
    LookupFolderCache(master_, SourceKeyOf(added), &key, false);
    return key;
  }());
  EXPECT_FALSE(master_->RdoFolder) << "each run lets its folder go";

  // Nothing changed: nothing handed on, nothing saved.
  const std::string saved = Stored(master_, kSyncDataSuffix);
  const size_t saves = CountOf(DebugLogText(), "RCI::SAVIND STATUS2DISK");
  Run(master_);
  EXPECT_EQ(1u, HandedOn());
  EXPECT_EQ(saves, CountOf(DebugLogText(), "RCI::SAVIND STATUS2DISK"));
  EXPECT_EQ(saved, Stored(master_, kSyncDataSuffix));

  // A changed item comes again; the add-in's own write does not.
  Touch(added, L"changed");
  Run(master_);
  EXPECT_EQ(2u, HandedOn());
  ASSERT_EQ(S_OK, ADDEXMODIF(master_, session_.Get(), utils_.Get(), SearchKeyOf(added)));
  Touch(added, L"written by the add-in");
  ASSERT_EQ(S_OK, ADDEXMODIF(master_, session_.Get(), utils_.Get(), SearchKeyOf(added)));
  Run(master_);
  EXPECT_EQ(2u, HandedOn());
  EXPECT_EQ(1u, CountOf(DebugLogText(), "RCI:selfchanged exchangemessage"));
  EXPECT_EQ(kStatusIdle, engine_->GetSyncStatus());
}

TEST_F(ExchangeRunTest, AChangeThatCouldNotBeHandedOnComesAgainUntilItIsGivenUp) {
  AddItem(team_, L"new");
  World().InjectFailure(L"Change.EntryID", 1, E_FAIL);
  Run(master_);
  EXPECT_EQ(0u, HandedOn());
  EXPECT_EQ(startState_, Stored(master_, kSyncDataSuffix)) << "a failed run saves no state";
  EXPECT_TRUE(master_->Cache2Table.empty()) << "and does not record the failed change as handled";
  Run(master_);
  EXPECT_EQ(1u, HandedOn());
  EXPECT_NE(startState_, Stored(master_, kSyncDataSuffix));

  // A change that keeps failing holds the folder back for a few runs only.
  const std::string before = Stored(master_, kSyncDataSuffix);
  AddItem(team_, L"broken");
  AddItem(team_, L"fine");
  World().InjectFailure(L"Change.EntryID", 1, E_FAIL, kChangeRetryRuns);
  for (int run = 1; run < kChangeRetryRuns; ++run) {
    Run(master_);
    EXPECT_EQ(before, Stored(master_, kSyncDataSuffix));
  }
  Run(master_);
  EXPECT_NE(std::string::npos, ErrorLogText().find("RCI:change given up after repeated failures"));
  EXPECT_EQ(2u, HandedOn()) << "the later change goes on";
  EXPECT_NE(before, Stored(master_, kSyncDataSuffix));
}

// An entry that cannot be read is a failure of the run like any other: were
// it skipped, the saved state would lose its change for good.
TEST_F(ExchangeRunTest, AnEntryThatCannotBeReadComesAgainUnderTheSameCap) {
  for (const wchar_t* op : {L"Changes.Item", L"Change.SourceKey", L"Change.Kind", L"Change.ChangeKey"}) {
    SCOPED_TRACE(op);
    const std::string before = Stored(master_, kSyncDataSuffix);
    const size_t handed = HandedOn();
    AddItem(team_, op);
    World().InjectFailure(op, 1, E_FAIL);
    Run(master_);
    EXPECT_EQ(handed, HandedOn());
    EXPECT_EQ(before, Stored(master_, kSyncDataSuffix));
    Run(master_);
    EXPECT_EQ(handed + 1, HandedOn());
    EXPECT_NE(before, Stored(master_, kSyncDataSuffix));
  }
  // Unreadable in every run: the folder is held back for a few runs only.
  const std::string before = Stored(master_, kSyncDataSuffix);
  AddItem(team_, L"unreadable");
  AddItem(team_, L"fine");
  World().InjectFailure(L"Changes.Item", 1, E_FAIL, kChangeRetryRuns);
  for (int run = 1; run < kChangeRetryRuns; ++run) Run(master_);
  EXPECT_EQ(before, Stored(master_, kSyncDataSuffix));
  Run(master_);
  EXPECT_NE(std::string::npos, ErrorLogText().find("RCI:change given up after repeated failures"));
  EXPECT_NE(before, Stored(master_, kSyncDataSuffix));
}

// An own write seen in a run that then fails must still be known as such
// when the run is repeated: it is forgotten only with the saved state.
TEST_F(ExchangeRunTest, AnOwnWriteSeenInARunThatFailedIsSkippedAgain) {
  const sim::ObjId own = World().Items(team_).front();
  Touch(own, L"written by the add-in");
  ASSERT_EQ(S_OK, ADDEXMODIF(master_, session_.Get(), utils_.Get(), SearchKeyOf(own)));
  AddItem(team_, L"new");
  World().InjectFailure(L"Change.EntryID", 1, E_FAIL);
  Run(master_);
  EXPECT_EQ(0u, HandedOn());
  Run(master_);
  EXPECT_EQ(1u, HandedOn()) << "only the new item";
  EXPECT_EQ(2u, CountOf(DebugLogText(), "RCI:selfchanged exchangemessage"));
  EXPECT_NE(startState_, Stored(master_, kSyncDataSuffix));
}

TEST_F(ExchangeRunTest, RunsThatFailedBecauseTheNetworkWasAwayCountNothing) {
  AddItem(team_, L"new");
  World().InjectFailure(L"Items.Add", 1, MAPI_E_NETWORK_ERROR, 2 * kChangeRetryRuns);
  for (int run = 0; run < 2 * kChangeRetryRuns; ++run) Run(master_);
  EXPECT_EQ(std::string::npos, ErrorLogText().find("RCI:change given up"));
  EXPECT_EQ(startState_, Stored(master_, kSyncDataSuffix));
  Run(master_);
  EXPECT_EQ(1u, World().ItemCount(contacts_)) << "handed on once the network is back";
}

TEST_F(ExchangeRunTest, ARunBrokenOffSkipsTheChangesItHandledWhenTheyComeAgain) {
  for (int i = 0; i < 40; ++i) AddItem(team_, (L"item " + std::to_wstring(i)).c_str());
  World().InjectFailure(L"Change.EntryID", 26, E_FAIL);
  Run(master_);
  EXPECT_EQ(25u, HandedOn());
  EXPECT_EQ(25u, master_->Cache2Table.size());
  EXPECT_EQ(19u, StoredLines(master_, kCache2TableSuffix)) << "saved before entry 20";
  EXPECT_EQ(startState_, Stored(master_, kSyncDataSuffix));
  EXPECT_EQ(1u, CountOf(DebugLogText(), "RCI::Errors in sync, Try again later"));

  Run(master_);
  EXPECT_EQ(40u, HandedOn());
  EXPECT_EQ(25u, CountOf(DebugLogText(), "IsFromLastRun"));
  EXPECT_NE(startState_, Stored(master_, kSyncDataSuffix));
  EXPECT_EQ(0u, StoredLines(master_, kCache2TableSuffix));
}

// Outlook may end at any point of a run. The next start skips what the
// saves so far hold; a save cut short leaves its last line without its end
// and with part of its change key, and that change is handed on again. No
// item is copied twice.
TEST_F(ExchangeRunTest, AfterARunCutShortTheNextStartSkipsWhatWasSavedAndRepeatsATornLastLine) {
  for (int i = 0; i < 40; ++i) AddItem(team_, (L"item " + std::to_wstring(i)).c_str());
  World().InjectFailure(L"Change.EntryID", 26, E_FAIL);
  Run(master_);
  ASSERT_EQ(25u, HandedOn());
  std::string saved = Stored(master_, kCache2TableSuffix);
  ASSERT_EQ(19u, CountOf(saved, "\n"));
  saved.resize(saved.size() - 6);
  testing_support::WriteFileBytes(StateFile(master_, kCache2TableSuffix), saved);

  CMAPIFolderObject* master = AddFolderObject(team_, 0, L"Team", true);
  master->Partner = AddFolderObject(contacts_, 1, L"", true);
  Prepare(master);
  Prepare(master->Partner);
  Run(master);
  EXPECT_EQ(18u, CountOf(DebugLogText(), "IsFromLastRun"));
  EXPECT_EQ(25u + 22u, HandedOn());
  EXPECT_EQ(40u, World().ItemCount(contacts_));
  EXPECT_NE(startState_, Stored(master, kSyncDataSuffix));
  EXPECT_EQ("", Stored(master, kCache2TableSuffix));
}

// Either stop keeps the state as it was (the run is repeated) and the
// tables of what was handed on (the repeat skips it).
TEST_F(ExchangeRunTest, AStopRequestAndShutdownKeepTheTablesButNotTheState) {
  AddItem(team_, L"new");
  master_->Cache2Table = {{L"EF", L"01"}};
  master_->RunFlag = false;
  Run(master_);
  EXPECT_EQ(1u, CountOf(DebugLogText(), "Reconfiguration ends the syncthread"));
  EXPECT_EQ(startState_, Stored(master_, kSyncDataSuffix));
  EXPECT_EQ("EF;01\r\n", Stored(master_, kCache2TableSuffix));
  master_->RunFlag = true;

  master_->Cache2Table = {{L"AB", L"CD"}};
  engine_->ShutdownInitiated = true;
  Run(master_);
  engine_->ShutdownInitiated = false;
  EXPECT_EQ(1u, CountOf(DebugLogText(), "RCI::OLShutdown ends syncthread"));
  EXPECT_EQ("AB;CD\r\n", Stored(master_, kCache2TableSuffix));
  EXPECT_EQ(startState_, Stored(master_, kSyncDataSuffix));
}

// A two-way calendar pair: a new master appointment gets its origin mark
// (a write) before its copy is made, so every failed try changes the item.
class ExchangeRetryTest : public ExchangeTest {
 protected:
  void SetUp() override {
    ExchangeTest::SetUp();
    family_ = AddFolder(mailbox_, L"Family", sim::kOlAppointmentItem);
    calendar_ = World().StoreDefaultFolder(mailbox_, sim::kOlCalendar);
    job_ = AddFolderObject(family_, 0, L"Family", true);
    target_ = AddFolderObject(calendar_, 1, L"", true);
    job_->Partner = target_;
    job_->Events->BOTH_DIRECTIONS = true;
    engine_->LockTime = 0;
    Prepare(job_);
    Prepare(target_);
    dentist_ = AddItem(family_, L"Dentist", {}, L"IPM.Appointment");
    state_ = Stored(job_, kSyncDataSuffix);
  }
  bool GivenUp() { return ErrorLogText().find("RCI:change given up after repeated failures") != std::string::npos; }

  sim::ObjId family_ = 0, calendar_ = 0, dentist_ = 0;
  CMAPIFolderObject* job_ = nullptr;
  CMAPIFolderObject* target_ = nullptr;
  std::string state_;
};

TEST_F(ExchangeRetryTest, AChangeThatKeepsFailingIsGivenUpAlthoughEachTryWritesTheItem) {
  World().InjectFailure(L"Items.Add", 1, MAPI_E_CALL_FAILED, -1);
  for (int run = 1; run < kChangeRetryRuns; ++run) Run(job_);
  EXPECT_FALSE(GivenUp());
  EXPECT_EQ(state_, Stored(job_, kSyncDataSuffix));
  Run(job_);
  EXPECT_TRUE(GivenUp());
  EXPECT_NE(state_, Stored(job_, kSyncDataSuffix));

  // Given up: the item is not written again, and its folder goes on.
  const std::wstring settled = ChangeKeyOf(dentist_);
  Run(job_);
  Run(job_);
  EXPECT_EQ(settled, ChangeKeyOf(dentist_));
  EXPECT_EQ(size_t(kChangeRetryRuns), HandedOn());

  // The user's next change is a change of its own, tried afresh.
  World().ClearFailures();
  Touch(dentist_, L"Dentist at nine");
  Run(job_);
  EXPECT_EQ(1u, World().ItemCount(calendar_));
}

class ExchangeDeletionTest : public ExchangeTest {
 protected:
  void SetUp() override {
    ExchangeTest::SetUp();
    // The copy carries the job's category; a one-way job's master item
    // needs none.
    original_ = AddItem(team_, L"Ada", {L"Team"});
    ASSERT_EQ(S_OK, World().CopyItemToFolder(original_, contacts_, &copy_));
    SetCategories(original_, {});
    Prepare(master_);
  }
  void SetCategories(sim::ObjId item, std::vector<std::wstring> categories) {
    sim::ItemContent c = World().GetItem(item)->content;
    c.Set(sim::PropKey::Keywords(), categories.empty() ? sim::Value() : sim::Value::List(std::move(categories)));
    ASSERT_EQ(S_OK, World().CommitItem(item, c));
  }
  bool Alive(sim::ObjId item) { return World().GetItem(item) && !World().GetItem(item)->deleted; }
  bool CopyAlive() { return Alive(copy_); }
  sim::ObjId original_ = 0, copy_ = 0;
};

TEST_F(ExchangeDeletionTest, ADeletedMasterItemTakesItsCopyAlongAlsoAfterAFailedTry) {
  const std::string before = Stored(master_, kSyncDataSuffix);
  ASSERT_EQ(S_OK, World().DeleteItem(original_));
  // The copy cannot be deleted this time: the deletion is not lost.
  World().InjectFailure(L"Message.Delete", 1, E_ACCESSDENIED);
  Run(master_);
  EXPECT_TRUE(CopyAlive());
  EXPECT_EQ(before, Stored(master_, kSyncDataSuffix));

  Run(master_);
  EXPECT_FALSE(CopyAlive());
  EXPECT_NE(before, Stored(master_, kSyncDataSuffix));
}

// A server that no longer keeps the folder's state makes the run start from
// nothing, which reports no deletion: an item deleted meanwhile is known by
// the key maps, and its copy goes all the same; an item still there keeps
// its copy.
TEST_F(ExchangeDeletionTest, ARunFromNothingFollowsTheItemsDeletedMeanwhile) {
  const sim::ObjId kept = AddItem(team_, L"Bob", {L"Team"});
  sim::ObjId keptCopy = 0;
  ASSERT_EQ(S_OK, World().CopyItemToFolder(kept, contacts_, &keptCopy));
  Run(master_);
  ASSERT_EQ(S_OK, World().DeleteItem(original_));
  master_->SyncData.Reset();
  Run(master_);
  EXPECT_FALSE(CopyAlive());
  EXPECT_TRUE(Alive(keptCopy));
  EXPECT_EQ(1u, CountOf(DebugLogText(), "RCI:known item not reported by a run from nothing:"));
}

// The add-in's own writes into a folder are skipped by its run, which then
// never reads their keys: the deletion of such an item must still be
// followed, however the write was registered.
TEST_F(ExchangeDeletionTest, AnItemTheAddinWroteIsFollowedWhenItIsDeleted) {
  master_->Events->BOTH_DIRECTIONS = true;
  engine_->LockTime = 0;  // the master is written just now, by nobody else
  Prepare(default_);
  enum class Registered { kWithItem, kBySyncId, kFromCacheFileOnly };
  for (Registered how : {Registered::kWithItem, Registered::kBySyncId, Registered::kFromCacheFileOnly}) {
    SCOPED_TRACE(int(how));
    const sim::ObjId original = AddItem(team_, L"written", {L"Team"});
    sim::ObjId copy = 0;
    ASSERT_EQ(S_OK, World().CopyItemToFolder(original, contacts_, &copy));
    switch (how) {
      case Registered::kWithItem:
        ASSERT_EQ(S_OK, RegisterExchangeWrite(default_, session_.Get(), utils_.Get(), Open(copy).Get(), SearchKeyOf(copy)));
        break;
      case Registered::kBySyncId:
        ASSERT_EQ(S_OK, ADDEXMODIF(default_, session_.Get(), utils_.Get(), SearchKeyOf(copy)));
        break;
      case Registered::kFromCacheFileOnly:
        default_->CacheTable.PushBack(SourceKeyOf(copy), ChangeKeyOf(copy));
        break;
    }
    const size_t skipped = CountOf(DebugLogText(), "RCI:selfchanged exchangemessage");
    Run(default_);
    EXPECT_EQ(skipped + 1, CountOf(DebugLogText(), "RCI:selfchanged exchangemessage"));

    ASSERT_EQ(S_OK, World().DeleteItem(copy));
    Run(default_);
    EXPECT_FALSE(Alive(original)) << "the master item goes with its copy";
  }
  EXPECT_EQ(S_FALSE, RegisterExchangeWrite(AddFolderObject(AddFolder(AddStore(L"Personal Folders", 1), L"Local"), 0,
                                                           L"Local"),
                                           session_.Get(), utils_.Get(), nullptr, L"0123"))
      << "a personal folder keeps its own records";
}

// In a cached mailbox the add-in's copy is deleted before it was uploaded:
// the server never reports it, and the write waiting to be registered
// follows the deletion instead; the other waiting write is registered by
// the same run, and its items stay.
TEST_F(ExchangeDeletionTest, AnOwnWriteGoneBeforeItsUploadTakesItsMasterItemAlong) {
  master_->Events->BOTH_DIRECTIONS = true;
  engine_->LockTime = 0;
  Prepare(default_);
  const sim::ObjId original = AddItem(team_, L"written", {L"Team"});
  sim::ObjId copy = 0;
  ASSERT_EQ(S_OK, World().CopyItemToFolder(original, contacts_, &copy));
  const std::wstring syncId = SearchKeyOf(copy);
  default_->CachedItemsList.emplace_back(syncId);
  default_->CachedItemsList.emplace_back(SearchKeyOf(original_));  // copy_ carries it
  ASSERT_EQ(S_OK, World().DeleteItem(copy, sim::DeleteMode::Hard));
  Run(default_);
  EXPECT_FALSE(Alive(original));
  EXPECT_TRUE(default_->CachedItemsList.empty());
  EXPECT_TRUE(Alive(original_));
  EXPECT_TRUE(CopyAlive());
}

// The folder object of the next session fills its key maps from the
// folder, which no longer shows an item deleted while Outlook was closed:
// the saved maps still name it.
TEST_F(ExchangeDeletionTest, ADeletionMadeWhileOutlookWasClosedIsFollowed) {
  const sim::ObjId bob = AddItem(team_, L"Bob", {L"Team"});
  sim::ObjId bobCopy = 0;
  ASSERT_EQ(S_OK, World().CopyItemToFolder(bob, contacts_, &bobCopy));
  Run(master_);  // Bob came after the state: learnt by a run, saved with it

  CMAPIFolderObject* next = AddFolderObject(team_, 0, L"Team", true);
  next->Partner = default_;
  const std::wstring adaKey = SearchKeyOf(original_);
  ASSERT_EQ(S_OK, World().DeleteItem(original_));
  ASSERT_EQ(S_OK, World().DeleteItem(bob));
  Prepare(next);
  // Until the run follows it, other folders' writers must not undo it.
  EXPECT_TRUE(ExchangeDeletionPending(next, adaKey));
  Run(next);
  EXPECT_FALSE(CopyAlive());
  EXPECT_FALSE(Alive(bobCopy));
  EXPECT_FALSE(ExchangeDeletionPending(next, adaKey));

  // Followed deletions leave the saved maps.
  CMAPIFolderObject* third = AddFolderObject(team_, 0, L"Team", true);
  Prepare(third);
  EXPECT_TRUE(third->FolderCache[kSyncIdMap].empty());
}

TEST_F(ExchangeDeletionTest, ADeletionWhoseLookupKeepsFailingIsGivenUpAfterTheCap) {
  const std::string before = Stored(master_, kSyncDataSuffix);
  ASSERT_EQ(S_OK, World().DeleteItem(original_));
  World().InjectFailure(L"Items.Find", 1, MAPI_E_CALL_FAILED, -1);
  for (int run = 1; run < kChangeRetryRuns; ++run) Run(master_);
  EXPECT_EQ(before, Stored(master_, kSyncDataSuffix));
  Run(master_);
  EXPECT_NE(before, Stored(master_, kSyncDataSuffix)) << "the folder is not held back for good";
  EXPECT_TRUE(CopyAlive()) << "nothing deleted that could not be looked up";
}

// The master's runs from now on ask only for items with the category Work.
class ExchangeScopeTest : public ExchangeDeletionTest {
 protected:
  void SetUp() override {
    ExchangeDeletionTest::SetUp();
    HKEY filter = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER,
                                             (L"Software\\Corvane\\Tallowby\\Folders\\" + EntryIdOf(team_) +
                                              L"\\CategoriesFilter\\Work")
                                                 .c_str(),
                                             0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &filter, nullptr));
    RegCloseKey(filter);
  }
};

TEST_F(ExchangeScopeTest, AnItemThatOnlyLeftTheRestrictionIsNoDeletion) {
  Touch(original_, L"Ada, no category");
  Run(master_);
  EXPECT_TRUE(CopyAlive());
  EXPECT_EQ(1u, CountOf(DebugLogText(), "RCI:deleted item still in the folder:"));
  Run(master_);
  EXPECT_TRUE(CopyAlive());
}

// Out of the restriction, the item's deletion is never reported: the run
// looks for the item itself, in this session and in the next one, and also
// when the item went while Outlook was closed. It looks when Outlook says
// an item went from the folder, and now and then without that (many items
// deleted at once raise no event).
TEST_F(ExchangeScopeTest, AnItemDeletedOutsideTheRestrictionTakesItsCopyAlong) {
  const sim::ObjId bob = AddItem(team_, L"Bob", {L"Work", L"Team"});
  const sim::ObjId cy = AddItem(team_, L"Cy", {L"Work", L"Team"});
  sim::ObjId bobCopy = 0, cyCopy = 0;
  ASSERT_EQ(S_OK, World().CopyItemToFolder(bob, contacts_, &bobCopy));
  ASSERT_EQ(S_OK, World().CopyItemToFolder(cy, contacts_, &cyCopy));
  Run(master_);
  Touch(original_, L"Ada, no category");
  SetCategories(bob, {});
  SetCategories(cy, {});
  Run(master_);
  ASSERT_TRUE(CopyAlive() && Alive(bobCopy) && Alive(cyCopy));

  ASSERT_EQ(S_OK, World().DeleteItem(original_));
  master_->Events->MarkDeleted();  // as Outlook's ItemRemove does
  Run(master_);
  EXPECT_FALSE(CopyAlive());

  CMAPIFolderObject* next = AddFolderObject(team_, 0, L"Team", true);
  next->Partner = default_;
  ASSERT_EQ(S_OK, World().DeleteItem(bob));
  Prepare(next);
  Run(next);
  EXPECT_FALSE(Alive(bobCopy));
  EXPECT_TRUE(Alive(cyCopy));
  ASSERT_EQ(S_OK, World().DeleteItem(cy));
  for (int run = 1; run < kOutOfScopeLookRuns; ++run) Run(next);
  EXPECT_TRUE(Alive(cyCopy)) << "no event: not looked for in every run";
  Run(next);
  EXPECT_FALSE(Alive(cyCopy));
}

// Back in the restriction, the item is reported as before: its deletion is
// then the server's to report.
TEST_F(ExchangeScopeTest, AnItemBackInTheRestrictionIsLeftToTheServer) {
  Touch(original_, L"Ada, no category");
  Run(master_);
  SetCategories(original_, {L"Work"});
  Run(master_);
  ASSERT_EQ(S_OK, World().DeleteItem(original_));
  Run(master_);
  EXPECT_FALSE(CopyAlive());
  EXPECT_EQ(0u, CountOf(DebugLogText(), "RCI:item out of the restriction gone:"));
}

TEST_F(ExchangeDeletionTest, AStoreThatCannotBeAskedDeletesNothing) {
  const std::string before = Stored(master_, kSyncDataSuffix);
  ASSERT_EQ(S_OK, World().DeleteItem(original_));
  // Offline: the run (which opens its folder afresh) goes no further.
  master_->RdoFolder.Reset();
  World().SetConnectionModes({300});
  Run(master_);
  EXPECT_TRUE(CopyAlive());
  EXPECT_EQ(1u, CountOf(DebugLogText(), "RCI:Outlook Offline"));
  EXPECT_EQ(kStatusOffline, engine_->GetSyncStatus());

  // Online, but no lookup answers: an item that cannot be looked up is not
  // taken for deleted, and the run keeps its state.
  World().SetConnectionModes({800});
  World().InjectFailure(L"Items.Find", 1, MAPI_E_NETWORK_ERROR, -1);
  Run(master_);
  EXPECT_TRUE(CopyAlive());
  EXPECT_EQ(before, Stored(master_, kSyncDataSuffix));

  World().ClearFailures();
  Run(master_);
  EXPECT_FALSE(CopyAlive());
}

class ExchangeIcsFailureTest : public ExchangeRunTest {
 protected:
  bool TakeTray(std::wstring* title, std::wstring* text, DWORD* level) {
    return engine_->TakeTrayMessage(*title, *text, *level);
  }
};

TEST_F(ExchangeIcsFailureTest, AnOfflineOrUnsupportedStoreIsShownInTheTrayOnce) {
  std::wstring title, text;
  DWORD level = 0;
  TakeTray(&title, &text, &level);  // the fresh start's message
  World().InjectFailure(L"Sync.GetChanges", 1, MAPI_E_NETWORK_ERROR, 2);
  Run(master_);
  ASSERT_TRUE(TakeTray(&title, &text, &level));
  EXPECT_EQ(L"NETWORK ERROR", title);
  EXPECT_EQ(L"EXCHANGE OFFLINE", text);
  EXPECT_EQ(kTrayError, level);
  EXPECT_FALSE(engine_->SyncPaused) << "the user's pause is the user's";
  EXPECT_TRUE(engine_->NetworkPaused()) << "the jobs outside Exchange wait for the connection";
  EXPECT_EQ(kStatusOffline, engine_->GetSyncStatus());
  Run(master_);
  EXPECT_FALSE(TakeTray(&title, &text, &level)) << "shown while the status says offline";

  engine_->SetSyncStatus(kStatusIdle);
  g_lcidUi = MAKELCID(MAKELANGID(LANG_SPANISH, SUBLANG_DEFAULT), SORT_DEFAULT);
  World().InjectFailure(L"Sync.GetChanges", 1, MAPI_E_NO_SUPPORT);
  Run(master_);
  g_lcidUi = 0;
  ASSERT_TRUE(TakeTray(&title, &text, &level)) << "a language without the title falls back to English";
  EXPECT_EQ(L"The ICS Interface is not supported", title);
  EXPECT_EQ(L"EXCHANGE ICS NOT SUPPORTED", text);
  EXPECT_EQ(startState_, Stored(master_, kSyncDataSuffix));
  EXPECT_TRUE(engine_->NetworkPaused());
  Run(master_);
  EXPECT_FALSE(engine_->NetworkPaused()) << "the mailbox's next run that gets its changes ends it";
}

TEST_F(ExchangeIcsFailureTest, RunsWithoutChangeCollectionRecoverByStartingAfresh) {
  // A passing failure, however often, keeps the state.
  World().InjectFailure(L"Sync.GetChanges", 1, E_FAIL, 2 * kSyncDataRecoveryRuns);
  for (int run = 1; run <= 2 * kSyncDataRecoveryRuns; ++run) Run(master_);
  EXPECT_EQ(startState_, Stored(master_, kSyncDataSuffix));
  EXPECT_FALSE(master_->SyncData.Empty());

  sim::ProfileSettings settings = World().Settings();
  settings.icsNullCollection = true;
  World().SetSettings(settings);
  for (int run = 1; run <= kSyncDataRecoveryRuns; ++run) Run(master_);
  EXPECT_FALSE(master_->SyncData.Empty());
  EXPECT_EQ(kStatusNoSyncInterface, engine_->GetSyncStatus());
  Run(master_);
  EXPECT_TRUE(master_->SyncData.Empty()) << "the sixth run gives the state up";
  EXPECT_EQ(kSyncDataRecoveryRestart, master_->SyncDataErrorCount);

  settings.icsNullCollection = false;
  World().SetSettings(settings);
  Run(master_);
  EXPECT_EQ(0, master_->SyncDataErrorCount);
  EXPECT_EQ(1u, HandedOn()) << "a run from nothing hands on every item";
}

TEST_F(ExchangeIcsFailureTest, ALockedFolderWaitsWithoutTakingTheChanges) {
  master_->Events->BOTH_DIRECTIONS = true;
  engine_->LockTime = 300;
  AddItem(team_, L"just written by somebody");
  Run(master_);
  EXPECT_EQ(0u, HandedOn());
  EXPECT_EQ(kStatusFolderLocked, engine_->GetSyncStatus());
  EXPECT_TRUE(master_->Events->TakeChanged());
  EXPECT_EQ(startState_, Stored(master_, kSyncDataSuffix));

  engine_->LockTime = 0;
  Run(master_);
  EXPECT_EQ(1u, HandedOn());
}

}  // namespace
