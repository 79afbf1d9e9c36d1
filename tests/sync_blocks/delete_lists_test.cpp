// The delete list of a folder and the deletion of counterparts.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "blocks_fixture.h"
#include "delete_lists.h"
#include "locks.h"
#include "outlook/model.h"
#include "rdo/rdo_common.h"

namespace {

using blocks_testing::BlocksTest;
using blocks_testing::CountOf;

constexpr wchar_t kKey[] = L"0123456789ABCDEF0123456789ABCDEF";

class DeleteListTest : public BlocksTest {
 protected:
  void SetUp() override {
    BlocksTest::SetUp();
    store_ = AddStore(L"Personal Folders", 1);
    folder_ = AddFolder(store_, L"Family");
    object_ = AddFolderObject(folder_, 0, L"Family");
  }
  sim::ObjId ItemWithKey(sim::ObjId folder, const wchar_t* subject, sim::Value key,
                         const std::vector<std::wstring>& categories = {}) {
    sim::ItemContent c;
    c.Set(sim::PropKey::Tag(sim::tags::kSearchKey), std::move(key));
    return AddItem(folder, subject, categories, L"IPM.Contact", c);
  }
  sim::ObjId ItemWithKey(sim::ObjId folder, const wchar_t* subject, const wchar_t* hex = kKey,
                         const std::vector<std::wstring>& categories = {}) {
    sim::Bytes key;
    sim::FromHex(hex, &key);
    return ItemWithKey(folder, subject, sim::Value::Binary(key), categories);
  }
  std::vector<std::wstring> List(CMAPIFolderObject* f) { return f->Events->FolderCacheSnapshot(); }
  bool Listed(CMAPIFolderObject* f, const std::wstring& key) {
    auto list = List(f);
    return std::find(list.begin(), list.end(), key) != list.end();
  }

  sim::ObjId store_ = 0, folder_ = 0;
  CMAPIFolderObject* object_ = nullptr;
};

TEST_F(DeleteListTest, TheListHoldsEveryReadableKeyAndUnreadableOnesAreRepaired) {
  const sim::ObjId a = AddItem(folder_, L"Ada");
  const sim::ObjId b = AddItem(folder_, L"Bob");
  const sim::ObjId broken = ItemWithKey(folder_, L"broken key", sim::Value::Error(MAPI_E_NOT_FOUND));

  EXPECT_EQ(S_OK, FillDeleteList(object_, session_.Get(), utils_.Get()));
  EXPECT_EQ((std::vector<std::wstring>{SearchKeyOf(a), SearchKeyOf(b)}), List(object_));
  EXPECT_EQ(32u, SearchKeyOf(broken).size()) << "a fresh 16-byte key";
  EXPECT_NE(std::string::npos, ErrorLogText().find("FillDeleteList::DataNotValid"));
  EXPECT_EQ(1u, CountOf(DebugLogText(), "+FillDeleteList items: 2"));

  // The next rebuild lists the repaired item; the event form reads through
  // the engine's objects.
  EXPECT_EQ(S_OK, FillDeleteList(object_));
  EXPECT_EQ(3u, List(object_).size());
  EXPECT_TRUE(Listed(object_, SearchKeyOf(broken)));
}

TEST_F(DeleteListTest, ARebuildKeepsTheKeysOfItemsDeletedBeforeTheirSearch) {
  const sim::ObjId a = AddItem(folder_, L"Ada");
  const sim::ObjId b = AddItem(folder_, L"Bob");
  ASSERT_EQ(S_OK, FillDeleteList(object_, session_.Get(), utils_.Get()));
  const std::wstring gone = SearchKeyOf(b);
  ASSERT_EQ(S_OK, World().DeleteItem(b));
  object_->Events->TakeDeleted();

  EXPECT_EQ(S_OK, FillDeleteList(object_));
  EXPECT_EQ((std::vector<std::wstring>{SearchKeyOf(a), gone}), List(object_));
  EXPECT_TRUE(object_->Events->TakeDeleted()) << "the worker is told to search";

  // Once searched, the key is gone for good, and a rebuild marks nothing.
  {
    CsLock lock(g_csDeleteList);
    object_->Events->pstFolderCache.Remove(gone);
  }
  EXPECT_EQ(S_OK, FillDeleteList(object_));
  EXPECT_EQ((std::vector<std::wstring>{SearchKeyOf(a)}), List(object_));
  EXPECT_FALSE(object_->Events->TakeDeleted());
}

// Outlook's thread never walks the folder: an added item whose key cannot be
// read is left to the worker's rebuild.
TEST_F(DeleteListTest, AnItemAddWithoutAReadableKeyAsksTheWorkerForTheRebuild) {
  AddItem(folder_, L"Ada");
  engine_->SetSettingsLoaded(true);
  VARIANT arg;
  VariantInit(&arg);
  arg.vt = VT_I4;
  DISPPARAMS notAnItem{&arg, nullptr, 1, 0};
  World().ClearCalls();
  EXPECT_EQ(S_OK, object_->Events->Invoke(0xF001, IID_NULL, 0, DISPATCH_METHOD, &notAnItem, nullptr, nullptr, nullptr));
  EXPECT_EQ(0u, CallCount(L"Items.Table"));
  EXPECT_TRUE(List(object_).empty());
  EXPECT_TRUE(object_->Events->ChangedMarkSet());
  EXPECT_TRUE(object_->Events->TakeRebuild());
  EXPECT_FALSE(object_->Events->TakeRebuild());
  EXPECT_TRUE(RebuildDeleteList(object_, session_.Get(), utils_.Get()));
  EXPECT_EQ(1u, List(object_).size());
}

TEST_F(DeleteListTest, ExchangeFoldersAndEmptyFoldersAndFailures) {
  CMAPIFolderObject* exchange = AddFolderObject(folder_, 0, L"Family", true);
  AddItem(folder_, L"Ada");
  exchange->Events->AddToFolderCacheList(L"AB01");
  EXPECT_EQ(S_OK, FillDeleteList(exchange, session_.Get(), utils_.Get()));
  EXPECT_EQ(S_OK, FillDeleteList(exchange));
  EXPECT_EQ(S_OK, FillDeleteList(exchange, utils_.Get(), OpenFolder(folder_).Get()));
  EXPECT_EQ((std::vector<std::wstring>{L"AB01"}), List(exchange));

  CMAPIFolderObject* empty = AddFolderObject(AddFolder(store_, L"Empty"), 0, L"Empty");
  EXPECT_EQ(S_OK, FillDeleteList(empty, session_.Get(), utils_.Get()));
  EXPECT_TRUE(List(empty).empty());

  World().InjectFailure(L"Session.GetFolderById", 1, MAPI_E_NOT_FOUND);
  EXPECT_EQ(E_FAIL, FillDeleteList(object_, session_.Get(), utils_.Get()));
  EXPECT_NE(std::string::npos, ErrorLogText().find("FDL:NO FOLDER"));

  // Batches that come back empty end the walk.
  World().InjectFailure(L"Table.EmptyBatch", 1, E_FAIL, -1);
  EXPECT_EQ(S_OK, FillDeleteList(object_, session_.Get(), utils_.Get()));
  EXPECT_TRUE(List(object_).empty());
}

TEST_F(DeleteListTest, LookupsTellNotFoundFromFailure) {
  const sim::ObjId a = ItemWithKey(folder_, L"Ada");
  com::ComPtr<IRdoFolder> folder = OpenFolder(folder_);
  HRESULT lookup = E_PENDING;
  com::ComPtr<IRdoMessage> found = FindBySearchId(object_, session_.Get(), utils_.Get(), kKey, folder.Get(), &lookup);
  ASSERT_TRUE(found);
  EXPECT_EQ(S_OK, lookup);
  com::Bstr entryId;
  found->get_EntryID(entryId.Put());
  EXPECT_EQ(World().GetItem(a)->entryId, entryId.Str());

  EXPECT_FALSE(FindBySearchId(object_, session_.Get(), utils_.Get(), L"00FF", folder.Get(), &lookup));
  EXPECT_EQ(S_OK, lookup) << "really not there";

  World().InjectFailure(L"Items.Find", 1, MAPI_E_CALL_FAILED);
  EXPECT_FALSE(FindBySearchId(object_, session_.Get(), utils_.Get(), kKey, folder.Get(), &lookup));
  EXPECT_EQ(MAPI_E_CALL_FAILED, lookup);
  EXPECT_FALSE(FindBySearchId(object_, session_.Get(), utils_.Get(), L"12' OR 'x", folder.Get(), &lookup));
  EXPECT_EQ(E_INVALIDARG, lookup);

  com::Variant binary;
  ASSERT_EQ(S_OK, utils_->HexToBin(com::Bstr(kKey), binary.Put()));
  EXPECT_TRUE(FindBySearchIdVariant(object_, session_.Get(), utils_.Get(), binary, folder.Get(), &lookup));
  EXPECT_FALSE(FindBySearchIdVariant(object_, session_.Get(), utils_.Get(), com::Variant(kKey), folder.Get(), &lookup));
  EXPECT_EQ(E_INVALIDARG, lookup);
  EXPECT_NE(std::string::npos, ErrorLogText().find("Parameter falsch"));
  ASSERT_TRUE(FindBySearchId(object_, session_.Get(), utils_.Get(), kKey, folder.Get())) << "the folder stays the caller's";
}

// Masters Family (one-way), Club (two-way) and Trips (two-way, in its own
// category subfolder "Trips" of the default folder) with the default
// Contacts folder; every folder holds a copy of one item.
// Outlook's thread never waits for a worker: an ItemAdd raised while
// another thread holds the delete lists' lock returns, and the worker finds
// the added key at its next use of the list.
TEST_F(DeleteListTest, AnItemAddReturnsWhileAWorkerHoldsTheListsLock) {
  const sim::ObjId ada = AddItem(folder_, L"Ada");
  engine_->SetSettingsLoaded(true);
  com::ComPtr<IDispatch> item = simol::Model::Instance().NewItem(ada);
  ASSERT_TRUE(item);
  std::promise<void> held, done;
  std::future<void> eventDone = done.get_future();
  bool releasedByEvent = false;
  std::thread worker([&] {
    EnterCriticalSection(&g_csDeleteList);
    held.set_value();
    // Without an answer from the event in a minute, it is waiting for us.
    releasedByEvent = eventDone.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
    LeaveCriticalSection(&g_csDeleteList);
  });
  held.get_future().wait();
  VARIANT arg;
  VariantInit(&arg);
  arg.vt = VT_DISPATCH;
  arg.pdispVal = item.Get();
  DISPPARAMS params{&arg, nullptr, 1, 0};
  EXPECT_EQ(S_OK, object_->Events->Invoke(0xF001, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr));
  done.set_value();
  worker.join();
  EXPECT_TRUE(releasedByEvent) << "the event waited for the worker's lock";
  EXPECT_FALSE(object_->Events->TakeRebuild());
  EXPECT_EQ((std::vector<std::wstring>{SearchKeyOf(ada)}), List(object_));
  // A rebuild takes the added key along as any other.
  EXPECT_TRUE(RebuildDeleteList(object_, session_.Get(), utils_.Get()));
  EXPECT_EQ((std::vector<std::wstring>{SearchKeyOf(ada)}), List(object_));
}

// Outlook's thread appends the keys of added items while a worker takes
// them over into the list: none is lost or read half written.
TEST_F(DeleteListTest, KeysAddedWhileAWorkerTakesThemOverAllReachTheList) {
  engine_->SetSettingsLoaded(true);
  std::vector<com::ComPtr<IDispatch>> items;
  std::vector<std::wstring> keys;
  for (int i = 0; i < 300; ++i) {
    const sim::ObjId id = AddItem(folder_, (L"Person " + std::to_wstring(i)).c_str());
    items.push_back(simol::Model::Instance().NewItem(id));
    keys.push_back(SearchKeyOf(id));
  }
  std::atomic<bool> adding{true};
  std::thread worker([&] {
    while (adding) object_->Events->InFolderCache(L"none");
  });
  for (const com::ComPtr<IDispatch>& item : items) {
    VARIANT arg;
    VariantInit(&arg);
    arg.vt = VT_DISPATCH;
    arg.pdispVal = item.Get();
    DISPPARAMS params{&arg, nullptr, 1, 0};
    object_->Events->Invoke(0xF001, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
  }
  adding = false;
  worker.join();
  std::vector<std::wstring> listed = List(object_);
  std::sort(listed.begin(), listed.end());
  std::sort(keys.begin(), keys.end());
  EXPECT_EQ(keys, listed);
}

class CounterpartTest : public DeleteListTest {
 protected:
  void SetUp() override {
    DeleteListTest::SetUp();
    const sim::ObjId contacts = World().StoreDefaultFolder(store_, sim::kOlContacts);
    club_ = AddFolder(store_, L"Club");
    trips_ = AddFolder(store_, L"Journeys");
    tripsTarget_ = World().AddFolder(contacts, L"Trips");
    standard_ = AddFolderObject(contacts, 1, L"");
    clubObject_ = AddFolderObject(club_, 0, L"Club");
    clubObject_->Events->BOTH_DIRECTIONS = true;
    tripsObject_ = AddFolderObject(trips_, 0, L"Trips");
    tripsObject_->Events->BOTH_DIRECTIONS = true;
    tripsObject_->Events->CREATESUBFOLDER = true;
    subfolder_ = AddFolderObject(tripsTarget_, 1, L"");
    subfolder_->Events->MasterCreateSubfolder = true;
    object_->Partner = standard_;
    clubObject_->Partner = standard_;
    tripsObject_->Partner = subfolder_;
    engine_->UserLogOn = 1;
    // The copy in Contacts is Family's.
    for (sim::ObjId f : {folder_, contacts, club_, trips_, tripsTarget_})
      copies_.push_back(ItemWithKey(f, L"Ada", kKey, f == contacts ? Family() : std::vector<std::wstring>{}));
  }
  static std::vector<std::wstring> Family() { return {L"Family"}; }
  void FileCopyUnder(std::vector<std::wstring> categories) {
    sim::ItemContent c = World().GetItem(copies_[1])->content;
    c.Set(sim::PropKey::Keywords(), sim::Value::List(std::move(categories)));
    ASSERT_EQ(S_OK, World().CommitItem(copies_[1], std::move(c)));
  }
  // Which folders (Family, Contacts, Club, Journeys, Contacts/Trips) still hold their copy.
  std::vector<bool> Left() {
    std::vector<bool> left;
    for (sim::ObjId c : copies_) {
      const auto info = World().GetItem(c);
      left.push_back(info && !info->deleted);
    }
    return left;
  }

  sim::ObjId club_ = 0, trips_ = 0, tripsTarget_ = 0;
  CMAPIFolderObject *standard_ = nullptr, *clubObject_ = nullptr, *tripsObject_ = nullptr, *subfolder_ = nullptr;
  std::vector<sim::ObjId> copies_;
};

TEST_F(CounterpartTest, AMasterDeletionReachesOnlyItsOwnTarget) {
  standard_->Events->AddToFolderCacheList(kKey);
  CsLock lock(g_csDeleteList);
  EXPECT_EQ(0, deleteItem2(object_, session_.Get(), utils_.Get(), kKey));
  EXPECT_EQ((std::vector<bool>{true, false, true, true, true}), Left());
  EXPECT_FALSE(Listed(standard_, kKey)) << "its own deletion must not echo on to Club";
  EXPECT_EQ(1u, CountOf(DebugLogText(), "EXCH_DEL: Ada"));
  EXPECT_EQ(1u, CountOf(DebugLogText(), "FROM-SLAVE: S:Contacts"));
  EXPECT_EQ(0, engine_->GetSyncStatus());

  // A category-subfolder job deletes only in its own subfolder.
  EXPECT_EQ(0, deleteItem2(tripsObject_, session_.Get(), utils_.Get(), kKey));
  EXPECT_EQ((std::vector<bool>{true, false, true, true, false}), Left());
}

// An item belongs to the job whose category it carries: once the user filed
// the copy under Club, Family's deletion leaves it (and Club's item) alone
// and forgets the key. A copy of both jobs goes, and Club's copy with it; a
// copy whose finishing failed goes without its category.
TEST_F(CounterpartTest, AMasterDeletionTakesOnlyItsOwnJobsItemFromTheDefaultFolder) {
  CsLock lock(g_csDeleteList);
  for (auto categories : {std::vector<std::wstring>{L"Club"}, {L"family"}, {L"Family Trips"}, {}}) {
    FileCopyUnder(categories);
    EXPECT_EQ(0, deleteItem2(object_, session_.Get(), utils_.Get(), kKey));
    EXPECT_EQ((std::vector<bool>{true, true, true, true, true}), Left());
  }
  EXPECT_EQ(4u, CountOf(DebugLogText(), "item of another job now, left: Ada"));

  standard_->Events->UnfinishedCopies.insert(kKey);
  EXPECT_EQ(0, deleteItem2(object_, session_.Get(), utils_.Get(), kKey));
  EXPECT_EQ((std::vector<bool>{true, false, true, true, true}), Left());

  copies_[1] = ItemWithKey(World().StoreDefaultFolder(store_, sim::kOlContacts), L"Ada", kKey, {L"Club", L"Family"});
  EXPECT_EQ(0, deleteItem2(object_, session_.Get(), utils_.Get(), kKey));
  EXPECT_EQ((std::vector<bool>{true, false, false, true, true}), Left());
}

TEST_F(CounterpartTest, ADefaultFolderDeletionReachesTheTwoWayMastersOfItsFolder) {
  CsLock lock(g_csDeleteList);
  EXPECT_EQ(0, deleteItem2(standard_, session_.Get(), utils_.Get(), kKey));
  EXPECT_EQ((std::vector<bool>{true, true, false, true, true}), Left())
      << "Family is one-way; Trips lives in the subfolder named after it";
  EXPECT_EQ(1u, CountOf(DebugLogText(), "FROM-MASTER: M:Club"));

  EXPECT_EQ(0, deleteItem2(subfolder_, session_.Get(), utils_.Get(), kKey));
  EXPECT_EQ((std::vector<bool>{true, true, false, false, true}), Left());

  EXPECT_EQ(0, deleteItem2(standard_, session_.Get(), utils_.Get(), L"AB"));
  EXPECT_EQ(0, engine_->GetSyncStatus());
}

TEST_F(CounterpartTest, AFailedDeletionIsTriedAgainAndGivenUpInTheEnd) {
  CsLock lock(g_csDeleteList);
  World().InjectFailure(L"Items.Find", 1, MAPI_E_CALL_FAILED);
  EXPECT_EQ(1, deleteItem2(object_, session_.Get(), utils_.Get(), kKey)) << "a failed lookup is no deletion";
  EXPECT_TRUE(Left()[1]);
  World().InjectFailure(L"Message.Delete", 1, E_ACCESSDENIED);
  EXPECT_EQ(1, deleteItem2(object_, session_.Get(), utils_.Get(), kKey));
  EXPECT_TRUE(Left()[1]);
  EXPECT_NE(std::string::npos, ErrorLogText().find("Accesslevel, to low ?"));
  EXPECT_EQ(0, deleteItem2(object_, session_.Get(), utils_.Get(), kKey));
  EXPECT_FALSE(Left()[1]);

  // A counterpart that can never be reached is given up after a few tries.
  const std::wstring other = L"00112233445566778899AABBCCDDEEFF";
  ItemWithKey(World().StoreDefaultFolder(store_, sim::kOlContacts), L"Bob", other.c_str(), Family());
  World().InjectFailure(L"Session.GetFolderById", 1, MAPI_E_NETWORK_ERROR, -1);
  for (int i = 1; i < kDeleteRetries; ++i) EXPECT_EQ(1, deleteItem2(object_, session_.Get(), utils_.Get(), other.c_str()));
  EXPECT_EQ(0, deleteItem2(object_, session_.Get(), utils_.Get(), other.c_str()));
  EXPECT_NE(std::string::npos, ErrorLogText().find("deleteItem2(withkey)::given up"));
}

// Another folder's deleted-items search removes the counterpart in
// Contacts while Contacts rebuilds its list: the rebuild must not bring the
// removed key back (Contacts' own search would then pass the deletion on to
// the two-way masters). The search, on a thread of its own, starts in the
// middle of the rebuild's table walk.
TEST_F(CounterpartTest, ARebuildNeverBringsBackAKeyThatACounterpartDeletionTookOut) {
  ASSERT_EQ(S_OK, FillDeleteList(standard_, session_.Get(), utils_.Get()));
  ASSERT_TRUE(Listed(standard_, kKey));
  std::thread search;
  std::atomic<bool> searched{false};
  SetDeleteListRowHook([&] {
    if (search.joinable()) return;
    search = std::thread([&] {
      CoInitializeEx(nullptr, COINIT_MULTITHREADED);
      {
        com::ComPtr<IRdoSession> session;
        com::ComPtr<IRdoUtils> utils;
        com::Variant none;
        sim::CreateSession(__uuidof(IRdoSession), session.PutVoid());
        sim::CreateUtils(__uuidof(IRdoUtils), utils.PutVoid());
        session->Logon(none, none, none, none, none, none);
        // As a worker's search runs: inside the folder-sync lock.
        EnterCriticalSection(&g_csFolderSync);
        deleteItem2(object_, session.Get(), utils.Get(), kKey);
        LeaveCriticalSection(&g_csFolderSync);
      }
      CoUninitialize();
      searched = true;
    });
    // Room for the search to run in the middle of the walk, if it may.
    for (int i = 0; i < 50 && !searched; ++i) Sleep(10);
  });
  EXPECT_TRUE(RebuildDeleteList(standard_, session_.Get(), utils_.Get()));
  SetDeleteListRowHook(nullptr);
  ASSERT_TRUE(search.joinable());
  search.join();
  EXPECT_FALSE(Left()[1]) << "the search deleted the copy in Contacts";
  EXPECT_FALSE(Listed(standard_, kKey));
  EXPECT_FALSE(standard_->Events->TakeDeleted()) << "nothing is left for Contacts' own search";
}

}  // namespace
