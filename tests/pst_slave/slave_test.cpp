// Default-folder items flowing to the master of a two-way pair, over the
// simulated wrapper: which side the date rule picks, which jobs an item
// reaches, and that failed lookups, copies and saves leave everything in
// place for a later pass instead of losing or overwriting anything.
#include <mapicode.h>

#include "clock.h"
#include "pass_fixture.h"
#include "item_identity.h"
#include "pst_items.h"
#include "pst_pass.h"
#include "pst_slave.h"

namespace pass_testing {
namespace {

constexpr wchar_t kSubject[] = L"http://schemas.microsoft.com/mapi/proptag/0x0037001F";
constexpr wchar_t kModified[] = L"DAV:getlastmodified";
constexpr wchar_t kReminderSet[] = L"http://schemas.microsoft.com/mapi/id/{00062008-0000-0000-C000-000000000046}/8503000B";
constexpr double kSecond = 1.0 / 86400.0;

// The pair of the pass fixture, two-way, with both folder objects in the
// engine's list so that categories find their job.
class SlaveTest : public PassTest {
 protected:
  void SetUp() override {
    PassTest::SetUp();
    master->Events->BOTH_DIRECTIONS = true;
    slave->LastFolderSyncTime = com::DateTime(2.0);
    master->LastFolderSyncTime = com::DateTime(2.0);
    engine_->AddFolderObject(master);
    engine_->AddFolderObject(slave);
  }
  void TearDown() override {
    engine_->FolderList.clear();  // the fixture deletes the objects itself
    PassTest::TearDown();
  }

  std::wstring AddDefaultItem(const std::wstring& subject, std::vector<std::wstring> categories,
                              std::vector<sim::SimProp> props = {}) {
    sim::SimItem item;
    item.messageClass = L"IPM.Contact";
    item.subject = subject;
    item.categories = std::move(categories);
    item.props = std::move(props);
    return sim_->AddItem(slaveId.Str(), item);
  }
  void SetSubject(const std::wstring& entryId, const wchar_t* text) {
    sim::SimProp subject{kSubject, {}};
    subject.value.vt = VT_BSTR;
    subject.value.bstrVal = SysAllocString(text);
    ASSERT_TRUE(sim_->ChangeItem(entryId, {subject}));
    VariantClear(&subject.value);
  }
  std::wstring Subject(const std::wstring& entryId) { return Text(entryId, kSubject); }
  // An item's time in the table's time base, as the walk lists it.
  DATE Modified(const std::wstring& entryId) {
    com::Variant v;
    sim_->ReadItem(entryId, kModified, v.Put());
    DATE table = 0;
    return v.vt == VT_DATE && SUCCEEDED(utils->ToTableTimeBase(v.date, &table)) ? table : 0;
  }
  std::wstring SyncId(const std::wstring& entryId) {
    com::Variant key;
    com::Bstr hex;
    sim_->ReadItem(entryId, L"http://schemas.microsoft.com/mapi/proptag/0x300B0102", key.Put());
    utils->BinToHex(key, hex.Put());
    return hex.Str();
  }
  // Handles one default-folder item as the default folder's walk does, with
  // the slave date the walk would have listed.
  HRESULT Process(const std::wstring& entryId, DATE slaveDate, std::vector<std::wstring> categories = {L"Work"}) {
    HRESULT outcome = E_UNEXPECTED;
    PSTprocessItemInDefaultFolder(slave->Events, session.Get(), utils.Get(), SyncId(entryId), slaveDate, categories,
                                  &outcome);
    return outcome;
  }
  HRESULT DefaultPass() { return checkIfSomethingChanged(slave, session.Get(), utils.Get()); }
  std::vector<std::wstring> MasterItems() { return sim_->Items(masterId.Str()); }
};

TEST_F(SlaveTest, DateRulePicksTheNewerSideAndOwnWritesAreNotCopiedAgain) {
  const std::wstring ada = AddDefaultItem(L"Ada Lovelace", {L"Work"});
  ASSERT_EQ(S_OK, Process(ada, Modified(ada)));
  ASSERT_EQ(1u, MasterItems().size());
  const std::wstring copy = MasterItems().front();
  EXPECT_EQ(L"Work", Text(copy, L"urn:schemas:mailheader:keywords"));
  // The new copy is newer than the default-folder item, but it is the
  // add-in's own write: neither side copies it back.
  sim_->ClearCalls();
  EXPECT_EQ(S_OK, Process(ada, Modified(copy) - 60 * kSecond));
  EXPECT_EQ(S_OK, Pass());
  EXPECT_EQ(0u, Writes());

  // Less than five seconds apart counts as the same state.
  SetSubject(ada, L"Ada King");
  EXPECT_EQ(S_OK, Process(ada, Modified(copy) + 4.9 * kSecond));
  EXPECT_EQ(0u, Writes());
  EXPECT_EQ(L"Ada Lovelace", Subject(copy));

  // Later by more: the default-folder item goes to the master, both are
  // saved and recorded, and nothing flows again.
  EXPECT_EQ(S_OK, Process(ada, Modified(copy) + 6 * kSecond));
  EXPECT_EQ(L"Ada King", Subject(copy));
  EXPECT_EQ(1u, CallsOf(L"Message.CopyTo"));
  sim_->ClearCalls();
  EXPECT_EQ(S_OK, Process(ada, Modified(ada)));
  EXPECT_EQ(S_OK, Pass());
  EXPECT_EQ(0u, Writes());

  // The master changes later: its content reaches the default-folder item,
  // which keeps the job's category, and both passes stay quiet afterwards.
  clk::Sleep(10000);
  SetSubject(copy, L"Ada, Countess");
  EXPECT_EQ(S_OK, Process(ada, Modified(ada)));
  EXPECT_EQ(L"Ada, Countess", Subject(ada));
  EXPECT_EQ(L"Work", Text(ada, L"urn:schemas:mailheader:keywords"));
  sim_->ClearCalls();
  EXPECT_EQ(S_OK, Process(ada, Modified(ada)));
  EXPECT_EQ(S_OK, Pass());
  EXPECT_EQ(0u, Writes());
}

TEST_F(SlaveTest, CopiesTheMasterWroteAreNotWrittenBack) {
  const std::wstring grace = AddMasterItem(L"Grace Hopper");
  ASSERT_EQ(S_OK, Pass());
  ASSERT_EQ(1u, SlaveItems().size());
  const std::wstring copy = SlaveItems().front();
  sim_->ClearCalls();
  // However late the copy's time looks against its master, it is the
  // add-in's own write.
  EXPECT_EQ(S_OK, Process(copy, Modified(grace) + 3600 * kSecond));
  EXPECT_EQ(S_OK, DefaultPass());
  EXPECT_EQ(0u, Writes());
}

TEST_F(SlaveTest, OnlyTwoWayJobsOfThisFolderGetItemsAndEachOnce) {
  const std::wstring twice = AddDefaultItem(L"Twice Filed", {L"Work", L"Work", L"Nobody"});
  EXPECT_EQ(S_OK, Process(twice, Modified(twice), {L"Work", L"Work", L"Nobody"}));
  EXPECT_EQ(1u, MasterItems().size());
  EXPECT_NE(std::string::npos, DebugLogText().find("Category not defined as SYNCJOB"));

  // A job whose items go to another folder is not this folder's job.
  const std::wstring elsewhere = AddDefaultItem(L"Elsewhere", {L"Work"});
  master->Partner = nullptr;
  EXPECT_EQ(S_OK, Process(elsewhere, Modified(elsewhere)));
  master->Partner = slave;
  // A one-way job never receives anything.
  master->Events->BOTH_DIRECTIONS = false;
  EXPECT_EQ(S_OK, Process(elsewhere, Modified(elsewhere)));
  EXPECT_EQ(0, CopyDefault2Master(slave->Events, session.Get(), utils.Get(), SyncId(twice), master, slave));
  EXPECT_EQ(1u, MasterItems().size());

  // Stopping objects and Exchange sinks are refused outright.
  master->Events->BOTH_DIRECTIONS = true;
  master->RunFlag = false;
  EXPECT_EQ(E_FAIL, CopyDefault2Master(slave->Events, session.Get(), utils.Get(), SyncId(twice), master, slave));
  master->RunFlag = true;
  slave->Events->ExchangeMode = true;
  EXPECT_EQ(E_FAIL, CopyDefault2Master(slave->Events, session.Get(), utils.Get(), SyncId(twice), master, slave));
  EXPECT_EQ(1, PSTprocessItemInDefaultFolder(slave->Events, session.Get(), utils.Get(), SyncId(twice), 0, {L"Work"}));
  slave->Events->ExchangeMode = false;
  EXPECT_EQ(1u, MasterItems().size());
}

TEST_F(SlaveTest, FailedLookupsAndOpensCopyNothingAndAreRetried) {
  const std::wstring ada = AddDefaultItem(L"Ada Lovelace", {L"Work"});
  // The search for the item in the master fails: that is no "new item".
  sim_->InjectFailure(L"Items.Find", 1, MAPI_E_CALL_FAILED, 1);
  EXPECT_TRUE(FAILED(Process(ada, Modified(ada))));
  // The master folder does not open (own folder, job lookup, then this one),
  // or not while the job is looked up: the job is not taken for missing.
  sim_->InjectFailure(L"Session.GetFolderById", 3, MAPI_E_NETWORK_ERROR, 1);
  EXPECT_EQ(MAPI_E_NETWORK_ERROR, Process(ada, Modified(ada)));
  sim_->InjectFailure(L"Session.GetFolderById", 2, MAPI_E_NETWORK_ERROR, 1);
  EXPECT_TRUE(FAILED(Process(ada, Modified(ada))));
  EXPECT_TRUE(MasterItems().empty());
  EXPECT_EQ(0u, CallsOf(L"Message.CopyTo"));

  // An item that failed is handled again by itself, while the folder time
  // moves on for the rest: a later item, not Ada, is the newest one listed.
  clk::Sleep(10000);
  AddDefaultItem(L"Later", {L"Nobody"});
  sim_->InjectFailure(L"Message.CopyTo", 1, MAPI_E_NOT_ENOUGH_DISK, 1);
  EXPECT_EQ(S_OK, DefaultPass());
  EXPECT_GT(slave->LastFolderSyncTime.Date(), Modified(ada));
  EXPECT_NE(std::string::npos, ErrorLogText().find("PSTprocessItemInDefaultFolder::AddItem"));
  EXPECT_TRUE(MasterItems().empty());
  EXPECT_EQ(S_OK, DefaultPass());
  EXPECT_EQ(1u, MasterItems().size());
  EXPECT_TRUE(slave->Events->RetryItems.empty());
}

TEST_F(SlaveTest, FailedSaveOfTheMasterIsNeitherRecordedNorLogged) {
  engine_->UserLogOn = 1;
  const std::wstring ada = AddDefaultItem(L"Ada Lovelace", {L"Work"});
  ASSERT_EQ(S_OK, Process(ada, Modified(ada)));
  const std::wstring copy = MasterItems().front();
  SetSubject(ada, L"Ada King");
  const std::wstring key = DefaultItemWriteKey(SyncId(ada), master);

  // Saves: the default-folder item first, then the master item.
  sim_->InjectFailure(L"Message.Save", 2, MAPI_E_NOT_ENOUGH_DISK, 1);
  EXPECT_EQ(MAPI_E_NOT_ENOUGH_DISK, Process(ada, Modified(copy) + 60 * kSecond));
  EXPECT_EQ(L"Ada Lovelace", Subject(copy));
  EXPECT_EQ(0u, slave->Events->PSTChangeKeyList.count(key));
  EXPECT_EQ(std::string::npos, DebugLogText().find("CHANGE(S=>M):"));
  EXPECT_NE(std::string::npos, ErrorLogText().find("CopyDefault2Master::SaveMasterItem"));

  // A save of the default-folder item that fails leaves the master as it
  // was, so a newer edit there is not overwritten later.
  sim_->InjectFailure(L"Message.Save", 1, MAPI_E_OBJECT_CHANGED, 1);
  EXPECT_EQ(MAPI_E_OBJECT_CHANGED, Process(ada, Modified(copy) + 60 * kSecond));
  EXPECT_EQ(L"Ada Lovelace", Subject(copy));

  EXPECT_EQ(S_OK, Process(ada, Modified(copy) + 60 * kSecond));
  EXPECT_EQ(L"Ada King", Subject(copy));
  EXPECT_EQ(1u, slave->Events->PSTChangeKeyList.count(key));
  EXPECT_EQ(1u, engine_testing::CountOf(DebugLogText(), "CHANGE(S=>M): Ada King"));
  EXPECT_NE(std::string::npos, DebugLogText().find("IN: Work"));
}

// A due reminder holds its own item only: the folder time moves on, but the
// time kept for the next start waits for the held item.
TEST_F(SlaveTest, DueReminderHoldsOnlyItsItemAndTheStoredTimeWaitsForIt) {
  sim::SimProp reminder{kReminderSet, {}};
  reminder.value.vt = VT_BOOL;
  reminder.value.boolVal = VARIANT_TRUE;
  const std::wstring call = AddDefaultItem(L"Call back", {L"Work"}, {reminder});
  EXPECT_EQ(E_PENDING, Process(call, Modified(call)));
  EXPECT_TRUE(MasterItems().empty());
  clk::Sleep(10000);
  const std::wstring later = AddDefaultItem(L"Later", {L"Work"});
  EXPECT_EQ(S_OK, DefaultPass());
  ASSERT_EQ(1u, MasterItems().size());
  EXPECT_EQ(L"Later", Subject(MasterItems().front()));
  EXPECT_GT(slave->LastFolderSyncTime.Date(), Modified(call) + 5 * kSecond);
  ASSERT_EQ(1u, slave->Events->RetryItems.size());
  EXPECT_NEAR(Modified(call), FolderTimeToStore(slave).Date(), kSecond);
}

TEST_F(SlaveTest, InternetCalendarItemGetsAnObjectIdFirstAndIsCopiedByTheNextPass) {
  slave->Events->HotMailMode = true;
  // Another item maps the meeting GlobalObjectId in the store.
  sim::SimProp objectId{kDaslGlobalObjectId, {}};
  objectId.value.vt = VT_BSTR;
  objectId.value.bstrVal = SysAllocString(L"0102");
  com::Variant binary;
  utils->HexToBin(objectId.value.bstrVal, binary.Put());
  VariantClear(&objectId.value);
  VariantCopy(&objectId.value, &binary);
  AddDefaultItem(L"Mapped", {}, {objectId});
  VariantClear(&objectId.value);

  const std::wstring party = AddDefaultItem(L"Party", {L"Work"});
  const std::wstring searchKey = SyncId(party);
  HRESULT outcome = E_UNEXPECTED;
  PSTprocessItemInDefaultFolder(slave->Events, session.Get(), utils.Get(), searchKey, Modified(party), {L"Work"},
                                &outcome);
  EXPECT_EQ(S_OK, outcome);
  EXPECT_TRUE(MasterItems().empty());
  com::Variant given;
  com::Bstr givenHex;
  sim_->ReadItem(party, kDaslGlobalObjectId, given.Put());
  ASSERT_EQ(S_OK, utils->BinToHex(given, givenHex.Put()));
  EXPECT_EQ(searchKey + party, givenHex.Str());

  PSTprocessItemInDefaultFolder(slave->Events, session.Get(), utils.Get(), givenHex.Str(), Modified(party),
                                {L"Work"}, &outcome);
  EXPECT_EQ(S_OK, outcome);
  EXPECT_EQ(1u, MasterItems().size());
}

}  // namespace
}  // namespace pass_testing
