// Repair of items that share a sync id.
#include <gtest/gtest.h>

#include "blocks_fixture.h"
#include "duplicates.h"
#include "item_identity.h"
#include "pst_pass.h"

namespace {

using blocks_testing::BlocksTest;
using blocks_testing::CountOf;

constexpr wchar_t kKey[] = L"0123456789ABCDEF0123456789ABCDEF";
constexpr wchar_t kKey2[] = L"00112233445566778899AABBCCDDEEFF";
constexpr wchar_t kKey3[] = L"FFEEDDCCBBAA99887766554433221100";

class DuplicatesTest : public BlocksTest {
 protected:
  void SetUp() override {
    BlocksTest::SetUp();
    store_ = AddStore(L"Mailbox", 3);
    folder_ = AddFolder(store_, L"Team");
    object_ = AddFolderObject(folder_, 0, L"Team", true);
    com::ComPtr<IRdoFolder> anything = OpenFolder(folder_);
    object_->Events->Items = anything.Get();  // stands for Outlook's Items
  }
  sim::ObjId Copy(const wchar_t* subject, const wchar_t* messageClass = L"IPM.Contact", bool keep = false,
                  const wchar_t* hex = kKey) {
    sim::ItemContent c;
    sim::Bytes key;
    sim::FromHex(hex, &key);
    c.Set(sim::PropKey::Tag(sim::tags::kSearchKey), sim::Value::Binary(key));
    if (keep) {
      c.Set(sim::named::TaskIsOwner(), sim::Value::Bool(true));
      c.Set(sim::named::TaskIsDelegated(), sim::Value::Bool(false));
    }
    return AddItem(folder_, subject, {}, messageClass, c);
  }
  // Commits the item again a minute later by the server's clock.
  void TouchLater(sim::ObjId item) {
    sim::ProfileSettings s = World().Settings();
    s.serverClockOffsetSeconds += 60;
    World().SetSettings(s);
    ASSERT_EQ(S_OK, World().CommitItem(item, World().GetItem(item)->content));
  }
  HRESULT Repair(BYTE* changed, com::Bstr* newKey, com::Bstr* entryId = nullptr, const wchar_t* hex = kKey) {
    *changed = 7;
    return ChangeSyncIDFromDuplicatedItem(object_->Events, session_.Get(), utils_.Get(), hex, changed, newKey,
                                          entryId);
  }
  // Which of the items still carry the shared key.
  std::vector<bool> Kept(std::initializer_list<sim::ObjId> items, const wchar_t* hex = kKey) {
    std::vector<bool> kept;
    for (sim::ObjId i : items) kept.push_back(SearchKeyOf(i) == hex);
    return kept;
  }

  sim::ObjId store_ = 0, folder_ = 0;
  CMAPIFolderObject* object_ = nullptr;
};

TEST_F(DuplicatesTest, TheNewerCopyGetsANewKeyAndOnEqualTimesTheSecond) {
  const sim::ObjId older = Copy(L"Ada");
  const sim::ObjId newer = Copy(L"Ada");
  TouchLater(newer);
  BYTE changed = 0;
  com::Bstr key, entryId;
  EXPECT_EQ(S_OK, Repair(&changed, &key, &entryId));
  EXPECT_EQ(1, changed);
  EXPECT_EQ((std::vector<bool>{true, false}), Kept({older, newer}));
  EXPECT_EQ(SearchKeyOf(newer), key.Str());
  EXPECT_EQ(32u, key.Length());
  EXPECT_EQ(World().GetItem(newer)->entryId, entryId.Str());
  EXPECT_EQ(1u, CountOf(DebugLogText(), "!!!Duplicated Item changed (copyed&pasted?): Ada"));

  // The query's first hit newer than the second: the first changes.
  const sim::ObjId first = Copy(L"Bob", L"IPM.Contact", false, kKey2);
  const sim::ObjId second = Copy(L"Bob", L"IPM.Contact", false, kKey2);
  TouchLater(first);
  EXPECT_EQ(S_OK, Repair(&changed, &key, nullptr, kKey2));
  EXPECT_EQ((std::vector<bool>{false, true}), Kept({first, second}, kKey2));

  // Equal times (within half a second): the second.
  const sim::ObjId a = Copy(L"Cy", L"IPM.Contact", false, kKey3);
  const sim::ObjId b = Copy(L"Cy", L"IPM.Contact", false, kKey3);
  EXPECT_EQ(S_OK, Repair(&changed, &key, nullptr, kKey3));
  EXPECT_EQ(1, changed);
  EXPECT_EQ((std::vector<bool>{true, false}), Kept({a, b}, kKey3));
}

TEST_F(DuplicatesTest, TheTaskToKeepKeepsItsKeyOnlyAsTheFirstHit) {
  const sim::ObjId keep = Copy(L"Report", L"IPM.Task", true);
  const sim::ObjId plain = Copy(L"Report", L"IPM.Task");
  TouchLater(keep);  // the task to keep is the newer one, and still keeps its key
  BYTE changed = 0;
  com::Bstr key;
  EXPECT_EQ(S_OK, Repair(&changed, &key));
  EXPECT_EQ((std::vector<bool>{true, false}), Kept({keep, plain}));

  const sim::ObjId first = Copy(L"Plan", L"IPM.Task", false, kKey2);
  const sim::ObjId second = Copy(L"Plan", L"IPM.Task", true, kKey2);
  TouchLater(second);
  EXPECT_EQ(S_OK, Repair(&changed, &key, nullptr, kKey2));
  EXPECT_EQ((std::vector<bool>{true, false}), Kept({first, second}, kKey2)) << "as the second hit it is not protected";
}

TEST_F(DuplicatesTest, NothingChangesForASingleHitAnICloudFolderOrAReadOnlyItem) {
  const sim::ObjId only = Copy(L"Only");
  BYTE changed = 0;
  com::Bstr key;
  EXPECT_EQ(S_OK, Repair(&changed, &key));
  EXPECT_EQ(0, changed);
  EXPECT_EQ(kKey, SearchKeyOf(only));

  const sim::ObjId twin = Copy(L"Only");
  object_->Events->iCloudMode = true;
  EXPECT_EQ(S_OK, Repair(&changed, &key));
  EXPECT_EQ(0, changed);
  object_->Events->iCloudMode = false;

  // The item to change cannot be written: the user hears of it, both keep
  // the key, and no caller may take the item for repaired.
  World().SetReadOnly(twin, true);
  EXPECT_EQ(S_OK, Repair(&changed, &key));
  EXPECT_EQ(0, changed);
  EXPECT_EQ(kKey, key.Str());
  EXPECT_EQ((std::vector<bool>{true, true}), Kept({only, twin}));
  std::wstring title, text;
  DWORD level = 0;
  ASSERT_TRUE(engine_->TakeTrayMessage(title, text, level));
  EXPECT_EQ(3u, level);
  EXPECT_FALSE(text.empty());

  EXPECT_EQ(E_FAIL, ChangeSyncIDFromDuplicatedItem(object_->Events, session_.Get(), utils_.Get(), L"", &changed, &key));
  object_->Events->Items.Reset();
  EXPECT_EQ(E_FAIL, Repair(&changed, &key));
  EXPECT_NE(std::string::npos, ErrorLogText().find("ChangeSyncIDFromDuplicatedItem::items=NULL"));
}

// An appointment pasted in a store of the Hotmail kind keeps the original's
// meeting id and search key; found by the meeting id, the newer of the two
// gets a search key of its own and a meeting id made of it and its EntryID.
TEST_F(DuplicatesTest, ByMeetingIdThePastedAppointmentGetsAMeetingIdOfItsOwn) {
  sim::StoreSpec hotmailStore;
  hotmailStore.name = L"Hotmail";
  hotmailStore.providerHex = kHotMailProvider;
  const sim::ObjId calendar = AddFolder(World().AddStore(hotmailStore), L"Work", sim::kOlAppointmentItem);
  CMAPIFolderObject* work = AddFolderObject(calendar, 0, L"Work");
  work->Events->HotMailMode = true;
  work->Events->Items = OpenFolder(calendar).Get();
  auto objectIdOf = [&](sim::ObjId item) {
    const std::optional<sim::ItemInfo> info = World().GetItem(item);
    const sim::Value* id = info ? info->content.Find(sim::named::GlobalObjectId()) : nullptr;
    return id ? sim::ToHex(id->bin) : std::wstring();
  };
  auto repair = [&](const std::wstring& objectId, BYTE* changed, com::Bstr* key) {
    *changed = 7;
    return ChangeSyncIDFromDuplicatedItem(work->Events, session_.Get(), utils_.Get(), objectId.c_str(), changed, key,
                                          nullptr, true);
  };
  const sim::ObjId original = AddItem(calendar, L"Party", {}, L"IPM.Appointment");
  const std::wstring objectId = objectIdOf(original), searchKey = SearchKeyOf(original);
  ASSERT_FALSE(objectId.empty());
  sim::ObjId pasted = 0;
  ASSERT_EQ(S_OK, World().CopyItemToFolder(original, calendar, &pasted));
  ASSERT_EQ(objectId, objectIdOf(pasted));

  BYTE changed = 0;
  com::Bstr key;
  EXPECT_EQ(S_OK, repair(objectId, &changed, &key));
  EXPECT_EQ(1, changed);
  EXPECT_EQ(objectId, objectIdOf(original));
  EXPECT_EQ(searchKey, SearchKeyOf(original));
  EXPECT_NE(searchKey, SearchKeyOf(pasted));
  EXPECT_EQ(SearchKeyOf(pasted) + World().GetItem(pasted)->entryId, objectIdOf(pasted));
  EXPECT_EQ(objectIdOf(pasted), key.Str());
  EXPECT_EQ(S_OK, repair(objectId, &changed, &key));
  EXPECT_EQ(0, changed) << "one item carries the id now";

  // A pasted appointment that cannot be written, or whose store refuses the
  // meeting id, is not taken for repaired.
  sim::ObjId locked = 0;
  ASSERT_EQ(S_OK, World().CopyItemToFolder(original, calendar, &locked));
  World().SetReadOnly(locked, true);
  EXPECT_EQ(S_OK, repair(objectId, &changed, &key));
  EXPECT_EQ(0, changed);
  EXPECT_EQ(objectId, key.Str());
  EXPECT_EQ(objectId, objectIdOf(locked));
  World().SetReadOnly(locked, false);
  World().InjectFailure(L"Utils.SetPropByTag", 2, E_ACCESSDENIED);  // the search key goes, the meeting id not
  EXPECT_EQ(S_OK, repair(objectId, &changed, &key));
  EXPECT_EQ(0, changed);
  EXPECT_EQ(objectId, key.Str());
  EXPECT_NE(std::string::npos, ErrorLogText().find("ChangeSyncIDFromDuplicatedItem::SetObjectId"));
}

// The walk lists the newest rows first and meets a repeated key at the
// older row, while the newer item is the one that takes a new key: each row
// of the listing must go on carrying its own item's key, categories and
// date, or an item is handled as the other (copied to the other's job).
TEST_F(DuplicatesTest, TheWalkListsTheNewKeyWithTheItemThatTookIt) {
  const sim::ObjId store = AddStore(L"Local", 1);
  const sim::ObjId calendar = AddFolder(store, L"Diary", sim::kOlAppointmentItem);
  CMAPIFolderObject* diary = AddFolderObject(calendar, 1, L"");
  diary->Events->Items = OpenFolder(calendar).Get();
  sim::ItemContent shared;
  sim::Bytes key;
  sim::FromHex(kKey, &key);
  shared.Set(sim::PropKey::Tag(sim::tags::kSearchKey), sim::Value::Binary(key));
  const sim::ObjId original = AddItem(calendar, L"Party", {L"Family"}, L"IPM.Appointment", shared);
  World().SetStoreClockOffset(store, 60);
  const sim::ObjId pasted = AddItem(calendar, L"Party", {L"Work"}, L"IPM.Appointment", shared);

  com::ComPtr<IRdoFolder> folder = OpenFolder(calendar);
  const FolderListing listing = MakeFolderList(diary, session_.Get(), utils_.Get(), folder.Get());
  ASSERT_EQ(2u, listing.items.size());
  EXPECT_EQ(kKey, SearchKeyOf(original));
  ASSERT_NE(kKey, SearchKeyOf(pasted));
  for (const ListedItem& row : listing.items) {
    const bool isPasted = row.syncId == SearchKeyOf(pasted);
    EXPECT_TRUE(isPasted || row.syncId == kKey) << row.syncId;
    EXPECT_EQ((std::vector<std::wstring>{isPasted ? L"Work" : L"Family"}), row.categories) << row.syncId;
  }
  EXPECT_GT(listing.items[0].date.Date(), listing.items[1].date.Date()) << "the newer row first";
  EXPECT_EQ(SearchKeyOf(pasted), listing.items[0].syncId);
}

TEST_F(DuplicatesTest, AFolderScanLeavesEveryKeyOnce) {
  const sim::ObjId a = Copy(L"Triplet");
  const sim::ObjId b = Copy(L"Triplet");
  const sim::ObjId c = Copy(L"Triplet");
  const sim::ObjId single = AddItem(folder_, L"Single");
  const std::wstring singleKey = SearchKeyOf(single);

  BYTE changed = 0;
  com::Bstr key;
  EXPECT_EQ(S_OK, Repair(&changed, &key));
  EXPECT_EQ((std::vector<bool>{true, false, true}), Kept({a, b, c})) << "one call changes one item";

  EXPECT_EQ(S_OK, SearchForDuplicates(object_, session_.Get(), utils_.Get()));
  EXPECT_EQ((std::vector<bool>{true, false, false}), Kept({a, b, c}));
  EXPECT_NE(SearchKeyOf(b), SearchKeyOf(c));
  EXPECT_EQ(singleKey, SearchKeyOf(single));
  EXPECT_EQ(1u, CountOf(DebugLogText(), "SearchForDuplicates=>start: M:Team"));
  EXPECT_EQ(1u, CountOf(DebugLogText(), "SearchForDuplicates:END = "));

  // Outside Exchange nothing is scanned.
  const sim::ObjId d = Copy(L"Triplet");
  object_->Events->ExchangeMode = false;
  EXPECT_EQ(S_OK, SearchForDuplicates(object_, session_.Get(), utils_.Get()));
  EXPECT_EQ(kKey, SearchKeyOf(d));
}

TEST_F(DuplicatesTest, AnEmptyBatchEndsTheScan) {
  const sim::ObjId a = Copy(L"Twin");
  const sim::ObjId b = Copy(L"Twin");
  World().InjectFailure(L"Table.EmptyBatch", 1, E_FAIL, -1);  // every batch comes back empty
  EXPECT_EQ(S_OK, SearchForDuplicates(object_, session_.Get(), utils_.Get()));
  EXPECT_EQ(1u, CountOf(DebugLogText(), "SearchForDuplicates:END = "));
  EXPECT_EQ((std::vector<bool>{true, true}), Kept({a, b}));
}

}  // namespace
