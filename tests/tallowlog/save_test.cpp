// Saving a copy of the log, the window's layout and its closing.
#include <gtest/gtest.h>
#include <shlobj.h>

#include <atomic>
#include <thread>

#include "clock.h"
#include "viewer_test_support.h"

namespace tallowlog_test {
namespace {

using tallowlog::LogMode;

std::wstring DesktopFolder() {
  wchar_t path[MAX_PATH] = {};
  SHGetFolderPathW(nullptr, CSIDL_DESKTOPDIRECTORY, nullptr, 0, path);
  return path;
}

// What the viewer asked of the save dialog, and the answer it gets.
struct SaveDialogDouble {
  bool shown = false;
  HWND owner = nullptr;
  std::wstring filter, fileName, initialFolder, defaultExtension, title;
  DWORD flags = 0, maxFile = 0, maxFileTitle = 0;
  bool hook = true;
  std::wstring answer;  // empty: the user cancels

  CMainDlg::SaveFileChooser Chooser() {
    return [this](OPENFILENAMEW& ofn) {
      shown = true;
      owner = ofn.hwndOwner;
      if (ofn.lpstrFilter) {
        const wchar_t* end = ofn.lpstrFilter;
        while (*end || end[1]) ++end;
        filter.assign(ofn.lpstrFilter, end + 1);
      }
      fileName = ofn.lpstrFile;
      initialFolder = ofn.lpstrInitialDir ? ofn.lpstrInitialDir : L"<none>";
      defaultExtension = ofn.lpstrDefExt ? ofn.lpstrDefExt : L"<none>";
      title = ofn.lpstrTitle ? ofn.lpstrTitle : L"<none>";
      flags = ofn.Flags;
      maxFile = ofn.nMaxFile;
      maxFileTitle = ofn.lpstrFileTitle ? ofn.nMaxFileTitle : 0;
      hook = ofn.lpfnHook != nullptr || ofn.lpTemplateName != nullptr;
      if (answer.empty()) return false;
      wcscpy(ofn.lpstrFile, answer.c_str());
      return true;
    };
  }
};

class TallowlogSave : public ::testing::Test {
 protected:
  ScratchFolder folder_;
};

TEST_F(TallowlogSave, OffersTheDefaultNameAndReplacesAnExistingFile) {
  const std::string log = AsFileText(NumberedLines(1, 30));
  WriteBytes(folder_.File(L"Tallowby_debug.log"), log, false);
  const std::wstring target = folder_.File(L"copy.txt");
  WriteBytes(target, "an older copy that is longer than nothing at all", false);

  SaveDialogDouble dialog;
  dialog.answer = target;
  ViewerWindow viewer(folder_.Path(), LogMode::Debug, dialog.Chooser());
  viewer.ClickSave();

  ASSERT_TRUE(dialog.shown);
  EXPECT_EQ(dialog.owner, viewer.Hwnd());
  EXPECT_EQ(dialog.filter, std::wstring(L"Logdatein (*.txt)\0*.txt\0", 24));
  EXPECT_EQ(dialog.fileName, L"TallowbyDebugLog.txt");
  EXPECT_EQ(dialog.maxFile, 255u);
  EXPECT_EQ(dialog.maxFileTitle, 255u);
  EXPECT_EQ(dialog.initialFolder, DesktopFolder());
  EXPECT_EQ(dialog.defaultExtension, L"txt");
  EXPECT_EQ(dialog.title, L"<none>");
  EXPECT_FALSE(dialog.hook);
  EXPECT_EQ(dialog.flags, DWORD(OFN_CREATEPROMPT | OFN_HIDEREADONLY)) << "no overwrite prompt";
  EXPECT_EQ(ReadBytes(target), log) << "the copy replaces the existing file, byte for byte";
}

TEST_F(TallowlogSave, ErrorLogModeShowsAndSavesTheErrorLog) {
  WriteBytes(folder_.File(L"Tallowby_debug.log"), AsFileText(NumberedLines(1, 3)), false);
  const std::string errors = "ERROR: session Connectiontimeout: MAPI_E_TIMEOUT\r\n";
  WriteBytes(folder_.File(L"Tallowby_error.log"), errors, false);

  SaveDialogDouble dialog;
  dialog.answer = folder_.File(L"errors.txt");
  ViewerWindow viewer(folder_.Path(), LogMode::Error, dialog.Chooser());
  EXPECT_EQ(viewer.ViewText(), Widen(errors));
  EXPECT_EQ(WindowText(GetDlgItem(viewer.Hwnd(), IDC_SAVE_LOG)), L"Save Debuglog");
  viewer.ClickSave();
  EXPECT_EQ(dialog.fileName, L"TallowbyErrorLog.txt");
  EXPECT_EQ(ReadBytes(folder_.File(L"errors.txt")), errors);
}

TEST_F(TallowlogSave, CancelledDialogWritesNothing) {
  WriteBytes(folder_.File(L"Tallowby_debug.log"), AsFileText(NumberedLines(1, 3)), false);
  SaveDialogDouble dialog;  // no answer: cancelled
  int reports = 0;
  ViewerWindow viewer(folder_.Path(), LogMode::Debug, dialog.Chooser(),
                      [&](HWND, const std::wstring&, const std::wstring&) { ++reports; });
  viewer.ClickSave();
  EXPECT_TRUE(dialog.shown);
  EXPECT_EQ(reports, 0);
  EXPECT_EQ(ReadBytes(folder_.File(L"TallowbyDebugLog.txt")), "<missing>");
}

// Finds the message box that the viewer shows, notes what it says and
// closes it, so that the test never waits for a person.
class MessageBoxWatcher {
 public:
  explicit MessageBoxWatcher(HWND owner) : owner_(owner), thread_([this] { Watch(); }) {}
  ~MessageBoxWatcher() {
    stop_ = true;
    thread_.join();
  }
  std::wstring caption, text;
  std::atomic<bool> seen{false};

 private:
  void Watch() {
    for (int i = 0; i < 1000 && !stop_; ++i) {
      for (HWND box = FindWindowExW(nullptr, nullptr, L"#32770", nullptr); box;
           box = FindWindowExW(nullptr, box, L"#32770", nullptr)) {
        if (GetWindow(box, GW_OWNER) != owner_) continue;
        caption = WindowText(box);
        text = WindowText(GetDlgItem(box, 0xFFFF));
        seen = true;
        PostMessageW(box, WM_COMMAND, IDOK, 0);
        return;
      }
      ::Sleep(10);
    }
  }
  HWND owner_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST_F(TallowlogSave, FailedCopyIsShownToTheUser) {
  // No log file yet: there is nothing to copy.
  SaveDialogDouble dialog;
  dialog.answer = folder_.File(L"copy.txt");
  ViewerWindow viewer(folder_.Path(), LogMode::Debug, dialog.Chooser());
  {
    MessageBoxWatcher watcher(viewer.Hwnd());
    viewer.ClickSave();  // returns when the watcher has closed the box
    ASSERT_TRUE(watcher.seen) << "a real message box, owned by the viewer";
    EXPECT_EQ(watcher.caption, L"Error");
    EXPECT_NE(watcher.text.find(folder_.File(L"copy.txt")), std::wstring::npos) << watcher.text;
  }
  EXPECT_EQ(ReadBytes(folder_.File(L"copy.txt")), "<missing>");

  // A folder that does not exist as the target.
  WriteBytes(folder_.File(L"Tallowby_debug.log"), AsFileText(NumberedLines(1, 3)), false);
  dialog.answer = folder_.File(L"no such folder\\copy.txt");
  std::wstring reported;
  ViewerWindow second(folder_.Path(), LogMode::Debug, dialog.Chooser(),
                      [&](HWND owner, const std::wstring& text, const std::wstring&) {
                        EXPECT_EQ(owner, second.Hwnd());
                        reported = text;
                      });
  second.ClickSave();
  EXPECT_NE(reported.find(L"no such folder\\copy.txt"), std::wstring::npos) << reported;
}

// The dialog as the resource lays it out.
TEST(TallowlogWindow, HasTheDesignedLayoutTimerAndClose) {
  ScratchFolder folder;
  HRSRC german = FindResourceExW(nullptr, RT_DIALOG, MAKEINTRESOURCEW(IDD_MAINDLG),
                                 MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN));
  EXPECT_NE(german, nullptr) << "the dialog is in the German language block";

  ViewerWindow viewer(folder.Path());
  HWND dlg = viewer.Hwnd();
  ASSERT_TRUE(dlg);
  EXPECT_EQ(WindowText(dlg), L"Logging");
  const LONG style = GetWindowLongW(dlg, GWL_STYLE);
  EXPECT_EQ(style & (WS_POPUP | WS_CAPTION | DS_MODALFRAME | DS_SETFONT | DS_FIXEDSYS),
            LONG(WS_POPUP | WS_CAPTION | DS_MODALFRAME | DS_SETFONT | DS_FIXEDSYS));
  EXPECT_FALSE(style & WS_SYSMENU) << "no close box";
  EXPECT_EQ(GetParent(dlg), nullptr);

  struct Control {
    int id;
    const wchar_t* cls;
    const wchar_t* text;
    RECT dlu;
    LONG styles;
    LONG absent;
  };
  const Control controls[] = {
      {IDC_LOG_VIEW, L"Edit", L"", {7, 7, 351, 343},
       WS_VISIBLE | WS_VSCROLL | WS_TABSTOP | ES_MULTILINE | ES_AUTOHSCROLL, ES_READONLY | ES_WANTRETURN},
      {IDOK, L"Button", L"OK", {308, 354, 50, 14}, WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 0},
      {IDC_SAVE_LOG, L"Button", L"Save Debuglog", {237, 354, 69, 14}, WS_VISIBLE | WS_TABSTOP, BS_DEFPUSHBUTTON},
  };
  for (const Control& c : controls) {
    SCOPED_TRACE(c.id);
    HWND item = GetDlgItem(dlg, c.id);
    ASSERT_TRUE(item);
    wchar_t cls[32] = {};
    GetClassNameW(item, cls, 32);
    EXPECT_EQ(_wcsicmp(cls, c.cls), 0) << cls;
    EXPECT_EQ(WindowText(item), c.text);
    const LONG itemStyle = GetWindowLongW(item, GWL_STYLE);
    EXPECT_EQ(itemStyle & c.styles, c.styles);
    EXPECT_EQ(itemStyle & c.absent, 0);
    if (c.id == IDC_LOG_VIEW) {  // the dialog manager draws an edit's border as a sunken edge
      EXPECT_TRUE((itemStyle & WS_BORDER) || (GetWindowLongW(item, GWL_EXSTYLE) & WS_EX_CLIENTEDGE));
    }
    RECT expected = c.dlu;  // x, y, width, height, each mapped on its own as the dialog manager does
    MapDialogRect(dlg, &expected);
    expected.right += expected.left;
    expected.bottom += expected.top;
    RECT actual{};
    GetWindowRect(item, &actual);
    MapWindowPoints(nullptr, dlg, reinterpret_cast<POINT*>(&actual), 2);
    EXPECT_EQ(actual.left, expected.left);
    EXPECT_EQ(actual.top, expected.top);
    EXPECT_EQ(actual.right, expected.right);
    EXPECT_EQ(actual.bottom, expected.bottom);
  }
  EXPECT_EQ(SendMessageW(viewer.View(), EM_GETLIMITTEXT, 0, 0), 0xA00000);

  // Centred on the work area.
  RECT window{}, area{};
  GetWindowRect(dlg, &window);
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
  EXPECT_NEAR((window.left + window.right) / 2, (area.left + area.right) / 2, 1);
  EXPECT_NEAR((window.top + window.bottom) / 2, (area.top + area.bottom) / 2, 1);

  // A refresh leaves the refresh timer armed.
  viewer.Tick();
  EXPECT_TRUE(KillTimer(dlg, CMainDlg::RefreshTimer));

  // Cancel (Escape) does nothing; OK closes the window and ends the loop.
  SendMessageW(dlg, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
  EXPECT_TRUE(IsWindow(dlg));
  SendMessageW(dlg, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dlg, IDOK)));
  EXPECT_FALSE(IsWindow(dlg));
  MSG msg{};
  ASSERT_TRUE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
  EXPECT_EQ(msg.wParam, 0u);
}

}  // namespace
}  // namespace tallowlog_test
