#include "main_prop_page.h"

#include <commctrl.h>

#include <algorithm>
#include <vector>

#include "bstr.h"
#include "key_tree.h"
#include "language.h"
#include "logs.h"
#include "rdo.h"
#include "registry.h"
#include "res/resource.h"
#include "sync_engine.h"
#include "variant.h"

namespace {

const PropPageClass kMainPageClass{&CLSID_MainPropPage, &IID_IMainPropPage, IDD_MAINPROPPAGE};

// The store combo's own "Default" entry carries this item data, so that a
// store that happens to be named "Default" stays a store.
constexpr LPARAM kDefaultEntryData = 1;

// The system's text for `error`, without its line end.
std::wstring SystemMessage(DWORD error) {
  wchar_t* text = nullptr;
  FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                 error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring message = text ? text : L"";
  if (text) LocalFree(text);
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' '))
    message.pop_back();
  return message;
}

HRESULT FromRegistry(LONG error) { return error == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(error); }

// A value that was not there counts as deleted.
LONG DeleteIfPresent(const reg::Key& key, const wchar_t* name) {
  LONG r = key.DeleteValue(name);
  return r == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : r;
}

}  // namespace

bool StartLogViewer(HWND owner, const std::wstring& folder) {
  const std::wstring path = folder + kLogViewerExe;
  DWORD error = ERROR_SUCCESS;
  if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
    error = GetLastError();
  } else {
    // Started as a process of its own, not waited for: Outlook's thread
    // goes on at once.
    std::wstring commandLine = L"\"" + path + L"\"";
    STARTUPINFOW startup{sizeof startup};
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION process{};
    if (CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                       folder.empty() ? nullptr : folder.c_str(), &startup, &process)) {
      CloseHandle(process.hThread);
      CloseHandle(process.hProcess);
      return true;
    }
    error = GetLastError();
  }
  LogError(HRESULT_FROM_WIN32(error), L"OpenLogfile");
  const LCID lcid = GetUiLanguage();
  std::wstring text = LoadUiString(IDS_LOG_VIEWER_MISSING, lcid) + L"\n" + path + L"\n\n" + SystemMessage(error);
  MessageBoxW(owner, text.c_str(), LoadUiString(IDS_PRODUCT_NAME, lcid).c_str(), MB_OK | MB_ICONERROR);
  return false;
}

CMainPropPage::CMainPropPage() : CPropPage(kMainPageClass) {}

CMainPropPage::~CMainPropPage() { DestroyPageWindow(); }

bool CMainPropPage::Checked(int id) const { return IsDlgButtonChecked(m_hWnd, id) == BST_CHECKED; }

LRESULT CMainPropPage::OnInitDialog(UINT, WPARAM, LPARAM, BOOL&) {
  ClearRightToLeftLayout();
  const LCID lcid = GetUiLanguage();
  CSyncEngine* engine = g_pSyncEngine;
  filling_ = true;
  SetupList(lcid);
  SetupThemeBackground(false, ::GetParent(m_hWnd));
  ShowConfig(lcid);
  FillAddressLists(engine);
  CheckChosenLists();
  EnableAddressListControls();
  CenterControls(IDC_MAIN_GAL_GROUP, {IDC_MAIN_GAL_LIST, IDC_MAIN_SYNC_GAL, IDC_MAIN_GAL_SUBFOLDERS, IDC_MAIN_LOG_GROUP,
                                      IDC_MAIN_OPEN_LOG, IDC_MAIN_TRAYICON, IDC_MAIN_DEBUG, IDC_MAIN_USERLOG,
                                      IDC_MAIN_STORE, IDC_MAIN_STORE_LABEL});
  SetDlgItemTextW(m_hWnd, IDC_MAIN_OPEN_LOG, (L"<a>" + LoadUiString(IDS_OPEN_LOGFILE, lcid) + L"</a>").c_str());
  SetLabel(IDC_MAIN_DEBUG, IDS_EXTENDED_LOGGING, lcid);
  SetLabel(IDC_MAIN_USERLOG, IDS_LOGGING, lcid);
  SetLabel(IDC_MAIN_TRAYICON, IDS_SHOW_TRAY_ICON, lcid);
  SetLabel(IDC_MAIN_STORE_LABEL, IDS_TARGET_MAILBOX, lcid);
  FillStores(engine, lcid);
  filling_ = false;
  SetDirty(false);
  return TRUE;
}

void CMainPropPage::SetupList(LCID lcid) {
  HWND list = GetDlgItem(IDC_MAIN_GAL_LIST);
  ListView_SetExtendedListViewStyle(list, LVS_EX_CHECKBOXES | LVS_EX_FULLROWSELECT);
  std::wstring column = LoadUiString(IDS_GAL_COLUMN, lcid);
  LVCOLUMNW c{LVCF_TEXT | LVCF_WIDTH};
  c.pszText = column.data();
  c.cx = ListView_GetStringWidth(list, column.c_str()) + 15;
  ListView_InsertColumn(list, 0, &c);
}

void CMainPropPage::ShowConfig(LCID lcid) {
  reg::Key config;
  bool galOn = false, debug = false, userLog = false, trayIcon = false, intoDefaultFolder = false;
  storedStoreName_.clear();
  if (config.Open(HKEY_CURRENT_USER, reg::kConfigPath, KEY_READ) == ERROR_SUCCESS) {
    galOn = config.ReadFlag(reg::kSyncGal);
    debug = config.ReadFlag(reg::kDebug);
    userLog = config.ReadFlag(reg::kUserLog);
    trayIcon = config.ReadFlag(reg::kTrayIcon);
    intoDefaultFolder = config.ReadFlag(reg::kSyncGalIntoDefaultFolder);
    storedStoreName_ = config.ReadText(reg::kDefaultStoreName);
  }
  CheckDlgButton(m_hWnd, IDC_MAIN_SYNC_GAL, galOn ? BST_CHECKED : BST_UNCHECKED);
  CheckDlgButton(m_hWnd, IDC_MAIN_DEBUG, debug ? BST_CHECKED : BST_UNCHECKED);
  CheckDlgButton(m_hWnd, IDC_MAIN_USERLOG, userLog ? BST_CHECKED : BST_UNCHECKED);
  CheckDlgButton(m_hWnd, IDC_MAIN_TRAYICON, trayIcon ? BST_CHECKED : BST_UNCHECKED);
  // The box says "create subfolders": the stored flag says the opposite.
  CheckDlgButton(m_hWnd, IDC_MAIN_GAL_SUBFOLDERS, intoDefaultFolder ? BST_UNCHECKED : BST_CHECKED);
  SetLabel(IDC_MAIN_SYNC_GAL, IDS_COPY_GAL, lcid);
  SetLabel(IDC_MAIN_GAL_SUBFOLDERS, IDS_CREATE_SUBFOLDERS, lcid);
}

void CMainPropPage::FillAddressLists(CSyncEngine* engine) {
  // Without an engine or session the lists cannot be known: the page still
  // opens, and Apply leaves the chosen lists alone.
  if (!engine || !engine->RdoSession) return;
  com::ComPtr<IRdoAddressBook> book;
  if (!CheckHr(engine->RdoSession->get_AddressBook(book.Put()), L"NO ADDRESSBOOK") || !book) return;
  com::ComPtr<IRdoAddressLists> lists;
  if (!CheckHr(book->AddressLists(VARIANT_FALSE, lists.Put()), L"NO LISTS") || !lists) return;
  long count = 0;
  if (FAILED(lists->get_Count(&count))) return;
  HWND view = GetDlgItem(IDC_MAIN_GAL_LIST);
  for (long i = 1; i <= count; ++i) {
    com::ComPtr<IRdoAddressList> list;
    if (!CheckHr(lists->Item(com::Variant(i), list.Put()), L"NO GAL") || !list) continue;
    com::ComPtr<IRdoFolder> contacts;
    if (!CheckHr(list->get_ContactsFolder(contacts.Put()), L"NO TESTFOLDER")) continue;
    if (contacts) continue;  // a list over a contacts folder is no server list
    com::Bstr name;
    if (!CheckHr(list->get_Name(name.Put()), L"NO FOLDERNAME")) continue;
    std::wstring text = name.Str();
    LVITEMW item{LVIF_TEXT};
    item.iItem = 0;
    item.pszText = text.data();
    ListView_InsertItem(view, &item);
    if (g_bDebugLog) DebugLogString(L"GalFolder4Dialog:", text.c_str());
  }
}

std::wstring CMainPropPage::RowText(int row) const {
  HWND view = ::GetDlgItem(m_hWnd, IDC_MAIN_GAL_LIST);
  std::wstring text;
  for (int size = 256;; size *= 2) {
    text.assign(size_t(size), L'\0');
    LVITEMW item{};
    item.iSubItem = 0;
    item.pszText = text.data();
    item.cchTextMax = size;
    const int n = int(::SendMessageW(view, LVM_GETITEMTEXTW, WPARAM(row), reinterpret_cast<LPARAM>(&item)));
    if (n < size - 1) {
      text.resize(size_t(n));
      return text;
    }
  }
}

void CMainPropPage::CheckChosenLists() {
  reg::Key chosen;
  if (chosen.Open(HKEY_CURRENT_USER, reg::kGalFoldersPath, KEY_READ) != ERROR_SUCCESS) return;
  const std::vector<std::wstring> names = chosen.SubkeyNames();
  HWND view = GetDlgItem(IDC_MAIN_GAL_LIST);
  const int rows = ListView_GetItemCount(view);
  for (int row = 0; row < rows; ++row) {
    const std::wstring text = RowText(row);
    for (const std::wstring& name : names)
      if (name == text) ListView_SetCheckState(view, row, TRUE);
  }
}

void CMainPropPage::FillStores(CSyncEngine* engine, LCID lcid) {
  HWND combo = GetDlgItem(IDC_MAIN_STORE);
  m_Combo.Attach(combo);
  const std::wstring standard = LoadUiString(IDS_DEFAULT_STORE, lcid);
  auto add = [combo](const std::wstring& text) {
    return int(::SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str())));
  };
  const int standardIndex = add(standard);
  ::SendMessageW(combo, CB_SETITEMDATA, WPARAM(standardIndex), kDefaultEntryData);

  com::ComPtr<IRdoStores> stores;
  long count = 0;
  if (engine && engine->RdoSession && CheckHr(engine->RdoSession->get_Stores(stores.Put()), L"NO stores") && stores &&
      stores->get_Count(&count) == S_OK) {
    for (long i = 1; i <= count; ++i) {
      com::ComPtr<IRdoStore> store;
      com::Bstr name;
      if (stores->Item(com::Variant(i), store.Put()) != S_OK || !store || store->get_Name(name.Put()) != S_OK) break;
      add(name.Str());
    }
  }

  // The stored store is selected by its exact name, as the settings load
  // finds it; a store that is not there right now stays chosen, so that
  // saving other settings does not change the store.
  int selected = -1;
  if (!storedStoreName_.empty()) {
    const int entries = int(::SendMessageW(combo, CB_GETCOUNT, 0, 0));
    for (int i = 0; i < entries && selected < 0; ++i) {
      if (::SendMessageW(combo, CB_GETITEMDATA, WPARAM(i), 0) == kDefaultEntryData) continue;
      const int length = int(::SendMessageW(combo, CB_GETLBTEXTLEN, WPARAM(i), 0));
      std::wstring text(size_t(length > 0 ? length : 0) + 1, L'\0');
      ::SendMessageW(combo, CB_GETLBTEXT, WPARAM(i), reinterpret_cast<LPARAM>(text.data()));
      text.resize(size_t(length > 0 ? length : 0));
      if (text == storedStoreName_) selected = i;
    }
    if (selected < 0) selected = add(storedStoreName_);
  }
  if (selected < 0) {
    const int entries = int(::SendMessageW(combo, CB_GETCOUNT, 0, 0));
    for (int i = 0; i < entries; ++i)
      if (::SendMessageW(combo, CB_GETITEMDATA, WPARAM(i), 0) == kDefaultEntryData) selected = i;
  }
  ::SendMessageW(combo, CB_SETCURSEL, WPARAM(selected), 0);
}

void CMainPropPage::EnableAddressListControls() {
  const bool on = Checked(IDC_MAIN_SYNC_GAL);
  ::EnableWindow(GetDlgItem(IDC_MAIN_GAL_SUBFOLDERS), on);
  ::EnableWindow(GetDlgItem(IDC_MAIN_GAL_LIST), on);
}

LRESULT CMainPropPage::OnSyncGalClicked(WORD, WORD, HWND, BOOL&) {
  EnableAddressListControls();
  SetDirty();
  return 0;
}

LRESULT CMainPropPage::OnListItemChanged(int, LPNMHDR hdr, BOOL&) {
  // A check box toggled by the keyboard changes the state image without a
  // click; it is a change of the user's all the same.
  const auto* change = reinterpret_cast<const NMLISTVIEW*>(hdr);
  if (!filling_ && (change->uChanged & LVIF_STATE) &&
      ((change->uNewState ^ change->uOldState) & LVIS_STATEIMAGEMASK))
    SetDirty();
  return 0;
}

LRESULT CMainPropPage::OnOpenLogfile(int, LPNMHDR, BOOL&) {
  CSyncEngine* engine = g_pSyncEngine;
  StartLogViewer(m_hWnd, engine && engine->DllDir[0] ? std::wstring(engine->DllDir) : GetDllFolder());
  return 0;
}

STDMETHODIMP CMainPropPage::Apply() {
  if (!m_hWnd) return S_OK;  // never shown: nothing to save
  if (RefuseListsDifferingInCase()) return E_INVALIDARG;
  HRESULT hr = WriteConfig();
  if (SUCCEEDED(hr)) hr = WriteChosenLists();
  if (FAILED(hr)) LogError(hr, L"MainPropPage::Apply");
  return hr;
}

HRESULT CMainPropPage::WriteConfig() const {
  reg::Key config;
  LONG r = config.Create(HKEY_CURRENT_USER, reg::kConfigPath);
  if (r != ERROR_SUCCESS) return FromRegistry(r);
  for (auto [flag, on] : {std::pair{reg::kSyncGal, Checked(IDC_MAIN_SYNC_GAL)},
                          std::pair{reg::kUserLog, Checked(IDC_MAIN_USERLOG)},
                          std::pair{reg::kDebug, Checked(IDC_MAIN_DEBUG)},
                          std::pair{reg::kTrayIcon, Checked(IDC_MAIN_TRAYICON)},
                          std::pair{reg::kSyncGalIntoDefaultFolder, !Checked(IDC_MAIN_GAL_SUBFOLDERS)}})
    if ((r = config.WriteFlag(flag, on)) != ERROR_SUCCESS) return FromRegistry(r);

  HWND combo = ::GetDlgItem(m_hWnd, IDC_MAIN_STORE);
  const int selected = int(::SendMessageW(combo, CB_GETCURSEL, 0, 0));
  if (selected < 0 || ::SendMessageW(combo, CB_GETITEMDATA, WPARAM(selected), 0) == kDefaultEntryData) {
    r = DeleteIfPresent(config, reg::kDefaultStoreName.name);
  } else {
    const int length = int(::SendMessageW(combo, CB_GETLBTEXTLEN, WPARAM(selected), 0));
    std::wstring name(size_t(length > 0 ? length : 0) + 1, L'\0');
    ::SendMessageW(combo, CB_GETLBTEXT, WPARAM(selected), reinterpret_cast<LPARAM>(name.data()));
    name.resize(size_t(length > 0 ? length : 0));
    r = config.WriteText(reg::kDefaultStoreName, name);
  }
  if (r != ERROR_SUCCESS) return FromRegistry(r);
  // The next address-list copy runs at once.
  return FromRegistry(DeleteIfPresent(config, reg::kLastGalSync));
}

// Names that differ in letter case alone are one key of the registry and
// one folder name of a store, so of two such lists only one can be copied:
// Apply writes nothing and says so, and the user chooses one of them.
bool CMainPropPage::RefuseListsDifferingInCase() const {
  HWND view = ::GetDlgItem(m_hWnd, IDC_MAIN_GAL_LIST);
  std::vector<std::wstring> checked;
  for (int row = 0; row < ListView_GetItemCount(view); ++row)
    if (ListView_GetCheckState(view, row) == 1) checked.push_back(RowText(row));
  for (size_t i = 0; i < checked.size(); ++i)
    for (size_t j = i + 1; j < checked.size(); ++j)
      if (checked[i] != checked[j] && SameRegistryName(checked[i], checked[j])) {
        const LCID lcid = GetUiLanguage();
        const std::wstring text =
            LoadUiString(IDS_GAL_LISTS_DIFFER_IN_CASE, lcid) + L"\n\n" + checked[i] + L"\n" + checked[j];
        MessageBoxW(m_hWnd, text.c_str(), LoadUiString(IDS_PRODUCT_NAME, lcid).c_str(), MB_OK | MB_ICONWARNING);
        return true;
      }
  return false;
}

HRESULT CMainPropPage::WriteChosenLists() const {
  HWND view = ::GetDlgItem(m_hWnd, IDC_MAIN_GAL_LIST);
  const int rows = ListView_GetItemCount(view);
  std::vector<std::wstring> shown, checked;
  for (int row = 0; row < rows; ++row) {
    shown.push_back(RowText(row));
    if (ListView_GetCheckState(view, row) == 1) checked.push_back(shown.back());
  }
  // The rows decide only for the lists they show: a chosen list that the
  // address book did not give this time (offline, unreadable, renamed for
  // now) is no choice of the user's to forget. Key names ignore letter case,
  // so a stored spelling of a shown list goes and the row's is written.
  reg::Key lists;
  LONG r = lists.Open(HKEY_CURRENT_USER, reg::kGalFoldersPath, KEY_ALL_ACCESS);
  if (r == ERROR_SUCCESS) {
    for (const std::wstring& name : lists.SubkeyNames())
      if (std::any_of(shown.begin(), shown.end(), [&](const std::wstring& row) { return SameRegistryName(row, name); }) &&
          (r = lists.DeleteTree(name.c_str())) != ERROR_SUCCESS)
        return FromRegistry(r);
  } else if (r != ERROR_FILE_NOT_FOUND) {
    return FromRegistry(r);
  }
  for (const std::wstring& name : checked) {
    // A backslash would make a nested key that names another list.
    if (name.empty() || name.find(L'\\') != std::wstring::npos) {
      DebugLogString(L"GALFolders: list name not usable as a key:", name.c_str());
      continue;
    }
    reg::Key list;
    r = list.Create(HKEY_CURRENT_USER, (std::wstring(reg::kGalFoldersPath) + L"\\" + name).c_str());
    if (r != ERROR_SUCCESS) return FromRegistry(r);
  }
  // No list chosen at all: the key goes, as an emptied choice always did.
  if (lists.IsOpen() && !lists.SubkeyName(0)) {
    lists.Close();
    r = RegDeleteKeyW(HKEY_CURRENT_USER, reg::kGalFoldersPath);
    if (r != ERROR_SUCCESS && r != ERROR_FILE_NOT_FOUND) return FromRegistry(r);
  }
  return S_OK;
}
