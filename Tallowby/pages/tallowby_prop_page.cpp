#include "tallowby_prop_page.h"

#include <cwchar>
#include <iterator>

#include "connect.h"
#include "language.h"
#include "res/resource.h"

namespace {
const PropPageClass kFolderPageClass{&CLSID_TallowbyPropPage, &IID_ITallowbyPropPage, IDD_TALLOWBYPROPPAGE};
}  // namespace

CTallowbyPropPage::CTallowbyPropPage() : CPropPage(kFolderPageClass) {}

CTallowbyPropPage::~CTallowbyPropPage() { DestroyPageWindow(); }

LRESULT CTallowbyPropPage::OnInitDialog(UINT, WPARAM, LPARAM, BOOL&) {
  ClearRightToLeftLayout();
  g_lcidUi = GetUiLanguage();
  SetLabel(IDC_FOLDER_USED, IDS_SYNC_THIS_FOLDER, g_lcidUi);
  SetLabel(IDC_FOLDER_FILTER_GROUP, IDS_CATEGORY_FILTER, g_lcidUi);
  SetLabel(IDC_FOLDER_NO_PRIVATE, IDS_DONT_SYNC_PRIVATE, g_lcidUi);
  SetLabel(IDC_FOLDER_CREATE_SUBFOLDER, IDS_CREATE_SUBFOLDER, g_lcidUi);
  SetLabel(IDC_FOLDER_NO_REQUESTS, IDS_DONT_SYNC_MEETING_REQUESTS, g_lcidUi);
  SetLabel(IDC_FOLDER_BOTH_DIRECTIONS, IDS_BOTH_DIRECTIONS, g_lcidUi);
  SetLabel(IDC_FOLDER_NO_REMINDERS, IDS_DONT_SYNC_REMINDERS, g_lcidUi);
  SetLabel(IDC_FOLDER_CATEGORY_LABEL, IDS_ATTACH_CATEGORY, g_lcidUi);
  m_Combo.Attach(GetDlgItem(IDC_FOLDER_FILTER_COMBO));

  wchar_t version[64] = {}, title[200] = {};
  GetVersionString(version, std::size(version));
  swprintf(title, std::size(title), L"Tallowby %ls", version);
  SetDlgItemTextW(m_hWnd, IDC_FOLDER_GROUP, title);
  SetDirty(false);
  SetupThemeBackground(true, ::GetParent(::GetParent(m_hWnd)));
  CenterControls(IDC_FOLDER_GROUP,
                 {IDC_FOLDER_PICTURE, IDC_FOLDER_USED, IDC_FOLDER_BOTH_DIRECTIONS, IDC_FOLDER_NO_REMINDERS,
                  IDC_FOLDER_CATEGORY_LABEL, IDC_FOLDER_CATEGORY, IDC_FOLDER_FILTER_GROUP, IDC_FOLDER_FILTER_COMBO,
                  IDC_FOLDER_NO_PRIVATE, IDC_FOLDER_RESET, IDC_FOLDER_NO_REQUESTS, IDC_FOLDER_FILTER_ADD,
                  IDC_FOLDER_FILTER_REMOVE, IDC_FOLDER_FILTER_LIST, IDC_FOLDER_CREATE_SUBFOLDER});
  return TRUE;
}

LRESULT CTallowbyPropPage::OnHelp(UINT, WPARAM, LPARAM, BOOL&) { return OnHelpLanguage(g_lcidUi); }
