// Per-test isolation: HKCU (and, for registration, HKCR) redirected to a
// scratch key named after the test, and a scratch folder that serves as the
// temporary folder and the local application-data folder. Tests can then run
// in parallel in one Wine prefix.
#pragma once
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace testing_support {

class Sandbox {
 public:
  // `redirectClassesRoot` also redirects HKCR (registration tests).
  explicit Sandbox(bool redirectClassesRoot = false);
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  // The scratch folders, ending in a backslash.
  const std::wstring& Temp() const { return temp_; }
  const std::wstring& LocalAppData() const { return localAppData_; }

 private:
  std::wstring name_;
  std::wstring root_;
  std::wstring temp_;
  std::wstring localAppData_;
  std::wstring savedTmp_, savedTemp_;
  bool classesRoot_;
};

// The test's name, "Suite.Test".
std::wstring CurrentTestName();

std::string ReadFileBytes(const std::wstring& path);
void WriteFileBytes(const std::wstring& path, const std::string& bytes);
bool FileExists(const std::wstring& path);
bool KeyExists(HKEY root, const wchar_t* path);

// Loads the built Tallowby.dll and points the add-in's instance handle at it.
HMODULE LoadAddInModule();

}  // namespace testing_support
