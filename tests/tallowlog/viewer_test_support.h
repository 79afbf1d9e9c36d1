// Shared pieces of the log viewer's tests: a scratch temporary folder per
// test, log files written as the add-in writes them, and the real dialog.
#pragma once
#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "main_dlg.h"

namespace tallowlog_test {

// A folder of its own under the temporary folder, removed with its files.
class ScratchFolder {
 public:
  ScratchFolder() {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "none";
    path_ = std::wstring(temp) + L"tallowlog-" + std::wstring(name.begin(), name.end()) + L"-" +
            std::to_wstring(GetCurrentProcessId()) + L"\\";
    Clear();
    CreateDirectoryW(path_.c_str(), nullptr);
  }
  ~ScratchFolder() { Clear(); }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  // With its trailing backslash, as GetTempPathW gives it.
  const std::wstring& Path() const { return path_; }
  std::wstring File(const wchar_t* name) const { return path_ + name; }

 private:
  void Clear() {
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW((path_ + L"*").c_str(), &fd);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) DeleteFileW((path_ + fd.cFileName).c_str());
      } while (FindNextFileW(find, &fd));
      FindClose(find);
    }
    RemoveDirectoryW(path_.c_str());
  }
  std::wstring path_;
};

// Writes bytes as the add-in does: 8-bit text, CR LF line ends.
inline void WriteBytes(const std::wstring& path, const std::string& bytes, bool append) {
  HANDLE h = CreateFileW(path.c_str(), append ? FILE_APPEND_DATA : GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         append ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  WriteFile(h, bytes.data(), DWORD(bytes.size()), &written, nullptr);
  CloseHandle(h);
  ASSERT_EQ(written, bytes.size());
}

inline std::string ReadBytes(const std::wstring& path) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return "<missing>";
  std::string bytes(GetFileSize(h, nullptr), '\0');
  DWORD read = 0;
  ReadFile(h, bytes.data(), DWORD(bytes.size()), &read, nullptr);
  CloseHandle(h);
  bytes.resize(read);
  return bytes;
}

// Debug-log lines "HH:MM:SS|tid|-> text" numbered from `first`.
inline std::vector<std::string> NumberedLines(int first, int count) {
  std::vector<std::string> lines;
  for (int i = first; i < first + count; ++i) {
    char buf[64];
    snprintf(buf, sizeof buf, "10:%02d:%02d|4711|-> line %d", i / 60 % 60, i % 60, i);
    lines.push_back(buf);
  }
  return lines;
}

inline std::string AsFileText(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\r\n";
  return text;
}

inline std::wstring Widen(const std::string& latin1) { return std::wstring(latin1.begin(), latin1.end()); }

// What the view must hold for these file lines.
inline std::wstring AsViewText(const std::vector<std::string>& lines) { return Widen(AsFileText(lines)); }

// Runs whatever the dialog posted to itself (the caret and scroll requests).
inline void PumpMessages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      PostQuitMessage(int(msg.wParam));
      break;
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

inline std::wstring WindowText(HWND hwnd) {
  std::wstring text(size_t(GetWindowTextLengthW(hwnd)) + 1, L'\0');
  text.resize(size_t(GetWindowTextW(hwnd, text.data(), int(text.size()))));
  return text;
}

// The real dialog of the viewer, created from this executable's resources
// and shown as the program shows it.
class ViewerWindow {
 public:
  ViewerWindow(const std::wstring& tempFolder, tallowlog::LogMode mode = tallowlog::LogMode::Debug,
               CMainDlg::SaveFileChooser chooser = RefuseSaveDialog,
               CMainDlg::ErrorReporter reporter = CMainDlg::ShowErrorBox)
      : dialog_(std::make_unique<CMainDlg>(tempFolder, mode, std::move(chooser), std::move(reporter))) {
    hwnd_ = dialog_->Create(nullptr, GetModuleHandleW(nullptr));
    if (hwnd_) ShowWindow(hwnd_, SW_SHOWNORMAL);
    PumpMessages();
  }
  ~ViewerWindow() {
    if (IsWindow(hwnd_)) DestroyWindow(hwnd_);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
  }
  ViewerWindow(const ViewerWindow&) = delete;
  ViewerWindow& operator=(const ViewerWindow&) = delete;

  HWND Hwnd() const { return hwnd_; }
  HWND View() const { return GetDlgItem(hwnd_, IDC_LOG_VIEW); }
  CMainDlg& Dialog() { return *dialog_; }

  // A tick of the refresh timer.
  void Tick() {
    SendMessageW(hwnd_, WM_TIMER, CMainDlg::RefreshTimer, 0);
    PumpMessages();
  }
  std::wstring ViewText() const { return WindowText(View()); }
  void Scroll(int how) {
    SendMessageW(View(), WM_VSCROLL, how, 0);
    PumpMessages();
  }
  // A key typed into the view, as the program's message loop delivers it.
  void Type(wchar_t ch) {
    SendMessageW(View(), WM_CHAR, ch, 1);
    PumpMessages();
  }
  void ClickSave() {
    SendMessageW(hwnd_, WM_COMMAND, MAKEWPARAM(IDC_SAVE_LOG, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(hwnd_, IDC_SAVE_LOG)));
    PumpMessages();
  }

  static bool RefuseSaveDialog(OPENFILENAMEW&) {
    ADD_FAILURE() << "the save dialog was not expected";
    return false;
  }

 private:
  std::unique_ptr<CMainDlg> dialog_;
  HWND hwnd_ = nullptr;
};

}  // namespace tallowlog_test
