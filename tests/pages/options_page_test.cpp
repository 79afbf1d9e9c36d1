// The add-in's tab in the Options dialog, built into this program and
// hosted as Outlook hosts it: what it shows of the registry, the server
// address lists and the stores, what Apply writes, and the log viewer link.
#include <windows.h>
#include <commctrl.h>
#include <tlhelp32.h>

#include <chrono>
#include <set>

#include "fake_outlook.h"
#include "res/pages_resource.h"
#include "settings_page_fixture.h"

namespace page_testing {
namespace {

const std::wstring kConfig = L"Software\\Corvane\\Tallowby\\Config";
const std::wstring kGalFolders = L"Software\\Corvane\\Tallowby\\GALFolders";
constexpr wchar_t kMainPage[] = L"Tallowby.MainPropPage";

class OptionsPage : public SettingsPageTest {
 protected:
  std::vector<std::wstring> Rows() {
    std::vector<std::wstring> rows;
    HWND list = GetDlgItem(page_, IDC_MAIN_GAL_LIST);
    for (int i = 0; i < ListView_GetItemCount(list); ++i) {
      wchar_t text[256] = {};
      ListView_GetItemText(list, i, 0, text, 256);
      rows.push_back(std::wstring(text) + (ListView_GetCheckState(list, i) ? L" [x]" : L" [ ]"));
    }
    return rows;
  }
  void SetRowChecked(const std::wstring& row, bool on) {
    HWND list = GetDlgItem(page_, IDC_MAIN_GAL_LIST);
    for (int i = 0; i < ListView_GetItemCount(list); ++i) {
      wchar_t text[256] = {};
      ListView_GetItemText(list, i, 0, text, 256);
      if (row == text) ListView_SetCheckState(list, i, on);
    }
  }
  std::wstring SelectedStore() { return Text(IDC_MAIN_STORE); }
  void SelectStore(const std::wstring& name) {
    HWND combo = GetDlgItem(page_, IDC_MAIN_STORE);
    SendMessageW(combo, CB_SELECTSTRING, WPARAM(-1), reinterpret_cast<LPARAM>(name.c_str()));
    SendMessageW(page_, WM_COMMAND, MAKEWPARAM(IDC_MAIN_STORE, CBN_SELCHANGE), reinterpret_cast<LPARAM>(combo));
  }
  std::vector<std::wstring> ChosenLists() {
    std::vector<std::wstring> names;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kGalFolders.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return names;
    wchar_t name[256];
    for (DWORD i = 0, n = 256; RegEnumKeyExW(key, i, name, &n, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
         ++i, n = 256)
      names.push_back(name);
    RegCloseKey(key);
    return names;
  }
  void AddServerLists() {
    sim_->SetAddressList(L"Sales", L"", {});
    sim_->SetAddressList(L"Team", sim_->DefaultFolder(store_, 10), {});  // over a contacts folder
    sim_->SetAddressList(L"Board", L"", {});
  }
};

TEST_F(OptionsPage, ShowsTheStoredSwitchesAlsoWithoutEngine) {
  // Nothing stored and no engine (the add-in did not start): all clear.
  Open(kMainPage);
  for (int id : {IDC_MAIN_SYNC_GAL, IDC_MAIN_USERLOG, IDC_MAIN_DEBUG, IDC_MAIN_TRAYICON})
    EXPECT_FALSE(Checked(id)) << id;
  EXPECT_TRUE(Checked(IDC_MAIN_GAL_SUBFOLDERS)) << "no stored flag means subfolders";
  EXPECT_FALSE(Enabled(IDC_MAIN_GAL_SUBFOLDERS));
  EXPECT_FALSE(Enabled(IDC_MAIN_GAL_LIST));
  EXPECT_EQ(SelectedStore(), L"Default");
  EXPECT_FALSE(Dirty());
  Close();

  SetRegDword(kConfig, L"debug", 1);
  SetRegDword(kConfig, L"syncGAL", 1);
  SetRegDword(kConfig, L"trayicon", 1);
  SetRegDword(kConfig, L"syncGALin2Defaultfolder", 1);
  Open(kMainPage);
  EXPECT_TRUE(Checked(IDC_MAIN_DEBUG));
  EXPECT_FALSE(Checked(IDC_MAIN_USERLOG)) << "userlog missing";
  EXPECT_TRUE(Checked(IDC_MAIN_TRAYICON));
  EXPECT_TRUE(Checked(IDC_MAIN_SYNC_GAL));
  EXPECT_FALSE(Checked(IDC_MAIN_GAL_SUBFOLDERS));
  EXPECT_TRUE(Enabled(IDC_MAIN_GAL_SUBFOLDERS));
  EXPECT_TRUE(Enabled(IDC_MAIN_GAL_LIST));
  Click(IDC_MAIN_SYNC_GAL);
  EXPECT_FALSE(Enabled(IDC_MAIN_GAL_LIST)) << "the list follows the copy switch";
  EXPECT_TRUE(Dirty());

  // Without an engine Apply still saves the switches (they need only the
  // registry), and Outlook's dialog sees success.
  Click(IDC_MAIN_USERLOG);
  EXPECT_EQ(Apply(), S_OK);
  EXPECT_EQ(RegDword(kConfig, L"syncGAL"), 0);
  EXPECT_EQ(RegDword(kConfig, L"userlog"), 1);
  EXPECT_EQ(RegDword(kConfig, L"debug"), 1);
  EXPECT_EQ(RegDword(kConfig, L"syncGALin2Defaultfolder"), 1);
  EXPECT_TRUE(Dirty()) << "the page stays dirty after Apply";
}

TEST_F(OptionsPage, ServerListsShownChosenOnesCheckedAndApplyRebuildsTheChoice) {
  AddServerLists();
  SetRegDword(kConfig, L"syncGAL", 1);
  RegSetKeyValueW(HKEY_CURRENT_USER, kConfig.c_str(), L"LastGalSync", REG_BINARY, "\0\0\0\0\0\0\0\0", 8);
  for (const wchar_t* chosen : {L"Sales", L"Old list", L"board"}) {
    HKEY k = nullptr;
    RegCreateKeyExW(HKEY_CURRENT_USER, (kGalFolders + L"\\" + chosen).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                    &k, nullptr);
    RegCloseKey(k);
  }
  StartEngine();
  Open(kMainPage);
  // Server lists only, the last of the address book first; names match
  // exactly, case included.
  EXPECT_EQ(Rows(), (std::vector<std::wstring>{L"Board [ ]", L"Sales [x]"}));
  EXPECT_FALSE(Dirty()) << "checking the chosen rows is no change of the user's";
  Screenshot(L"options-page-lists");

  SetRowChecked(L"Board", true);  // as the space bar does: no click
  EXPECT_TRUE(Dirty()) << "a check box toggled by the keyboard is a change";
  SetRowChecked(L"Sales", false);
  Click(IDC_MAIN_TRAYICON);
  EXPECT_EQ(Apply(), S_OK);
  EXPECT_EQ(ChosenLists(), (std::vector<std::wstring>{L"Board", L"Old list"}))
      << "a chosen list that the address book does not show stays chosen";
  EXPECT_EQ(RegDword(kConfig, L"trayicon"), 1);
  EXPECT_EQ(RegDword(kConfig, L"syncGALin2Defaultfolder"), 0);
  HKEY config = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kConfig.c_str(), 0, KEY_READ, &config), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExW(config, L"LastGalSync", nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND)
      << "the next copy runs at once";
  EXPECT_EQ(RegQueryValueExW(config, L"defaultStoreName", nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
  RegCloseKey(config);
  Close();

  // The list chosen as "board" is saved under the name the page shows.
  Open(kMainPage);
  EXPECT_EQ(Rows(), (std::vector<std::wstring>{L"Board [x]", L"Sales [ ]"}));
}

TEST_F(OptionsPage, ChosenListsTheAddressBookDoesNotShowAreKept) {
  HKEY k = nullptr;
  RegCreateKeyExW(HKEY_CURRENT_USER, (kGalFolders + L"\\Sales").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k,
                  nullptr);
  RegCloseKey(k);
  StartEngine();
  // An address book that cannot be read.
  sim_->InjectFailure(L"AddressBook.AddressLists", 1, E_FAIL, 1);
  Open(kMainPage);
  EXPECT_TRUE(Rows().empty());
  Click(IDC_MAIN_DEBUG);
  EXPECT_EQ(Apply(), S_OK);
  EXPECT_EQ(RegDword(kConfig, L"debug"), 1);
  EXPECT_EQ(ChosenLists(), (std::vector<std::wstring>{L"Sales"})) << "a failed read forgets no choice";
  Close();

  // One that answers with no server list (offline, or lists over contacts
  // folders only).
  sim_->SetAddressList(L"Team", sim_->DefaultFolder(store_, 10), {});
  Open(kMainPage);
  EXPECT_TRUE(Rows().empty());
  Click(IDC_MAIN_TRAYICON);
  EXPECT_EQ(Apply(), S_OK);
  EXPECT_EQ(RegDword(kConfig, L"trayicon"), 1);
  EXPECT_EQ(ChosenLists(), (std::vector<std::wstring>{L"Sales"}));
}

// "Sales" and "SALES" would be one key of the registry and one folder of
// the store: Apply writes nothing, says so, and keeps the page open.
TEST_F(OptionsPage, ListsDifferingOnlyInLetterCaseAreNotBothChosen) {
  sim_->SetAddressList(L"Sales", L"", {});
  sim_->SetAddressList(L"SALES", L"", {});
  StartEngine();
  Open(kMainPage);
  SetRowChecked(L"Sales", true);
  SetRowChecked(L"SALES", true);
  Click(IDC_MAIN_DEBUG);
  testing_support::MessageBoxRecorder boxes;
  EXPECT_NE(Apply(), S_OK);
  const std::vector<testing_support::MessageBoxRecorder::Box> shown = boxes.Boxes();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_NE(shown[0].text.find(L"differ only in letter case"), std::wstring::npos) << shown[0].text;
  EXPECT_NE(shown[0].text.find(L"\nSales"), std::wstring::npos);
  EXPECT_NE(shown[0].text.find(L"\nSALES"), std::wstring::npos);
  EXPECT_TRUE(ChosenLists().empty());
  EXPECT_EQ(RegDword(kConfig, L"debug"), -1) << "nothing written";

  SetRowChecked(L"SALES", false);
  EXPECT_EQ(Apply(), S_OK);
  EXPECT_EQ(ChosenLists(), (std::vector<std::wstring>{L"Sales"}));
  EXPECT_EQ(RegDword(kConfig, L"debug"), 1);
}

TEST_F(OptionsPage, StoreSelectedByItsExactNameAndKeptWhileAbsent) {
  for (const wchar_t* name : {L"Mailbox - John", L"Mailbox", L"Archive"}) {
    sim::SimStore s;
    s.name = name;
    sim_->AddStore(s);
  }
  SetRegString(kConfig, L"defaultStoreName", L"Mailbox");
  StartEngine();
  Open(kMainPage);
  EXPECT_EQ(ComboItems(IDC_MAIN_STORE), (std::vector<std::wstring>{L"Archive", L"Default", L"Mailbox",
                                                                    L"Mailbox - John", L"Personal Folders"}));
  EXPECT_EQ(SelectedStore(), L"Mailbox") << "not the longer name it begins";
  Click(IDC_MAIN_DEBUG);
  ASSERT_EQ(Apply(), S_OK);
  EXPECT_EQ(RegString(kConfig, L"defaultStoreName"), L"Mailbox") << "saving a switch keeps the store";
  Close();

  // A store not mounted right now stays the chosen one.
  SetRegString(kConfig, L"defaultStoreName", L"Old archive");
  Open(kMainPage);
  EXPECT_EQ(SelectedStore(), L"Old archive");
  Click(IDC_MAIN_DEBUG);
  ASSERT_EQ(Apply(), S_OK);
  EXPECT_EQ(RegString(kConfig, L"defaultStoreName"), L"Old archive");

  // "Default" means no value; in German the entry reads "Standard".
  SelectStore(L"Default");
  ASSERT_EQ(Apply(), S_OK);
  EXPECT_EQ(RegString(kConfig, L"defaultStoreName"), L"");
  Close();
  SetRegDword(kConfig, L"LCID", 0x0407);
  Open(kMainPage);
  EXPECT_EQ(SelectedStore(), L"Standard");
  Screenshot(L"options-page-german");
}

// The log viewers this test process started (other tests may show theirs on
// the same screen at the same time).
std::set<DWORD> OwnViewerProcesses() {
  std::set<DWORD> found;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return found;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
    if (entry.th32ParentProcessID == GetCurrentProcessId() && _wcsicmp(entry.szExeFile, L"Tallowlog.exe") == 0)
      found.insert(entry.th32ProcessID);
  CloseHandle(snapshot);
  return found;
}

// The viewer window of one of those processes.
HWND OwnViewerWindow() {
  struct Search {
    std::set<DWORD> processes;
    HWND window = nullptr;
  } search{OwnViewerProcesses()};
  EnumWindows(
      [](HWND w, LPARAM p) -> BOOL {
        auto* s = reinterpret_cast<Search*>(p);
        DWORD pid = 0;
        GetWindowThreadProcessId(w, &pid);
        wchar_t title[32] = {};
        if (s->processes.count(pid) && GetWindowTextW(w, title, 32) && wcscmp(title, L"Logging") == 0) {
          s->window = w;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.window;
}

// Ends every viewer this process started: one left open would hold the
// test's output open after the test.
void EndOwnViewers() {
  for (DWORD pid : OwnViewerProcesses()) {
    if (HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid)) {
      if (WaitForSingleObject(process, 5000) != WAIT_OBJECT_0) TerminateProcess(process, 1);
      CloseHandle(process);
    }
  }
}

TEST_F(OptionsPage, LogfileLinkStartsTheViewerWithoutWaitingOrTellsItIsMissing) {
  testing_support::MessageBoxRecorder boxes;
  StartEngine(box_->Temp());  // a folder without the viewer
  Open(kMainPage);
  NMHDR click{GetDlgItem(page_, IDC_MAIN_OPEN_LOG), UINT_PTR(IDC_MAIN_OPEN_LOG), UINT(NM_CLICK)};
  SendMessageW(page_, WM_NOTIFY, IDC_MAIN_OPEN_LOG, reinterpret_cast<LPARAM>(&click));
  std::vector<testing_support::MessageBoxRecorder::Box> shown = boxes.Boxes();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].caption, L"Tallowby");
  EXPECT_NE(shown[0].text.find(L"The log viewer could not be started:"), std::wstring::npos) << shown[0].text;
  EXPECT_NE(shown[0].text.find(box_->Temp() + L"Tallowlog.exe"), std::wstring::npos) << shown[0].text;
  EXPECT_FALSE(Dirty()) << "opening the log is no change";

  // From the add-in's own folder the viewer starts; the page does not wait for it.
  wchar_t dll[MAX_PATH] = {};
  GetModuleFileNameW(GetModuleHandleW(L"Tallowby.dll"), dll, MAX_PATH);
  std::wstring folder = dll;
  folder.resize(folder.find_last_of(L'\\') + 1);
  wcsncpy(engine_->DllDir, folder.c_str(), MAX_PATH - 1);
  const auto before = std::chrono::steady_clock::now();
  SendMessageW(page_, WM_NOTIFY, IDC_MAIN_OPEN_LOG, reinterpret_cast<LPARAM>(&click));
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2));
  HWND viewer = nullptr;
  for (int i = 0; i < 200 && !viewer; ++i, Sleep(50)) viewer = OwnViewerWindow();
  EXPECT_NE(viewer, nullptr) << "the log viewer's window";
  if (viewer) PostMessageW(viewer, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  EndOwnViewers();
  EXPECT_EQ(boxes.Boxes().size(), 1u);
}

}  // namespace
}  // namespace page_testing
