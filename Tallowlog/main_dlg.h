// The log viewer's window: shows the add-in's debug or error log as it grows
// and saves a copy of it.
#pragma once
#include <windows.h>
#include <commdlg.h>

#include <functional>
#include <string>

#include "log_file.h"
#include "resource.h"
#include "window.h"

class CMainDlg : public win::DialogImpl<CMainDlg> {
 public:
  enum { IDD = IDD_MAINDLG };
  static constexpr UINT_PTR RefreshTimer = 1025;
  static constexpr UINT RefreshPeriodMs = 5000;

  // Shows the save dialog; true when the user chose a file.
  using SaveFileChooser = std::function<bool(OPENFILENAMEW&)>;
  // Tells the user that something failed (text, caption).
  using ErrorReporter = std::function<void(HWND owner, const std::wstring&, const std::wstring&)>;

  // `tempFolder` is the user's temporary folder with its trailing backslash
  // (empty when there is none).
  CMainDlg(std::wstring tempFolder, tallowlog::LogMode mode, SaveFileChooser chooseSaveFile = ShowSaveDialog,
           ErrorReporter reportError = ShowErrorBox);
  virtual ~CMainDlg() = default;

  BEGIN_MSG_MAP(CMainDlg)
    MESSAGE_HANDLER(WM_INITDIALOG, OnInitDialog)
    MESSAGE_HANDLER(WM_TIMER, OnTimer)
    COMMAND_HANDLER(IDOK, BN_CLICKED, OnOK)
    COMMAND_HANDLER(IDC_SAVE_LOG, BN_CLICKED, OnSaveClicked)
  END_MSG_MAP()

  // The most text the view's edit control takes (its limit).
  static constexpr size_t MaxViewChars = 0xA00000;
  // The most text the view holds: the edit control's work for each append
  // grows with the text it holds, so the view keeps the newest 1.5 to 2
  // million characters of the log (some 20,000 lines), whatever its size.
  static constexpr size_t ViewBudgetChars = 0x200000;
  // What the view keeps when it must drop its oldest lines for new ones, so
  // that many refreshes append before it drops again.
  static constexpr size_t KeptViewChars = ViewBudgetChars / 4 * 3;

  void RefreshLog();
  void OnSaveDebugLog();
  const tallowlog::LogFollower& Follower() const { return m_follower; }

  static bool ShowSaveDialog(OPENFILENAMEW& ofn);
  static void ShowErrorBox(HWND owner, const std::wstring& text, const std::wstring& caption);

 private:
  LRESULT OnInitDialog(UINT, WPARAM, LPARAM, BOOL&);
  LRESULT OnTimer(UINT, WPARAM, LPARAM, BOOL&);
  LRESULT OnOK(WORD, WORD, HWND, BOOL&);
  LRESULT OnSaveClicked(WORD, WORD, HWND, BOOL&);

  std::wstring LogPath() const;
  bool IsViewAtBottom() const;
  void ApplyToView(const tallowlog::LogFollower::Update& update);
  void DropOldestLines(size_t chars);
  void CenterOnWorkArea();

  HWND m_hEdit = nullptr;
  std::wstring m_tempFolder;
  tallowlog::LogMode m_mode;
  SaveFileChooser m_chooseSaveFile;
  ErrorReporter m_reportError;
  tallowlog::LogFollower m_follower{KeptViewChars};
};
