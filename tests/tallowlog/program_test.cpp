// Tallowlog.exe as the add-in starts it: its own process, its command line,
// the real save dialog. The child's temporary folder is a scratch folder.
#include <gtest/gtest.h>

#include <cwctype>
#include <fstream>
#include <functional>

#include "viewer_test_support.h"

namespace tallowlog_test {
namespace {

std::wstring ExeFolder() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder = path;
  return folder.substr(0, folder.find_last_of(L"\\/") + 1);
}

// This process's environment with TMP and TEMP pointing at `tempFolder`.
std::wstring EnvironmentWithTemp(const std::wstring& tempFolder) {
  std::wstring block;
  wchar_t* env = GetEnvironmentStringsW();
  for (const wchar_t* p = env; *p; p += wcslen(p) + 1) {
    if (_wcsnicmp(p, L"TMP=", 4) == 0 || _wcsnicmp(p, L"TEMP=", 5) == 0) continue;
    block += p;
    block += L'\0';
  }
  FreeEnvironmentStringsW(env);
  const std::wstring folder = tempFolder.substr(0, tempFolder.size() - 1);  // without the backslash
  block += L"TMP=" + folder + L'\0' + L"TEMP=" + folder + L'\0';
  return block;
}

bool WaitFor(const std::function<bool()>& condition, DWORD ms = 15000) {
  for (DWORD waited = 0; waited < ms; waited += 20) {
    if (condition()) return true;
    ::Sleep(20);
  }
  return condition();
}

std::wstring RemoteText(HWND hwnd) {
  wchar_t text[4096] = {};
  DWORD_PTR result = 0;
  SendMessageTimeoutW(hwnd, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 5000, &result);
  return text;
}

// One run of Tallowlog.exe; ended by force if a test leaves it open.
class ViewerProcess {
 public:
  ViewerProcess(const std::wstring& arguments, const std::wstring& tempFolder) {
    std::wstring commandLine = L"\"" + ExeFolder() + L"Tallowlog.exe\"" + (arguments.empty() ? L"" : L" " + arguments);
    std::wstring env = EnvironmentWithTemp(tempFolder);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    started_ = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                              env.data(), nullptr, &si, &pi_) != FALSE;
    if (started_) WaitFor([this] { return (main_ = FindDialog(nullptr)) != nullptr; });
  }
  ~ViewerProcess() {
    if (!started_) return;
    if (WaitForSingleObject(pi_.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(pi_.hProcess, 99);
    CloseHandle(pi_.hThread);
    CloseHandle(pi_.hProcess);
  }
  ViewerProcess(const ViewerProcess&) = delete;
  ViewerProcess& operator=(const ViewerProcess&) = delete;

  HWND Main() const { return main_; }
  std::wstring ViewText() const { return RemoteText(GetDlgItem(main_, IDC_LOG_VIEW)); }

  // A dialog window of this process other than `other`.
  HWND FindDialog(HWND other) const {
    struct Search {
      DWORD pid;
      HWND other, found;
    } search{pi_.dwProcessId, other, nullptr};
    EnumWindows(
        [](HWND hwnd, LPARAM lp) -> BOOL {
          auto* s = reinterpret_cast<Search*>(lp);
          DWORD pid = 0;
          GetWindowThreadProcessId(hwnd, &pid);
          wchar_t cls[16] = {};
          GetClassNameW(hwnd, cls, 16);
          if (pid != s->pid || hwnd == s->other || wcscmp(cls, L"#32770") != 0 || !IsWindowVisible(hwnd))
            return TRUE;
          s->found = hwnd;
          return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
  }

  // Clicks "Save Debuglog" and returns the save dialog that opens.
  HWND OpenSaveDialog() {
    PostMessageW(main_, WM_COMMAND, MAKEWPARAM(IDC_SAVE_LOG, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(main_, IDC_SAVE_LOG)));
    HWND save = nullptr;
    WaitFor([&] { return (save = FindDialog(main_)) != nullptr && FileNameField(save) != nullptr; });
    return save;
  }

  static HWND FileNameField(HWND saveDialog) {
    const int candidates[] = {0x480 /* edt1 */, 0x47c /* cmb13 */};
    for (int id : candidates)
      if (HWND field = GetDlgItem(saveDialog, id)) return field;
    return nullptr;
  }

  // Clicks OK; true when the program ended with exit code 0.
  bool CloseWithOk() {
    PostMessageW(main_, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(main_, IDOK)));
    if (WaitForSingleObject(pi_.hProcess, 15000) != WAIT_OBJECT_0) return false;
    DWORD code = 1;
    GetExitCodeProcess(pi_.hProcess, &code);
    return code == 0;
  }

 private:
  PROCESS_INFORMATION pi_{};
  bool started_ = false;
  HWND main_ = nullptr;
};

constexpr char kDebugLog[] = " --- 01.02.2024 10:00:00 --- \r\n\r\n10:00:01|12|-> debug line\r\n";
constexpr char kErrorLog[] = "ERROR: no session: 0x80004003 GetLastError: 0\r\n";

class TallowlogProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteBytes(folder_.File(L"Tallowby_debug.log"), kDebugLog, false);
    WriteBytes(folder_.File(L"Tallowby_error.log"), kErrorLog, false);
  }
  ScratchFolder folder_;
};

TEST_F(TallowlogProgram, ErrorlogShowsTheErrorLogAndSavesItOverAnExistingFile) {
  ViewerProcess viewer(L"errorlog", folder_.Path());
  ASSERT_TRUE(viewer.Main()) << "the viewer's window did not appear";
  EXPECT_EQ(RemoteText(viewer.Main()), L"Logging");
  EXPECT_EQ(viewer.ViewText(), Widen(kErrorLog));

  HWND save = viewer.OpenSaveDialog();
  ASSERT_TRUE(save) << "the save dialog did not appear";
  EXPECT_EQ(RemoteText(ViewerProcess::FileNameField(save)), L"TallowbyErrorLog.txt");

  const std::wstring target = folder_.File(L"saved.txt");
  WriteBytes(target, "an older, longer file that the copy replaces without a question", false);
  SendMessageW(ViewerProcess::FileNameField(save), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(target.c_str()));
  PostMessageW(save, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(save, IDOK)));
  EXPECT_TRUE(WaitFor([&] { return ReadBytes(target) == kErrorLog; })) << ReadBytes(target);
  EXPECT_TRUE(WaitFor([&] { return viewer.FindDialog(viewer.Main()) == nullptr; })) << "no prompt stays open";

  EXPECT_TRUE(viewer.CloseWithOk());
}

TEST_F(TallowlogProgram, OtherCommandLinesShowTheDebugLog) {
  for (const wchar_t* arguments : {L"", L"\" errorlog\"", L"\"errorlog \"", L"ErrorLog", L"/errorlog"}) {
    SCOPED_TRACE(testing::Message() << "command line [" << std::string(arguments, arguments + wcslen(arguments))
                                    << "]");
    ViewerProcess viewer(arguments, folder_.Path());
    ASSERT_TRUE(viewer.Main());
    EXPECT_EQ(viewer.ViewText(), Widen(kDebugLog));
    if (*arguments == L'\0') {
      HWND save = viewer.OpenSaveDialog();
      ASSERT_TRUE(save);
      EXPECT_EQ(RemoteText(ViewerProcess::FileNameField(save)), L"TallowbyDebugLog.txt");
      PostMessageW(save, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
      EXPECT_TRUE(WaitFor([&] { return viewer.FindDialog(viewer.Main()) == nullptr; }));
    }
    EXPECT_TRUE(viewer.CloseWithOk());
  }
}

// Holds the viewer open for tests/tallowlog/screenshot.sh, which takes the
// picture: it names a folder in TALLOWLOG_SHOT_DIR; the test writes "ready"
// there (holding the window's X id when Wine gives it) and closes the viewer
// when "done" appears.
TEST_F(TallowlogProgram, DISABLED_HoldOpenForScreenshot) {
  const char* dir = getenv("TALLOWLOG_SHOT_DIR");
  ASSERT_TRUE(dir) << "run by screenshot.sh";
  std::string log = " ------------------------------- 01.02.2024 10:00:00 ------------------------------- \r\n\r\n";
  const char* texts[] = {"OnConnection: Outlook 16.0", "SessionThread started", "Logon ok, store online",
                         "StartSync", "GetSettings: 3 master folders", "PSTThread Kontakte started",
                         "checkIfSomethingChanged Kontakte", "FillDeleteList = 12 msec",
                         "NEW: M\xfcller, J\xfcrgen -> Kontakte", "Pass done in 340 msec"};
  int n = 0;
  for (const char* text : texts) {
    char line[160];
    ++n;
    snprintf(line, sizeof line, "10:00:%02d|%d|-> %s\r\n", n, 4000 + n % 3, text);
    log += line;
  }
  WriteBytes(folder_.File(L"Tallowby_debug.log"), log, false);

  ViewerProcess viewer(L"", folder_.Path());
  ASSERT_TRUE(viewer.Main());
  const std::string shotDir = dir;
  auto xid = reinterpret_cast<uintptr_t>(GetPropW(viewer.Main(), L"__wine_x11_whole_window"));
  {
    std::ofstream ready(shotDir + "/ready.tmp");
    ready << std::hex << "0x" << xid << "\n";
  }
  MoveFileA((shotDir + "/ready.tmp").c_str(), (shotDir + "/ready").c_str());
  EXPECT_TRUE(WaitFor([&] { return GetFileAttributesA((shotDir + "/done").c_str()) != INVALID_FILE_ATTRIBUTES; },
                      60000));
  EXPECT_TRUE(viewer.CloseWithOk());
}

}  // namespace
}  // namespace tallowlog_test
