// The folder replication page hosted as Outlook hosts it, over the simulated
// store and wrapper library with a real engine: what it shows for a folder
// with and without a job, the filter editing, and what Apply leaves in the
// registry and the data folder (and what it refuses to write).
#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "addin_module.h"
#include "host/box_watcher.h"
#include "com_object.h"
#include "dispatch.h"
#include "folder_config_removal.h"
#include "key_tree.h"
#include "locks.h"
#include "logs.h"
#include "page_requests.h"
#include "host/page_site.h"
#include "registry.h"
#include "res/pages_resource.h"
#include "sandbox.h"
#include "../support/outlook_ids.h"
#include "control/sim_control.h"
#include "sync_engine.h"
#include "tallowby_prop_page.h"

namespace {

const bool kFastClock = SetEnvironmentVariableW(L"TALLOWBY_CLOCK_SCALE", L"200");

sim::ISimControl* SimControl() {
  static sim::ISimControl* control = [] {
    HMODULE m = LoadLibraryW(L"simrdo.dll");
    auto get = m ? reinterpret_cast<sim::SimGetControlFn>(GetProcAddress(m, "SimGetControl")) : nullptr;
    return get ? get() : nullptr;
  }();
  return control;
}

// Hands out the page class of this test program (not the registered DLL's),
// so that the page sees this program's engine and page folder.
class PageFactory : public IClassFactory {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
      *ppv = this;
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (outer) return CLASS_E_NOAGGREGATION;
    com::ComObject<CTallowbyPropPage>* page = nullptr;
    HRESULT hr = com::ComObject<CTallowbyPropPage>::Create(&page);
    if (FAILED(hr)) return hr;
    page->AddRef();
    hr = page->QueryInterface(riid, ppv);
    page->Release();
    if (afterCreate) afterCreate();
    return hr;
  }
  STDMETHODIMP LockServer(BOOL) override { return S_OK; }
  // Runs once a page object exists and before its window does.
  std::function<void()> afterCreate;
};

int g_reloads = 0;
bool CountReload(CSyncEngine*) {
  ++g_reloads;
  return true;
}

// The registry write of the job's key tree that fails (counted from 1; 0:
// none), and the writes tried so far.
int g_failingWrite = 0;
int g_writes = 0;
LONG FailOneWrite() { return ++g_writes == g_failingWrite ? ERROR_WRITE_FAULT : ERROR_SUCCESS; }

// The job key named NAME.
std::wstring JobKeyNamed(const std::wstring& name) { return std::wstring(reg::kFoldersPath) + L"\\" + name; }

class ReplicationPage : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kFastClock);
    box_ = std::make_unique<testing_support::Sandbox>();
    OleInitialize(nullptr);
    InitializeGlobalLocks();
    ASSERT_NE(testing_support::LoadAddInModule(), nullptr);
    sim_ = SimControl();
    ASSERT_NE(sim_, nullptr);
    sim_->Reset();
    sim::SimStore store;
    store.isDefault = true;
    storeId_ = sim_->AddStore(store);
    const std::wstring root = sim_->DefaultFolder(storeId_, 0);
    team_ = sim_->AddFolder(root, L"Team", 1);
    friends_ = sim_->AddFolder(root, L"Friends", 2);
    defaultCalendar_ = sim_->DefaultFolder(storeId_, 9);
    ASSERT_FALSE(team_.empty());

    com::ComPtr<IDispatch> app;
    app.Attach(sim_->Application());
    ASSERT_TRUE(app);
    com::Variant ns;
    ASSERT_EQ(com::CallMethod(app.Get(), L"GetNamespace", {com::Variant(L"MAPI")}, ns.Put()), S_OK);
    ASSERT_EQ(com::ResultToDispatch(ns, nameSpace_.Put()), S_OK);
    SetDebugLogPath((box_->Temp() + L"Tallowby_debug.log").c_str());
    SetErrorLogPath((box_->Temp() + L"Tallowby_error.log").c_str());
    engine_ = new CSyncEngine(nameSpace_.Get(), (box_->Temp() + L"Tallowby_debug.log").c_str());
    g_pSyncEngine = engine_;
    wcscpy(engine_->DataDir, box_->LocalAppData().c_str());
    engine_->SetSettingsLoaded(true);
    ASSERT_TRUE(engine_->RdoSession);

    ASSERT_EQ(CoRegisterClassObject(CLSID_TallowbyPropPage, &factory_, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                                    &cookie_),
              S_OK);
    g_reloads = 0;
    SetFolderPageReload(&CountReload);
  }

  void TearDown() override {
    SetKeyTreeWriteFault(nullptr);
    dialog_.Close();
    SetFolderPageReload(nullptr);
    CoRevokeClassObject(cookie_);
    ReleasePageFolder();
    g_pSyncEngine = nullptr;
    delete engine_;
    nameSpace_.Reset();
    DeleteGlobalLocks();
    OleUninitialize();
    box_.reset();
  }

  // Outlook's form of a folder's EntryID, or of its StoreID: the page has
  // Outlook's folder and names keys and files by that form. An id that
  // Outlook cannot open stays as it is.
  std::wstring OutlookId(const std::wstring& entryId, const wchar_t* property = L"EntryID") const {
    return testing_support::OutlookFolderId(nameSpace_.Get(), entryId, property);
  }
  std::wstring JobKey(const std::wstring& entryId) const { return JobKeyNamed(OutlookId(entryId)); }
  std::wstring EntryKey(const std::wstring& entryId) const {
    return std::wstring(reg::kAddCategorieFoldersPath) + L"\\" + OutlookId(entryId);
  }

  // Outlook's request for the pages of the folder's properties.
  void AskForPagesOf(const std::wstring& entryId) {
    com::Variant folder;
    com::ComPtr<IDispatch> f;
    EXPECT_EQ(com::CallMethod(nameSpace_.Get(), L"GetFolderFromID", {com::Variant(entryId.c_str())}, folder.Put()),
              S_OK);
    com::ResultToDispatch(folder, f.Put());
    ReleasePageFolder();
    g_pPageFolder = f.Detach();
  }

  // Opens the folder's properties with the replication page.
  HWND Open(const std::wstring& entryId) {
    AskForPagesOf(entryId);
    std::vector<std::wstring> report;
    EXPECT_TRUE(dialog_.Open(L"Properties", {L"Tallowby.TallowbyPropPage"}, &report));
    EXPECT_TRUE(report.empty());
    return dialog_.Page(0).PageWindow();
  }

  HRESULT Apply() { return dialog_.Page(0).Apply(); }
  static void Click(HWND page, int id) { SendMessageW(page, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), LPARAM(GetDlgItem(page, id))); }
  static void ClickBox(HWND page, int id) { SendMessageW(GetDlgItem(page, id), BM_CLICK, 0, 0); }
  static bool Checked(HWND page, int id) { return IsDlgButtonChecked(page, id) == BST_CHECKED; }
  static bool Enabled(HWND page, int id) { return IsWindowEnabled(GetDlgItem(page, id)) != FALSE; }
  static std::wstring Text(HWND page, int id) {
    wchar_t t[300] = {};
    GetDlgItemTextW(page, id, t, 300);
    return t;
  }
  static void Type(HWND page, const std::wstring& text) {
    COMBOBOXINFO info{sizeof info};
    GetComboBoxInfo(GetDlgItem(page, IDC_FOLDER_FILTER_COMBO), &info);
    for (wchar_t c : text) {
      SendMessageW(info.hwndItem, WM_KEYDOWN, WPARAM(VkKeyScanW(c) & 0xFF), 0);
      SendMessageW(info.hwndItem, WM_CHAR, WPARAM(c), 0);
    }
  }
  bool Key(HWND target, WPARAM key) {
    MSG msg{target, WM_KEYDOWN, key, 0, 0, {}};
    return dialog_.Page(0).TranslateAccelerator(&msg);
  }
  static std::vector<std::wstring> ListEntries(HWND page) {
    std::vector<std::wstring> entries;
    HWND list = GetDlgItem(page, IDC_FOLDER_FILTER_LIST);
    for (LRESULT i = 0; i < SendMessageW(list, LB_GETCOUNT, 0, 0); ++i) {
      wchar_t t[300] = {};
      SendMessageW(list, LB_GETTEXT, i, LPARAM(t));
      entries.push_back(t);
    }
    return entries;
  }
  static std::wstring ReadString(const std::wstring& key, const wchar_t* name) {
    reg::Key k;
    if (k.Open(HKEY_CURRENT_USER, key.c_str(), KEY_READ) != ERROR_SUCCESS) return L"(no key)";
    return k.ReadString(name, 4096).value_or(L"(missing)");
  }
  static long ReadDword(const std::wstring& key, const wchar_t* name) {
    reg::Key k;
    if (k.Open(HKEY_CURRENT_USER, key.c_str(), KEY_READ) != ERROR_SUCCESS) return -2;
    return long(k.ReadDword(name).value_or(DWORD(-1)));
  }
  void WriteJob(const std::wstring& entryId, const std::wstring& category) {
    reg::Key k;
    ASSERT_EQ(k.Create(HKEY_CURRENT_USER, JobKey(entryId).c_str()), ERROR_SUCCESS);
    k.WriteDword(L"used", 1);
    k.WriteString(L"SID", OutlookId(entryId, L"StoreID"));
    k.WriteString(L"Categorie", category);
    k.WriteDword(L"BOTH_DIRECTIONS", 1);
    reg::Key filter;
    filter.Create(k.Get(), L"CategoriesFilter\\Private");
  }
  std::wstring DataFile(const std::wstring& entryId, const wchar_t* suffix) const {
    return box_->LocalAppData() + OutlookId(entryId) + suffix;
  }

  std::unique_ptr<testing_support::Sandbox> box_;
  sim::ISimControl* sim_ = nullptr;
  std::wstring storeId_, team_, friends_, defaultCalendar_;
  com::ComPtr<IDispatch> nameSpace_;
  CSyncEngine* engine_ = nullptr;
  PageFactory factory_;
  DWORD cookie_ = 0;
  host::OptionsDialog dialog_;
  host::BoxWatcher boxes_;
};

TEST_F(ReplicationPage, FolderWithoutJobThenSwitchedOnAndApplied) {
  HWND page = Open(team_);
  ASSERT_NE(page, nullptr);
  EXPECT_FALSE(Checked(page, IDC_FOLDER_USED));
  EXPECT_TRUE(Checked(page, IDC_FOLDER_NO_PRIVATE));
  EXPECT_TRUE(Checked(page, IDC_FOLDER_NO_REMINDERS));
  EXPECT_FALSE(Checked(page, IDC_FOLDER_BOTH_DIRECTIONS));
  for (int id : {IDC_FOLDER_NO_PRIVATE, IDC_FOLDER_NO_REMINDERS, IDC_FOLDER_BOTH_DIRECTIONS, IDC_FOLDER_CATEGORY,
                 IDC_FOLDER_FILTER_COMBO, IDC_FOLDER_RESET, IDC_FOLDER_NO_REQUESTS})
    EXPECT_FALSE(Enabled(page, id)) << id;
  EXPECT_TRUE(Enabled(page, IDC_FOLDER_USED));
  EXPECT_EQ(Text(page, IDC_FOLDER_NO_REQUESTS), L"Do not synchronize meeting requests");
  EXPECT_FALSE(dialog_.Page(0).Dirty());

  ClickBox(page, IDC_FOLDER_USED);
  EXPECT_TRUE(dialog_.Page(0).Dirty());
  EXPECT_EQ(Text(page, IDC_FOLDER_CATEGORY), L"Team") << "the folder's name is the first category";
  EXPECT_TRUE(Checked(page, IDC_FOLDER_NO_REMINDERS));
  EXPECT_TRUE(Checked(page, IDC_FOLDER_NO_REQUESTS));
  EXPECT_FALSE(Checked(page, IDC_FOLDER_NO_PRIVATE));
  EXPECT_TRUE(Enabled(page, IDC_FOLDER_BOTH_DIRECTIONS));
  EXPECT_FALSE(Enabled(page, IDC_FOLDER_CREATE_SUBFOLDER)) << "a folder of the default store has no subfolder mode";
  ClickBox(page, IDC_FOLDER_BOTH_DIRECTIONS);
  Type(page, L"Business");
  EXPECT_TRUE(Key(GetDlgItem(page, IDC_FOLDER_FILTER_COMBO), VK_RETURN));

  ASSERT_EQ(Apply(), S_OK);
  EXPECT_EQ(g_reloads, 1);
  EXPECT_FALSE(engine_->IsSettingsLoaded()) << "no folder page until the reload has loaded the settings";
  const std::wstring key = JobKey(team_);
  EXPECT_EQ(ReadDword(key, L"used"), 1);
  EXPECT_EQ(ReadString(key, L"SID"), OutlookId(team_, L"StoreID")) << "Outlook's form, which the page has";
  EXPECT_EQ(ReadString(key, L"Profil"), L"Outlook");
  EXPECT_EQ(ReadString(key, L"Categorie"), L"Team");
  EXPECT_EQ(ReadString(key, L"Foldername"), L"Team");
  EXPECT_EQ(ReadDword(key, L"DONT_SYNC_PRIV_ITEMS"), 0);
  EXPECT_EQ(ReadDword(key, L"DONT_SYNC_BSP_ITEMS"), 1);
  EXPECT_EQ(ReadDword(key, L"BOTH_DIRECTIONS"), 1);
  EXPECT_EQ(ReadDword(key, L"DONT_SYNC_REMINDERS"), 1);
  EXPECT_EQ(ReadDword(key, L"CREATESUBFOLDER"), 0);
  EXPECT_TRUE(testing_support::KeyExists(HKEY_CURRENT_USER, (key + L"\\Users").c_str()));
  EXPECT_TRUE(testing_support::KeyExists(HKEY_CURRENT_USER, (key + L"\\CategoriesFilter\\Business").c_str()));
  EXPECT_FALSE(testing_support::KeyExists(HKEY_CURRENT_USER, reg::kAddCategorieFoldersPath))
      << "without a named default store no entry is made for the default folder";
  EXPECT_TRUE(dialog_.Page(0).Dirty());

  // Opened again, the page shows the job as written.
  dialog_.Close();
  page = Open(team_);
  EXPECT_TRUE(Checked(page, IDC_FOLDER_USED));
  EXPECT_TRUE(Checked(page, IDC_FOLDER_BOTH_DIRECTIONS));
  EXPECT_FALSE(Checked(page, IDC_FOLDER_NO_PRIVATE));
  EXPECT_EQ(Text(page, IDC_FOLDER_CATEGORY), L"Team");
  EXPECT_EQ(ListEntries(page), std::vector<std::wstring>{L"Business"});
  EXPECT_TRUE(Enabled(page, IDC_FOLDER_FILTER_REMOVE));
  EXPECT_FALSE(dialog_.Page(0).Dirty());
}

TEST_F(ReplicationPage, FilterEditingByKeyboard) {
  WriteJob(friends_, L"Friends");
  HWND page = Open(team_);
  ClickBox(page, IDC_FOLDER_USED);
  EXPECT_EQ(SendDlgItemMessageW(page, IDC_FOLDER_FILTER_COMBO, CB_GETCOUNT, 0, 0), 1)
      << "the combo offers the categories other jobs filter on";
  HWND combo = GetDlgItem(page, IDC_FOLDER_FILTER_COMBO);

  Type(page, L"x");
  EXPECT_FALSE(Enabled(page, IDC_FOLDER_FILTER_ADD)) << "one character is not enough";
  EXPECT_TRUE(Key(combo, VK_RETURN)) << "Enter is used up even when it adds nothing";
  EXPECT_TRUE(ListEntries(page).empty());
  Type(page, L"y");
  EXPECT_TRUE(Enabled(page, IDC_FOLDER_FILTER_ADD));
  EXPECT_TRUE(Key(combo, VK_RETURN));
  EXPECT_EQ(ListEntries(page), std::vector<std::wstring>{L"xy"});
  EXPECT_EQ(Text(page, IDC_FOLDER_FILTER_COMBO), L"");
  EXPECT_FALSE(Enabled(page, IDC_FOLDER_FILTER_ADD));

  Type(page, L"p");  // completes to "Private" from the list
  EXPECT_EQ(Text(page, IDC_FOLDER_FILTER_COMBO), L"Private");
  Click(page, IDC_FOLDER_FILTER_ADD);
  SetDlgItemTextW(page, IDC_FOLDER_FILTER_COMBO, L"private");
  Click(page, IDC_FOLDER_FILTER_ADD);
  EXPECT_EQ(ListEntries(page), (std::vector<std::wstring>{L"Private", L"xy"})) << "letter case makes no new entry";
  SetDlgItemTextW(page, IDC_FOLDER_FILTER_COMBO, L"Work\\Home");
  Click(page, IDC_FOLDER_FILTER_ADD);
  EXPECT_EQ(ListEntries(page).size(), 2u) << "a backslash would nest registry keys";

  HWND list = GetDlgItem(page, IDC_FOLDER_FILTER_LIST);
  SendMessageW(list, LB_SETCURSEL, 1, 0);
  EXPECT_TRUE(Key(list, VK_DELETE));
  EXPECT_EQ(ListEntries(page), std::vector<std::wstring>{L"Private"});
  SendMessageW(list, LB_SETCURSEL, 0, 0);
  Key(list, VK_DELETE);
  EXPECT_FALSE(Enabled(page, IDC_FOLDER_FILTER_REMOVE));
}

TEST_F(ReplicationPage, ContactsFolderHasNoReminderOrRequestOptions) {
  HWND page = Open(friends_);
  ClickBox(page, IDC_FOLDER_USED);
  EXPECT_FALSE(Enabled(page, IDC_FOLDER_NO_REMINDERS));
  EXPECT_FALSE(Enabled(page, IDC_FOLDER_NO_REQUESTS));
  EXPECT_FALSE(Checked(page, IDC_FOLDER_NO_REMINDERS));
  EXPECT_FALSE(Checked(page, IDC_FOLDER_NO_REQUESTS));
  EXPECT_TRUE(Enabled(page, IDC_FOLDER_NO_PRIVATE));
}

TEST_F(ReplicationPage, BadCategoryIsRefusedAndNothingIsLost) {
  WriteJob(friends_, L"Family");
  WriteJob(team_, L"Team");
  HWND page = Open(team_);
  ASSERT_TRUE(Checked(page, IDC_FOLDER_USED));

  SetDlgItemTextW(page, IDC_FOLDER_CATEGORY, L"");
  EXPECT_EQ(Apply(), S_FALSE);
  SetDlgItemTextW(page, IDC_FOLDER_CATEGORY, L"family");
  EXPECT_EQ(Apply(), S_FALSE);
  std::vector<host::BoxRecord> shown = boxes_.All();
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[0].text, L"You need to define a category for this folder.");
  EXPECT_EQ(shown[1].text, L"This category is still in use") << "categories are one whatever their letter case";
  EXPECT_EQ(shown[1].caption, L"Tallowby");
  EXPECT_TRUE(Checked(page, IDC_FOLDER_USED)) << "the user gets to fix it";
  EXPECT_EQ(ReadString(JobKey(team_), L"Categorie"), L"Team");
  EXPECT_TRUE(testing_support::KeyExists(HKEY_CURRENT_USER, (JobKey(team_) + L"\\CategoriesFilter\\Private").c_str()));
  EXPECT_EQ(g_reloads, 0);
  EXPECT_TRUE(engine_->IsSettingsLoaded());

  // Its own unchanged category is no clash.
  SetDlgItemTextW(page, IDC_FOLDER_CATEGORY, L"Team");
  EXPECT_EQ(Apply(), S_OK);
  EXPECT_EQ(g_reloads, 1);
}

TEST_F(ReplicationPage, SwitchingOffResettingAndTheAdministratorsLock) {
  WriteJob(team_, L"Team");
  WriteJob(friends_, L"Friends");
  reg::Key entry;
  entry.Create(HKEY_CURRENT_USER, EntryKey(defaultCalendar_).c_str());
  entry.WriteString(L"Categorie", L"Mine");
  entry.Close();
  for (const wchar_t* suffix : {L".twysyncdata.ids", L".twysyncdata.ids.bak", L".twysyncdata.cache2"})
    testing_support::WriteFileBytes(DataFile(team_, suffix), "x");
  testing_support::WriteFileBytes(DataFile(defaultCalendar_, L".twysyncdata.cache"), "x");
  testing_support::WriteFileBytes(DataFile(defaultCalendar_, L".twysyncdata.cache2"), "x");
  {
    reg::Key job;
    job.Open(HKEY_CURRENT_USER, JobKey(team_).c_str(), KEY_ALL_ACCESS);
    job.WriteDate(reg::kLastFolderSyncTime, 45000.5);
  }

  // Reset: the job starts afresh, the other folders' entries stay.
  HWND page = Open(team_);
  ClickBox(page, IDC_FOLDER_RESET);
  ASSERT_EQ(Apply(), S_OK);
  EXPECT_FALSE(testing_support::FileExists(DataFile(team_, L".twysyncdata.ids")));
  EXPECT_FALSE(testing_support::FileExists(DataFile(team_, L".twysyncdata.ids.bak")));
  EXPECT_TRUE(testing_support::FileExists(DataFile(team_, L".twysyncdata.cache2")));
  EXPECT_FALSE(testing_support::FileExists(DataFile(defaultCalendar_, L".twysyncdata.cache")));
  EXPECT_TRUE(testing_support::FileExists(DataFile(defaultCalendar_, L".twysyncdata.cache2")));
  EXPECT_EQ(ReadDword(JobKey(team_), L"used"), 1) << "written again after the reset";
  {
    reg::Key job;
    job.Open(HKEY_CURRENT_USER, JobKey(team_).c_str(), KEY_READ);
    EXPECT_FALSE(job.ReadDate(reg::kLastFolderSyncTime)) << "the folder time starts afresh";
  }
  EXPECT_TRUE(testing_support::KeyExists(HKEY_CURRENT_USER, (JobKey(team_) + L"\\CategoriesFilter\\Private").c_str()))
      << "the filter the page showed is written again";
  EXPECT_FALSE(Checked(page, IDC_FOLDER_RESET)) << "a second Apply does not reset again";

  // Off: the job goes; another job remains, so do the category entries.
  ClickBox(page, IDC_FOLDER_USED);
  ASSERT_EQ(Apply(), S_OK);
  EXPECT_FALSE(testing_support::KeyExists(HKEY_CURRENT_USER, JobKey(team_).c_str()));
  EXPECT_TRUE(testing_support::KeyExists(HKEY_CURRENT_USER, reg::kAddCategorieFoldersPath));
  EXPECT_EQ(g_reloads, 2);

  // The administrator's lock: the page shows and reacts, Apply writes nothing.
  dialog_.Close();
  reg::Key machine;
  machine.Create(HKEY_CURRENT_USER, L"Software\\ScratchMachine");
  reg::Key lock;
  lock.Create(machine.Get(), reg::kConfigPath);
  lock.WriteDword(L"lock", 1);
  RegOverridePredefKey(HKEY_LOCAL_MACHINE, machine.Get());
  page = Open(friends_);
  RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
  ClickBox(page, IDC_FOLDER_USED);
  EXPECT_FALSE(Checked(page, IDC_FOLDER_USED));
  EXPECT_EQ(Apply(), S_FALSE);
  EXPECT_EQ(ReadDword(JobKey(friends_), L"used"), 1);
  EXPECT_EQ(g_reloads, 2);
}

TEST_F(ReplicationPage, KeepsTheFolderItWasOpenedFor) {
  // Another folder's properties asked for while the page is open: Apply
  // writes the job of the page's own folder.
  HWND page = Open(team_);
  AskForPagesOf(friends_);
  ClickBox(page, IDC_FOLDER_USED);
  ASSERT_EQ(Apply(), S_OK);
  EXPECT_EQ(ReadString(JobKey(team_), L"Categorie"), L"Team");
  EXPECT_EQ(ReadString(JobKey(team_), L"Foldername"), L"Team");
  EXPECT_FALSE(testing_support::KeyExists(HKEY_CURRENT_USER, JobKey(friends_).c_str()));
  dialog_.Close();

  // Switching off removes the page's own job, not the other folder's.
  WriteJob(friends_, L"Friends");
  page = Open(team_);
  AskForPagesOf(friends_);
  ClickBox(page, IDC_FOLDER_USED);
  ASSERT_EQ(Apply(), S_OK);
  EXPECT_FALSE(testing_support::KeyExists(HKEY_CURRENT_USER, JobKey(team_).c_str()));
  EXPECT_EQ(ReadString(JobKey(friends_), L"Categorie"), L"Friends");
  dialog_.Close();

  // Outlook creates the page when the dialog opens and its window only
  // when its tab is shown; a request for another folder in between does
  // not change the folder either.
  WriteJob(team_, L"Team");
  factory_.afterCreate = [&] { AskForPagesOf(friends_); };
  page = Open(team_);
  factory_.afterCreate = nullptr;
  EXPECT_EQ(Text(page, IDC_FOLDER_CATEGORY), L"Team");
  EXPECT_TRUE(Enabled(page, IDC_FOLDER_NO_REMINDERS)) << "shown as the calendar it is";
  SetDlgItemTextW(page, IDC_FOLDER_CATEGORY, L"Team days");
  ASSERT_EQ(Apply(), S_OK);
  EXPECT_EQ(ReadString(JobKey(team_), L"Categorie"), L"Team days");
  EXPECT_EQ(ReadString(JobKey(friends_), L"Categorie"), L"Friends");
}

TEST_F(ReplicationPage, CategoryEntriesGoOnlyWithTheLastJobThatApplyRemoved) {
  const std::wstring entry = EntryKey(defaultCalendar_);
  reg::Key k;
  ASSERT_EQ(k.Create(HKEY_CURRENT_USER, reg::kFoldersPath), ERROR_SUCCESS);
  ASSERT_EQ(k.Create(HKEY_CURRENT_USER, entry.c_str()), ERROR_SUCCESS);
  k.Close();

  // A folder that never had a job, switched on and off again: nothing was
  // removed, although Folders holds no job.
  HWND page = Open(team_);
  ClickBox(page, IDC_FOLDER_USED);
  ClickBox(page, IDC_FOLDER_USED);
  ASSERT_EQ(Apply(), S_OK);
  EXPECT_TRUE(testing_support::KeyExists(HKEY_CURRENT_USER, entry.c_str()));
  dialog_.Close();

  // The last job, reset and switched off in one Apply.
  WriteJob(team_, L"Team");
  page = Open(team_);
  ClickBox(page, IDC_FOLDER_RESET);
  ClickBox(page, IDC_FOLDER_USED);
  ASSERT_EQ(Apply(), S_OK);
  EXPECT_FALSE(testing_support::KeyExists(HKEY_CURRENT_USER, JobKey(team_).c_str()));
  EXPECT_FALSE(testing_support::KeyExists(HKEY_CURRENT_USER, reg::kAddCategorieFoldersPath));
}

// Each write of a job, tried once more with the first, a middle and the
// last registry change failing: the job that was there stays as it was.
TEST_F(ReplicationPage, FailedWriteLeavesTheJobThatWasThere) {
  WriteJob(team_, L"Team");
  {
    reg::Key job;
    ASSERT_EQ(job.Open(HKEY_CURRENT_USER, JobKey(team_).c_str(), KEY_ALL_ACCESS), ERROR_SUCCESS);
    job.WriteDate(reg::kLastFolderSyncTime, 45000.5);
  }
  for (const wchar_t* suffix : {L".twysyncdata.ids", L".twysyncdata.ids.bak"})
    testing_support::WriteFileBytes(DataFile(team_, suffix), "x");
  // How many registry changes one whole write of this job makes.
  HWND page = Open(team_);
  g_writes = 0;
  g_failingWrite = 0;
  SetKeyTreeWriteFault(&FailOneWrite);
  ASSERT_EQ(Apply(), S_OK);
  const int changes = g_writes;
  ASSERT_GT(changes, 3);
  dialog_.Close();

  for (bool reset : {false, true}) {
    for (int failing : {1, changes / 2, changes}) {
      SCOPED_TRACE(testing::Message() << (reset ? "reset, " : "") << "change " << failing << " of " << changes);
      page = Open(team_);
      SetDlgItemTextW(page, IDC_FOLDER_CATEGORY, L"Team days");
      ClickBox(page, IDC_FOLDER_BOTH_DIRECTIONS);
      if (reset) ClickBox(page, IDC_FOLDER_RESET);
      g_writes = 0;
      g_failingWrite = failing;
      EXPECT_EQ(Apply(), E_FAIL);
      g_failingWrite = 0;
      EXPECT_EQ(ReadString(JobKey(team_), L"Categorie"), L"Team");
      EXPECT_EQ(ReadDword(JobKey(team_), L"BOTH_DIRECTIONS"), 1);
      EXPECT_TRUE(testing_support::KeyExists(HKEY_CURRENT_USER, (JobKey(team_) + L"\\CategoriesFilter\\Private").c_str()));
      reg::Key job;
      job.Open(HKEY_CURRENT_USER, JobKey(team_).c_str(), KEY_READ);
      EXPECT_EQ(job.ReadDate(reg::kLastFolderSyncTime).value_or(0), 45000.5);
      EXPECT_TRUE(testing_support::FileExists(DataFile(team_, L".twysyncdata.ids"))) << "the job keeps its state";
      dialog_.Close();
    }
  }

  // A job that was not there before is not left half-written (the last
  // change of a job without a filter entry included).
  for (int failing : {1, changes - 1}) {
    page = Open(friends_);
    ClickBox(page, IDC_FOLDER_USED);
    g_writes = 0;
    g_failingWrite = failing;
    EXPECT_EQ(Apply(), E_FAIL);
    EXPECT_FALSE(testing_support::KeyExists(HKEY_CURRENT_USER, JobKey(friends_).c_str()));
    dialog_.Close();
  }
}

TEST_F(ReplicationPage, InternetAndDavCalendarsTakeNoChangesBack) {
  const std::wstring root = sim_->DefaultFolder(storeId_, 0);
  auto addItem = [&](const std::wstring& folder, const wchar_t* messageClass, const std::wstring& subject) {
    sim::SimItem item;
    item.messageClass = messageClass;
    item.subject = subject;
    ASSERT_FALSE(sim_->AddItem(folder, item).empty());
  };
  auto countCalls = [&](const wchar_t* op) {
    int n = 0;
    for (const sim::SimCall& call : sim_->Calls()) n += call.op == op;
    return n;
  };

  // A subscribed Internet calendar: one of its elements carries the
  // service's address. Its job, once made both ways, shows one way.
  const std::wstring holidays = sim_->AddFolder(root, L"Holidays", 1);
  for (const wchar_t* day : {L"New Year", L"Easter", L"Whit Monday"}) addItem(holidays, L"IPM.Appointment", day);
  addItem(holidays, L"IPM.Appointment", std::wstring(L"Subscribed from ") + kInternetCalendarInfoUrl + L"example.org/h.ics");
  WriteJob(holidays, L"Holidays");
  sim_->ClearCalls();
  HWND page = Open(holidays);
  EXPECT_EQ(countCalls(L"Items.Find"), 1) << "one query, no walk over the items";
  EXPECT_TRUE(Checked(page, IDC_FOLDER_USED));
  EXPECT_FALSE(Checked(page, IDC_FOLDER_BOTH_DIRECTIONS));
  EXPECT_FALSE(Enabled(page, IDC_FOLDER_BOTH_DIRECTIONS));
  ClickBox(page, IDC_FOLDER_USED);
  ClickBox(page, IDC_FOLDER_USED);
  EXPECT_FALSE(Enabled(page, IDC_FOLDER_BOTH_DIRECTIONS)) << "also after switching the job on again";
  dialog_.Close();

  // Such a text in a contact makes no Internet calendar of its folder.
  addItem(friends_, L"IPM.Contact", std::wstring(L"Feed ") + kInternetCalendarInfoUrl + L"example.org");
  sim_->ClearCalls();
  page = Open(friends_);
  EXPECT_EQ(countCalls(L"Items.Find"), 0);
  ClickBox(page, IDC_FOLDER_USED);
  EXPECT_TRUE(Enabled(page, IDC_FOLDER_BOTH_DIRECTIONS));
  dialog_.Close();

  // A DAV calendar names the service in its folder's property; a calendar
  // that names another address is an ordinary one.
  auto davCalendar = [&](const wchar_t* name, const std::wstring& address) {
    const std::wstring id = sim_->AddFolder(root, name, 1);
    com::ComPtr<IRdoFolder> folder;
    long tag = 0;
    EXPECT_EQ(engine_->RdoSession->GetFolderById(com::Bstr(id), com::Variant(storeId_.c_str()), com::Variant(16L),
                                                 folder.Put()),
              S_OK);
    EXPECT_EQ(engine_->MapiUtils->GetNamedPropId(folder.Get(), com::Bstr(kDavFieldSet), com::Variant(kDavFieldId), 1,
                                                 &tag),
              S_OK);
    EXPECT_EQ(engine_->MapiUtils->SetPropByTag(folder.Get(), tag | kPtString8, com::Variant(address.c_str()), 0), S_OK);
    return id;
  };
  page = Open(davCalendar(L"Cloud", std::wstring(kDavCalendarUrlPrefix) + L"example.org/cal/"));
  ClickBox(page, IDC_FOLDER_USED);
  EXPECT_FALSE(Checked(page, IDC_FOLDER_BOTH_DIRECTIONS));
  EXPECT_FALSE(Enabled(page, IDC_FOLDER_BOTH_DIRECTIONS));
  dialog_.Close();
  page = Open(davCalendar(L"Elsewhere", L"https://calendar.example.org/"));
  ClickBox(page, IDC_FOLDER_USED);
  EXPECT_TRUE(Enabled(page, IDC_FOLDER_BOTH_DIRECTIONS));
}

TEST(FolderConfigRemoval, LastJobTakesTheCategoryEntriesFilesOfOthersStay) {
  testing_support::Sandbox box;
  const std::wstring dir = box.LocalAppData();
  auto job = [](const wchar_t* id) {
    reg::Key k;
    k.Create(HKEY_CURRENT_USER, JobKeyNamed(id).c_str());
    reg::Key f;
    f.Create(k.Get(), L"CategoriesFilter\\Work");
  };
  job(L"00AA");
  job(L"00BB");
  reg::Key entries;
  entries.Create(HKEY_CURRENT_USER, (std::wstring(reg::kAddCategorieFoldersPath) + L"\\00CC").c_str());
  entries.Close();
  for (const wchar_t* suffix : {L".twy.keys.ids", L".twysyncdata.ids", L".twysyncdata.ids.bak",
                                L".twysyncdata.cache", L".iclouddlist", L".icloud"})
    testing_support::WriteFileBytes(dir + L"00AA" + suffix, "x");
  testing_support::WriteFileBytes(dir + L"00BB.twysyncdata.ids", "x");

  RemoveFolderConfig(L"00AA", dir, nullptr);
  EXPECT_FALSE(testing_support::KeyExists(HKEY_CURRENT_USER, JobKeyNamed(L"00AA").c_str()));
  EXPECT_TRUE(testing_support::KeyExists(HKEY_CURRENT_USER, reg::kAddCategorieFoldersPath)) << "a job is left";
  for (const wchar_t* gone : {L".twy.keys.ids", L".twysyncdata.ids", L".twysyncdata.ids.bak"})
    EXPECT_FALSE(testing_support::FileExists(dir + L"00AA" + gone)) << gone;
  for (const wchar_t* kept : {L".twysyncdata.cache", L".iclouddlist", L".icloud"})
    EXPECT_TRUE(testing_support::FileExists(dir + L"00AA" + kept)) << kept;
  EXPECT_TRUE(testing_support::FileExists(dir + L"00BB.twysyncdata.ids"));

  RemoveFolderConfig(L"", dir, nullptr);
  EXPECT_TRUE(testing_support::KeyExists(HKEY_CURRENT_USER, JobKeyNamed(L"00BB").c_str())) << "no name removes nothing";

  RemoveFolderConfig(L"00BB", dir, nullptr);
  EXPECT_FALSE(testing_support::KeyExists(HKEY_CURRENT_USER, reg::kAddCategorieFoldersPath));
  EXPECT_TRUE(testing_support::KeyExists(HKEY_CURRENT_USER, reg::kFoldersPath));
}

}  // namespace
