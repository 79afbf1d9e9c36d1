// The host's control of the simulation: building a world, acting as the
// user, reading it back and dumping it, as scenarios do.
#include <gtest/gtest.h>

#include <algorithm>

#include "control/sim_control.h"
#include "variant.h"
#include "world/variant_value.h"
#include "world/world.h"

namespace sim {
namespace {

constexpr wchar_t kSubject[] = L"http://schemas.microsoft.com/mapi/proptag/0x0037001F";
constexpr wchar_t kSearchKey[] = L"http://schemas.microsoft.com/mapi/proptag/0x300B0102";
constexpr wchar_t kChangeKey[] = L"http://schemas.microsoft.com/mapi/proptag/0x65E20102";
constexpr wchar_t kKeywords[] = L"urn:schemas:mailheader:keywords";
constexpr wchar_t kReminderSet[] = L"http://schemas.microsoft.com/mapi/id/{00062008-0000-0000-C000-000000000046}/8503000B";

class ControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    c->Reset();
    token = World::Instance().AddObserver([this](const ChangeNote& n) { notes.push_back(n); });
  }
  void TearDown() override { World::Instance().RemoveObserver(token); }

  std::wstring Read(const std::wstring& item, const wchar_t* dasl) {
    com::Variant v;
    EXPECT_EQ(S_OK, c->ReadItem(item, dasl, v.Put()));
    if (v.vt == VT_BSTR) return v.bstrVal ? v.bstrVal : L"";
    if (v.vt == (VT_ARRAY | VT_UI1)) {
      Bytes b;
      VariantBytes(v, &b);
      return ToHex(b);
    }
    return v.vt == VT_EMPTY ? L"<empty>" : L"<vt " + std::to_wstring(v.vt) + L">";
  }
  // Builds the same small world every time.
  std::wstring Build() {
    SimStore pst;
    pst.name = L"Personal Folders";
    pst.isDefault = true;
    pst.omitFolders = {kOlJournal};
    storeId = c->AddStore(pst);
    SimStore mailbox;
    mailbox.name = L"Mailbox";
    mailbox.kind = 3;
    c->AddStore(mailbox);
    std::wstring root = c->DefaultFolder(storeId, 0);
    work = c->AddFolder(root, L"Work", kOlContactItem);
    archive = c->AddFolder(root, L"Tasks 2019", kOlTaskItem);
    SimItem ada;
    ada.messageClass = L"IPM.Contact";
    ada.subject = L"Ada";
    ada.categories = {L"Work", L"Home"};
    ada.recipients = {L"a@x.org"};
    SimProp reminder{kReminderSet, {}};
    reminder.value.vt = VT_BOOL;
    reminder.value.boolVal = VARIANT_TRUE;
    ada.props = {reminder};
    return c->AddItem(work, ada);
  }

  ISimControl* c = GetControl();
  int token = 0;
  std::vector<ChangeNote> notes;
  std::wstring storeId, work, archive;
};

TEST_F(ControlTest, BuildsStoresFoldersAndItemsOfTheGivenKinds) {
  std::wstring ada = Build();
  ASSERT_FALSE(ada.empty());
  EXPECT_FALSE(c->DefaultFolder(storeId, kOlContacts).empty());
  EXPECT_TRUE(c->DefaultFolder(storeId, kOlJournal).empty());  // left out
  EXPECT_TRUE(c->DefaultFolder(L"00", kOlContacts).empty());
  // Folders take item types, not Outlook folder numbers: 3 is tasks here.
  World& w = World::Instance();
  EXPECT_EQ(kOlContactItem, w.GetFolder(w.FolderByEntryId(work))->itemType);
  EXPECT_EQ(kOlTaskItem, w.GetFolder(w.FolderByEntryId(archive))->itemType);
  EXPECT_EQ(kOlContactItem, w.GetFolder(w.FolderByEntryId(c->AddFolder(work, L"Sub", -1)))->itemType);
  EXPECT_TRUE(c->AddFolder(work, L"sub", -1).empty());  // a name the parent has already
  EXPECT_TRUE(c->AddFolder(L"00", L"Lost", -1).empty());

  EXPECT_EQ(L"Ada", Read(ada, kSubject));
  com::Variant keywords;
  ASSERT_EQ(S_OK, c->ReadItem(ada, kKeywords, keywords.Put()));
  EXPECT_EQ(VT_ARRAY | VT_BSTR, keywords.vt);
  com::Variant reminder;
  ASSERT_EQ(S_OK, c->ReadItem(ada, kReminderSet, reminder.Put()));
  EXPECT_EQ(VT_BOOL, reminder.vt);
  EXPECT_EQ(VARIANT_TRUE, reminder.boolVal);
  auto info = w.GetItem(w.ItemByEntryId(ada));
  ASSERT_EQ(1u, info->content.recipients.size());
  EXPECT_EQ(L"a@x.org", info->content.recipients[0].address);
  EXPECT_EQ(std::vector<std::wstring>{ada}, c->Items(work));
  EXPECT_TRUE(c->Items(L"00").empty());
  com::Variant missing;
  EXPECT_EQ(MAPI_E_NOT_FOUND, c->ReadItem(L"00", kSubject, missing.Put()));

  // An item with a property the world cannot resolve is refused whole.
  SimItem bad;
  bad.subject = L"Bad";
  SimProp odd{L"nonsense:property", {}};
  odd.value.vt = VT_I4;
  bad.props = {odd};
  EXPECT_TRUE(c->AddItem(work, bad).empty());
  EXPECT_EQ(1u, c->Items(work).size());
}

TEST_F(ControlTest, TheUsersChangesCopiesAndDeletionsReachTheObserversWithNewKeys) {
  std::wstring ada = Build();
  notes.clear();
  std::wstring changeKey = Read(ada, kChangeKey);
  SimProp subject{kSubject, {}};
  subject.value.vt = VT_BSTR;
  subject.value.bstrVal = SysAllocString(L"Ada King");
  ASSERT_TRUE(c->ChangeItem(ada, {subject}));
  VariantClear(&subject.value);
  EXPECT_EQ(L"Ada King", Read(ada, kSubject));
  EXPECT_NE(changeKey, Read(ada, kChangeKey));
  SimProp odd{L"nonsense:property", {}};
  EXPECT_FALSE(c->ChangeItem(ada, {odd}));
  EXPECT_EQ(L"Ada King", Read(ada, kSubject));

  std::wstring copy = c->CopyItem(ada, archive);
  ASSERT_FALSE(copy.empty());
  EXPECT_NE(ada, copy);
  EXPECT_EQ(Read(ada, kSearchKey), Read(copy, kSearchKey));
  EXPECT_TRUE(c->CopyItem(ada, L"00").empty());
  // The user's delete moves the item to Deleted Items; deleted there, it goes.
  ASSERT_TRUE(c->DeleteItem(ada));
  EXPECT_FALSE(c->DeleteItem(ada));
  EXPECT_TRUE(c->Items(work).empty());
  const std::wstring bin = c->DefaultFolder(storeId, 3);
  ASSERT_EQ(1u, c->Items(bin).size());
  ASSERT_TRUE(c->DeleteItems(c->Items(bin), false));
  EXPECT_TRUE(c->Items(bin).empty());

  ASSERT_EQ(5u, notes.size());
  EXPECT_EQ(ChangeKind::Change, notes[0].kind);
  EXPECT_EQ(ada, notes[0].itemEntryId);
  EXPECT_EQ(ChangeKind::Add, notes[1].kind);
  EXPECT_EQ(archive, notes[1].folderEntryId);
  EXPECT_EQ(ChangeKind::Remove, notes[2].kind);
  EXPECT_EQ(work, notes[2].folderEntryId);
  EXPECT_EQ(bin, notes[3].folderEntryId);

  // A move keeps the item; the control names it by its new EntryID.
  std::wstring moved = c->MoveItem(copy, work);
  ASSERT_FALSE(moved.empty());
  EXPECT_EQ(std::vector<std::wstring>{moved}, c->Items(work));
  EXPECT_TRUE(c->MoveItem(copy, work).empty());

  // A store that leaves takes its folders along.
  ASSERT_TRUE(c->RemoveStore(storeId));
  EXPECT_FALSE(c->RemoveStore(storeId));
  EXPECT_TRUE(c->Items(archive).empty());
}

TEST_F(ControlTest, FailuresAndTheCallRecordAndADumpThatRepeatsAfterReset) {
  Build();
  c->ClearCalls();
  c->InjectFailure(L"Session.GetFolderById", 2, MAPI_E_NETWORK_ERROR, 2);
  World& w = World::Instance();
  HRESULT hr = S_OK;
  std::vector<HRESULT> results;
  for (int i = 0; i < 4; ++i) results.push_back(w.ShouldFail(L"Session.GetFolderById", &hr) ? hr : S_OK);
  EXPECT_EQ((std::vector<HRESULT>{S_OK, MAPI_E_NETWORK_ERROR, MAPI_E_NETWORK_ERROR, S_OK}), results);
  c->InjectFailure(L"Session.GetFolderById", 1, E_FAIL, 1);
  c->ClearFailures();
  EXPECT_FALSE(w.ShouldFail(L"Session.GetFolderById", &hr));
  w.Record(L"Items.Find", L"query");
  auto calls = c->Calls();
  ASSERT_EQ(1u, std::count_if(calls.begin(), calls.end(), [](const SimCall& s) { return s.op == L"Items.Find"; }));
  c->ClearCalls();
  EXPECT_TRUE(c->Calls().empty());

  std::wstring first = c->Dump();
  EXPECT_NE(std::wstring::npos, first.find(L"store \"Personal Folders\""));
  EXPECT_NE(std::wstring::npos, first.find(L"folder \"Tasks 2019\""));
  EXPECT_NE(std::wstring::npos, first.find(L"IPM.Contact \"Ada\""));
  c->Reset();
  EXPECT_EQ(std::wstring::npos, c->Dump().find(L"Ada"));
  Build();
  EXPECT_EQ(first, c->Dump());
}

}  // namespace
}  // namespace sim
