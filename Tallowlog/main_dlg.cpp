#include "main_dlg.h"

#include <shlobj.h>

#include <memory>

#include "clock.h"

using tallowlog::LogMode;

namespace {

constexpr DWORD kMaxSavePath = 260;
constexpr DWORD kMaxSaveTitle = 255;

struct ItemIdListFree {
  void operator()(ITEMIDLIST* p) const { CoTaskMemFree(p); }
};

std::wstring DesktopFolder() {
  ITEMIDLIST* raw = nullptr;
  if (FAILED(SHGetSpecialFolderLocation(nullptr, CSIDL_DESKTOP, &raw))) return {};
  std::unique_ptr<ITEMIDLIST, ItemIdListFree> pidl(raw);
  wchar_t path[MAX_PATH] = {};
  if (!SHGetPathFromIDListW(pidl.get(), path)) return {};
  return path;
}

std::wstring SystemMessage(DWORD error) {
  wchar_t* text = nullptr;
  DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring message = n ? std::wstring(text, n) : L"Error " + std::to_wstring(error) + L".";
  LocalFree(text);
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r')) message.pop_back();
  return message;
}

}  // namespace

CMainDlg::CMainDlg(std::wstring tempFolder, LogMode mode, SaveFileChooser chooseSaveFile, ErrorReporter reportError)
    : m_tempFolder(std::move(tempFolder)),
      m_mode(mode),
      m_chooseSaveFile(std::move(chooseSaveFile)),
      m_reportError(std::move(reportError)) {}

bool CMainDlg::ShowSaveDialog(OPENFILENAMEW& ofn) { return GetSaveFileNameW(&ofn) != FALSE; }

void CMainDlg::ShowErrorBox(HWND owner, const std::wstring& text, const std::wstring& caption) {
  MessageBoxW(owner, text.c_str(), caption.c_str(), MB_OK | MB_ICONERROR);
}

LRESULT CMainDlg::OnInitDialog(UINT, WPARAM, LPARAM, BOOL&) {
  m_hEdit = GetDlgItem(IDC_LOG_VIEW);
  ::SendMessageW(m_hEdit, EM_LIMITTEXT, MaxViewChars, 0);
  RefreshLog();
  SetTimer(RefreshTimer, clk::TimerPeriod(RefreshPeriodMs));
  CenterOnWorkArea();
  return TRUE;
}

LRESULT CMainDlg::OnTimer(UINT, WPARAM, LPARAM, BOOL&) {
  RefreshLog();
  return 0;
}

LRESULT CMainDlg::OnOK(WORD, WORD, HWND, BOOL&) {
  DestroyWindow();
  PostQuitMessage(0);
  return 0;
}

LRESULT CMainDlg::OnSaveClicked(WORD, WORD, HWND, BOOL&) {
  OnSaveDebugLog();
  return 0;
}

std::wstring CMainDlg::LogPath() const {
  if (m_tempFolder.empty()) return {};
  return m_tempFolder + tallowlog::LogFileName(m_mode);
}

// Lines arrive only while the user looks at the end of the log, so that one
// who scrolled up keeps the view.
bool CMainDlg::IsViewAtBottom() const {
  SCROLLINFO si{};
  si.cbSize = sizeof si;
  si.fMask = SIF_ALL;
  GetScrollInfo(m_hEdit, SB_VERT, &si);
  return si.nPos + static_cast<int>(si.nPage) >= si.nMax;
}

void CMainDlg::RefreshLog() {
  KillTimer(RefreshTimer);
  const bool atBottom = IsViewAtBottom();
  const std::wstring path = LogPath();
  if (auto update = path.empty() ? std::nullopt : m_follower.Refresh(path, atBottom)) {
    ApplyToView(*update);
    if (atBottom) {
      ::PostMessageW(m_hEdit, EM_SETSEL, WPARAM(-1), 0xFFFF);
      ::PostMessageW(m_hEdit, EM_SCROLLCARET, 0, 0);
    }
  }
  SetTimer(RefreshTimer, clk::TimerPeriod(RefreshPeriodMs));
}

void CMainDlg::ApplyToView(const tallowlog::LogFollower::Update& update) {
  if (update.clearView) {
    ::SendMessageW(m_hEdit, EM_SETSEL, 0, -1);
    ::SendMessageW(m_hEdit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L""));
  }
  ::SetFocus(m_hEdit);
  if (update.append.empty()) return;
  const size_t shown = size_t(GetWindowTextLengthW(m_hEdit));
  // Past the view's budget the oldest lines make room, in one big step, so
  // that the view goes on showing the end of the log. (An update is never
  // longer than what the view keeps.)
  if (shown + update.append.size() > ViewBudgetChars)
    DropOldestLines(shown + update.append.size() - KeptViewChars);
  const int end = GetWindowTextLengthW(m_hEdit);
  ::SendMessageW(m_hEdit, EM_SETSEL, end, end);
  ::SendMessageW(m_hEdit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(update.append.c_str()));
}

// At least `chars` characters from the view's beginning, up to a line's end.
void CMainDlg::DropOldestLines(size_t chars) {
  if (chars == 0) return;
  LRESULT cut = -1;  // all of it
  if (chars < size_t(GetWindowTextLengthW(m_hEdit))) {
    const LRESULT line = ::SendMessageW(m_hEdit, EM_LINEFROMCHAR, WPARAM(chars - 1), 0);
    cut = ::SendMessageW(m_hEdit, EM_LINEINDEX, WPARAM(line + 1), 0);
  }
  ::SendMessageW(m_hEdit, EM_SETSEL, 0, cut < 0 ? -1 : cut);
  ::SendMessageW(m_hEdit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L""));
}

void CMainDlg::OnSaveDebugLog() {
  const std::wstring source = LogPath();
  const std::wstring initialFolder = DesktopFolder();
  wchar_t file[kMaxSavePath] = {};
  wcsncpy(file, tallowlog::DefaultSaveName(m_mode), kMaxSavePath - 1);
  wchar_t fileTitle[kMaxSaveTitle] = {};

  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = m_hWnd;
  ofn.lpstrFilter = L"Logdatein (*.txt)\0*.txt\0";
  ofn.lpstrFile = file;
  ofn.nMaxFile = 255;
  ofn.lpstrFileTitle = fileTitle;
  ofn.nMaxFileTitle = kMaxSaveTitle;
  ofn.lpstrInitialDir = initialFolder.empty() ? nullptr : initialFolder.c_str();
  ofn.lpstrDefExt = L"txt";
  // An existing file is replaced without asking.
  ofn.Flags = OFN_CREATEPROMPT | OFN_HIDEREADONLY;
  if (!m_chooseSaveFile(ofn)) return;

  if (!CopyFileW(source.c_str(), file, FALSE)) {
    const DWORD error = GetLastError();
    m_reportError(m_hWnd, L"The log could not be saved as\n" + std::wstring(file) + L"\n\n" + SystemMessage(error),
                  L"Error");
  }
}

// The dialog has no owner, so it is centred on the screen's work area.
void CMainDlg::CenterOnWorkArea() {
  RECT window{};
  ::GetWindowRect(m_hWnd, &window);
  MONITORINFO monitor{};
  monitor.cbSize = sizeof monitor;
  RECT area{};
  if (GetMonitorInfoW(MonitorFromWindow(m_hWnd, MONITOR_DEFAULTTOPRIMARY), &monitor))
    area = monitor.rcWork;
  else
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
  const int width = window.right - window.left;
  const int height = window.bottom - window.top;
  const int x = area.left + (area.right - area.left - width) / 2;
  const int y = area.top + (area.bottom - area.top - height) / 2;
  ::SetWindowPos(m_hWnd, nullptr, x < area.left ? area.left : x, y < area.top ? area.top : y, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}
