// What the tests of the options page and the default-folder page share: a
// sandboxed HKCU and temporary folder, the simulated world and Outlook of
// simrdo.dll, an engine over them published as g_pSyncEngine, and the pages
// built into this program, hosted in the simulated Outlook's dialog.
#pragma once
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "com_ptr.h"
#include "control/sim_control.h"
#include "page_site.h"
#include "../core/sandbox.h"
#include "sync_engine.h"

namespace page_testing {

class SettingsPageTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // An engine over the simulated Outlook's namespace, with its DllDir.
  void StartEngine(const std::wstring& dllDir = L"");
  void StopEngine();
  // Outlook's form of a folder's EntryID, or of its StoreID: the pages have
  // Outlook's folders and name keys by that form. An id that Outlook cannot
  // open stays as it is.
  std::wstring OutlookId(const std::wstring& entryId, const wchar_t* property = L"EntryID") const;
  // Makes the folder of `entryId` the folder whose properties are shown.
  void SetPageFolder(const std::wstring& entryId);
  // Opens the dialog with the one page of `progId`; its window.
  // `afterPageMade` runs once the page object exists and before its window
  // does, as when Outlook is asked for another folder's pages meanwhile.
  HWND Open(const wchar_t* progId, const std::function<void()>& afterPageMade = nullptr);
  void Close() { dialog_.Close(); }
  // Apply as Outlook's dialog gives it: on the page when it is dirty.
  HRESULT Apply();
  bool Dirty() { return dialog_.Page(0).Dirty(); }
  void Click(int id);
  // The text of control `id`, the entries of a list or combo box.
  std::wstring Text(int id);
  std::vector<std::wstring> ListBoxItems(int id);
  std::vector<std::wstring> ComboItems(int id);
  bool Checked(int id);
  bool Enabled(int id);
  // A picture of the dialog in the artifacts folder.
  void Screenshot(const std::wstring& name);

  std::string DebugLogText() const;
  // Every value and subkey below HKCU Software\Corvane\Tallowby, as text.
  static std::wstring RegistryText();

  std::unique_ptr<testing_support::Sandbox> box_;
  sim::ISimControl* sim_ = nullptr;
  std::wstring store_;
  com::ComPtr<IDispatch> nameSpace_;
  CSyncEngine* engine_ = nullptr;
  host::OptionsDialog dialog_;
  HWND page_ = nullptr;
};

// Reads a registry string; empty when missing.
std::wstring RegString(const std::wstring& path, const wchar_t* name);
// Reads a registry DWORD; -1 when missing.
long long RegDword(const std::wstring& path, const wchar_t* name);
void SetRegDword(const std::wstring& path, const wchar_t* name, DWORD value);
void SetRegString(const std::wstring& path, const wchar_t* name, const std::wstring& value);

}  // namespace page_testing
