// The default-folder page, built into this program and hosted in a
// folder's properties: which pairs it lists and which categories it offers,
// the folder's category entry it shows and what Apply writes.
#include <windows.h>

#include "addin_module.h"
#include "fake_outlook.h"
#include "res/pages_resource.h"
#include "settings_page_fixture.h"

namespace page_testing {
namespace {

const std::wstring kFolders = L"Software\\Corvane\\Tallowby\\Folders";
const std::wstring kEntries = L"Software\\Corvane\\Tallowby\\AddCategorieFolders";
constexpr wchar_t kDefaultPage[] = L"Tallowby.StandardPropPage";
constexpr long kCalendarFolder = 9;
constexpr long kAppointment = 1, kContact = 2;

// Pixel (x, y) of the page's 24-bit bottom-up BMP resource, read from its
// bytes.
COLORREF PicturePixel(int x, int y) {
  HRSRC found = FindResourceW(g_hInstance, MAKEINTRESOURCEW(IDR_PAGE_PICTURE), L"BMP");
  const BYTE* bmp = found ? static_cast<const BYTE*>(LockResource(LoadResource(g_hInstance, found))) : nullptr;
  if (!bmp) return CLR_INVALID;
  const auto* info = reinterpret_cast<const BITMAPINFOHEADER*>(bmp + sizeof(BITMAPFILEHEADER));
  const DWORD bits = reinterpret_cast<const BITMAPFILEHEADER*>(bmp)->bfOffBits;
  const int stride = (info->biWidth * 3 + 3) & ~3;
  const BYTE* p = bmp + bits + size_t(info->biHeight - 1 - y) * stride + size_t(x) * 3;
  return RGB(p[2], p[1], p[0]);
}

class DefaultFolderPage : public SettingsPageTest {
 protected:
  // A pair as the folder page saves it, named by Outlook's form of the EntryID.
  void Job(const std::wstring& masterEntryId, const std::wstring& category, const std::wstring& folderName,
           bool subfolder, const std::wstring& storeId) {
    const std::wstring key = kFolders + L"\\" + OutlookId(masterEntryId);
    SetRegDword(key, L"used", 1);
    SetRegString(key, L"SID", storeId);
    SetRegString(key, L"Categorie", category);
    SetRegString(key, L"Foldername", folderName);
    SetRegDword(key, L"CREATESUBFOLDER", subfolder ? 1 : 0);
  }
  // Whether the screen shows the page's picture in `control`. Other tests'
  // windows may come over the dialog now and then: it is brought to the
  // top again a few times before the answer is no.
  bool ShowsThePicture(HWND control) {
    for (int attempt = 0; attempt < 10; ++attempt) {
      SetWindowPos(dialog_.Frame(), HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
      RedrawWindow(control, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
      MSG msg;
      while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
      HDC screen = GetDC(control);
      bool same = true;
      for (int p = 4; p < 128; p += 12) same = same && GetPixel(screen, p, 127 - p) == PicturePixel(p, 127 - p);
      ReleaseDC(control, screen);
      if (same) return true;
      Sleep(100);
    }
    return false;
  }
  void TypeCategory(const std::wstring& text) {
    HWND combo = GetDlgItem(page_, IDC_STANDARD_CATEGORY);
    SetWindowTextW(combo, text.c_str());
    SendMessageW(page_, WM_COMMAND, MAKEWPARAM(IDC_STANDARD_CATEGORY, CBN_EDITCHANGE), LPARAM(combo));
  }
};

TEST_F(DefaultFolderPage, ListsThePairsWritingIntoTheFolderAndOffersTheirCategories) {
  const std::wstring calendar = sim_->DefaultFolder(store_, kCalendarFolder);
  const std::wstring root = sim_->DefaultFolder(store_, 0);
  const std::wstring team = sim_->AddFolder(root, L"Team", kAppointment);
  const std::wstring projects = sim_->AddFolder(root, L"Projects", kAppointment);
  const std::wstring contacts = sim_->AddFolder(root, L"Work Contacts", kContact);
  const std::wstring subfolder = sim_->AddFolder(calendar, L"Projekt", kAppointment);
  const std::wstring storeId = OutlookId(calendar, L"StoreID");  // as the folder page saves it
  Job(team, L"Team", L"Team calendar", false, storeId);
  Job(projects, L"Projekt", L"Projects calendar", true, storeId);
  Job(contacts, L"Work", L"Work Contacts", false, storeId);
  Job(L"00112233", L"Elsewhere", L"Other profile's calendar", false, L"44556677");  // cannot be opened here
  StartEngine();

  SetPageFolder(calendar);
  Open(kDefaultPage);
  EXPECT_EQ(ListBoxItems(IDC_STANDARD_LINKED),
            (std::vector<std::wstring>{L"Other profile's calendar", L"Team calendar"}));
  EXPECT_EQ(ComboItems(IDC_STANDARD_CATEGORY), (std::vector<std::wstring>{L"Elsewhere", L"Projekt", L"Team"}))
      << "the contacts pair's category is not offered on a calendar";
  EXPECT_FALSE(Checked(IDC_STANDARD_ADD_CATEGORY));
  EXPECT_EQ(Text(IDC_STANDARD_ADD_CATEGORY), L"Each object get's this category");
  EXPECT_FALSE(Dirty());
  Screenshot(L"default-folder-page");
  // The upper frame shows the picture at its size, as the screen has it.
  HWND picture = GetDlgItem(page_, IDC_STANDARD_PICTURE);
  RECT r{};
  GetClientRect(picture, &r);
  EXPECT_EQ(r.right, 128);
  EXPECT_EQ(r.bottom, 128);
  EXPECT_TRUE(ShowsThePicture(picture)) << "the picture's pixels on the screen";
  Close();

  // The category subfolder of the subfolder pair.
  SetPageFolder(subfolder);
  Open(kDefaultPage);
  EXPECT_EQ(ListBoxItems(IDC_STANDARD_LINKED), (std::vector<std::wstring>{L"Projects calendar"}));
  Close();

  // Spanish has no text for the box; German has its own.
  SetRegDword(L"Software\\Corvane\\Tallowby\\Config", L"LCID", 0x0C0A);
  Open(kDefaultPage);
  EXPECT_EQ(Text(IDC_STANDARD_ADD_CATEGORY), L"");
  Close();
  SetRegDword(L"Software\\Corvane\\Tallowby\\Config", L"LCID", 0x0407);
  Open(kDefaultPage);
  EXPECT_EQ(Text(IDC_STANDARD_ADD_CATEGORY), L"Jedem neuen Element folgende Kategorie hinzufügen:");
}

TEST_F(DefaultFolderPage, ShowsTheEntryAndApplyWritesOrDeletesItThenReloads) {
  const std::wstring calendar = sim_->DefaultFolder(store_, kCalendarFolder);
  const std::wstring entry = kEntries + L"\\" + OutlookId(calendar);
  SetRegDword(entry, L"used", 1);
  SetRegString(entry, L"Categorie", L"Team");
  StartEngine();
  SetPageFolder(calendar);
  Open(kDefaultPage);
  EXPECT_TRUE(Checked(IDC_STANDARD_ADD_CATEGORY));
  EXPECT_EQ(Text(IDC_STANDARD_CATEGORY), L"Team");

  Click(IDC_STANDARD_ADD_CATEGORY);
  EXPECT_FALSE(Enabled(IDC_STANDARD_CATEGORY));
  ASSERT_EQ(Apply(), S_OK);
  EXPECT_EQ(RegistryText(), L"[AddCategorieFolders]\n") << "the entry is gone, its parent stays";
  EXPECT_NE(DebugLogText().find("---Optionsdialog - Restart Threads---"), std::string::npos);
  Close();

  Open(kDefaultPage);
  EXPECT_FALSE(Checked(IDC_STANDARD_ADD_CATEGORY));
  Click(IDC_STANDARD_ADD_CATEGORY);
  // Typing completes nothing on this page.
  HWND edit = FindWindowExW(GetDlgItem(page_, IDC_STANDARD_CATEGORY), nullptr, L"Edit", nullptr);
  ASSERT_NE(edit, nullptr);
  SendMessageW(edit, WM_KEYDOWN, 'T', 0);
  SendMessageW(edit, WM_CHAR, 'T', 0);
  EXPECT_EQ(Text(IDC_STANDARD_CATEGORY), L"T");
  TypeCategory(L"Projekt");
  ASSERT_EQ(Apply(), S_OK);
  EXPECT_EQ(RegDword(entry, L"IS_STANDARD_KATEGORIE_ADD_INFO"), 1);
  EXPECT_EQ(RegDword(entry, L"used"), 1);
  EXPECT_EQ(RegString(entry, L"SID"), OutlookId(calendar, L"StoreID")) << "Outlook's form, which the page has";
  EXPECT_EQ(RegString(entry, L"Profil"), L"Outlook");
  EXPECT_EQ(RegString(entry, L"Categorie"), L"Projekt");
  EXPECT_EQ(RegString(entry, L"Foldername"), L"Calendar");
  EXPECT_TRUE(Dirty()) << "the page stays dirty after Apply";
}

TEST_F(DefaultFolderPage, KeepsTheFolderItWasMadeFor) {
  const std::wstring calendar = sim_->DefaultFolder(store_, kCalendarFolder);
  const std::wstring contacts = sim_->DefaultFolder(store_, 10);
  const std::wstring entry = kEntries + L"\\" + OutlookId(calendar);
  SetRegDword(entry, L"used", 1);
  SetRegString(entry, L"Categorie", L"Team");
  StartEngine();
  SetPageFolder(calendar);
  // The contacts' properties are asked for before the calendar's page opens.
  Open(kDefaultPage, [&] { SetPageFolder(contacts); });
  EXPECT_TRUE(Checked(IDC_STANDARD_ADD_CATEGORY));
  EXPECT_EQ(Text(IDC_STANDARD_CATEGORY), L"Team");
  TypeCategory(L"Team days");
  ASSERT_EQ(Apply(), S_OK);
  EXPECT_EQ(RegString(entry, L"Categorie"), L"Team days");
  EXPECT_EQ(RegString(entry, L"Foldername"), L"Calendar");
  EXPECT_EQ(RegDword(kEntries + L"\\" + OutlookId(contacts), L"used"), -1) << "nothing for the other folder";
}

TEST_F(DefaultFolderPage, EmptyCategoryIsRefusedAndCancelChangesNothing) {
  testing_support::MessageBoxRecorder boxes;
  const std::wstring calendar = sim_->DefaultFolder(store_, kCalendarFolder);
  StartEngine();
  SetPageFolder(calendar);
  const std::wstring before = RegistryText();
  Open(kDefaultPage);
  Click(IDC_STANDARD_ADD_CATEGORY);
  EXPECT_EQ(Apply(), S_FALSE) << "nothing saved: Outlook's dialog stays open";
  ASSERT_EQ(boxes.Boxes().size(), 1u);
  EXPECT_EQ(boxes.Boxes()[0].text, L"You need to define a category for this folder.");
  EXPECT_EQ(RegistryText(), before);
  EXPECT_EQ(DebugLogText().find("Restart Threads"), std::string::npos) << "no reload";

  // A category longer than any reader takes cannot be typed.
  HWND edit = FindWindowExW(GetDlgItem(page_, IDC_STANDARD_CATEGORY), nullptr, L"Edit", nullptr);
  SendMessageW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L""));
  for (int i = 0; i < 300; ++i) SendMessageW(edit, WM_CHAR, 'x', 0);
  EXPECT_EQ(Text(IDC_STANDARD_CATEGORY).size(), 255u);
  Close();  // cancelled
  EXPECT_EQ(RegistryText(), before);
}

}  // namespace
}  // namespace page_testing
