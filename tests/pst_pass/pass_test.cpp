// The comparison pass of a personal-folder master and its item copy, over
// the simulated wrapper: what is copied, what is recorded, when the folder
// time moves, and that failures are retried instead of lost.
#include <mapicode.h>

#include "clock.h"
#include "item_copy.h"
#include "pass_fixture.h"
#include "pst_pass.h"

namespace pass_testing {
namespace {

constexpr wchar_t kKeywords[] = L"urn:schemas:mailheader:keywords";
constexpr double kSecond = 1.0 / 86400.0;

TEST(PassRules, DatesSnapToFiveSecondsThenTheLaterSideWins) {
  const double m = 45000.5;
  EXPECT_EQ(NewerSide::kEqual, CompareItemDates(m, m + 4.9 * kSecond, 5.0));
  EXPECT_EQ(NewerSide::kMaster, CompareItemDates(m + 6 * kSecond, m, 5.0));
  EXPECT_EQ(NewerSide::kSlave, CompareItemDates(m, m + 6 * kSecond, 5.0));
  EXPECT_EQ(NewerSide::kEqual, CompareItemDates(m, m + 0.4 * kSecond, 0.0));
  EXPECT_EQ(NewerSide::kSlave, CompareItemDates(m, m + 0.6 * kSecond, 0.0));

  EXPECT_EQ(L" M=>S: 40% / Private", PassStatusText(L" M=>S:", 4, 10, L"Private"));
  EXPECT_EQ(L" S=>M: 0% / Work", PassStatusText(L" S=>M:", 0, 3, L"Work"));
  EXPECT_EQ(150u, PassStatusText(L" M=>S:", 1, 2, std::wstring(400, L'x')).size());

  // A row dated in the future does not become the folder time; an earlier
  // stored time is never moved back.
  const com::DateTime now(45000.0), stored(44999.0);
  EXPECT_DOUBLE_EQ(44999.5, CappedFolderTime(com::DateTime(44999.5), stored, now).Date());
  EXPECT_NEAR(45000.0 + 300 * kSecond, CappedFolderTime(com::DateTime(45010.0), stored, now).Date(), 1e-9);
  EXPECT_DOUBLE_EQ(45020.0, CappedFolderTime(com::DateTime(45010.0), com::DateTime(45020.0), now).Date());
}

TEST_F(PassTest, OneWayCopiesCarryTheCategoryAndTheNextPassWritesNothing) {
  const std::wstring ada = AddMasterItem(L"Ada Lovelace");
  AddMasterItem(L"Alan Turing");
  master->LastFolderSyncTime = com::DateTime(2.0);

  ASSERT_EQ(S_OK, Pass());
  std::vector<std::wstring> copies = SlaveItems();
  ASSERT_EQ(2u, copies.size());
  for (const std::wstring& copy : copies) EXPECT_EQ(L"Work", Text(copy, kKeywords));
  // The master item itself is not touched by a one-way pair.
  EXPECT_EQ(L"", Text(ada, kKeywords));
  // How each pair was left (both items' times) is recorded in the master's
  // sink, so that a later pass knows which side changed since; the copies'
  // keys are in the target's delete list.
  EXPECT_EQ(2u, master->Events->PSTChangeKeyList.size());
  for (const auto& [key, record] : master->Events->PSTChangeKeyList) EXPECT_NE(0.0, record.counterpart) << key;
  EXPECT_EQ(2u, slave->Events->FolderCacheSnapshot().size());
  EXPECT_GT(master->LastFolderSyncTime.Date(), 3.0);

  sim_->ClearCalls();
  ASSERT_EQ(S_OK, Pass());
  EXPECT_EQ(0u, Writes());
  EXPECT_EQ(2u, SlaveItems().size());
}

// A pass opens the folders it works with once, whatever the number of items.
TEST_F(PassTest, APassOpensEachFolderOnce) {
  for (const wchar_t* name : {L"Ada", L"Bob", L"Cy", L"Dee", L"Eve"}) AddMasterItem(name);
  master->LastFolderSyncTime = com::DateTime(2.0);
  sim_->ClearCalls();
  ASSERT_EQ(S_OK, Pass());
  EXPECT_EQ(5u, SlaveItems().size());
  EXPECT_EQ(2u, CallsOf(L"Session.GetFolderById")) << "the master folder and its default folder";
}

TEST_F(PassTest, FailedCopiesKeepTheFolderTimeAndAreRetried) {
  AddMasterItem(L"Charles Babbage");
  master->LastFolderSyncTime = com::DateTime(2.0);
  sim_->InjectFailure(L"Message.CopyTo", 1, MAPI_E_NOT_ENOUGH_DISK, 1);
  Pass();
  EXPECT_TRUE(SlaveItems().empty());
  EXPECT_DOUBLE_EQ(2.0, master->LastFolderSyncTime.Date());
  EXPECT_TRUE(slave->Events->FolderCacheSnapshot().empty());
  EXPECT_NE(std::string::npos, ErrorLogText().find("PSTprocessItemInMasterFolder::AddItem"));

  Pass();
  EXPECT_EQ(1u, SlaveItems().size());
  EXPECT_GT(master->LastFolderSyncTime.Date(), 2.0);

  // A change whose save onto the copy fails is not taken for the add-in's
  // own write: the next pass copies it again.
  clk::Sleep(10000);
  const std::wstring babbage = sim_->Items(masterId.Str()).front();
  sim::SimProp subject{L"http://schemas.microsoft.com/mapi/proptag/0x0037001F", {}};
  subject.value.vt = VT_BSTR;
  subject.value.bstrVal = SysAllocString(L"Charles B.");
  ASSERT_TRUE(sim_->ChangeItem(babbage, {subject}));
  VariantClear(&subject.value);
  const double before = master->LastFolderSyncTime.Date();
  const auto recorded = master->Events->PSTChangeKeyList;
  sim_->InjectFailure(L"Message.Save", 1, MAPI_E_OBJECT_CHANGED, 1);
  Pass();
  EXPECT_EQ(recorded, master->Events->PSTChangeKeyList);
  EXPECT_DOUBLE_EQ(before, master->LastFolderSyncTime.Date());
  Pass();
  EXPECT_EQ(L"Charles B.", Text(SlaveItems().front(), L"http://schemas.microsoft.com/mapi/proptag/0x0037001F"));
  ASSERT_EQ(1u, master->Events->PSTChangeKeyList.size());
  EXPECT_NE(recorded, master->Events->PSTChangeKeyList);
}

TEST_F(PassTest, UnsortedTableIsReadToTheEnd) {
  AddMasterItem(L"Old item");
  clk::Sleep(20000);
  DATE now = 0;  // the folder time is in the table's time base
  ASSERT_EQ(S_OK, utils->ToTableTimeBase(clk::NowLocalDate(), &now));
  master->LastFolderSyncTime = com::DateTime(now);
  clk::Sleep(20000);
  AddMasterItem(L"New item");
  // Unsorted, the rows come in creation order: the old row first.
  sim_->InjectFailure(L"Table.Sort", 1, E_FAIL, 1);
  ASSERT_EQ(S_OK, Pass());
  std::vector<std::wstring> copies = SlaveItems();
  ASSERT_EQ(1u, copies.size());
  EXPECT_EQ(L"New item", Text(copies[0], L"http://schemas.microsoft.com/mapi/proptag/0x0037001F"));
  EXPECT_NE(std::string::npos, ErrorLogText().find("sortierung defekt"));
}

TEST_F(PassTest, CopyThatCannotBeFoundAgainIsNeitherRegisteredNorRepeated) {
  const std::wstring ada = AddMasterItem(L"Ada Lovelace");
  master->LastFolderSyncTime = com::DateTime(2.0);
  // The copy's key cannot be read back and the search for it fails.
  sim_->InjectFailure(L"Utils.GetPropByTag", 3, E_FAIL, 1);
  sim_->InjectFailure(L"Items.Find", 3, E_FAIL, 1);
  Pass();
  EXPECT_NE(std::string::npos, ErrorLogText().find("copyItemToFolder::Just CopiedMsg Not Found"));
  EXPECT_TRUE(slave->Events->FolderCacheSnapshot().empty());
  EXPECT_DOUBLE_EQ(2.0, master->LastFolderSyncTime.Date());

  // The copy exists, though; the next pass must not make another.
  sim_->ClearCalls();
  Pass();
  EXPECT_EQ(0u, CallsOf(L"Message.CopyTo"));
  EXPECT_EQ(1u, SlaveItems().size());
  EXPECT_GT(master->LastFolderSyncTime.Date(), 2.0);
}

// A copy that exists but cannot be found under the item's key is neither
// copied again nor passed over: the pass reports it, keeps the folder time,
// and goes on normally once a lookup finds the copy.
TEST_F(PassTest, ACopyThatStaysUnverifiedHoldsTheFolderTimeUntilItIsFound) {
  AddMasterItem(L"Ada Lovelace");
  master->LastFolderSyncTime = com::DateTime(2.0);
  sim_->InjectFailure(L"Utils.GetPropByTag", 3, E_FAIL, 1);
  sim_->InjectFailure(L"Items.Find", 3, E_FAIL, 1);
  Pass();
  ASSERT_EQ(1u, SlaveItems().size());
  const std::wstring copy = SlaveItems().front();
  com::Variant original;
  sim_->ReadItem(copy, L"http://schemas.microsoft.com/mapi/proptag/0x300B0102", original.Put());
  com::Bstr key;
  ASSERT_EQ(S_OK, utils->BinToHex(original, key.Put()));
  // The copy carries another key now, as a store may give its copies.
  auto SetKey = [&](const wchar_t* hex) {
    com::Variant binary;
    ASSERT_EQ(S_OK, utils->HexToBin(com::Bstr(hex), binary.Put()));
    sim::SimProp prop{L"http://schemas.microsoft.com/mapi/proptag/0x300B0102", {}};
    VariantCopy(&prop.value, &binary);
    ASSERT_TRUE(sim_->ChangeItem(copy, {prop}));
    VariantClear(&prop.value);
  };
  SetKey(L"00112233445566778899AABBCCDDEEFF");
  sim_->ClearCalls();
  EXPECT_EQ(S_OK, Pass());
  EXPECT_EQ(0u, CallsOf(L"Message.CopyTo"));
  EXPECT_DOUBLE_EQ(2.0, master->LastFolderSyncTime.Date());
  EXPECT_NE(std::string::npos, ErrorLogText().find("could not be verified"));

  SetKey(key.c_str());
  EXPECT_EQ(S_OK, Pass());
  EXPECT_EQ(1u, SlaveItems().size());
  EXPECT_GT(master->LastFolderSyncTime.Date(), 2.0);
  EXPECT_TRUE(slave->Events->UnverifiedCopies.empty());
}

TEST_F(PassTest, CopiedDistributionListKeepsExactlyItsMembers) {
  AddMasterItem(L"Team", L"IPM.DistList");
  master->LastFolderSyncTime = com::DateTime(2.0);
  ASSERT_EQ(S_OK, Pass());
  std::vector<std::wstring> copies = SlaveItems();
  ASSERT_EQ(1u, copies.size());
  com::ComPtr<IRdoMessage> copy;
  ASSERT_EQ(S_OK, session->GetMessageById(com::Bstr(copies[0]), com::Variant(slaveStore.c_str()), com::Variant(16L),
                                          copy.Put()));
  com::ComPtr<IRdoDistList> list;
  ASSERT_EQ(S_OK, CreateRdoObject(kRdoDistListProgId, __uuidof(IRdoDistList), list.PutVoid()));
  ASSERT_EQ(S_OK, list->put_Item(copy.Get()));
  long members = -1;
  EXPECT_EQ(S_OK, list->get_MemberCount(&members));
  EXPECT_EQ(0, members);  // the placeholder went again
  list->put_Item(nullptr);
  EXPECT_EQ(L"Work", Text(copies[0], kKeywords));
  EXPECT_NE(std::string::npos, DebugLogText().find("copyItemToFolder::copyed one newDistList successfully"));
}

TEST_F(PassTest, TwoWayAppointmentKeepsItsReminderOnTheOriginSide) {
  master->Events->BOTH_DIRECTIONS = true;
  master->Events->DONT_SYNC_REMINDERS = true;
  sim::SimItem item;
  item.messageClass = L"IPM.Appointment";
  item.subject = L"Dentist";
  sim::SimProp reminder{L"http://schemas.microsoft.com/mapi/id/{00062008-0000-0000-C000-000000000046}/8503000B", {}};
  reminder.value.vt = VT_BOOL;
  reminder.value.boolVal = VARIANT_TRUE;
  item.props.push_back(reminder);
  const std::wstring dentist = sim_->AddItem(masterId.Str(), item);
  master->LastFolderSyncTime = com::DateTime(2.0);
  engine_->UserLogOn = 1;

  ASSERT_EQ(S_OK, Pass());
  std::vector<std::wstring> copies = SlaveItems();
  ASSERT_EQ(1u, copies.size());
  const wchar_t* set = L"http://schemas.microsoft.com/mapi/id/{00062008-0000-0000-C000-000000000046}/8503000B";
  const wchar_t* origin =
      L"http://schemas.microsoft.com/mapi/string/{0F62B4A7-203E-40de-99DA-6F03EE72A090}/TallowbySource";
  EXPECT_EQ(L"0", Text(dentist, origin));
  EXPECT_EQ(L"0", Text(copies[0], origin));
  EXPECT_EQ(L"Work", Text(dentist, kKeywords));
  EXPECT_EQ(L"Work", Text(copies[0], kKeywords));
  com::Variant onMaster, onCopy;
  sim_->ReadItem(dentist, set, onMaster.Put());
  sim_->ReadItem(copies[0], set, onCopy.Put());
  EXPECT_TRUE(onMaster.AsTruth());
  EXPECT_FALSE(onCopy.AsTruth());
  // A new item of a two-way pair is recorded and logged as new.
  EXPECT_EQ(1u, master->Events->PSTChangeKeyList.size());
  EXPECT_NE(std::string::npos, DebugLogText().find("NEW: Dentist"));

  sim_->ClearCalls();
  Pass();
  EXPECT_EQ(0u, Writes());
}

}  // namespace
}  // namespace pass_testing
