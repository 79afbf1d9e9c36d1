#include "settings_page_fixture.h"

#include <commctrl.h>

#include <filesystem>

#include "com_object.h"
#include "dispatch.h"
#include "locks.h"
#include "logs.h"
#include "main_prop_page.h"
#include "page_requests.h"
#include "standard_prop_page.h"
#include "../support/outlook_ids.h"
#include "variant.h"

namespace page_testing {
namespace {

const bool kFastClock = SetEnvironmentVariableW(L"TALLOWBY_CLOCK_SCALE", L"200");

sim::ISimControl* SimControl() {
  static sim::ISimControl* control = [] {
    HMODULE m = LoadLibraryW(L"simrdo.dll");
    auto get = m ? reinterpret_cast<sim::SimGetControlFn>(GetProcAddress(m, "SimGetControl")) : nullptr;
    return get ? get() : nullptr;
  }();
  return control;
}

std::function<void()> g_afterPageMade;

HRESULT MakeOwnPage(const std::wstring& progId, IOleObject** out) {
  if (progId == L"Tallowby.MainPropPage") return com::ComObject<CMainPropPage>::CreateInstance(IID_IOleObject, reinterpret_cast<void**>(out));
  if (progId == L"Tallowby.StandardPropPage")
    return com::ComObject<CStandardPropPage>::CreateInstance(IID_IOleObject, reinterpret_cast<void**>(out));
  return REGDB_E_CLASSNOTREG;
}

// The pages of this program (not of the registered Tallowby.dll), so that
// they see this program's engine.
HRESULT MakePage(const std::wstring& progId, IOleObject** out) {
  const HRESULT hr = MakeOwnPage(progId, out);
  if (SUCCEEDED(hr) && g_afterPageMade) g_afterPageMade();
  return hr;
}

void DumpKey(HKEY parent, const std::wstring& path, const std::wstring& indent, std::wstring* out) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(parent, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return;
  for (DWORD i = 0;; ++i) {
    wchar_t name[512];
    BYTE data[4096];
    DWORD nameChars = 512, bytes = sizeof data, type = 0;
    if (RegEnumValueW(key, i, name, &nameChars, nullptr, &type, data, &bytes) != ERROR_SUCCESS) break;
    *out += indent + name + L"=";
    if (type == REG_DWORD)
      *out += std::to_wstring(*reinterpret_cast<DWORD*>(data));
    else if (type == REG_SZ)
      *out += L"\"" + std::wstring(reinterpret_cast<wchar_t*>(data), bytes / 2 ? bytes / 2 - 1 : 0) + L"\"";
    else
      *out += L"<" + std::to_wstring(bytes) + L" bytes>";
    *out += L"\n";
  }
  for (DWORD i = 0;; ++i) {
    wchar_t name[512];
    DWORD chars = 512;
    if (RegEnumKeyExW(key, i, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    *out += indent + L"[" + name + L"]\n";
    DumpKey(key, name, indent + L"  ", out);
  }
  RegCloseKey(key);
}

}  // namespace

void SettingsPageTest::SetUp() {
  ASSERT_TRUE(kFastClock);
  box_ = std::make_unique<testing_support::Sandbox>();
  ASSERT_TRUE(SUCCEEDED(OleInitialize(nullptr)));
  InitializeGlobalLocks();
  ASSERT_NE(testing_support::LoadAddInModule(), nullptr);
  sim_ = SimControl();
  ASSERT_NE(sim_, nullptr);
  sim_->Reset();
  sim::SimStore store;
  store.isDefault = true;
  store_ = sim_->AddStore(store);
  ASSERT_TRUE(SUCCEEDED(sim_->AttachUiThread()));
  SetDebugLogPath((box_->Temp() + kDebugLogName).c_str());
  SetErrorLogPath((box_->Temp() + kErrorLogName).c_str());
  g_bDebugLog = true;
  com::Variant ns;
  ASSERT_EQ(com::CallMethod(sim_->Application(), L"GetNamespace", {com::Variant(L"MAPI")}, ns.Put()), S_OK);
  ASSERT_EQ(com::ResultToDispatch(ns, nameSpace_.Put()), S_OK);
  host::SetPageFactory(&MakePage);
}

void SettingsPageTest::TearDown() {
  dialog_.Close();
  host::SetPageFactory(nullptr);
  ReleasePageFolder();
  StopEngine();
  nameSpace_.Reset();
  sim_->DetachUiThread();
  sim_->Reset();
  g_bDebugLog = false;
  DeleteGlobalLocks();
  OleUninitialize();
  box_.reset();
}

void SettingsPageTest::StartEngine(const std::wstring& dllDir) {
  engine_ = new CSyncEngine(nameSpace_.Get(), (box_->Temp() + kDebugLogName).c_str());
  g_pSyncEngine = engine_;
  wcsncpy(engine_->DllDir, dllDir.c_str(), MAX_PATH - 1);
}

void SettingsPageTest::StopEngine() {
  if (!engine_) return;
  g_pSyncEngine = nullptr;
  delete engine_;
  engine_ = nullptr;
}

std::wstring SettingsPageTest::OutlookId(const std::wstring& entryId, const wchar_t* property) const {
  return testing_support::OutlookFolderId(nameSpace_.Get(), entryId, property);
}

void SettingsPageTest::SetPageFolder(const std::wstring& entryId) {
  com::Variant folder;
  ASSERT_EQ(com::CallMethod(nameSpace_.Get(), L"GetFolderFromID", {com::Variant(entryId.c_str())}, folder.Put()), S_OK);
  IDispatch* d = nullptr;
  ASSERT_EQ(com::ResultToDispatch(folder, &d), S_OK);
  ReleasePageFolder();
  g_pPageFolder = d;  // takes the reference
}

HWND SettingsPageTest::Open(const wchar_t* progId, const std::function<void()>& afterPageMade) {
  std::vector<std::wstring> report;
  g_afterPageMade = afterPageMade;
  EXPECT_TRUE(dialog_.Open(L"Options", {progId}, &report));
  g_afterPageMade = nullptr;
  EXPECT_TRUE(report.empty()) << (report.empty() ? "" : std::string(report[0].begin(), report[0].end()));
  page_ = dialog_.PageCount() ? dialog_.Page(0).PageWindow() : nullptr;
  return page_;
}

HRESULT SettingsPageTest::Apply() {
  std::vector<std::wstring> report;
  if (!Dirty()) return S_OK;
  return dialog_.Page(0).Apply();
}

void SettingsPageTest::Click(int id) { SendMessageW(GetDlgItem(page_, id), BM_CLICK, 0, 0); }

std::wstring SettingsPageTest::Text(int id) {
  wchar_t text[1024] = {};
  GetDlgItemTextW(page_, id, text, 1024);
  return text;
}

std::vector<std::wstring> SettingsPageTest::ListBoxItems(int id) {
  std::vector<std::wstring> items;
  HWND list = GetDlgItem(page_, id);
  const int n = int(SendMessageW(list, LB_GETCOUNT, 0, 0));
  for (int i = 0; i < n; ++i) {
    wchar_t text[1024] = {};
    SendMessageW(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(text));
    items.push_back(text);
  }
  return items;
}

std::vector<std::wstring> SettingsPageTest::ComboItems(int id) {
  std::vector<std::wstring> items;
  HWND combo = GetDlgItem(page_, id);
  const int n = int(SendMessageW(combo, CB_GETCOUNT, 0, 0));
  for (int i = 0; i < n; ++i) {
    wchar_t text[1024] = {};
    SendMessageW(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text));
    items.push_back(text);
  }
  return items;
}

bool SettingsPageTest::Checked(int id) { return IsDlgButtonChecked(page_, id) == BST_CHECKED; }
bool SettingsPageTest::Enabled(int id) { return IsWindowEnabled(GetDlgItem(page_, id)) != FALSE; }

void SettingsPageTest::Screenshot(const std::wstring& name) {
  const std::filesystem::path dir = host::ArtifactsFolder();
  SetForegroundWindow(dialog_.Frame());
  RedrawWindow(dialog_.Frame(), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
  for (const DWORD end = GetTickCount() + 300; GetTickCount() < end; Sleep(10)) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
  }
  EXPECT_TRUE(host::SaveWindowBitmap(dialog_.Frame(), (dir / (name + L".bmp")).wstring()));
}

std::string SettingsPageTest::DebugLogText() const {
  return testing_support::ReadFileBytes(box_->Temp() + kDebugLogName);
}

std::wstring SettingsPageTest::RegistryText() {
  std::wstring text;
  DumpKey(HKEY_CURRENT_USER, L"Software\\Corvane\\Tallowby", L"", &text);
  return text;
}

std::wstring RegString(const std::wstring& path, const wchar_t* name) {
  wchar_t data[1024] = {};
  DWORD bytes = sizeof data;
  if (RegGetValueW(HKEY_CURRENT_USER, path.c_str(), name, RRF_RT_REG_SZ, nullptr, data, &bytes) != ERROR_SUCCESS)
    return L"";
  return data;
}

long long RegDword(const std::wstring& path, const wchar_t* name) {
  DWORD value = 0, bytes = sizeof value;
  if (RegGetValueW(HKEY_CURRENT_USER, path.c_str(), name, RRF_RT_REG_DWORD, nullptr, &value, &bytes) != ERROR_SUCCESS)
    return -1;
  return value;
}

void SetRegDword(const std::wstring& path, const wchar_t* name, DWORD value) {
  RegSetKeyValueW(HKEY_CURRENT_USER, path.c_str(), name, REG_DWORD, &value, sizeof value);
}

void SetRegString(const std::wstring& path, const wchar_t* name, const std::wstring& value) {
  RegSetKeyValueW(HKEY_CURRENT_USER, path.c_str(), name, REG_SZ, value.c_str(), DWORD((value.size() + 1) * 2));
}

}  // namespace page_testing
