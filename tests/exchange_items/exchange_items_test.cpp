// Exchange items handed on between a master folder "Team" and the default
// Contacts folder of one mailbox, in both directions, with the world's
// failure injection for the paths where a step fails.
#include <gtest/gtest.h>

#include <mapicode.h>

#include <algorithm>
#include <map>

#include "blocks_fixture.h"
#include "exchange_items.h"
#include "exchange_sync.h"
#include "rdo_folder.h"
#include "world/times.h"

namespace {

using blocks_testing::CountOf;

class ExchangeItemsTest : public blocks_testing::BlocksTest {
 protected:
  void SetUp() override {
    BlocksTest::SetUp();
    mailbox_ = AddStore(L"Mailbox", 3);
    team_ = AddFolder(mailbox_, L"Team");
    contacts_ = World().StoreDefaultFolder(mailbox_, sim::kOlContacts);
    master_ = AddFolderObject(team_, 0, L"Team", true);
    master_->Events->BOTH_DIRECTIONS = true;
    default_ = AddFolderObject(contacts_, 1, L"", true);
    master_->Partner = default_;
    engine_->UserLogOn = 1;
  }
  void TearDown() override {
    World().ClearFailures();
    BlocksTest::TearDown();
  }

  bool FromMaster(sim::ObjId item) {
    return pExInMasterFldr(master_, session_.Get(), utils_.Get(), SearchKeyOf(item), Open(item).Get());
  }
  bool FromDefault(sim::ObjId item) {
    return pExInDefFldr2(default_, session_.Get(), utils_.Get(), SearchKeyOf(item), Open(item).Get());
  }
  // The item of `folder` with `subject`; 0 when there is none.
  sim::ObjId Find(sim::ObjId folder, const wchar_t* subject) {
    for (sim::ObjId id : World().Items(folder))
      if (World().GetItem(id)->Subject() == subject) return id;
    return 0;
  }
  // The user's edit, made on a phone that gives it its own time: each a
  // minute after the one before (and after anything the add-in wrote), so
  // that which side is newer never rests on how fast the test runs.
  void Change(sim::ObjId item, const wchar_t* subject) {
    sim::ItemContent c = World().GetItem(item)->content;
    c.Set(sim::PropKey::Tag(sim::tags::kSubject), sim::Value::String(subject));
    edited_ = std::max(edited_, sim::times::NowUtc()) + 60 * sim::times::kSecond;
    ASSERT_EQ(S_OK, World().CommitItem(item, c, edited_));
  }
  std::wstring ChangeKeyOf(sim::ObjId item) { return World().GetItem(item)->ChangeKeyHex(); }
  // True when the item's present change is registered as the add-in's own
  // write in `f`'s records (its folder's next run skips it).
  bool RegisteredOwnWrite(CMAPIFolderObject* f, sim::ObjId item) {
    const auto info = World().GetItem(item);
    for (const auto& [source, change] : f->CacheTable)
      if (source == info->SourceKeyHex()) return change == info->ChangeKeyHex();
    return false;
  }
  bool HasReminder(sim::ObjId item) {
    const sim::Value* set = World().GetItem(item)->content.Find(sim::named::ReminderSet());
    return set && set->num;
  }
  sim::ObjId AddAppointment(sim::ObjId folder, const wchar_t* subject, const std::vector<std::wstring>& categories,
                            bool reminder) {
    sim::ItemContent c;
    c.Set(sim::named::ReminderSet(), sim::Value::Bool(reminder));
    c.Set(sim::named::ReminderTime(), sim::Value::Date(45000));  // long past: due while set
    return AddItem(folder, subject, categories, L"IPM.Appointment", c);
  }

  // A two-way calendar job "Family" that keeps reminders on the side where
  // an item was made (its hand-on puts an origin mark on the item).
  struct CalendarJob {
    sim::ObjId family, calendar;
    CMAPIFolderObject* job;
    CMAPIFolderObject* target;
  };
  CalendarJob AddFamilyCalendarJob() {
    CalendarJob c{AddFolder(mailbox_, L"Family", sim::kOlAppointmentItem),
                  World().StoreDefaultFolder(mailbox_, sim::kOlCalendar), nullptr, nullptr};
    c.job = AddFolderObject(c.family, 0, L"Family", true);
    c.target = AddFolderObject(c.calendar, 1, L"", true);
    c.job->Partner = c.target;
    c.job->Events->BOTH_DIRECTIONS = true;
    c.job->Events->DONT_SYNC_REMINDERS = true;
    return c;
  }

  sim::ObjId mailbox_ = 0, team_ = 0, contacts_ = 0;
  double edited_ = 0;
  CMAPIFolderObject* master_ = nullptr;
  CMAPIFolderObject* default_ = nullptr;
};

TEST(ExchangeNewItemClass, CustomFormsGetTheirStandardClass) {
  EXPECT_EQ(L"IPM.Contact", NewItemMessageClass(L"IPM.Contact.Customers"));
  EXPECT_EQ(L"IPM.Sticky.Note", NewItemMessageClass(L"IPM.Sticky.Note.Yellow"));
  EXPECT_EQ(L"IPM.Activity", NewItemMessageClass(L"IPM.Journal"));
  EXPECT_EQ(L"IPM.Appointment", NewItemMessageClass(L"IPM.Appointment"));
  EXPECT_EQ(L"IPM.Contact", NewItemMessageClass(L"IPM.Contact")) << "no dot, nothing to reduce";
}

TEST_F(ExchangeItemsTest, ANewMasterItemReachesTheDefaultFolderAndIsRegisteredOnBothSides) {
  const sim::ObjId ada = AddItem(team_, L"Ada");
  ASSERT_TRUE(FromMaster(ada));
  const sim::ObjId copy = Find(contacts_, L"Ada");
  ASSERT_NE(0u, copy);
  EXPECT_EQ(SearchKeyOf(ada), SearchKeyOf(copy));
  EXPECT_EQ(std::vector<std::wstring>{L"Team"}, KeywordsOf(ada)) << "two-way: the master item carries the category";
  EXPECT_EQ(std::vector<std::wstring>{L"Team"}, KeywordsOf(copy));
  // Neither write may come back as the user's change.
  EXPECT_TRUE(RegisteredOwnWrite(default_, copy));
  EXPECT_TRUE(RegisteredOwnWrite(master_, ada));
  // A deletion of the copy can be followed by its source key.
  std::wstring key;
  EXPECT_EQ(S_OK, LookupFolderCache(default_, World().GetItem(copy)->SourceKeyHex(), &key, false));
  EXPECT_EQ(SearchKeyOf(ada), key);
  EXPECT_EQ(1u, CountOf(DebugLogText(), "NEW: Ada"));
  EXPECT_EQ(1u, CountOf(DebugLogText(), "IN: S:Contacts"));

  // One-way: only the copy gets the category, the master item is not written.
  master_->Events->BOTH_DIRECTIONS = false;
  master_->CacheTable.clear();
  const sim::ObjId bob = AddItem(team_, L"Bob");
  const std::wstring change = ChangeKeyOf(bob);
  ASSERT_TRUE(FromMaster(bob));
  EXPECT_TRUE(KeywordsOf(bob).empty());
  EXPECT_EQ(change, ChangeKeyOf(bob));
  EXPECT_TRUE(master_->CacheTable.empty());
  EXPECT_EQ(std::vector<std::wstring>{L"Team"}, KeywordsOf(Find(contacts_, L"Bob")));
}

// A store's clock may give a write the time the item already carries (its
// tick is coarser than two writes in a row): the category and origin mark
// the hand-on puts on the item are still the add-in's own writes.
TEST_F(ExchangeItemsTest, WritesOnTheItemHandedOnAreTheAddinsOwnAlsoWhenTheyKeepItsTime) {
  const auto [family, calendar, job, target] = AddFamilyCalendarJob();
  const sim::ObjId ada = AddItem(team_, L"Ada");
  const sim::ObjId dentist = AddAppointment(calendar, L"Dentist", {L"Family"}, true);
  // From here on every commit in the mailbox keeps the time the item had.
  std::map<sim::ObjId, double> times;
  for (sim::ObjId item : {ada, dentist}) times[item] = World().GetItem(item)->LastModified();
  const int token = World().AddObserver([&](const sim::ChangeNote& note) {
    auto kept = times.find(note.item);
    if (note.kind != sim::ChangeKind::Change || kept == times.end()) return;
    auto info = World().GetItem(note.item);
    if (info && info->LastModified() != kept->second) World().CommitItem(note.item, info->content, kept->second);
  });

  ASSERT_TRUE(FromMaster(ada));
  ASSERT_TRUE(pExInDefFldr2(target, session_.Get(), utils_.Get(), SearchKeyOf(dentist), Open(dentist).Get()));
  World().RemoveObserver(token);
  EXPECT_EQ(times[ada], World().GetItem(ada)->LastModified());
  EXPECT_EQ(std::vector<std::wstring>{L"Team"}, KeywordsOf(ada)) << "the master item was written";
  EXPECT_TRUE(RegisteredOwnWrite(master_, ada)) << "its category";
  EXPECT_NE(0u, Find(family, L"Dentist"));
  EXPECT_TRUE(RegisteredOwnWrite(target, dentist)) << "its origin mark";
}

TEST_F(ExchangeItemsTest, AChangedMasterItemOverwritesItsCopyUnlessTheCopyIsNewer) {
  const sim::ObjId ada = AddItem(team_, L"Ada");
  ASSERT_TRUE(FromMaster(ada));
  const sim::ObjId copy = Find(contacts_, L"Ada");
  Change(ada, L"Ada King");
  ASSERT_TRUE(FromMaster(ada));
  EXPECT_EQ(L"Ada King", World().GetItem(copy)->Subject());
  EXPECT_EQ(1u, World().ItemCount(contacts_));
  EXPECT_TRUE(RegisteredOwnWrite(default_, copy));
  EXPECT_EQ(1u, CountOf(DebugLogText(), "CHANGE: Ada King"));

  // The user changed the copy after the master item: that change goes the
  // other way, the copy is left alone, and that is no failure.
  Change(ada, L"Ada Lovelace");
  Change(copy, L"Countess");
  const std::wstring copyChange = ChangeKeyOf(copy);
  EXPECT_TRUE(FromMaster(ada));
  EXPECT_EQ(copyChange, ChangeKeyOf(copy));
}

TEST_F(ExchangeItemsTest, AFailedStepIsReportedAndMakesOrOverwritesNothing) {
  const sim::ObjId ada = AddItem(team_, L"Ada");
  // Whether the copy exists is unknown: nothing is made.
  World().InjectFailure(L"Items.Find", 1, MAPI_E_CALL_FAILED);
  EXPECT_FALSE(FromMaster(ada));
  EXPECT_EQ(0u, World().ItemCount(contacts_));
  // The new item cannot be made, or not be saved: false, and no half item.
  World().InjectFailure(L"Items.Add", 1, MAPI_E_CALL_FAILED);
  EXPECT_FALSE(FromMaster(ada));
  World().InjectFailure(L"Message.CopyTo", 1, E_ACCESSDENIED);
  EXPECT_FALSE(FromMaster(ada));
  std::wstring title, text;
  DWORD level = 0;
  ASSERT_TRUE(engine_->TakeTrayMessage(title, text, level));
  EXPECT_EQ(L"M:Team => Contacts", text);
  EXPECT_EQ(2u, level);
  EXPECT_EQ(0u, World().ItemCount(contacts_));
  EXPECT_TRUE(default_->CacheTable.empty()) << "nothing registered for a write that did not happen";
  EXPECT_EQ(0u, CountOf(DebugLogText(), "NEW: Ada")) << "no user-log line for a failed copy";

  // A master without a default folder hands nothing on and says so.
  master_->Partner = nullptr;
  EXPECT_FALSE(FromMaster(ada));
  master_->Partner = default_;
  ASSERT_TRUE(FromMaster(ada));

  // A failed save of a changed copy keeps the change for the next run.
  Change(ada, L"Ada King");
  World().InjectFailure(L"Message.Save", 1, MAPI_E_CALL_FAILED, -1);
  EXPECT_FALSE(FromMaster(ada));
  World().ClearFailures();
  EXPECT_EQ(L"Ada", World().GetItem(Find(contacts_, L"Ada"))->Subject());
}

TEST_F(ExchangeItemsTest, RemindersStayOnTheSideWhereTheItemWasMade) {
  const sim::ObjId team = AddFolder(mailbox_, L"Meetings", sim::kOlAppointmentItem);
  const sim::ObjId calendar = World().StoreDefaultFolder(mailbox_, sim::kOlCalendar);
  CMAPIFolderObject* meetings = AddFolderObject(team, 0, L"Meetings", true);
  CMAPIFolderObject* target = AddFolderObject(calendar, 1, L"", true);
  meetings->Partner = target;
  meetings->Events->BOTH_DIRECTIONS = true;

  // Reminders synchronised: an item whose reminder is due waits.
  const sim::ObjId due = AddAppointment(team, L"Standup", {}, true);
  EXPECT_TRUE(pExInMasterFldr(meetings, session_.Get(), utils_.Get(), SearchKeyOf(due), Open(due).Get()));
  EXPECT_EQ(0u, World().ItemCount(calendar));

  // Kept on the origin side: the copy comes without it, in both directions.
  meetings->Events->DONT_SYNC_REMINDERS = true;
  EXPECT_TRUE(pExInMasterFldr(meetings, session_.Get(), utils_.Get(), SearchKeyOf(due), Open(due).Get()));
  const sim::ObjId copy = Find(calendar, L"Standup");
  ASSERT_NE(0u, copy);
  EXPECT_FALSE(HasReminder(copy));
  EXPECT_TRUE(HasReminder(due));

  const sim::ObjId dentist = AddAppointment(calendar, L"Dentist", {L"Meetings"}, true);
  EXPECT_TRUE(pExInDefFldr2(target, session_.Get(), utils_.Get(), SearchKeyOf(dentist), Open(dentist).Get()));
  const sim::ObjId back = Find(team, L"Dentist");
  ASSERT_NE(0u, back);
  EXPECT_FALSE(HasReminder(back)) << "the new master item is finished with the reminder rule";
  EXPECT_TRUE(HasReminder(dentist));
  EXPECT_TRUE(RegisteredOwnWrite(meetings, back));
  EXPECT_TRUE(RegisteredOwnWrite(target, dentist)) << "its origin mark is the add-in's write too";
}

// The origin mark the hand-on puts on a default-folder item is the add-in's
// write; were it registered although the hand-on failed, the retry would
// take the item's change for an own write and skip it for good.
TEST_F(ExchangeItemsTest, AFailedHandOnLeavesTheItemsChangeForTheNextTry) {
  const auto [family, calendar, job, target] = AddFamilyCalendarJob();

  const sim::ObjId dentist = AddAppointment(calendar, L"Dentist", {L"Family"}, true);
  World().InjectFailure(L"Items.Add", 1, MAPI_E_CALL_FAILED);
  EXPECT_FALSE(pExInDefFldr2(target, session_.Get(), utils_.Get(), SearchKeyOf(dentist), Open(dentist).Get()));
  EXPECT_FALSE(RegisteredOwnWrite(target, dentist)) << "the origin mark is written, but the change is not handled";
  EXPECT_EQ(0u, World().ItemCount(family));

  EXPECT_TRUE(pExInDefFldr2(target, session_.Get(), utils_.Get(), SearchKeyOf(dentist), Open(dentist).Get()));
  EXPECT_NE(0u, Find(family, L"Dentist"));
  EXPECT_TRUE(RegisteredOwnWrite(target, dentist));
}

// The user edits the master item while the hand-on holds it: the server
// refuses the category's save, and no copy is written from what was read
// (it would be newer than the edit and hide it). The next try takes the
// edit along.
TEST_F(ExchangeItemsTest, AMasterItemEditedWhileHeldIsNotCopiedAsItWasRead) {
  for (bool fresh : {true, false}) {
    SCOPED_TRACE(fresh ? "new" : "changed");
    const sim::ObjId item = AddItem(team_, fresh ? L"Ada" : L"Bob");
    if (!fresh) {
      ASSERT_TRUE(FromMaster(item));
      sim::ItemContent plain = World().GetItem(item)->content;
      plain.Set(sim::named::Keywords(), sim::Value());
      ASSERT_EQ(S_OK, World().CommitItem(item, plain));
    }
    const sim::ObjId copy = Find(contacts_, L"Bob");
    const std::wstring copyBefore = copy ? ChangeKeyOf(copy) : L"";
    com::ComPtr<IRdoMessage> held = Open(item);
    Change(item, fresh ? L"Ada King" : L"Bob Kahn");
    EXPECT_FALSE(pExInMasterFldr(master_, session_.Get(), utils_.Get(), SearchKeyOf(item), held.Get()));
    if (fresh) EXPECT_EQ(0u, World().ItemCount(contacts_));
    else EXPECT_EQ(copyBefore, ChangeKeyOf(copy));

    ASSERT_TRUE(FromMaster(item));
    EXPECT_NE(0u, Find(contacts_, fresh ? L"Ada King" : L"Bob Kahn"));
  }
}

// An iCloud store may report a failed save of an item it did take; one it
// did not take must still count as a failure, or the change is lost.
TEST_F(ExchangeItemsTest, AFailedSaveOverAnICloudMasterItemThatTheStoreDidNotTakeIsAFailure) {
  const sim::ObjId ada = AddItem(contacts_, L"Ada", {L"Team"});
  ASSERT_TRUE(FromDefault(ada));
  master_->Events->iCloudMode = true;
  Change(ada, L"Ada King");
  World().InjectFailure(L"Message.Save", 1, MAPI_E_CALL_FAILED);
  EXPECT_FALSE(FromDefault(ada));
  EXPECT_NE(0u, Find(team_, L"Ada"));
  EXPECT_TRUE(FromDefault(ada));
  EXPECT_NE(0u, Find(team_, L"Ada King"));
}

TEST_F(ExchangeItemsTest, ADefaultFolderItemGoesToEachTwoWayJobOfItsCategoriesOnce) {
  const sim::ObjId home = AddFolder(mailbox_, L"Home");
  CMAPIFolderObject* homeJob = AddFolderObject(home, 0, L"Home", true);
  homeJob->Partner = default_;
  homeJob->Events->BOTH_DIRECTIONS = true;
  const sim::ObjId club = AddFolder(mailbox_, L"Club");
  CMAPIFolderObject* clubJob = AddFolderObject(club, 0, L"Club", true);
  clubJob->Partner = default_;  // one-way: its items never flow back

  const sim::ObjId none = AddItem(contacts_, L"Nobody");
  EXPECT_TRUE(FromDefault(none));
  const sim::ObjId ada = AddItem(contacts_, L"Ada", {L"Team", L"Home", L"Club", L"Team", L"Elsewhere"});
  ASSERT_TRUE(FromDefault(ada));
  EXPECT_EQ(1u, World().ItemCount(team_));
  EXPECT_EQ(1u, World().ItemCount(home));
  EXPECT_EQ(0u, World().ItemCount(club));
  EXPECT_EQ(SearchKeyOf(ada), SearchKeyOf(Find(team_, L"Ada")));
  EXPECT_EQ(2u, CountOf(DebugLogText(), "NEW(S=>M): Ada"));
  EXPECT_EQ(1u, CountOf(DebugLogText(), "IN: M:Home"));
  EXPECT_TRUE(RegisteredOwnWrite(master_, Find(team_, L"Ada")));

  // Changed in the default folder: copied over both master items.
  Change(ada, L"Ada King");
  ASSERT_TRUE(FromDefault(ada));
  EXPECT_EQ(L"Ada King", World().GetItem(Find(team_, L"Ada King"))->Subject());
  EXPECT_NE(0u, Find(home, L"Ada King"));
  EXPECT_EQ(2u, CountOf(DebugLogText(), "CHANGE(S=>M): Ada King"));
  EXPECT_TRUE(RegisteredOwnWrite(homeJob, Find(home, L"Ada King")));

  // A master item changed later is not overwritten.
  Change(Find(team_, L"Ada King"), L"Ada Lovelace");
  Change(ada, L"Ada B.");
  Change(Find(team_, L"Ada Lovelace"), L"Ada Lovelace");
  EXPECT_TRUE(FromDefault(ada));
  EXPECT_NE(0u, Find(team_, L"Ada Lovelace"));
  EXPECT_NE(0u, Find(home, L"Ada B."));
}

TEST_F(ExchangeItemsTest, ADefaultFolderItemThatCannotReachItsMasterComesAgain) {
  const sim::ObjId ada = AddItem(contacts_, L"Ada", {L"Team"});
  World().InjectFailure(L"Items.Find", 1, MAPI_E_CALL_FAILED);
  EXPECT_FALSE(FromDefault(ada));
  World().InjectFailure(L"Message.CopyTo", 1, MAPI_E_CALL_FAILED);
  EXPECT_FALSE(FromDefault(ada));
  EXPECT_EQ(0u, World().ItemCount(team_)) << "no empty item left behind";
  EXPECT_TRUE(master_->CacheTable.empty());
  ASSERT_TRUE(FromDefault(ada));

  Change(ada, L"Ada King");
  World().InjectFailure(L"Message.Save", 1, MAPI_E_CALL_FAILED);
  EXPECT_FALSE(FromDefault(ada)) << "a failed copy over the master item is a failure";
  EXPECT_NE(0u, Find(team_, L"Ada"));

  // A job whose items go to another folder is not this folder's.
  const sim::ObjId sub = AddFolder(mailbox_, L"Elsewhere");
  master_->Partner = AddFolderObject(sub, 1, L"", true);
  const sim::ObjId bob = AddItem(contacts_, L"Bob", {L"Team"});
  EXPECT_TRUE(FromDefault(bob));
  EXPECT_EQ(0u, Find(team_, L"Bob"));
}

}  // namespace
