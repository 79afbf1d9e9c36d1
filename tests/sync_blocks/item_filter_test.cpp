// Which items take part in a job, and how an item gets its job's category.
#include <gtest/gtest.h>

#include "blocks_fixture.h"
#include "com_object.h"
#include "item_filter.h"
#include "rdo_message_stub.h"
#include "registry.h"

namespace {

using blocks_testing::BlocksTest;
using blocks_testing::CountOf;

class ItemFilterTest : public BlocksTest {
 protected:
  void SetUp() override {
    BlocksTest::SetUp();
    store_ = AddStore(L"Personal Folders", 1);
    folder_ = AddFolder(store_, L"Family", sim::kOlAppointmentItem);
    job_ = AddFolderObject(folder_, 0, L"Family");
  }
  void SetFilter(std::initializer_list<const wchar_t*> categories) {
    const std::wstring base = std::wstring(reg::kFoldersPath) + L"\\" + EntryIdOf(folder_) + L"\\" +
                              reg::kCategoriesFilter;
    for (const wchar_t* c : categories) {
      reg::Key key;
      ASSERT_EQ(ERROR_SUCCESS, key.Create(HKEY_CURRENT_USER, (base + L"\\" + c).c_str()));
    }
  }
  bool Passes(sim::ObjId item) { return iIA(job_, Open(item).Get()); }
  sim::ObjId Item(const wchar_t* subject, std::vector<std::wstring> categories = {},
                  const wchar_t* messageClass = L"IPM.Appointment", long sensitivity = 0, long response = -1) {
    sim::ItemContent extra;
    extra.Set(sim::PropKey::Tag(sim::tags::kSensitivity), sim::Value::Long(sensitivity));
    if (response >= 0) extra.Set(sim::named::ResponseStatus(), sim::Value::Long(response));
    return AddItem(folder_, subject, categories, messageClass, extra);
  }

  sim::ObjId store_ = 0, folder_ = 0;
  CMAPIFolderObject* job_ = nullptr;
};

// The filter takes an item that carries one of its categories as a whole
// entry of its category list; part of a name is another category.
TEST_F(ItemFilterTest, CategoryFilterMatchesWholeCaseSensitiveNamesAndNoSyncAlwaysWins) {
  EXPECT_TRUE(Passes(Item(L"no categories, no filter")));
  EXPECT_FALSE(Passes(Item(L"marker", {L"no_sync"})));
  EXPECT_FALSE(Passes(Item(L"marker inside", {L"Home", L"Please No_Sync"})));

  SetFilter({L"Work", L"Home"});
  EXPECT_FALSE(Passes(Item(L"part of a name", {L"Homework"})));
  EXPECT_FALSE(Passes(Item(L"name with a blank", {L"Work travel", L"Workshop"})));
  EXPECT_TRUE(Passes(Item(L"second of the list", {L"Workshop", L"Home"})));
  EXPECT_FALSE(Passes(Item(L"lower case", {L"work"})));
  EXPECT_FALSE(Passes(Item(L"none")));
  EXPECT_FALSE(Passes(Item(L"filtered but marked", {L"Work", L"NO_SYNC"})));
  EXPECT_EQ(1u, CountOf(DebugLogText(), "iIA::FILTER BY CATEGORIES::FOUND Work"));

  std::vector<std::wstring> filter;
  GetCategoriesFilter(engine_, filter, EntryIdOf(folder_).c_str());
  EXPECT_EQ((std::vector<std::wstring>{L"Home", L"Work"}), filter);
  GetCategoriesFilter(engine_, filter, L"00AA");
  EXPECT_TRUE(filter.empty());
}

TEST_F(ItemFilterTest, RequestsAndPrivateItemsFollowTheJobsSettings) {
  const sim::ObjId request = Item(L"request, no answer yet", {}, L"IPM.Schedule.Meeting.Request", 0, 5);
  const sim::ObjId answered = Item(L"request, tentative", {}, L"IPM.Schedule.Meeting.Request", 0, 3);
  const sim::ObjId taskRequest = Item(L"task request", {}, L"IPM.TaskRequest");
  const sim::ObjId meeting = Item(L"plain meeting, no answer", {}, L"IPM.Appointment", 0, 5);
  const sim::ObjId personal = Item(L"personal", {}, L"IPM.Appointment", 1);
  const sim::ObjId privat = Item(L"private", {}, L"IPM.Appointment", 2);
  const sim::ObjId confidential = Item(L"confidential", {}, L"IPM.Appointment", 3);

  EXPECT_TRUE(IsRequestItem(job_, Open(request).Get()));
  EXPECT_TRUE(IsRequestItem(job_, Open(taskRequest).Get()));
  EXPECT_FALSE(IsRequestItem(job_, Open(meeting).Get()));

  EXPECT_FALSE(Passes(request));
  EXPECT_TRUE(Passes(answered));
  EXPECT_TRUE(Passes(taskRequest));
  EXPECT_TRUE(Passes(meeting)) << "only requests are asked for their answer";
  EXPECT_TRUE(Passes(privat));
  EXPECT_EQ(1u, CountOf(DebugLogText(), "MeetingRrequest Item olResponseNotResponded"));

  // The job's settings count, not those of the folder that asks.
  CMAPIFolderObject* standard = AddFolderObject(World().StoreDefaultFolder(store_, sim::kOlCalendar), 1, L"");
  job_->Events->DONT_SYNC_BSP_ITEMS = true;
  job_->Events->DONT_SYNC_PRIV_ITEMS = true;
  EXPECT_FALSE(iIA(standard, Open(answered).Get(), job_));
  EXPECT_FALSE(iIA(standard, Open(taskRequest).Get(), job_));
  EXPECT_TRUE(iIA(standard, Open(meeting).Get(), job_));
  EXPECT_TRUE(iIA(standard, Open(personal).Get(), job_));
  EXPECT_FALSE(iIA(standard, Open(privat).Get(), job_));
  EXPECT_FALSE(iIA(standard, Open(confidential).Get(), job_));
  EXPECT_TRUE(iIA(standard, Open(privat).Get())) << "the default folder's own settings let it through";
}

// A message that answers only for its categories and fails the meeting
// query with an unexpected error, counting its references.
class BrokenMessage final : public RdoMessageStub {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** ppv) override {
    *ppv = nullptr;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) || IsEqualIID(iid, __uuidof(IRdoMessage))) {
      *ppv = static_cast<IRdoMessage*>(this);
      AddRef();
      return S_OK;
    }
    if (IsEqualIID(iid, __uuidof(IRdoMeeting))) {
      ++meetingQueries;
      return RPC_E_DISCONNECTED;
    }
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
  STDMETHODIMP_(ULONG) Release() override { return --refs; }
  STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }
  STDMETHODIMP get_Categories(BSTR* v) override {
    *v = SysAllocString(L"Family");
    return S_OK;
  }
  STDMETHODIMP get_Fields(BSTR, VARIANT*) override { return MAPI_E_NO_ACCESS; }
  STDMETHODIMP Save() override {
    ++saves;
    return S_OK;
  }

  ULONG refs = 1;
  int meetingQueries = 0;
  int saves = 0;
};

TEST_F(ItemFilterTest, AWrapperFailureRefusesTheItemInsteadOfThrowing) {
  BrokenMessage message;
  bool passes = true;
  EXPECT_NO_THROW(passes = iIA(job_, &message));
  EXPECT_FALSE(passes);
  EXPECT_EQ(1, message.meetingQueries);
  EXPECT_EQ(1u, message.refs);
  EXPECT_NE(std::string::npos, ErrorLogText().find("iIA"));
  EXPECT_THROW(IsRequestItem(job_, &message), HrException);

  // A keyword read that fails: reported, nothing written.
  EXPECT_FALSE(Cat2Item(job_, utils_.Get(), &message, L"Family"));
  EXPECT_EQ(0, message.saves);
  EXPECT_NE(std::string::npos, ErrorLogText().find("get_Categories"));
  EXPECT_EQ(1u, message.refs);
}

class CategoriesTest : public ItemFilterTest {
 protected:
  void SetUp() override {
    ItemFilterTest::SetUp();
    AddFolderObject(AddFolder(store_, L"Club", sim::kOlAppointmentItem), 0, L"Club");
    standard_ = AddFolderObject(World().StoreDefaultFolder(store_, sim::kOlCalendar), 1, L"");
  }
  bool Put(sim::ObjId item, const wchar_t* category, CMAPIFolderObject* folder = nullptr) {
    return Cat2Item(folder ? folder : job_, utils_.Get(), Open(item).Get(), category);
  }

  CMAPIFolderObject* standard_ = nullptr;
};

TEST_F(CategoriesTest, TheJobsCategoryReplacesOtherJobsAndIsAddedOnce) {
  const sim::ObjId item = Item(L"moved between jobs", {L"Club", L"Birthday"});
  EXPECT_TRUE(Put(item, L"Family"));
  EXPECT_EQ((std::vector<std::wstring>{L"Birthday", L"Family"}), KeywordsOf(item));

  const size_t saves = CallCount(L"Message.Save");
  const double modified = World().GetItem(item)->LastModified();
  EXPECT_TRUE(Put(item, L"Family"));
  EXPECT_EQ(saves, CallCount(L"Message.Save")) << "nothing to write";
  EXPECT_EQ(modified, World().GetItem(item)->LastModified());

  EXPECT_FALSE(Put(item, L""));
  EXPECT_FALSE(Cat2Item(job_, utils_.Get(), nullptr, L"Family"));
}

TEST_F(CategoriesTest, TheUsersNameGoesOnInBracesWithoutCuttingTheJobLoose) {
  job_->Events->AddUserName2Categories = true;
  job_->Events->CategoryUserName = L"Sim User";
  const sim::ObjId fresh = Item(L"fresh");
  EXPECT_TRUE(Put(fresh, L"Family"));
  EXPECT_EQ((std::vector<std::wstring>{L"Family", L"{Sim User}"}), KeywordsOf(fresh));

  // Already there: still the user's name, and never braced twice.
  const sim::ObjId tagged = Item(L"tagged", {L"Family"});
  EXPECT_TRUE(Put(tagged, L"Family"));
  EXPECT_TRUE(Put(tagged, L"{Sim User}"));
  EXPECT_EQ((std::vector<std::wstring>{L"Family", L"{Sim User}"}), KeywordsOf(tagged));

  // A category that names no job strips nothing.
  const sim::ObjId other = Item(L"in the club", {L"Club"});
  EXPECT_TRUE(Put(other, L"Personal"));
  EXPECT_EQ((std::vector<std::wstring>{L"Club", L"Personal", L"{Sim User}"}), KeywordsOf(other));
}

TEST_F(CategoriesTest, MarkAsPrivateSetsThePrivateBit) {
  job_->Events->MARK_AS_PRIVATE = true;
  const sim::ObjId normal = Item(L"normal", {}, L"IPM.Appointment", 0);
  const sim::ObjId personal = Item(L"personal", {}, L"IPM.Appointment", 1);
  EXPECT_TRUE(Put(normal, L"Family"));
  EXPECT_TRUE(Put(personal, L"Family"));
  EXPECT_EQ(2, SensitivityOf(normal));
  EXPECT_EQ(3, SensitivityOf(personal));
}

TEST_F(CategoriesTest, ItemCategoriesAreTrimmedPiecesPlusTheDefaultFoldersOwn) {
  std::vector<std::wstring> list;
  const sim::ObjId item = Item(L"two jobs", {L"Family", L"Club"});
  GetItemCategories(standard_, list, utils_.Get(), Open(item).Get());
  EXPECT_EQ((std::vector<std::wstring>{L"Family", L"Club"}), list) << "as Outlook writes them: \"Family, Club\"";

  SetFolderCategory(standard_->DefaultCategorie, L"Phone; Sync,Shared");
  standard_->AddDefaultCategory = true;
  const size_t saves = CallCount(L"Message.Save");
  GetItemCategories(standard_, list, utils_.Get(), Open(item).Get());
  EXPECT_EQ((std::vector<std::wstring>{L"Family", L"Club", L"Phone", L"Sync", L"Shared"}), list);
  EXPECT_EQ((std::vector<std::wstring>{L"Family", L"Club", L"Phone", L"Sync", L"Shared"}), KeywordsOf(item))
      << "a default folder's categories keep the job categories";
  EXPECT_EQ(saves + 3, CallCount(L"Message.Save"));

  GetItemCategories(standard_, list, utils_.Get(), Open(item).Get());
  EXPECT_EQ(5u, list.size());
  EXPECT_EQ(saves + 3, CallCount(L"Message.Save"));

  // Only a default-folder object adds them.
  job_->AddDefaultCategory = true;
  SetFolderCategory(job_->DefaultCategorie, L"Phone");
  const sim::ObjId plain = Item(L"plain");
  GetItemCategories(job_, list, utils_.Get(), Open(plain).Get());
  EXPECT_TRUE(list.empty());
}

}  // namespace
