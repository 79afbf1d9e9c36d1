// One clock for comparing item times: each store's clock learnt from the
// add-in's own saves, and the comparison of two sides on it.
#include <gtest/gtest.h>

#include <cwctype>

#include "blocks_fixture.h"
#include "item_time.h"
#include "store_clocks.h"

namespace {

using blocks_testing::BlocksTest;
using blocks_testing::CountOf;

constexpr double kSecond = 1.0 / 86400.0;

class StoreClockTest : public BlocksTest {
 protected:
  void SetUp() override {
    BlocksTest::SetUp();
    mailbox_ = AddStore(L"Mailbox", 3);
    team_ = AddFolder(mailbox_, L"Team");
    local_ = AddStore(L"Personal Folders", 1);
    World().SetStoreClockOffset(mailbox_, 180);
  }
  // The add-in's write of an item of `folder`.
  double Write(CMAPIFolderObject* folder, sim::ObjId item, double before = 0) {
    com::ComPtr<IRdoMessage> message = Open(item);
    message->put_Subject(com::Bstr(L"written by the add-in"));
    double stamp = 0;
    EXPECT_EQ(S_OK, SaveOwnWrite(folder, utils_.Get(), message.Get(), before, &stamp));
    return stamp;
  }

  sim::ObjId mailbox_ = 0, team_ = 0, local_ = 0;
};

TEST_F(StoreClockTest, EachStoreIsMeasuredFromTheAddinsSavesAndFollowedWhenItsClockIsSet) {
  CMAPIFolderObject* team = AddFolderObject(team_, 0, L"Team", true);
  CMAPIFolderObject* local = AddFolderObject(AddFolder(local_, L"Family"), 0, L"Family");
  const sim::ObjId ada = AddItem(team_, L"Ada");

  Write(team, ada);
  EXPECT_NEAR(180.0, team->Clock().Offset() / kSecond, 2.0);
  EXPECT_EQ(1u, CountOf(DebugLogText(), "TimeDiff:Server/Client = 180s"));
  EXPECT_FALSE(local->Clock().Measured()) << "another store learns nothing from it";

  // Every folder of the store shares its clock, however its StoreID is spelt.
  CMAPIFolderObject* contacts = AddFolderObject(World().StoreDefaultFolder(mailbox_, sim::kOlContacts), 1, L"", true);
  std::wstring lower = contacts->Events->StoreID.Str();
  for (wchar_t& c : lower) c = wchar_t(std::towlower(c));
  contacts->Events->StoreID = com::Bstr(lower);
  EXPECT_EQ(&team->Clock(), &contacts->Clock());

  // The server's clock is set back while Outlook runs: the next write
  // follows it.
  World().SetStoreClockOffset(mailbox_, -60);
  const double stamp = Write(contacts, ada);
  EXPECT_NEAR(-60.0, team->Clock().Offset() / kSecond, 2.0);

  // A write whose stamp the store did not make now (it kept the item's time)
  // teaches nothing.
  World().SetStoreClockOffset(mailbox_, 3600);
  EXPECT_EQ(stamp, TimeDiff(team, utils_.Get(), Open(ada).Get(), stamp));
  EXPECT_NEAR(-60.0, team->Clock().Offset() / kSecond, 2.0);
}

TEST(ItemTimeTest, TwoSidesAreComparedOnTheAddinsClockAfterWhatTheOwnWritesTell) {
  using S = SinceOwnWrite;
  StoreClock behind, ahead;
  behind.Learn(-2.0 / 24);
  ahead.Learn(3 * 60 * kSecond);
  const double now = 46000.5;
  // The user's edit half a minute after the copy, in a store two hours
  // behind: newer, though its stamp is older.
  const ItemTime edit{now + 30 * kSecond - 2.0 / 24, &behind};
  const ItemTime copy{now, nullptr};
  EXPECT_EQ(NewerSide::kMaster, CompareItemDates(edit, copy, 5.0));
  EXPECT_TRUE(IsLater(edit, copy));
  // A copy a server three minutes ahead stamped two minutes after now was
  // made a minute before: older.
  EXPECT_EQ(NewerSide::kMaster, CompareItemDates(ItemTime{now}, ItemTime{now + 2 * 60 * kSecond, &ahead}, 5.0));
  EXPECT_EQ(NewerSide::kSlave, CompareItemDates(ItemTime{now}, ItemTime{now + 2 * 60 * kSecond}, 5.0));
  // Within the tolerance, and for a store not measured yet, as before.
  EXPECT_EQ(NewerSide::kEqual, CompareItemDates(ItemTime{now}, ItemTime{now + 4 * kSecond}, 5.0));

  // What the add-in knows of how it left the pair comes first: the side
  // changed since is the newer, whatever the clocks say, and a pair left as
  // it was is in step.
  const ItemTime oldEdit{now - 3600 * kSecond, nullptr, S::kChanged};
  const ItemTime ownCopy{now, nullptr, S::kUnchanged};
  EXPECT_EQ(NewerSide::kMaster, CompareItemDates(oldEdit, ownCopy, 5.0));
  EXPECT_EQ(NewerSide::kSlave, CompareItemDates(ownCopy, oldEdit, 5.0));
  EXPECT_FALSE(IsLater(ownCopy, oldEdit));
  EXPECT_EQ(NewerSide::kEqual, CompareItemDates(ItemTime{now, nullptr, S::kUnchanged}, ownCopy, 5.0));
  // Both changed, or one not recorded: the clock decides.
  EXPECT_EQ(NewerSide::kSlave, CompareItemDates(oldEdit, ItemTime{now, nullptr, S::kChanged}, 5.0));
  EXPECT_EQ(NewerSide::kSlave, CompareItemDates(oldEdit, ItemTime{now}, 5.0));
}

}  // namespace
