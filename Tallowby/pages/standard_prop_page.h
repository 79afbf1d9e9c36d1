// CStandardPropPage: the category and the linked folders of a default folder
// (or of a folder a running pair writes into), in its properties dialog.
#pragma once
#include "auto_combo.h"
#include "prop_page.h"
#include "res/pages_resource.h"
#include "tallowby.h"

class CStandardPropPage : public CPropPage<IStandardPropPage> {
 public:
  CStandardPropPage();
  ~CStandardPropPage() override;

  BEGIN_MSG_MAP(CStandardPropPage)
    MESSAGE_HANDLER(WM_INITDIALOG, OnInitDialog)
    MESSAGE_HANDLER(WM_HELP, OnHelp)
    COMMAND_HANDLER(IDC_STANDARD_ADD_CATEGORY, BN_CLICKED, OnAddCategoryClicked)
    COMMAND_HANDLER(IDC_STANDARD_CATEGORY, CBN_EDITCHANGE, OnChange)
    COMMAND_HANDLER(IDC_STANDARD_CATEGORY, CBN_SELENDOK, OnChange)
    CHAIN_MSG_MAP(CPropPageCore)
    REFLECT_NOTIFICATIONS()
  END_MSG_MAP()

 private:
  LRESULT OnInitDialog(UINT, WPARAM, LPARAM, BOOL&);
  LRESULT OnHelp(UINT, WPARAM, LPARAM, BOOL&);
  LRESULT OnAddCategoryClicked(WORD, WORD, HWND, BOOL&);
  LRESULT OnChange(WORD, WORD, HWND, BOOL&) { SetDirty(); return 0; }

  CAutoCombo m_Combo;
};
