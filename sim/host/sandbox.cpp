#include "sandbox.h"

#include <windows.h>

#include <cstdlib>
#include <filesystem>

#include "registry.h"

namespace host {
namespace {

constexpr wchar_t kScenarioKeys[] = L"Software\\TallowbyScenarios\\";

std::wstring RealTempDir() {
  wchar_t buf[MAX_PATH + 1] = {};
  DWORD n = GetTempPathW(MAX_PATH + 1, buf);
  return n ? std::wstring(buf, n) : L"C:\\windows\\temp\\";
}

void SetEnv(const wchar_t* name, const std::wstring& value) {
  SetEnvironmentVariableW(name, value.c_str());
  _wputenv_s(name, value.c_str());  // the C runtime keeps its own copy
}

std::wstring FreshFolder(const std::wstring& path) {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
  std::filesystem::create_directories(path, ec);
  return ec ? L"cannot create " + path : L"";
}

}  // namespace

std::wstring Sandbox::Enter(const std::wstring& name) {
  std::wstring root = RealTempDir() + L"TallowbyScenarios\\" + name + L"\\";
  temp_ = root + L"Temp\\";
  appData_ = root + L"LocalAppData";
  if (std::wstring e = FreshFolder(temp_); !e.empty()) return e;
  if (std::wstring e = FreshFolder(appData_); !e.empty()) return e;

  key_ = kScenarioKeys + name;
  RegDeleteTreeW(HKEY_CURRENT_USER, key_.c_str());
  RegKey k;
  LSTATUS st = RegCreateKeyExW(HKEY_CURRENT_USER, key_.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                               nullptr, k.Put(), nullptr);
  if (st != ERROR_SUCCESS) return L"cannot create the scenario key: " + std::to_wstring(st);
  st = RegOverridePredefKey(HKEY_CURRENT_USER, k.Get());
  if (st != ERROR_SUCCESS) return L"RegOverridePredefKey failed: " + std::to_wstring(st);
  active_ = true;

  // Only the shell-folder value moves the local application-data folder.
  std::wstring e = RegSetString(L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders",
                                L"Local AppData", appData_);
  if (!e.empty()) return e;
  SetEnv(L"TMP", temp_);
  SetEnv(L"TEMP", temp_);
  SetEnv(L"LOCALAPPDATA", appData_);
  return L"";
}

void Sandbox::Leave() {
  if (!active_) return;
  active_ = false;
  RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
  RegDeleteTreeW(HKEY_CURRENT_USER, key_.c_str());
  RegDeleteKeyW(HKEY_CURRENT_USER, key_.c_str());
}

}  // namespace host
