// Items of two masters of one default folder that share a key: a master in
// a store of the Hotmail kind, whose items go through a default-folder
// object of their own and are found by meeting id, and a master in personal
// folders.
#include "item_identity.h"
#include "pass_fixture.h"
#include "pst_items.h"
#include "pst_master.h"

namespace pass_testing {
namespace {

constexpr long kCalendarFolder = 9;
constexpr long kAppointments = 1;

class SharedKeyTest : public PassTest {
 protected:
  void SetUp() override {
    PassTest::SetUp();
    com::ComPtr<IRdoFolder> calendar;
    ASSERT_EQ(S_OK, session->GetDefaultFolder(kCalendarFolder, calendar.Put()));
    calendar->get_EntryID(calendarId.Put());
    sim::SimStore hotmail;
    hotmail.name = L"Hotmail";
    hotmail.providerHex = kHotMailProvider;
    hotmailStore = com::Bstr(sim_->AddStore(hotmail));
    workId = com::Bstr(sim_->AddFolder(sim_->DefaultFolder(hotmailStore.Str(), 0), L"Work", kAppointments));
    familyId = com::Bstr(sim_->AddFolder(sim_->DefaultFolder(masterStore.Str(), 0), L"Family", kAppointments));

    hotmailDefault = Add(0, calendarId, slaveStore, true, L"");
    personalDefault = Add(0, calendarId, slaveStore, false, L"");
    work = Add(hotmailDefault, workId, hotmailStore, true, L"Work");
    family = Add(personalDefault, familyId, masterStore, false, L"Family");
    family->Events->BOTH_DIRECTIONS = true;
  }
  void TearDown() override {
    engine_->FolderList.clear();
    for (CMAPIFolderObject* f : objects_) delete f;
    PassTest::TearDown();
  }
  // A master of `partner`, or with none a default-folder object.
  CMAPIFolderObject* Add(CMAPIFolderObject* partner, const com::Bstr& entryId, const com::Bstr& storeId, bool hotMail,
                         const wchar_t* category) {
    auto* f = new CMAPIFolderObject(nullptr, partner ? 0 : 1, false, false, hotMail);
    f->Events->EntryID = entryId;
    f->Events->StoreID = storeId;
    f->Events->IsStandard = partner ? 0 : 1;
    f->Events->BOTH_DIRECTIONS = !partner;
    SetFolderCategory(f->Categorie, category);
    f->Partner = partner;
    engine_->AddFolderObject(f);
    objects_.push_back(f);
    return f;
  }
  std::wstring HexOf(const std::wstring& entryId, const wchar_t* dasl) {
    com::Variant id;
    com::Bstr hex;
    sim_->ReadItem(entryId, dasl, id.Put());
    if (id.vt != (VT_ARRAY | VT_UI1) || FAILED(utils->BinToHex(id, hex.Put()))) return {};
    return hex.Str();
  }
  std::wstring MeetingIdOf(const std::wstring& entryId) { return HexOf(entryId, kDaslGlobalObjectId); }
  HRESULT ProcessMaster(CMAPIFolderObject* job, const std::wstring& entryId, bool byMeetingId) {
    const std::wstring key = byMeetingId ? MeetingIdOf(entryId) : HexOf(entryId, kDaslSearchKey);
    return PSTprocessItemInMasterFolder(job->Events, session.Get(), utils.Get(), key, 0, byMeetingId);
  }

  com::Bstr calendarId, hotmailStore, workId, familyId;
  CMAPIFolderObject *hotmailDefault = nullptr, *personalDefault = nullptr, *work = nullptr, *family = nullptr;
  std::vector<CMAPIFolderObject*> objects_;
};

// The user pastes a Hotmail master's appointment into the other master and
// edits the original; the Hotmail master's side lists its item first and
// gives the pasted one a key of its own. It needs a meeting id of its own as
// well, or its copy and the original's carry one meeting id: the Hotmail
// side's default-folder object would part the pasted item's copy from it.
TEST_F(SharedKeyTest, APasteFromAHotmailMasterTakesAKeyAndAMeetingIdOfItsOwnWhicheverSideComesFirst) {
  sim::SimItem appointment;
  appointment.messageClass = L"IPM.Appointment";
  appointment.subject = L"Party";
  const std::wstring party = sim_->AddItem(workId.Str(), appointment);
  ASSERT_FALSE(MeetingIdOf(party).empty());
  ASSERT_EQ(S_OK, ProcessMaster(work, party, true));
  ASSERT_EQ(1u, sim_->Items(calendarId.Str()).size());

  const std::wstring pasted = sim_->CopyItem(party, familyId.Str());
  ASSERT_EQ(SearchKeyOf(party), SearchKeyOf(pasted));
  ASSERT_EQ(MeetingIdOf(party), MeetingIdOf(pasted));
  ASSERT_EQ(S_OK, ProcessMaster(work, party, true));
  ASSERT_EQ(S_OK, ProcessMaster(family, pasted, false));

  EXPECT_NE(SearchKeyOf(party), SearchKeyOf(pasted));
  EXPECT_NE(MeetingIdOf(party), MeetingIdOf(pasted));
  const std::vector<std::wstring> copies = sim_->Items(calendarId.Str());
  ASSERT_EQ(2u, copies.size());
  EXPECT_NE(MeetingIdOf(copies[0]), MeetingIdOf(copies[1]));
  EXPECT_EQ(1u, sim_->Items(workId.Str()).size());
  EXPECT_EQ(1u, sim_->Items(familyId.Str()).size());
}

// The pasted item's own master comes first: the pasted item takes a key of
// its own and, in the same processing, is copied under that key beside the
// original's copy, which it must not take for its own.
TEST_F(SharedKeyTest, APasteWhoseMasterComesFirstIsCopiedUnderItsNewKeyAtOnce) {
  sim::SimItem appointment;
  appointment.messageClass = L"IPM.Appointment";
  appointment.subject = L"Party";
  const std::wstring party = sim_->AddItem(workId.Str(), appointment);
  ASSERT_EQ(S_OK, ProcessMaster(work, party, true));
  ASSERT_EQ(1u, sim_->Items(calendarId.Str()).size());

  const std::wstring pasted = sim_->CopyItem(party, familyId.Str());
  ASSERT_EQ(S_OK, ProcessMaster(family, pasted, false));

  ASSERT_NE(SearchKeyOf(party), SearchKeyOf(pasted));
  const std::vector<std::wstring> copies = sim_->Items(calendarId.Str());
  ASSERT_EQ(2u, copies.size());
  EXPECT_EQ(1, int(SearchKeyOf(copies[0]) == SearchKeyOf(pasted)) + int(SearchKeyOf(copies[1]) == SearchKeyOf(pasted)));
  EXPECT_EQ(1, int(SearchKeyOf(copies[0]) == SearchKeyOf(party)) + int(SearchKeyOf(copies[1]) == SearchKeyOf(party)));
}

}  // namespace
}  // namespace pass_testing
