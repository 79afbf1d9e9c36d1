#include "tallowby_prop_page.h"

#include <cwchar>
#include <iterator>
#include <utility>

#include "bstr.h"
#include "connect.h"
#include "dispatch.h"
#include "folder_config_removal.h"
#include "item_identity.h"
#include "key_tree.h"
#include "language.h"
#include "logs.h"
#include "page_requests.h"
#include "registry.h"
#include "res/resource.h"
#include "settings.h"
#include "sync_engine.h"

namespace {

const PropPageClass kFolderPageClass{&CLSID_TallowbyPropPage, &IID_ITallowbyPropPage, IDD_TALLOWBYPROPPAGE};

// Categories and filter entries end up as registry key names and are read
// back with buffers of at least 256 characters.
constexpr int kCategoryMaxChars = 255;
constexpr long kOpenFlags = 16;

FolderPageReloadFn g_folderPageReload = &Reload;

std::wstring FolderString(IDispatch* folder, const wchar_t* name) {
  com::Variant v;
  if (!folder || FAILED(com::GetProperty(folder, name, v.Put())) || v.vt != VT_BSTR) return {};
  return v.AsString();
}

bool StartsWithUpper(const std::wstring& text, const wchar_t* prefix) {
  std::wstring upper = text;
  for (wchar_t& c : upper)
    if (c >= L'a' && c <= L'z') c = wchar_t(c - L'a' + L'A');
  return upper.rfind(prefix, 0) == 0;
}

bool EqualIgnoringCase(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), int(a.size()), b.c_str(), int(b.size()), TRUE) == CSTR_EQUAL;
}

com::ComPtr<IRdoFolder> OpenWrapperFolder(const std::wstring& entryId, const std::wstring& storeId) {
  com::ComPtr<IRdoFolder> folder;
  CSyncEngine* engine = g_pSyncEngine;
  if (!engine || !engine->RdoSession || entryId.empty()) return folder;
  if (FAILED(engine->RdoSession->GetFolderById(com::Bstr(entryId), com::Variant(storeId.c_str()),
                                               com::Variant(kOpenFlags), folder.Put())))
    folder.Reset();
  return folder;
}

std::wstring DefaultStoreId() {
  CSyncEngine* engine = g_pSyncEngine;
  com::ComPtr<IRdoStores> stores;
  com::ComPtr<IRdoStore> store;
  com::Bstr id;
  if (!engine || !engine->RdoSession || FAILED(engine->RdoSession->get_Stores(stores.Put())) ||
      FAILED(stores->get_DefaultStore(store.Put())) || !store || FAILED(store->get_StoreID(id.Put())))
    return {};
  return id.Str();
}

std::wstring ProfileName() {
  CSyncEngine* engine = g_pSyncEngine;
  com::Bstr name;
  if (!engine || !engine->RdoSession || FAILED(engine->RdoSession->get_ProfileName(name.Put()))) return {};
  return name.Str();
}

// A subscribed Internet calendar carries the service's info address in an
// element's text. One query finds the first such element; the folder's
// items are not walked on Outlook's thread.
bool IsInternetCalendar(IRdoFolder* folder) {
  com::ComPtr<IRdoItems> items;
  com::ComPtr<IRdoMessage> element;
  const std::wstring filter = std::wstring(L"\"urn:schemas:httpmail:subject\" like '%") + kInternetCalendarInfoUrl + L"%'";
  return folder && SUCCEEDED(folder->get_Items(items.Put())) && items &&
         SUCCEEDED(items->Find(com::Bstr(filter), element.Put())) && element;
}

bool IsDav(IRdoFolder* folder) {
  CSyncEngine* engine = g_pSyncEngine;
  if (!folder || !engine || !engine->MapiUtils) return false;
  long id = 0;
  com::Variant value;
  HRESULT hr = engine->MapiUtils->GetNamedPropId(folder, com::Bstr(kDavFieldSet), com::Variant(kDavFieldId), 0, &id);
  if (SUCCEEDED(hr)) hr = engine->MapiUtils->GetPropByTag(folder, id | kPtString8, value.Put());
  CheckHr(hr, L"No DAVField");
  if (FAILED(hr) || value.vt != VT_BSTR) return false;
  const std::wstring text = value.AsString();
  const bool dav = text.find(kDavCalendarUrlPrefix) != std::wstring::npos;
  DebugLogString(dav ? L"Using DAV Mode (MobileMe)" : L"DAV Mode ???", text.c_str());
  return dav;
}

// Outlook's default folder for the items of a folder of `itemType`, with the
// log texts of its lookup.
struct DefaultFolderKind {
  long kind;
  const wchar_t* failure;
  const wchar_t* success;
};
DefaultFolderKind DefaultFolderKindFor(long itemType) {
  switch (itemType) {
    case kItemAppointment:
      return {9, L"GetSettings:Add folders:DefaultFolder:olFolderCalendar",
              L"GetSettings:Add folders:DefaultFolders:olFolderCalendar"};
    case kItemContact:
    case kItemDistList:
      return {10, L"GetSettings:Add folders:DefaultFolder:olFolderContacts",
              L"GetSettings:Add folders:DefaultFolders:olFolderContacts"};
    case kItemTask:
      return {13, L"GetSettings:Add folders:DefaultFolder:olFolderTasks",
              L"GetSettings:Add folders:DefaultFolders:olFolderTasks"};
    case kItemJournal:
      return {11, L"GetSettings:Add folders:DefaultFolder:olFolderJournal",
              L"GetSettings:Add folders:DefaultFolders:olFolderJournal"};
    case kItemNote:
      return {12, L"GetSettings:Add folders:DefaultFolder:olFolderNotes",
              L"GetSettings:Add folders:DefaultFolders:olFolderNotes"};
    default:
      return {6, L"GetSettings:Add folders:DefaultFolder:olFolderInbox",
              L"GetSettings:Add folders:DefaultFolders:olFolderInbox"};
  }
}

// The subfolder of `parent` named exactly `name`; null when there is none.
com::ComPtr<IDispatch> SubfolderNamed(IDispatch* parent, const std::wstring& name) {
  com::Variant foldersValue, countValue;
  com::ComPtr<IDispatch> folders, found;
  if (FAILED(com::GetProperty(parent, L"Folders", foldersValue.Put())) ||
      FAILED(com::ResultToDispatch(foldersValue, folders.Put())) ||
      FAILED(com::GetProperty(folders.Get(), L"Count", countValue.Put())))
    return found;
  const long count = countValue.AsLong();
  for (long i = 1; i <= count; ++i) {
    com::Variant item;
    com::ComPtr<IDispatch> sub;
    if (FAILED(com::CallMethod(folders.Get(), L"Item", {com::Variant(i)}, item.Put())) ||
        FAILED(com::ResultToDispatch(item, sub.Put())))
      continue;
    if (FolderString(sub.Get(), L"Name") == name) return sub;
  }
  return found;
}

}  // namespace

FolderPageReloadFn SetFolderPageReload(FolderPageReloadFn reload) {
  return std::exchange(g_folderPageReload, reload ? reload : &Reload);
}

bool IsValidFilterCategory(const std::wstring& text) {
  return !text.empty() && text.size() <= size_t(kCategoryMaxChars) && text.find(L'\\') == std::wstring::npos;
}

CTallowbyPropPage::CTallowbyPropPage() : CPropPage(kFolderPageClass), pageFolder_(g_pPageFolder) {}

// The window (and with it the subclassed picture and combo) goes before the
// members that serve it.
CTallowbyPropPage::~CTallowbyPropPage() { DestroyPageWindow(); }

std::wstring CTallowbyPropPage::ItemText(int id) const {
  HWND control = GetDlgItem(id);
  std::wstring text(size_t(GetWindowTextLengthW(control)) + 1, L'\0');
  text.resize(size_t(GetWindowTextW(control, text.data(), int(text.size()))));
  return text;
}

std::vector<std::wstring> CTallowbyPropPage::FilterEntries() const {
  std::vector<std::wstring> entries;
  HWND list = GetDlgItem(IDC_FOLDER_FILTER_LIST);
  const LRESULT count = ::SendMessageW(list, LB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < count; ++i) {
    std::wstring text(size_t(::SendMessageW(list, LB_GETTEXTLEN, i, 0)) + 1, L'\0');
    text.resize(size_t(::SendMessageW(list, LB_GETTEXT, i, LPARAM(text.data()))));
    entries.push_back(std::move(text));
  }
  return entries;
}

void CTallowbyPropPage::ShowBox(UINT textId) {
  MessageBoxW(m_hWnd, LoadUiString(textId, g_lcidUi).c_str(), LoadUiString(IDS_PRODUCT_NAME, g_lcidUi).c_str(),
              MB_OK);
}

void CTallowbyPropPage::ReadFolderFacts() {
  IDispatch* folder = pageFolder_.Get();
  folder_ = FolderFacts{};
  folder_.entryId = FolderString(folder, L"EntryID");
  folder_.storeId = FolderString(folder, L"StoreID");
  folder_.name = FolderString(folder, L"Name");
  folder_.messageClass = FolderString(folder, L"DefaultMessageClass");
  folder_.appointment = StartsWithUpper(folder_.messageClass, L"IPM.APPOINTMENT");
  folder_.task = StartsWithUpper(folder_.messageClass, L"IPM.TASK");
  const std::wstring defaultStore = DefaultStoreId();
  folder_.inDefaultStore = !folder_.storeId.empty() && !defaultStore.empty() && SameEntryId(defaultStore, folder_.storeId);  // the wrapper's form and Outlook's
  // The folder is looked at once here rather than on every switch of the
  // page; only a calendar can be a subscribed Internet calendar.
  com::ComPtr<IRdoFolder> wrapper = OpenWrapperFolder(folder_.entryId, folder_.storeId);
  folder_.internetCalendar = folder_.appointment && IsInternetCalendar(wrapper.Get());
  folder_.dav = !folder_.internetCalendar && IsDav(wrapper.Get());
}

LRESULT CTallowbyPropPage::OnInitDialog(UINT, WPARAM, LPARAM, BOOL&) {
  ClearRightToLeftLayout();
  g_lcidUi = GetUiLanguage();
  m_bLocked = false;
  ReadFolderFacts();

  if (m_Picture.Attach(GetDlgItem(IDC_FOLDER_PICTURE)) &&
      m_Picture.LoadFromResource(MAKEINTRESOURCEW(IDR_PAGE_PICTURE), L"BMP"))
    m_Picture.ShowPicture();

  SetLabel(IDC_FOLDER_USED, IDS_SYNC_THIS_FOLDER, g_lcidUi);
  SetLabel(IDC_FOLDER_FILTER_GROUP, IDS_CATEGORY_FILTER, g_lcidUi);
  SetLabel(IDC_FOLDER_NO_PRIVATE, IDS_DONT_SYNC_PRIVATE, g_lcidUi);
  SetLabel(IDC_FOLDER_CREATE_SUBFOLDER, IDS_CREATE_SUBFOLDER, g_lcidUi);
  SetLabel(IDC_FOLDER_NO_REQUESTS, folder_.task ? IDS_DONT_SYNC_TASK_REQUESTS : IDS_DONT_SYNC_MEETING_REQUESTS,
           g_lcidUi);
  if (!folder_.task && !folder_.appointment) EnableWindow(GetDlgItem(IDC_FOLDER_NO_REQUESTS), FALSE);
  SetLabel(IDC_FOLDER_BOTH_DIRECTIONS, IDS_BOTH_DIRECTIONS, g_lcidUi);
  SetLabel(IDC_FOLDER_NO_REMINDERS, IDS_DONT_SYNC_REMINDERS, g_lcidUi);
  SendDlgItemMessageW(m_hWnd, IDC_FOLDER_CATEGORY, EM_LIMITTEXT, kCategoryMaxChars, 0);

  ShowJob();
  m_bLocked = reg::IsAdminLocked();
  m_Combo.Attach(GetDlgItem(IDC_FOLDER_FILTER_COMBO));
  FillCategoryCombo();

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

  reg::Key config;
  if (config.Open(HKEY_CURRENT_USER, reg::kConfigPath, KEY_READ) == ERROR_SUCCESS)
    m_szDefaultStoreName = config.ReadText(reg::kDefaultStoreName);
  return TRUE;
}

// The job as the registry holds it, or the defaults of a folder without one.
void CTallowbyPropPage::ShowJob() {
  bool used = false, noPrivate = true, noRequests = false, both = false, noReminders = true, subfolder = false;
  reg::Key job;
  const std::wstring path = std::wstring(reg::kFoldersPath) + L"\\" + folder_.entryId;
  if (!folder_.entryId.empty() && job.Open(HKEY_CURRENT_USER, path.c_str(), KEY_READ) == ERROR_SUCCESS) {
    auto read = [&](const wchar_t* name, bool& value) {
      if (auto v = job.ReadDword(name, reg::DwordType::kAnyType)) value = *v != 0;
    };
    read(reg::kJobUsed.name, used);
    read(reg::kDontSyncPrivItems.name, noPrivate);
    read(reg::kBothDirections.name, both);
    read(reg::kDontSyncReminders.name, noReminders);
    read(reg::kDontSyncBspItems.name, noRequests);
    read(reg::kCreateSubfolder.name, subfolder);
    SetDlgItemTextW(m_hWnd, IDC_FOLDER_CATEGORY, job.ReadText(reg::kJobCategory).c_str());
    if (used) {
      SendDlgItemMessageW(m_hWnd, IDC_FOLDER_FILTER_LIST, LB_RESETCONTENT, 0, 0);
      reg::Key filter;
      if (filter.Open(job.Get(), reg::kCategoriesFilter, KEY_READ) == ERROR_SUCCESS)
        for (const std::wstring& name : filter.SubkeyNames())
          SendDlgItemMessageW(m_hWnd, IDC_FOLDER_FILTER_LIST, LB_ADDSTRING, 0, LPARAM(name.c_str()));
    }
  }
  Check(IDC_FOLDER_USED, used);
  Check(IDC_FOLDER_NO_PRIVATE, noPrivate);
  Check(IDC_FOLDER_NO_REQUESTS, noRequests);
  Check(IDC_FOLDER_BOTH_DIRECTIONS, both);
  Check(IDC_FOLDER_NO_REMINDERS, noReminders);
  UpdateRemoveButton();
  Check(IDC_FOLDER_CREATE_SUBFOLDER, subfolder);
  SetLabel(IDC_FOLDER_CATEGORY_LABEL, subfolder ? IDS_CATEGORY_FOLDER_NAME : IDS_ATTACH_CATEGORY, g_lcidUi);
  // After the boxes: a calendar that takes no changes back clears a stored
  // "both directions" rather than showing it, and Apply saves it cleared.
  EnableControls(used);
}

void CTallowbyPropPage::EnableControls(bool enable) {
  for (int id : {IDC_FOLDER_FILTER_GROUP, IDC_FOLDER_FILTER_COMBO, IDC_FOLDER_FILTER_LIST, IDC_FOLDER_NO_PRIVATE,
                 IDC_FOLDER_CATEGORY, IDC_FOLDER_NO_REMINDERS, IDC_FOLDER_CREATE_SUBFOLDER, IDC_FOLDER_RESET})
    EnableWindow(GetDlgItem(id), enable);
  if (folder_.internetCalendar || folder_.dav) {
    // Such calendars cannot take changes back.
    Check(IDC_FOLDER_BOTH_DIRECTIONS, false);
    EnableWindow(GetDlgItem(IDC_FOLDER_BOTH_DIRECTIONS), FALSE);
  } else {
    EnableWindow(GetDlgItem(IDC_FOLDER_BOTH_DIRECTIONS), enable);
  }
  if (folder_.task || folder_.appointment) {
    EnableWindow(GetDlgItem(IDC_FOLDER_NO_REQUESTS), enable);
  } else {
    EnableWindow(GetDlgItem(IDC_FOLDER_NO_REQUESTS), FALSE);
    EnableWindow(GetDlgItem(IDC_FOLDER_NO_REMINDERS), FALSE);
  }
  if (folder_.inDefaultStore) EnableWindow(GetDlgItem(IDC_FOLDER_CREATE_SUBFOLDER), FALSE);
}

// The combo offers the categories that the jobs filter on.
bool CTallowbyPropPage::FillCategoryCombo() {
  reg::Key folders;
  if (folders.Open(HKEY_CURRENT_USER, reg::kFoldersPath, KEY_READ) != ERROR_SUCCESS) return false;
  for (const std::wstring& name : folders.SubkeyNames()) {
    reg::Key job, filter;
    if (job.Open(folders.Get(), name.c_str(), KEY_READ) != ERROR_SUCCESS ||
        filter.Open(job.Get(), reg::kCategoriesFilter, KEY_READ) != ERROR_SUCCESS)
      continue;
    for (const std::wstring& category : filter.SubkeyNames())
      SendDlgItemMessageW(m_hWnd, IDC_FOLDER_FILTER_COMBO, CB_ADDSTRING, 0, LPARAM(category.c_str()));
  }
  return true;
}

void CTallowbyPropPage::UpdateRemoveButton() {
  EnableWindow(GetDlgItem(IDC_FOLDER_FILTER_REMOVE),
               SendDlgItemMessageW(m_hWnd, IDC_FOLDER_FILTER_LIST, LB_GETCOUNT, 0, 0) > 0);
}

LRESULT CTallowbyPropPage::OnHelp(UINT, WPARAM, LPARAM, BOOL&) { return OnHelpLanguage(g_lcidUi); }

LRESULT CTallowbyPropPage::OnReplicateClicked(WORD, WORD, HWND, BOOL&) {
  if (IsChecked(IDC_FOLDER_USED)) {
    EnableControls(true);
    SetDlgItemTextW(m_hWnd, IDC_FOLDER_CATEGORY, folder_.name.c_str());
    const bool timed = folder_.task || folder_.appointment;
    Check(IDC_FOLDER_NO_REMINDERS, timed);
    Check(IDC_FOLDER_NO_REQUESTS, timed);
    Check(IDC_FOLDER_NO_PRIVATE, false);
  } else {
    EnableControls(false);
  }
  SetDirty();
  return 0;
}

LRESULT CTallowbyPropPage::OnAddCategory(WORD, WORD, HWND, BOOL&) {
  const std::wstring text = ItemText(IDC_FOLDER_FILTER_COMBO);
  if (!IsValidFilterCategory(text)) {
    // A backslash would nest keys and let a category through that nobody chose.
    MessageBeep(MB_ICONWARNING);
    return 0;
  }
  HWND list = GetDlgItem(IDC_FOLDER_FILTER_LIST);
  if (::SendMessageW(list, LB_FINDSTRINGEXACT, WPARAM(-1), LPARAM(text.c_str())) == LB_ERR)
    ::SendMessageW(list, LB_ADDSTRING, 0, LPARAM(text.c_str()));
  SetDlgItemTextW(m_hWnd, IDC_FOLDER_FILTER_COMBO, L"");
  EnableWindow(GetDlgItem(IDC_FOLDER_FILTER_ADD), FALSE);
  EnableWindow(GetDlgItem(IDC_FOLDER_FILTER_REMOVE), TRUE);
  SetDirty();
  return 0;
}

LRESULT CTallowbyPropPage::OnRemoveCategory(WORD, WORD, HWND, BOOL&) {
  HWND list = GetDlgItem(IDC_FOLDER_FILTER_LIST);
  const LRESULT selected = ::SendMessageW(list, LB_GETCURSEL, 0, 0);
  if (selected != LB_ERR) ::SendMessageW(list, LB_DELETESTRING, WPARAM(selected), 0);
  UpdateRemoveButton();
  SetDirty();
  return 0;
}

LRESULT CTallowbyPropPage::OnFilterSelCancel(WORD, WORD, HWND, BOOL&) {
  UpdateRemoveButton();
  return 0;
}

LRESULT CTallowbyPropPage::OnCategoryEditChange(WORD, WORD, HWND, BOOL&) {
  EnableWindow(GetDlgItem(IDC_FOLDER_FILTER_ADD), GetWindowTextLengthW(GetDlgItem(IDC_FOLDER_FILTER_COMBO)) > 1);
  return 0;
}

LRESULT CTallowbyPropPage::OnCreateSubfolderClicked(WORD, WORD, HWND, BOOL&) {
  SetLabel(IDC_FOLDER_CATEGORY_LABEL,
           IsChecked(IDC_FOLDER_CREATE_SUBFOLDER) ? IDS_CATEGORY_FOLDER_NAME : IDS_ATTACH_CATEGORY, g_lcidUi);
  SetDirty();
  return 0;
}

STDMETHODIMP CTallowbyPropPage::TranslateAccelerator(LPMSG msg) {
  if (!msg) return S_FALSE;
  auto within = [&](int id) {
    HWND control = GetDlgItem(id);
    return control && (msg->hwnd == control || IsChild(control, msg->hwnd));
  };
  if (m_hWnd && msg->message == WM_KEYDOWN) {
    BOOL handled = TRUE;
    // Enter in the combo box's edit field adds its text; the key is used up.
    if (msg->wParam == VK_RETURN && within(IDC_FOLDER_FILTER_COMBO)) {
      if (IsWindowEnabled(GetDlgItem(IDC_FOLDER_FILTER_ADD))) OnAddCategory(0, 0, nullptr, handled);
      return S_OK;
    }
    if (msg->wParam == VK_DELETE && within(IDC_FOLDER_FILTER_LIST)) {
      if (IsWindowEnabled(GetDlgItem(IDC_FOLDER_FILTER_REMOVE))) OnRemoveCategory(0, 0, nullptr, handled);
      return S_OK;
    }
  }
  com::ComPtr<IOleClientSite> site;
  com::ComPtr<IOleControlSite> controlSite;
  if (FAILED(GetClientSite(site.Put())) || !site ||
      FAILED(site.As(IID_IOleControlSite, controlSite.PutVoid())))
    return S_FALSE;
  DWORD modifiers = 0;
  if (GetKeyState(VK_SHIFT) < 0) modifiers |= 1;
  if (GetKeyState(VK_CONTROL) < 0) modifiers |= 2;
  if (GetKeyState(VK_MENU) < 0) modifiers |= 4;
  return controlSite->TranslateAccelerator(msg, modifiers) == S_OK ? S_OK : S_FALSE;
}

// ---- Apply ----

bool CTallowbyPropPage::CategoryAcceptable(const std::wstring& category) {
  if (category.empty()) {
    // The user gets to fill it in; the job stays as it was.
    ShowBox(IDS_CATEGORY_MISSING);
    return false;
  }
  reg::Key folders;
  if (folders.Open(HKEY_CURRENT_USER, reg::kFoldersPath, KEY_READ) != ERROR_SUCCESS) return true;
  for (const std::wstring& name : folders.SubkeyNames()) {
    if (SameEntryId(name, folder_.entryId)) continue;
    reg::Key job;
    if (job.Open(folders.Get(), name.c_str(), KEY_READ) != ERROR_SUCCESS) continue;
    auto other = job.ReadString(reg::kJobCategory.name, 512);
    // Outlook's categories ignore letter case, so "Work" and "work" are one.
    if (other && EqualIgnoringCase(*other, category)) {
      ShowBox(IDS_CATEGORY_IN_USE);
      return false;
    }
  }
  return true;
}

// The job as the page shows it. Written over a job that is there, it
// leaves the values the synchronisation keeps in the job's key (its folder
// time) unless the job starts afresh.
KeyTree CTallowbyPropPage::JobTree(const std::wstring& profile, const std::wstring& category, bool afresh) const {
  KeyTree job;
  job.exact = afresh;
  job.SetDword(reg::kJobUsed.name, 1);
  job.SetString(reg::kJobStoreId.name, folder_.storeId);
  job.SetString(reg::kJobProfile.name, profile);
  job.SetDword(reg::kDontSyncPrivItems.name, IsChecked(IDC_FOLDER_NO_PRIVATE) ? 1 : 0);
  job.SetDword(reg::kDontSyncBspItems.name, IsChecked(IDC_FOLDER_NO_REQUESTS) ? 1 : 0);
  job.SetDword(reg::kBothDirections.name, IsChecked(IDC_FOLDER_BOTH_DIRECTIONS) ? 1 : 0);
  job.SetDword(reg::kDontSyncReminders.name, IsChecked(IDC_FOLDER_NO_REMINDERS) ? 1 : 0);
  job.SetDword(reg::kCreateSubfolder.name, IsChecked(IDC_FOLDER_CREATE_SUBFOLDER) ? 1 : 0);
  job.SetString(reg::kJobCategory.name, category);
  job.SetString(reg::kJobFolderName.name, folder_.name);
  job.Subkey(reg::kUsers).exact = afresh;
  KeyTree& filter = job.Subkey(reg::kCategoriesFilter);
  for (const std::wstring& entry : FilterEntries()) {
    if (!IsValidFilterCategory(entry)) {
      DebugLogString(L"Apply4Folder: filter entry skipped:", entry.c_str());
      continue;
    }
    filter.Subkey(entry);
  }
  return job;
}

bool CTallowbyPropPage::WriteJob(const std::wstring& profile, const std::wstring& category, bool afresh) {
  const std::wstring path = std::wstring(reg::kFoldersPath) + L"\\" + folder_.entryId;
  KeyTree before;
  const LONG read = ReadKeyTree(HKEY_CURRENT_USER, path, &before);
  if (read != ERROR_SUCCESS && read != ERROR_FILE_NOT_FOUND) {
    // A job that could not be put back is not written over.
    LogError(HRESULT_FROM_WIN32(read), L"Apply4Folder: job not readable");
    return false;
  }
  const LONG rc = WriteKeyTree(HKEY_CURRENT_USER, path, JobTree(profile, category, afresh));
  if (rc == ERROR_SUCCESS) return true;
  LogError(HRESULT_FROM_WIN32(rc), L"Apply4Folder: job not written");
  // A job that ran before the Apply goes on as it was; a new one is not left
  // half-written, as it would load as a job the user never configured.
  if (read == ERROR_SUCCESS) {
    if (const LONG back = WriteKeyTree(HKEY_CURRENT_USER, path, before); back != ERROR_SUCCESS)
      LogError(HRESULT_FROM_WIN32(back), L"Apply4Folder: job not put back");
  } else {
    reg::Key folders;
    if (folders.Open(HKEY_CURRENT_USER, reg::kFoldersPath, KEY_ALL_ACCESS) == ERROR_SUCCESS)
      folders.DeleteTree(folder_.entryId.c_str());
  }
  return false;
}

void CTallowbyPropPage::WriteDefaultFolderEntry(const std::wstring& profile, const std::wstring& category) {
  CSyncEngine* engine = g_pSyncEngine;
  const DefaultFolderKind kind = DefaultFolderKindFor(GetItemTypeFromMessageClass(engine, folder_.messageClass.c_str()));
  com::Variant result;
  com::ComPtr<IDispatch> defaultFolder;
  HRESULT hr = com::CallMethod(engine->OutlookNameSpace.Get(), L"GetDefaultFolder", {com::Variant(kind.kind)},
                               result.Put());
  if (SUCCEEDED(hr)) hr = com::ResultToDispatch(result, defaultFolder.Put());
  if (FAILED(hr)) {
    LogError(hr, kind.failure);
    return;
  }
  if (g_bDebugLog) DebugLog(kind.success);

  const bool both = IsChecked(IDC_FOLDER_BOTH_DIRECTIONS);
  const std::wstring entries = std::wstring(reg::kAddCategorieFoldersPath) + L"\\";
  // Another job's or the user's own entry is left alone when this job goes one way.
  auto removeOwn = [&](const std::wstring& path) {
    reg::Key k;
    if (k.Open(HKEY_CURRENT_USER, path.c_str(), KEY_READ) != ERROR_SUCCESS) return;
    const bool ours = EqualIgnoringCase(k.ReadText(reg::kAddCategoryCategory), category);
    k.Close();
    if (ours) RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str());
  };

  com::ComPtr<IDispatch> subfolder;
  if (IsChecked(IDC_FOLDER_CREATE_SUBFOLDER)) subfolder = SubfolderNamed(defaultFolder.Get(), category);
  if (subfolder) {
    const std::wstring path = entries + FolderString(subfolder.Get(), L"EntryID");
    if (!both) return removeOwn(path);
    reg::Key k;
    if (k.Create(HKEY_CURRENT_USER, path.c_str()) != ERROR_SUCCESS) return;
    k.WriteDword(reg::kAddCategoryUsed.name, 1);
    k.WriteString(reg::kAddCategoryCategory.name, category);
    return;
  }
  if (m_szDefaultStoreName.empty()) return;
  const std::wstring path = entries + FolderString(defaultFolder.Get(), L"EntryID");
  if (!both) return removeOwn(path);
  reg::Key k;
  if (k.Create(HKEY_CURRENT_USER, path.c_str()) != ERROR_SUCCESS) return;
  if (auto used = k.ReadDword(reg::kAddCategoryUsed.name, reg::DwordType::kAnyType); used && *used != 0) return;
  k.WriteDword(reg::kIsStandardCategoryAddInfo, 1);
  k.WriteDword(reg::kAddCategoryUsed.name, 1);
  k.WriteString(reg::kAddCategoryStoreId.name, FolderString(defaultFolder.Get(), L"StoreID"));
  k.WriteString(reg::kAddCategoryProfile.name, profile);
  k.WriteString(reg::kAddCategoryCategory.name, category);
  k.WriteString(reg::kAddCategoryFolderName.name, reg::kDefaultFolderName);
}

STDMETHODIMP CTallowbyPropPage::Apply() {
  DebugLog(L"Apply4Folder1");
  if (m_bLocked) return S_FALSE;
  DebugLog(L"Apply4Folder2");
  CSyncEngine* engine = g_pSyncEngine;
  if (!engine) return S_FALSE;
  DebugLog(L"Apply4Folder3");
  IDispatch* pageFolder = pageFolder_.Get();
  if (!pageFolder || !m_hWnd) return S_FALSE;

  // The folder may have gone while the dialog was open.
  const std::wstring entryId = FolderString(pageFolder, L"EntryID");
  folder_.storeId = FolderString(pageFolder, L"StoreID");
  folder_.name = FolderString(pageFolder, L"Name");
  const std::wstring profile = ProfileName();
  DebugLogString(L"Apply4Folder:", entryId.c_str());
  DebugLogString(L"Apply4Folder:", folder_.storeId.c_str());
  DebugLogString(L"Apply4Folder:", folder_.name.c_str());
  DebugLogString(L"Apply4Profile:", profile.c_str());
  const bool used = IsChecked(IDC_FOLDER_USED);
  if (entryId.empty() || (used && folder_.storeId.empty())) {
    LogError(E_FAIL, L"Apply4Folder: the folder has no EntryID or StoreID");
    return S_FALSE;
  }
  folder_.entryId = entryId;

  const std::wstring category = ItemText(IDC_FOLDER_CATEGORY);
  if (used && !CategoryAcceptable(category)) return S_FALSE;

  const std::wstring dataDir = engine->DataDir;
  IDispatch* nameSpace = engine->OutlookNameSpace.Get();
  // A reset writes the job afresh (without what the synchronisation kept in
  // its key) and then removes its state; a job switched off goes whole.
  const bool reset = IsChecked(IDC_FOLDER_RESET);
  bool written = true;
  engine->SetSettingsLoaded(false);
  if (used) {
    written = WriteJob(profile, category, reset);
    if (written && reset) RemoveJobStateFiles(entryId, dataDir, nameSpace);
    if (written) WriteDefaultFolderEntry(profile, category);
  } else {
    RemoveFolderConfig(entryId, dataDir, nameSpace);
  }
  // A reset is done once; OK after Apply must not start the job afresh again.
  if (reset && written) Check(IDC_FOLDER_RESET, false);

  reg::Key config;
  if (config.Create(HKEY_CURRENT_USER, reg::kConfigPath) == ERROR_SUCCESS) config.DeleteValue(reg::kLastSyncTime);
  if (g_pSyncEngine) g_folderPageReload(g_pSyncEngine);
  return written ? S_OK : E_FAIL;
}
