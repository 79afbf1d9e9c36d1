// CMainPropPage: the add-in's tab in Outlook's Options dialog.
#pragma once
#include "auto_combo.h"
#include "prop_page.h"
#include "res/pages_resource.h"
#include "tallowby.h"

class CMainPropPage : public CPropPage<IMainPropPage> {
 public:
  CMainPropPage();
  ~CMainPropPage() override;

  BEGIN_MSG_MAP(CMainPropPage)
    MESSAGE_HANDLER(WM_INITDIALOG, OnInitDialog)
    COMMAND_HANDLER(IDC_MAIN_SYNC_GAL, BN_CLICKED, OnSyncGalClicked)
    COMMAND_HANDLER(IDC_MAIN_GAL_SUBFOLDERS, BN_CLICKED, OnChange)
    COMMAND_HANDLER(IDC_MAIN_USERLOG, BN_CLICKED, OnChange)
    COMMAND_HANDLER(IDC_MAIN_DEBUG, BN_CLICKED, OnChange)
    COMMAND_HANDLER(IDC_MAIN_TRAYICON, BN_CLICKED, OnChange)
    COMMAND_HANDLER(IDC_MAIN_STORE, CBN_SELCHANGE, OnChange)
    NOTIFY_HANDLER(IDC_MAIN_GAL_LIST, NM_CLICK, OnListClick)
    CHAIN_MSG_MAP(CPropPageCore)
    REFLECT_NOTIFICATIONS()
  END_MSG_MAP()

 private:
  LRESULT OnInitDialog(UINT, WPARAM, LPARAM, BOOL&);
  LRESULT OnSyncGalClicked(WORD, WORD, HWND, BOOL&);
  LRESULT OnChange(WORD, WORD, HWND, BOOL&) { SetDirty(); return 0; }
  LRESULT OnListClick(int, LPNMHDR, BOOL&) { SetDirty(); return 0; }

  CAutoCombo m_Combo;
};
