// CTallowbyPropPage: a master folder's replication options in the folder's
// properties dialog.
#pragma once
#include "auto_combo.h"
#include "prop_page.h"
#include "res/pages_resource.h"
#include "tallowby.h"

class CTallowbyPropPage : public CPropPage<ITallowbyPropPage> {
 public:
  CTallowbyPropPage();
  ~CTallowbyPropPage() override;

  BEGIN_MSG_MAP(CTallowbyPropPage)
    MESSAGE_HANDLER(WM_INITDIALOG, OnInitDialog)
    MESSAGE_HANDLER(WM_HELP, OnHelp)
    COMMAND_HANDLER(IDC_FOLDER_NO_PRIVATE, BN_CLICKED, OnChange)
    COMMAND_HANDLER(IDC_FOLDER_BOTH_DIRECTIONS, BN_CLICKED, OnChange)
    COMMAND_HANDLER(IDC_FOLDER_NO_REMINDERS, BN_CLICKED, OnChange)
    COMMAND_HANDLER(IDC_FOLDER_NO_REQUESTS, BN_CLICKED, OnChange)
    COMMAND_HANDLER(IDC_FOLDER_RESET, BN_CLICKED, OnChange)
    COMMAND_HANDLER(IDC_FOLDER_CATEGORY, EN_CHANGE, OnChange)
    CHAIN_MSG_MAP(CPropPageCore)
    REFLECT_NOTIFICATIONS()
  END_MSG_MAP()

 private:
  LRESULT OnInitDialog(UINT, WPARAM, LPARAM, BOOL&);
  LRESULT OnHelp(UINT, WPARAM, LPARAM, BOOL&);
  LRESULT OnChange(WORD, WORD, HWND, BOOL&) { SetDirty(); return 0; }

  CAutoCombo m_Combo;
};
