#include "standard_prop_page.h"

#include "bstr.h"
#include "dispatch.h"
#include "language.h"
#include "logs.h"
#include "page_requests.h"
#include "rdo.h"
#include "registry.h"
#include "res/resource.h"
#include "settings.h"
#include "sync_engine.h"
#include "variant.h"

namespace {

const PropPageClass kStandardPageClass{&CLSID_StandardPropPage, &IID_IStandardPropPage, IDD_STANDARDPROPPAGE};

// Buffers of the job values this page reads, in bytes with the NUL.
constexpr DWORD kJobCategoryBytes = 512;
constexpr DWORD kJobFolderNameBytes = 512;
constexpr DWORD kJobStoreIdBytes = 2048;
constexpr DWORD kEntryCategoryBytes = 520;

std::wstring StringProperty(IDispatch* folder, const wchar_t* name) {
  com::Variant v;
  if (!folder || FAILED(com::GetProperty(folder, name, v.Put()))) return L"";
  return v.vt == VT_BSTR ? v.AsString() : L"";
}

std::wstring EntryKeyPath(const std::wstring& entryId) {
  return std::wstring(reg::kAddCategorieFoldersPath) + L"\\" + entryId;
}

// Outlook's default-folder number for a folder's DefaultItemType.
long DefaultFolderKindOfItemType(long itemType) {
  switch (itemType) {
    case 2:  // contact
    case 7:  // distribution list
      return 10;
    case 3: return 13;
    case 4: return 11;
    case 5: return 12;  // notes have a default folder of their own
    default: return 9;
  }
}

HRESULT FromRegistry(LONG error) { return error == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(error); }

}  // namespace

CStandardPropPage::CStandardPropPage() : CPropPage(kStandardPageClass), pageFolder_(g_pPageFolder) {}

CStandardPropPage::~CStandardPropPage() { DestroyPageWindow(); }

LRESULT CStandardPropPage::OnInitDialog(UINT, WPARAM, LPARAM, BOOL&) {
  ClearRightToLeftLayout();
  // The administrator's lock of the folder pages holds here too.
  m_bLocked = reg::IsAdminLocked() ? 1 : 0;
  if (m_Picture.Attach(GetDlgItem(IDC_STANDARD_PICTURE)) &&
      m_Picture.LoadFromResource(MAKEINTRESOURCEW(IDR_PAGE_PICTURE), L"BMP"))
    m_Picture.ShowPicture();
  CSyncEngine* engine = g_pSyncEngine;
  ReadPageFolder(engine);

  HWND combo = GetDlgItem(IDC_STANDARD_CATEGORY);
  ::SendMessageW(combo, CB_LIMITTEXT, kMaxCategoryChars, 0);
  m_Combo.Attach(combo);
  FillFromJobs(engine);
  // The list stays; typing completes nothing on this page.
  m_Combo.Detach();

  const LCID lcid = GetUiLanguage();
  SetLabel(IDC_STANDARD_ADD_CATEGORY, IDS_NEW_ITEMS_CATEGORY, lcid);
  SetLabel(IDC_STANDARD_LIST_LABEL, IDS_LINKED_FOLDERS, lcid);
  SetLabel(IDC_STANDARD_EXPLANATION, IDS_ADD_CATEGORY_EXPLANATION, lcid);
  ShowEntry();
  SetDirty(false);
  SetupThemeBackground(true, ::GetParent(::GetParent(m_hWnd)));
  CenterControls(IDC_STANDARD_CATEGORY,
                 {IDC_STANDARD_ADD_CATEGORY, IDC_STANDARD_PICTURE, IDC_STANDARD_LINKED, IDC_STANDARD_LIST_LABEL,
                  IDC_STANDARD_EXPLANATION, IDC_STANDARD_TOP_GROUP, IDC_STANDARD_CATEGORY_GROUP,
                  IDC_STANDARD_LIST_GROUP});
  return FALSE;
}

void CStandardPropPage::ReadPageFolder(CSyncEngine* engine) {
  folder_ = PageFolder{};
  IDispatch* folder = pageFolder_.Get();
  if (!folder) return;
  folder_.name = StringProperty(folder, L"Name");
  com::Variant type;
  if (SUCCEEDED(com::GetProperty(folder, L"DefaultItemType", type.Put()))) folder_.itemType = type.AsLong();
  folder_.entryId = StringProperty(folder, L"EntryID");
  if (!folder_.entryId.empty()) folder_.isDefault = IsPageFolderDefault(engine);
}

bool CStandardPropPage::IsPageFolderDefault(CSyncEngine* engine) const {
  if (!engine || !engine->RdoSession) return false;
  const long kind = DefaultFolderKindOfItemType(folder_.itemType);
  com::ComPtr<IRdoFolder> standard;
  // The default folders the pairs write into are those of the chosen
  // default store; without one, the session's.
  if (engine->DefaultStoreID.Length()) {
    com::ComPtr<IRdoStore> store;
    if (SUCCEEDED(engine->RdoSession->GetStoreById(engine->DefaultStoreID.Get(), com::Variant(), store.Put())) &&
        store)
      store->GetDefaultFolder(kind, standard.Put());
  }
  if (!standard && FAILED(engine->RdoSession->GetDefaultFolder(kind, standard.Put()))) return false;
  com::Bstr entryId;
  if (!standard || FAILED(standard->get_EntryID(entryId.Put()))) return false;
  return SameEntryId(entryId.Str(), folder_.entryId);  // the wrapper's form and Outlook's
}

void CStandardPropPage::FillFromJobs(CSyncEngine* engine) {
  reg::Key jobs;
  if (jobs.Open(HKEY_CURRENT_USER, reg::kFoldersPath, KEY_READ) != ERROR_SUCCESS) return;
  for (const std::wstring& masterEntryId : jobs.SubkeyNames()) AddJob(engine, masterEntryId);
}

void CStandardPropPage::AddJob(CSyncEngine* engine, const std::wstring& masterEntryId) {
  reg::Key job;
  if (job.Open(HKEY_CURRENT_USER, (std::wstring(reg::kFoldersPath) + L"\\" + masterEntryId).c_str(), KEY_READ) !=
      ERROR_SUCCESS)
    return;
  const std::wstring category = job.ReadString(reg::kJobCategory.name, kJobCategoryBytes).value_or(L"");
  const bool subfolder = job.ReadFlag(reg::kCreateSubfolder);
  const std::wstring storeId = job.ReadString(reg::kJobStoreId.name, kJobStoreIdBytes).value_or(L"");

  // A master of another item kind feeds another default folder. A master
  // that cannot be opened (a store not in this profile) is taken as it is.
  if (engine && engine->RdoSession) {
    com::ComPtr<IRdoFolder> master;
    HRESULT hr = engine->RdoSession->GetFolderById(com::Bstr(masterEntryId.c_str()).Get(),
                                                   com::Variant(storeId.c_str()), com::Variant(kOpenFlagsBestAccess),
                                                   master.Put());
    if (CheckHr(hr, L"STCONF:SID") && master) {
      long type = 0;
      if (CheckHr(master->get_DefaultItemType(&type), L"STCONF:ItemType") && type != folder_.itemType) return;
    }
  }

  const std::wstring folderName = job.ReadString(reg::kJobFolderName.name, kJobFolderNameBytes).value_or(L"");
  const bool writesHere = subfolder ? !folder_.isDefault && folder_.name == category : folder_.isDefault;
  if (writesHere)
    ::SendMessageW(GetDlgItem(IDC_STANDARD_LINKED), LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(folderName.c_str()));
  HWND combo = GetDlgItem(IDC_STANDARD_CATEGORY);
  if (!category.empty() &&
      ::SendMessageW(combo, CB_FINDSTRINGEXACT, WPARAM(-1), reinterpret_cast<LPARAM>(category.c_str())) == CB_ERR)
    ::SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(category.c_str()));
}

void CStandardPropPage::ShowEntry() {
  if (folder_.entryId.empty()) return;
  reg::Key entry;
  if (entry.Open(HKEY_CURRENT_USER, EntryKeyPath(folder_.entryId).c_str(), KEY_READ) != ERROR_SUCCESS) return;
  if (auto category = entry.ReadString(reg::kAddCategoryCategory.name, kEntryCategoryBytes))
    SetDlgItemTextW(m_hWnd, IDC_STANDARD_CATEGORY, category->c_str());
  CheckDlgButton(m_hWnd, IDC_STANDARD_ADD_CATEGORY, BST_CHECKED);
}

LRESULT CStandardPropPage::OnHelp(UINT, WPARAM, LPARAM, BOOL&) { return OnHelpLanguage(GetUiLanguage()); }

LRESULT CStandardPropPage::OnAddCategoryClicked(WORD, WORD, HWND, BOOL&) {
  ::EnableWindow(GetDlgItem(IDC_STANDARD_CATEGORY),
                 IsDlgButtonChecked(m_hWnd, IDC_STANDARD_ADD_CATEGORY) == BST_CHECKED);
  SetDirty();
  return 0;
}

std::wstring CStandardPropPage::CategoryText() const {
  HWND combo = ::GetDlgItem(m_hWnd, IDC_STANDARD_CATEGORY);
  const int length = ::GetWindowTextLengthW(combo);
  std::wstring text(size_t(length) + 1, L'\0');
  const int n = ::GetWindowTextW(combo, text.data(), length + 1);
  text.resize(size_t(n > 0 ? n : 0));
  return text;
}

STDMETHODIMP CStandardPropPage::Apply() {
  if (m_bLocked) return S_FALSE;
  if (!m_hWnd) return S_OK;  // never shown: nothing to save
  const std::wstring entryId = StringProperty(pageFolder_.Get(), L"EntryID");
  // Without the folder's EntryID the entry's key would be the parent key
  // itself: nothing is written or deleted.
  if (entryId.empty()) {
    LogError(E_FAIL, L"StandardPropPage::Apply:NoEntryID");
    return E_FAIL;
  }
  const bool add = IsDlgButtonChecked(m_hWnd, IDC_STANDARD_ADD_CATEGORY) == BST_CHECKED;
  if (add && CategoryText().empty()) {
    const LCID lcid = GetUiLanguage();
    MessageBoxW(m_hWnd, LoadUiString(IDS_CATEGORY_MISSING, lcid).c_str(), LoadUiString(IDS_PRODUCT_NAME, lcid).c_str(),
                MB_OK | MB_ICONWARNING);
    ::SetFocus(GetDlgItem(IDC_STANDARD_CATEGORY));
    return S_FALSE;
  }
  HRESULT hr = add ? WriteEntry(entryId) : DeleteEntry(entryId);
  if (FAILED(hr)) {
    LogError(hr, L"StandardPropPage::Apply");
    return hr;
  }
  Reload(g_pSyncEngine);
  return S_OK;
}

HRESULT CStandardPropPage::WriteEntry(const std::wstring& entryId) const {
  com::Bstr profile;
  if (CSyncEngine* engine = g_pSyncEngine; engine && engine->RdoSession)
    engine->RdoSession->get_ProfileName(profile.Put());
  reg::Key entry;
  LONG r = entry.Create(HKEY_CURRENT_USER, EntryKeyPath(entryId).c_str());
  if (r != ERROR_SUCCESS) return FromRegistry(r);
  const std::pair<const wchar_t*, std::wstring> texts[] = {
      {reg::kAddCategoryStoreId.name, StringProperty(pageFolder_.Get(), L"StoreID")},
      {reg::kAddCategoryProfile.name, profile.Str()},
      {reg::kAddCategoryCategory.name, CategoryText()},
      {reg::kAddCategoryFolderName.name, StringProperty(pageFolder_.Get(), L"Name")},
  };
  if ((r = entry.WriteDword(reg::kIsStandardCategoryAddInfo, 1)) != ERROR_SUCCESS ||
      (r = entry.WriteFlag(reg::kAddCategoryUsed, true)) != ERROR_SUCCESS)
    return FromRegistry(r);
  for (const auto& [name, value] : texts)
    if ((r = entry.WriteString(name, value)) != ERROR_SUCCESS) return FromRegistry(r);
  return S_OK;
}

HRESULT CStandardPropPage::DeleteEntry(const std::wstring& entryId) const {
  reg::Key entries;
  LONG r = entries.Open(HKEY_CURRENT_USER, reg::kAddCategorieFoldersPath, KEY_ALL_ACCESS);
  if (r == ERROR_FILE_NOT_FOUND) return S_OK;
  if (r != ERROR_SUCCESS) return FromRegistry(r);
  r = entries.DeleteTree(entryId.c_str());
  return r == ERROR_FILE_NOT_FOUND ? S_OK : FromRegistry(r);
}
