// CMainPropPage: the add-in's tab in Outlook's Options dialog.
//
// It shows and saves the global switches (user log, debug log, tray icon),
// the copy of server address lists (on or off, into subfolders or the
// default Contacts folder, and which lists) and the store that serves as
// default store. Apply only writes the registry; each value takes effect at
// the next settings load or the next start of the add-in. The link starts
// the log viewer from the add-in's folder.
#pragma once
#include <string>

#include "auto_combo.h"
#include "prop_page.h"
#include "res/pages_resource.h"
#include "tallowby.h"

class CSyncEngine;

// The log viewer's file name, next to the add-in's DLL.
inline constexpr wchar_t kLogViewerExe[] = L"Tallowlog.exe";

// Starts the log viewer from `folder` (ending in a backslash) without
// waiting for it; a missing or unstartable viewer is told to the user in a
// box owned by `owner`. True when it started.
bool StartLogViewer(HWND owner, const std::wstring& folder);

class CMainPropPage : public CPropPage<IMainPropPage> {
 public:
  CMainPropPage();
  ~CMainPropPage() override;

  STDMETHODIMP Apply() override;

  BEGIN_MSG_MAP(CMainPropPage)
    MESSAGE_HANDLER(WM_INITDIALOG, OnInitDialog)
    COMMAND_HANDLER(IDC_MAIN_SYNC_GAL, BN_CLICKED, OnSyncGalClicked)
    COMMAND_HANDLER(IDC_MAIN_GAL_SUBFOLDERS, BN_CLICKED, OnChange)
    COMMAND_HANDLER(IDC_MAIN_USERLOG, BN_CLICKED, OnChange)
    COMMAND_HANDLER(IDC_MAIN_DEBUG, BN_CLICKED, OnChange)
    COMMAND_HANDLER(IDC_MAIN_TRAYICON, BN_CLICKED, OnChange)
    COMMAND_HANDLER(IDC_MAIN_STORE, CBN_SELCHANGE, OnChange)
    NOTIFY_HANDLER(IDC_MAIN_GAL_LIST, NM_CLICK, OnListClick)
    NOTIFY_HANDLER(IDC_MAIN_GAL_LIST, LVN_ITEMCHANGED, OnListItemChanged)
    NOTIFY_HANDLER(IDC_MAIN_OPEN_LOG, NM_CLICK, OnOpenLogfile)
    NOTIFY_HANDLER(IDC_MAIN_OPEN_LOG, NM_RETURN, OnOpenLogfile)
    CHAIN_MSG_MAP(CPropPageCore)
    REFLECT_NOTIFICATIONS()
  END_MSG_MAP()

 private:
  LRESULT OnInitDialog(UINT, WPARAM, LPARAM, BOOL&);
  LRESULT OnSyncGalClicked(WORD, WORD, HWND, BOOL&);
  LRESULT OnChange(WORD, WORD, HWND, BOOL&) { SetDirty(); return 0; }
  LRESULT OnListClick(int, LPNMHDR, BOOL&) { SetDirty(); return 0; }
  LRESULT OnListItemChanged(int, LPNMHDR hdr, BOOL&);
  LRESULT OnOpenLogfile(int, LPNMHDR, BOOL&);

  void ShowConfig(LCID lcid);
  void SetupList(LCID lcid);
  // Fills the list with the server address lists the address book gives.
  void FillAddressLists(CSyncEngine* engine);
  void CheckChosenLists();
  void FillStores(CSyncEngine* engine, LCID lcid);
  void EnableAddressListControls();

  HRESULT WriteConfig() const;
  HRESULT WriteChosenLists() const;
  bool RefuseListsDifferingInCase() const;
  std::wstring RowText(int row) const;
  bool Checked(int id) const;

  CAutoCombo m_Combo;
  // The stored defaultStoreName as read when the page opened.
  std::wstring storedStoreName_;
  // Changes of the list made while the page fills it are not the user's.
  bool filling_ = false;
};
