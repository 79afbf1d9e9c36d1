// CTallowbyPropPage: a master folder's replication options in the folder's
// properties dialog. The user turns the folder's job on or off, picks its
// category, direction and filters, and asks for a fresh start; Apply writes
// the job to the registry and reloads the synchronisation.
#pragma once
#include <string>

#include "auto_combo.h"
#include "com_ptr.h"
#include "key_tree.h"
#include "picture_wnd.h"
#include "prop_page.h"
#include "res/pages_resource.h"
#include "tallowby.h"

class CSyncEngine;

// What Apply does to the running engine once the registry is written
// (Reload by default); tests put a recorder in its place.
using FolderPageReloadFn = bool (*)(CSyncEngine*);
FolderPageReloadFn SetFolderPageReload(FolderPageReloadFn reload);

// The text of a subscribed Internet calendar's info element, and the address
// prefix of the DAV calendar service, which names itself in a named
// property of its folders. Neither calendar takes changes back.
inline constexpr wchar_t kInternetCalendarInfoUrl[] = L"webcal://";
inline constexpr wchar_t kDavCalendarUrlPrefix[] = L"https://dav.";
inline constexpr wchar_t kDavFieldSet[] = L"{00C0FFEE-1111-1111-BEEF-00AABBCCDDEE}";
inline constexpr long kDavFieldId = 0x900E;
inline constexpr long kPtString8 = 0x001E;

// A text the registry can take as one filter key: not empty, at most 255
// characters, no backslash (which would make nested keys).
bool IsValidFilterCategory(const std::wstring& text);

class CTallowbyPropPage : public CPropPage<ITallowbyPropPage> {
 public:
  CTallowbyPropPage();
  ~CTallowbyPropPage() override;

  STDMETHODIMP Apply() override;
  STDMETHODIMP TranslateAccelerator(LPMSG msg) override;

  BEGIN_MSG_MAP(CTallowbyPropPage)
    COMMAND_HANDLER(IDC_FOLDER_USED, BN_CLICKED, OnReplicateClicked)
    MESSAGE_HANDLER(WM_INITDIALOG, OnInitDialog)
    MESSAGE_HANDLER(WM_HELP, OnHelp)
    COMMAND_HANDLER(IDC_FOLDER_FILTER_ADD, BN_CLICKED, OnAddCategory)
    COMMAND_HANDLER(IDC_FOLDER_FILTER_REMOVE, BN_CLICKED, OnRemoveCategory)
    COMMAND_HANDLER(IDC_FOLDER_FILTER_LIST, LBN_SELCANCEL, OnFilterSelCancel)
    COMMAND_HANDLER(IDC_FOLDER_NO_PRIVATE, BN_CLICKED, OnChange)
    COMMAND_HANDLER(IDC_FOLDER_BOTH_DIRECTIONS, BN_CLICKED, OnChange)
    COMMAND_HANDLER(IDC_FOLDER_NO_REMINDERS, BN_CLICKED, OnChange)
    COMMAND_HANDLER(IDC_FOLDER_NO_REQUESTS, BN_CLICKED, OnChange)
    COMMAND_HANDLER(IDC_FOLDER_RESET, BN_CLICKED, OnChange)
    COMMAND_HANDLER(IDC_FOLDER_CATEGORY, EN_CHANGE, OnChange)
    COMMAND_HANDLER(IDC_FOLDER_FILTER_COMBO, CBN_EDITCHANGE, OnCategoryEditChange)
    COMMAND_HANDLER(IDC_FOLDER_CREATE_SUBFOLDER, BN_CLICKED, OnCreateSubfolderClicked)
    CHAIN_MSG_MAP(CPropPageCore)
    REFLECT_NOTIFICATIONS()
  END_MSG_MAP()

  // What the tests may observe.
  bool Locked() const { return m_bLocked; }
  const CPictureExWnd& Picture() const { return m_Picture; }

 private:
  // The page folder as Outlook gives it, read once when the page opens.
  struct FolderFacts {
    std::wstring entryId, storeId, name, messageClass;
    bool appointment = false, task = false, inDefaultStore = false, internetCalendar = false, dav = false;
  };

  LRESULT OnInitDialog(UINT, WPARAM, LPARAM, BOOL&);
  LRESULT OnHelp(UINT, WPARAM, LPARAM, BOOL&);
  LRESULT OnChange(WORD, WORD, HWND, BOOL&) { SetDirty(); return 0; }
  LRESULT OnReplicateClicked(WORD, WORD, HWND, BOOL&);
  LRESULT OnAddCategory(WORD, WORD, HWND, BOOL&);
  LRESULT OnRemoveCategory(WORD, WORD, HWND, BOOL&);
  LRESULT OnFilterSelCancel(WORD, WORD, HWND, BOOL&);
  LRESULT OnCategoryEditChange(WORD, WORD, HWND, BOOL&);
  LRESULT OnCreateSubfolderClicked(WORD, WORD, HWND, BOOL&);

  void ReadFolderFacts();
  void ShowJob();
  void EnableControls(bool enable);
  bool FillCategoryCombo();
  void UpdateRemoveButton();
  bool IsChecked(int id) const { return IsDlgButtonChecked(m_hWnd, id) == BST_CHECKED; }
  void Check(int id, bool on) { CheckDlgButton(m_hWnd, id, on ? BST_CHECKED : BST_UNCHECKED); }
  std::wstring ItemText(int id) const;
  std::vector<std::wstring> FilterEntries() const;
  void ShowBox(UINT textId);

  // Apply's steps.
  bool CategoryAcceptable(const std::wstring& category);
  KeyTree JobTree(const std::wstring& profile, const std::wstring& category, bool afresh) const;
  bool WriteJob(const std::wstring& profile, const std::wstring& category, bool afresh);
  void WriteDefaultFolderEntry(const std::wstring& profile, const std::wstring& category);

  std::wstring m_szDefaultStoreName;
  CPictureExWnd m_Picture;
  CAutoCombo m_Combo;
  bool m_bLocked = false;
  FolderFacts folder_;
  // The folder whose properties the page was made for, kept from then on:
  // a request for another folder's pages, before this page's window opens
  // or while it is open, must not move its job onto that folder.
  com::ComPtr<IDispatch> pageFolder_;
};
