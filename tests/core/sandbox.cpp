#include "sandbox.h"

#include <fstream>
#include <iterator>
#include <vector>

#include "addin_module.h"

namespace testing_support {
namespace {

std::wstring Env(const wchar_t* name) {
  wchar_t buf[MAX_PATH] = {};
  DWORD n = GetEnvironmentVariableW(name, buf, MAX_PATH);
  return n && n < MAX_PATH ? std::wstring(buf, n) : std::wstring();
}

void RemoveTree(const std::wstring& folder) {
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW((folder + L"*").c_str(), &fd);
  if (h != INVALID_HANDLE_VALUE) {
    do {
      std::wstring n = fd.cFileName;
      if (n == L"." || n == L"..") continue;
      std::wstring full = folder + n;
      if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        RemoveTree(full + L"\\");
      else
        DeleteFileW(full.c_str());
    } while (FindNextFileW(h, &fd));
    FindClose(h);
  }
  RemoveDirectoryW(folder.c_str());
}

HKEY Redirect(HKEY predefined, const std::wstring& path) {
  HKEY k = nullptr;
  RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str());
  RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &k,
                  nullptr);
  RegOverridePredefKey(predefined, k);
  return k;
}

}  // namespace

std::wstring CurrentTestName() {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string n = info ? std::string(info->test_suite_name()) + "." + info->name() : "NoTest";
  return std::wstring(n.begin(), n.end());
}

Sandbox::Sandbox(bool redirectClassesRoot) : name_(CurrentTestName()), classesRoot_(redirectClassesRoot) {
  savedTmp_ = Env(L"TMP");
  savedTemp_ = Env(L"TEMP");
  wchar_t realTemp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, realTemp);
  root_ = std::wstring(realTemp) + L"TallowbyTests\\" + name_ + L"\\";
  RemoveTree(root_);
  CreateDirectoryW((std::wstring(realTemp) + L"TallowbyTests").c_str(), nullptr);
  CreateDirectoryW(root_.c_str(), nullptr);
  temp_ = root_ + L"tmp\\";
  localAppData_ = root_ + L"local\\";
  CreateDirectoryW(temp_.c_str(), nullptr);
  CreateDirectoryW(localAppData_.c_str(), nullptr);

  if (classesRoot_) RegCloseKey(Redirect(HKEY_CLASSES_ROOT, L"Software\\TallowbyTests\\" + name_ + L"\\HKCR"));
  // HKCU last: the HKCR scratch key above lives in the real hive.
  HKEY user = Redirect(HKEY_CURRENT_USER, L"Software\\TallowbyTests\\" + name_ + L"\\HKCU");
  HKEY folders = nullptr;
  RegCreateKeyExW(user, L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders", 0, nullptr,
                  REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &folders, nullptr);
  std::wstring local = localAppData_.substr(0, localAppData_.size() - 1);
  RegSetValueExW(folders, L"Local AppData", 0, REG_SZ, reinterpret_cast<const BYTE*>(local.c_str()),
                 DWORD((local.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(folders);
  RegCloseKey(user);
  SetEnvironmentVariableW(L"TMP", temp_.c_str());
  SetEnvironmentVariableW(L"TEMP", temp_.c_str());
}

Sandbox::~Sandbox() {
  RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
  if (classesRoot_) RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
  RegDeleteTreeW(HKEY_CURRENT_USER, (L"Software\\TallowbyTests\\" + name_).c_str());
  RegDeleteKeyW(HKEY_CURRENT_USER, (L"Software\\TallowbyTests\\" + name_).c_str());
  SetEnvironmentVariableW(L"TMP", savedTmp_.empty() ? nullptr : savedTmp_.c_str());
  SetEnvironmentVariableW(L"TEMP", savedTemp_.empty() ? nullptr : savedTemp_.c_str());
  RemoveTree(root_);
}

std::string ReadFileBytes(const std::wstring& path) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return "<missing>";
  std::string out;
  char buf[4096];
  DWORD n = 0;
  while (ReadFile(h, buf, sizeof buf, &n, nullptr) && n) out.append(buf, n);
  CloseHandle(h);
  return out;
}

void WriteFileBytes(const std::wstring& path, const std::string& bytes) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD n = 0;
  WriteFile(h, bytes.data(), DWORD(bytes.size()), &n, nullptr);
  CloseHandle(h);
}

bool FileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool KeyExists(HKEY root, const wchar_t* path) {
  HKEY k = nullptr;
  if (RegOpenKeyExW(root, path, 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
  RegCloseKey(k);
  return true;
}

HMODULE LoadAddInModule() {
  HMODULE m = LoadLibraryW(L"Tallowby.dll");
  g_hInstance = m;
  return m;
}

}  // namespace testing_support
