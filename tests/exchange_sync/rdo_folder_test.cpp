// Opening the wrapper folder, its one-time preparation and the key maps.
#include <gtest/gtest.h>

#include "exchange_fixture.h"

namespace {

using blocks_testing::CountOf;
using exchange_testing::ExchangeTest;

class ExchangeFolderTest : public ExchangeTest {
 protected:
  sim::ObjId ItemWithKeys(const wchar_t* subject, const wchar_t* searchKeyHex, const wchar_t* goidHex = nullptr) {
    sim::ItemContent c;
    sim::Bytes key;
    sim::FromHex(searchKeyHex, &key);
    c.Set(sim::PropKey::Tag(sim::tags::kSearchKey), sim::Value::Binary(key));
    if (goidHex) {
      sim::Bytes goid;
      sim::FromHex(goidHex, &goid);
      c.Set(sim::named::GlobalObjectId(), sim::Value::Binary(goid));
    }
    return AddItem(team_, subject, {}, L"IPM.Contact", c);
  }
  std::wstring Lookup(const std::wstring& source, bool goidMap) {
    std::wstring key;
    return SUCCEEDED(LookupFolderCache(master_, source, &key, goidMap)) ? key : L"(none)";
  }
};

TEST_F(ExchangeFolderTest, OfflineAndCachedModesLeaveTheFolderClosed) {
  struct Case {
    long mode;
    bool opens;
  };
  for (const Case c : {Case{199, true}, Case{200, false}, Case{300, false}, Case{400, false}, Case{401, true},
                       Case{800, true}}) {
    SCOPED_TRACE(c.mode);
    master_->RdoFolder.Reset();
    engine_->SetSyncStatus(kStatusIdle);
    World().SetConnectionModes({c.mode});
    HRESULT hr = OpenRdoFolder(master_, session_.Get(), utils_.Get());
    EXPECT_EQ(c.opens, SUCCEEDED(hr));
    EXPECT_EQ(c.opens, bool(master_->RdoFolder));
    EXPECT_EQ(c.opens ? kStatusIdle : kStatusOffline, engine_->GetSyncStatus());
  }
  // A later good open clears the offline status it finds, and a failed open
  // lets go of the folder it held.
  World().SetConnectionModes({800});
  engine_->SetSyncStatus(kStatusOffline);
  EXPECT_EQ(S_OK, OpenRdoFolder(master_, session_.Get(), utils_.Get()));
  EXPECT_EQ(kStatusIdle, engine_->GetSyncStatus());
  World().InjectFailure(L"Session.GetFolderById", 1, MAPI_E_NOT_FOUND);
  EXPECT_EQ(MAPI_E_NOT_FOUND, OpenRdoFolder(master_, session_.Get(), utils_.Get()));
  EXPECT_FALSE(master_->RdoFolder);
  EXPECT_EQ(kStatusOffline, engine_->GetSyncStatus());
  EXPECT_NE(std::string::npos, ErrorLogText().find("One folder could not be addet to synchronization"));
}

TEST_F(ExchangeFolderTest, TheFolderIsPreparedOnceAndItsKeyMapsAreFilledAlsoOnAFreshStart) {
  const sim::ObjId ada = AddItem(team_, L"Ada");
  const sim::ObjId bob = AddItem(team_, L"Bob");

  Prepare(master_);
  ASSERT_TRUE(master_->RdoFolder) << "the fresh start's own run must not leave the folder closed";
  EXPECT_FALSE(master_->SyncStateReset);
  EXPECT_FALSE(master_->SyncData.Empty()) << "the present contents are the starting point";
  EXPECT_EQ(SearchKeyOf(ada), Lookup(SourceKeyOf(ada), false));
  EXPECT_EQ(SearchKeyOf(bob), Lookup(SourceKeyOf(bob), false));
  EXPECT_EQ(0u, HandedOn()) << "nothing is copied when a folder starts without state";

  // The next open (every run after the first) prepares nothing again.
  master_->RdoFolder.Reset();
  ASSERT_EQ(S_OK, OpenRdoFolder(master_, session_.Get(), utils_.Get()));
  EXPECT_EQ(1u, CountOf(DebugLogText(), "FillFolderCache=>start:"));
  EXPECT_EQ(1u, CountOf(DebugLogText(), "SearchForDuplicates=>start:"));
  EXPECT_EQ(2u, master_->FolderCache[kSyncIdMap].size());
}

// Without its key map a folder cannot follow the deletion of an item it
// had at start: a fill that failed is tried again by the next run, and
// until one succeeded a deletion it cannot map keeps the run's state.
TEST_F(ExchangeFolderTest, AKeyMapFillThatFailedIsTriedAgainAndNoDeletionIsDroppedMeanwhile) {
  auto alive = [&](sim::ObjId item) { return World().GetItem(item) && !World().GetItem(item)->deleted; };
  const sim::ObjId ada = AddItem(team_, L"Ada", {L"Team"}), bob = AddItem(team_, L"Bob", {L"Team"});
  sim::ObjId adaCopy = 0, bobCopy = 0;
  ASSERT_EQ(S_OK, World().CopyItemToFolder(ada, contacts_, &adaCopy));
  ASSERT_EQ(S_OK, World().CopyItemToFolder(bob, contacts_, &bobCopy));
  World().InjectFailure(L"Items.Table", 1, MAPI_E_CALL_FAILED, -1);
  Prepare(master_);
  ASSERT_EQ(S_OK, World().DeleteItem(ada));
  const std::string before = Stored(master_, kSyncDataSuffix);
  Run(master_);
  Run(master_);
  EXPECT_TRUE(alive(adaCopy));
  EXPECT_EQ(before, Stored(master_, kSyncDataSuffix)) << "the deletion comes again";

  // The table answers again: the next run fills the map, even with nothing
  // to hand on, and a later deletion is followed.
  World().ClearFailures();
  Run(master_);
  ASSERT_EQ(S_OK, World().DeleteItem(bob));
  Run(master_);
  EXPECT_FALSE(alive(bobCopy));
  EXPECT_NE(before, Stored(master_, kSyncDataSuffix));
  const size_t fills = CountOf(DebugLogText(), "FillFolderCache:END");
  Run(master_);
  EXPECT_EQ(fills, CountOf(DebugLogText(), "FillFolderCache:END")) << "filled once";
}

// A store that does not map the meeting GlobalObjectId still fills the
// sync-id map.
TEST_F(ExchangeFolderTest, WithoutTheGlobalObjectIdNameTheSyncIdMapIsFilled) {
  const sim::ObjId ada = AddItem(team_, L"Ada");
  master_->RdoFolder = OpenFolder(team_);
  master_->FolderPrepared = true;
  World().InjectFailure(L"Utils.GetNamedPropId", 1, MAPI_E_NOT_FOUND);
  ASSERT_EQ(S_OK, FillFolderCache(master_, session_.Get(), utils_.Get()));
  EXPECT_EQ(SearchKeyOf(ada), Lookup(SourceKeyOf(ada), false));
}

TEST_F(ExchangeFolderTest, KeyMapsKeepTheFirstRowOfASearchKeyAndEveryGlobalObjectId) {
  const wchar_t* goid = L"040000008200E00074C5B7101A82E008";
  const sim::ObjId first = ItemWithKeys(L"first", L"11111111111111111111111111111111", goid);
  const sim::ObjId second = ItemWithKeys(L"second", L"11111111111111111111111111111111", goid);
  master_->RdoFolder = OpenFolder(team_);
  master_->FolderPrepared = true;  // no duplicate repair: the maps see the rows as they are

  ASSERT_EQ(S_OK, FillFolderCache(master_, session_.Get(), utils_.Get()));
  ASSERT_EQ(1u, master_->FolderCache[kSyncIdMap].size());
  EXPECT_EQ(SourceKeyOf(first), master_->FolderCache[kSyncIdMap].front().second);
  EXPECT_EQ(L"(none)", Lookup(SourceKeyOf(second), false));
  EXPECT_EQ(goid, Lookup(SourceKeyOf(first), true));
  EXPECT_EQ(goid, Lookup(SourceKeyOf(second), true));

  // A source key that two entries carry answers with the first; an item's
  // new sync id takes the place of its old one.
  master_->FolderCache[kSyncIdMap] = {{L"AA", L"S1"}, {L"BB", L"S1"}};
  EXPECT_EQ(L"AA", Lookup(L"S1", false));
  AddToFolderCache(master_, kSyncIdMap, L"CC", L"S1");
  EXPECT_EQ(L"CC", Lookup(L"S1", false));
  AddToFolderCache(master_, kSyncIdMap, L"DD", L"S2");
  EXPECT_EQ(3u, master_->FolderCache[kSyncIdMap].size());
}

}  // namespace
