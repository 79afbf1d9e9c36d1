#include "standard_prop_page.h"

#include "language.h"
#include "res/resource.h"

namespace {
const PropPageClass kStandardPageClass{&CLSID_StandardPropPage, &IID_IStandardPropPage, IDD_STANDARDPROPPAGE};
}  // namespace

CStandardPropPage::CStandardPropPage() : CPropPage(kStandardPageClass) {}

CStandardPropPage::~CStandardPropPage() { DestroyPageWindow(); }

LRESULT CStandardPropPage::OnInitDialog(UINT, WPARAM, LPARAM, BOOL&) {
  ClearRightToLeftLayout();
  SetLabel(IDC_STANDARD_ADD_CATEGORY, IDS_NEW_ITEMS_CATEGORY, GetUiLanguage());
  SetLabel(IDC_STANDARD_LIST_LABEL, IDS_LINKED_FOLDERS, GetUiLanguage());
  SetLabel(IDC_STANDARD_EXPLANATION, IDS_ADD_CATEGORY_EXPLANATION, GetUiLanguage());
  SetDirty(false);
  SetupThemeBackground(true, ::GetParent(::GetParent(m_hWnd)));
  CenterControls(IDC_STANDARD_CATEGORY,
                 {IDC_STANDARD_ADD_CATEGORY, IDC_STANDARD_PICTURE, IDC_STANDARD_LINKED, IDC_STANDARD_LIST_LABEL,
                  IDC_STANDARD_EXPLANATION, IDC_STANDARD_TOP_GROUP, IDC_STANDARD_CATEGORY_GROUP,
                  IDC_STANDARD_LIST_GROUP});
  return FALSE;
}

LRESULT CStandardPropPage::OnHelp(UINT, WPARAM, LPARAM, BOOL&) { return OnHelpLanguage(GetUiLanguage()); }

LRESULT CStandardPropPage::OnAddCategoryClicked(WORD, WORD, HWND, BOOL&) {
  EnableWindow(GetDlgItem(IDC_STANDARD_CATEGORY),
               IsDlgButtonChecked(m_hWnd, IDC_STANDARD_ADD_CATEGORY) == BST_CHECKED);
  SetDirty();
  return 0;
}
