// Item identity: sync ids, item kinds and the search by sync id, against the
// simulated wrapper.
#include <gtest/gtest.h>

#include "item_identity.h"
#include "rdo/rdo_common.h"
#include "variant.h"

namespace {

using com::Bstr;
using com::ComPtr;
using com::Variant;

TEST(SyncId, GuidDigitsDropBracesAndHyphensInRegistryOrder) {
  EXPECT_EQ(L"3F2504E04F8911D39A0C0305E82C3301", SyncIdDigitsFromGuidText(L"{3F2504E0-4F89-11D3-9A0C-0305E82C3301}"));
  EXPECT_EQ(L"", SyncIdDigitsFromGuidText(nullptr));
}

TEST(ItemKind, OrderedSubstringTestOnTheUpperCasedClass) {
  EXPECT_EQ(kItemContact, GetItemTypeFromMessageClass(nullptr, L"IPM.Contact.Custom"));
  EXPECT_EQ(kItemDistList, GetItemTypeFromMessageClass(nullptr, L"IPM.DistList"));
  EXPECT_EQ(kItemNote, GetItemTypeFromMessageClass(nullptr, L"IPM.StickyNote"));
  EXPECT_EQ(kItemMail, GetItemTypeFromMessageClass(nullptr, L"REPORT.IPM.Note.NDR"));
  EXPECT_EQ(kItemAppointment, GetItemTypeFromMessageClass(nullptr, L"ipm.appointment"));
  EXPECT_EQ(kItemTask, GetItemTypeFromMessageClass(nullptr, L"IPM.TaskRequest"));
  EXPECT_EQ(kItemOther, GetItemTypeFromMessageClass(nullptr, L"IPM.Schedule.Meeting.Request"));
  EXPECT_EQ(kItemOther, GetItemTypeFromMessageClass(nullptr, nullptr));
}

TEST(PastedBetweenMasters, TheItemWhoseJobDoesNotOwnTheCopyTakesANewKey) {
  int asked = 0;
  auto newer = [&asked](bool mineIsNotOlder) {
    return [&asked, mineIsNotOlder] {
      ++asked;
      return mineIsNotOlder;
    };
  };
  EXPECT_EQ(NewKeyFor::kNeither, WhoseKeyChanges(true, true, newer(true))) << "one item filed for both jobs";
  EXPECT_EQ(NewKeyFor::kMine, WhoseKeyChanges(false, true, newer(true)));
  EXPECT_EQ(NewKeyFor::kTheirs, WhoseKeyChanges(true, false, newer(true)));
  EXPECT_EQ(0, asked) << "the copy's categories decide without reading a time";
  EXPECT_EQ(NewKeyFor::kMine, WhoseKeyChanges(false, false, newer(true)));
  EXPECT_EQ(NewKeyFor::kTheirs, WhoseKeyChanges(false, false, newer(false)));
  EXPECT_EQ(2, asked);
}

class SearchBySyncId : public ::testing::Test {
 protected:
  void SetUp() override {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    sim::World::Instance().Reset();
    sim::World::Instance().AddStore(sim::StoreSpec{});
    ASSERT_EQ(S_OK, sim::CreateSession(__uuidof(IRdoSession), session.PutVoid()));
    ASSERT_EQ(S_OK, sim::CreateUtils(__uuidof(IRdoUtils), utils.PutVoid()));
    ASSERT_EQ(S_OK, session->Logon(Variant(), Variant(), Variant(), Variant(), Variant(), Variant()));
    ASSERT_EQ(S_OK, session->GetDefaultFolder(sim::kOlContacts, folder.Put()));
    ComPtr<IRdoItems> items;
    ASSERT_EQ(S_OK, folder->get_Items(items.Put()));
    ASSERT_EQ(S_OK, items->Add(Variant(), message.Put()));
    ASSERT_EQ(S_OK, message->Save());
  }
  void TearDown() override {
    message = nullptr;
    folder = nullptr;
    utils = nullptr;
    session = nullptr;
    CoUninitialize();
  }
  Variant Binary(const wchar_t* hex) {
    Variant v;
    EXPECT_EQ(S_OK, utils->HexToBin(Bstr(hex), v.Put()));
    return v;
  }

  ComPtr<IRdoSession> session;
  ComPtr<IRdoUtils> utils;
  ComPtr<IRdoFolder> folder;
  ComPtr<IRdoMessage> message;
};

TEST_F(SearchBySyncId, FindsTheItemOnlyByItsOwnKey) {
  Bstr syncId, entryId, foundId;
  ASSERT_EQ(S_OK, SetNewSyncID(nullptr, utils.Get(), message.Get(), &syncId, false));
  ASSERT_EQ(S_OK, message->get_EntryID(entryId.Put()));

  BYTE found = 7;
  EXPECT_EQ(S_OK, GetEntryIDFromPR_SEARCH_KEY(nullptr, utils.Get(), &found, &foundId, folder.Get(),
                                              Binary(syncId.c_str()), false));
  EXPECT_EQ(1, found);
  EXPECT_EQ(entryId.Str(), foundId.Str());

  found = 7;
  foundId.Reset();
  EXPECT_EQ(S_OK, GetEntryIDFromPR_SEARCH_KEY(nullptr, utils.Get(), &found, &foundId, folder.Get(),
                                              Binary(L"00112233445566778899AABBCCDDEEFF"), false));
  EXPECT_EQ(0, found);
  EXPECT_TRUE(foundId.Empty());

  // A key given as text, or no folder: a failure, and never "found".
  found = 7;
  EXPECT_EQ(E_FAIL, GetEntryIDFromPR_SEARCH_KEY(nullptr, utils.Get(), &found, &foundId, folder.Get(),
                                               Variant(syncId.c_str()), false));
  EXPECT_EQ(0, found);
  found = 7;
  EXPECT_EQ(E_FAIL, GetEntryIDFromPR_SEARCH_KEY(nullptr, utils.Get(), &found, &foundId, nullptr,
                                               Binary(syncId.c_str()), false));
  EXPECT_EQ(0, found);
}

TEST_F(SearchBySyncId, AFoundItemWithoutAReadableEntryIdIsAFailedLookupNotAMissingOne) {
  Bstr syncId, foundId;
  ASSERT_EQ(S_OK, SetNewSyncID(nullptr, utils.Get(), message.Get(), &syncId, false));
  const HRESULT busy = HRESULT_FROM_WIN32(ERROR_BUSY);
  sim::World::Instance().InjectFailure(L"Message.EntryID", 1, busy, -1);
  BYTE found = 7;
  EXPECT_EQ(busy, GetEntryIDFromPR_SEARCH_KEY(nullptr, utils.Get(), &found, &foundId, folder.Get(),
                                             Binary(syncId.c_str()), false));
  EXPECT_EQ(0, found);
  EXPECT_TRUE(foundId.Empty());
  sim::World::Instance().ClearFailures();
}

TEST_F(SearchBySyncId, NewSyncIdIsSixteenFreshBytesAndReadOnlyKeepsTheOldOne) {
  Bstr before, after, again;
  ASSERT_EQ(S_OK, SetNewSyncID(nullptr, utils.Get(), message.Get(), &before, false));
  ASSERT_EQ(S_OK, SetNewSyncID(nullptr, utils.Get(), message.Get(), &after, true));
  EXPECT_EQ(32u, after.Length());
  EXPECT_NE(before.Str(), after.Str());

  Bstr entryId;
  ASSERT_EQ(S_OK, message->get_EntryID(entryId.Put()));
  sim::World& w = sim::World::Instance();
  w.SetReadOnly(w.ItemByEntryId(entryId.Str()), true);
  ASSERT_EQ(S_OK, SetNewSyncID(nullptr, utils.Get(), message.Get(), &again, true));
  EXPECT_EQ(after.Str(), again.Str());
}

}  // namespace
