#include "main_prop_page.h"

#include "language.h"
#include "res/resource.h"

namespace {
const PropPageClass kMainPageClass{&CLSID_MainPropPage, &IID_IMainPropPage, IDD_MAINPROPPAGE};
}  // namespace

CMainPropPage::CMainPropPage() : CPropPage(kMainPageClass) {}

CMainPropPage::~CMainPropPage() { DestroyPageWindow(); }

LRESULT CMainPropPage::OnInitDialog(UINT, WPARAM, LPARAM, BOOL&) {
  ClearRightToLeftLayout();
  const LCID lcid = GetUiLanguage();
  HWND list = GetDlgItem(IDC_MAIN_GAL_LIST);
  ListView_SetExtendedListViewStyle(list, LVS_EX_CHECKBOXES | LVS_EX_FULLROWSELECT);
  std::wstring column = LoadUiString(IDS_GAL_COLUMN, lcid);
  LVCOLUMNW c{LVCF_TEXT | LVCF_WIDTH};
  c.pszText = column.data();
  c.cx = ListView_GetStringWidth(list, column.c_str()) + 15;
  ListView_InsertColumn(list, 0, &c);
  SetupThemeBackground(false, ::GetParent(m_hWnd));

  SetLabel(IDC_MAIN_SYNC_GAL, IDS_COPY_GAL, lcid);
  SetLabel(IDC_MAIN_GAL_SUBFOLDERS, IDS_CREATE_SUBFOLDERS, lcid);
  const bool galOn = IsDlgButtonChecked(m_hWnd, IDC_MAIN_SYNC_GAL) == BST_CHECKED;
  EnableWindow(GetDlgItem(IDC_MAIN_GAL_SUBFOLDERS), galOn);
  EnableWindow(list, galOn);
  CenterControls(IDC_MAIN_GAL_GROUP, {IDC_MAIN_GAL_LIST, IDC_MAIN_SYNC_GAL, IDC_MAIN_GAL_SUBFOLDERS, IDC_MAIN_LOG_GROUP,
                                      IDC_MAIN_OPEN_LOG, IDC_MAIN_TRAYICON, IDC_MAIN_DEBUG, IDC_MAIN_USERLOG,
                                      IDC_MAIN_STORE, IDC_MAIN_STORE_LABEL});
  SetDlgItemTextW(m_hWnd, IDC_MAIN_OPEN_LOG, (L"<a>" + LoadUiString(IDS_OPEN_LOGFILE, lcid) + L"</a>").c_str());
  SetLabel(IDC_MAIN_DEBUG, IDS_EXTENDED_LOGGING, lcid);
  SetLabel(IDC_MAIN_USERLOG, IDS_LOGGING, lcid);
  SetLabel(IDC_MAIN_TRAYICON, IDS_SHOW_TRAY_ICON, lcid);
  SetLabel(IDC_MAIN_STORE_LABEL, IDS_TARGET_MAILBOX, lcid);

  HWND combo = GetDlgItem(IDC_MAIN_STORE);
  m_Combo.Attach(combo);
  std::wstring standard = LoadUiString(IDS_DEFAULT_STORE, lcid);
  ::SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(standard.c_str()));
  ::SendMessageW(combo, CB_SELECTSTRING, 0, reinterpret_cast<LPARAM>(standard.c_str()));
  SetDirty(false);
  return TRUE;
}

LRESULT CMainPropPage::OnSyncGalClicked(WORD, WORD, HWND, BOOL&) {
  const bool on = IsDlgButtonChecked(m_hWnd, IDC_MAIN_SYNC_GAL) == BST_CHECKED;
  EnableWindow(GetDlgItem(IDC_MAIN_GAL_SUBFOLDERS), on);
  EnableWindow(GetDlgItem(IDC_MAIN_GAL_LIST), on);
  SetDirty();
  return 0;
}
