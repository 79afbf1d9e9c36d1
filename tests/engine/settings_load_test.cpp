// The settings load on its own, over the simulated Outlook and wrapper:
// which jobs under Folders become folder objects (the profile gate, a job
// whose folder is gone, the jobs after it) and a job whose target would be
// its own folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine_fixture.h"
#include "folder_object.h"
#include "logs.h"
#include "registry.h"
#include "settings.h"

using namespace engine_testing;

namespace {

constexpr long kContactItems = 2;
constexpr long kOutlookContacts = 10;

class SettingsLoad : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    ASSERT_TRUE(SUCCEEDED(sim_->AttachUiThread()));
    com::ComPtr<IDispatch> application;
    application.Attach(sim_->Application());
    ASSERT_TRUE(application);
    com::Variant ns;
    ASSERT_EQ(S_OK, com::CallMethod(application.Get(), L"GetNamespace", {com::Variant(L"MAPI")}, ns.Put()));
    ASSERT_EQ(S_OK, com::ResultToDispatch(ns, outlookNameSpace_.Put()));
    engine_ = new CSyncEngine(outlookNameSpace_.Get(), (box_->Temp() + kDebugLogName).c_str());
    g_pSyncEngine = engine_;
    contacts_ = sim_->DefaultFolder(store_, kOutlookContacts);
    reg::Key config;  // without it no store is chosen and no profile read
    ASSERT_EQ(ERROR_SUCCESS, config.Create(HKEY_CURRENT_USER, reg::kConfigPath));
  }
  void TearDown() override {
    DestroyEngine();
    outlookNameSpace_.Reset();
    sim_->DetachUiThread();
    EngineTest::TearDown();
  }

  // A contacts folder below the default Contacts folder.
  std::wstring Folder(const wchar_t* name) { return sim_->AddFolder(contacts_, name, kContactItems); }
  // A job as the folder page writes it; `profile` null: no Profil value.
  void Job(const std::wstring& entryId, const wchar_t* category, const wchar_t* profile = nullptr) {
    reg::Key job;
    ASSERT_EQ(ERROR_SUCCESS, job.Create(HKEY_CURRENT_USER, JobPath(entryId).c_str()));
    job.WriteString(L"SID", store_);
    job.WriteString(L"Categorie", category);
    if (profile) job.WriteString(L"Profil", profile);
  }
  static std::wstring JobPath(const std::wstring& entryId) { return std::wstring(reg::kFoldersPath) + L"\\" + entryId; }

  // The categories of the master objects the load made, in list order.
  std::vector<std::wstring> Masters() {
    std::vector<std::wstring> categories;
    for (int i = 0; CMAPIFolderObject* f = engine_->GetFolderObject(i, true); ++i)
      if (f->IsStandard == 0) categories.push_back(f->Categorie);
    return categories;
  }
  size_t DefaultFolderObjects() {
    size_t n = 0;
    for (int i = 0; CMAPIFolderObject* f = engine_->GetFolderObject(i, true); ++i) n += f->IsStandard == 1;
    return n;
  }

  com::ComPtr<IDispatch> outlookNameSpace_;
  std::wstring contacts_;
};

TEST_F(SettingsLoad, JobsOfThisProfileLoadAndAGoneFolderHidesNoOtherJob) {
  std::vector<std::wstring> folders = {Folder(L"A"), Folder(L"B"), Folder(L"C"), Folder(L"D")};
  std::sort(folders.begin(), folders.end());  // the order the load meets the jobs in
  // The first job's folder is deleted: its job goes, and the job that then
  // moves into its place in the key is still loaded.
  Job(folders[0], L"Gone");
  Job(folders[1], L"AnyProfile");
  Job(folders[2], L"SameProfile", L"OUTLOOK");  // the session's profile is "Outlook"
  Job(folders[3], L"OtherProfile", L"Laptop");
  ASSERT_TRUE(sim_->DeleteFolder(folders[0], true));

  GetSettings(engine_, false);
  EXPECT_EQ(Masters(), (std::vector<std::wstring>{L"AnyProfile", L"SameProfile"}));
  EXPECT_EQ(1u, DefaultFolderObjects()) << "one shared object for the default Contacts";
  EXPECT_FALSE(testing_support::KeyExists(HKEY_CURRENT_USER, JobPath(folders[0]).c_str()));
  EXPECT_TRUE(testing_support::KeyExists(HKEY_CURRENT_USER, JobPath(folders[3]).c_str()))
      << "another profile's job is kept for that profile";
  const std::string log = DebugLogText();
  EXPECT_EQ(1u, CountOf(log, "Folderkonfig deleted!!!"));
  EXPECT_EQ(1u, CountOf(log, "Profile not matched"));
  EXPECT_TRUE(engine_->IsSettingsLoaded());
}

TEST_F(SettingsLoad, AJobOnTheDefaultFolderItselfGetsNoPartner) {
  Job(contacts_, L"Self");
  GetSettings(engine_, false);
  ASSERT_EQ(Masters(), std::vector<std::wstring>{L"Self"});
  EXPECT_EQ(0u, DefaultFolderObjects());
  EXPECT_EQ(nullptr, engine_->GetFolderObject(0, true)->Partner);
  EXPECT_NE(std::string::npos, ErrorLogText().find("Target-Default-Folder is the master folder"));
}

}  // namespace
