// Registry scripts, run into a scratch key so that nothing global changes.
#include <gtest/gtest.h>

#include <string>

#include "registrar.h"

namespace {

// Redirects HKCR to a scratch key under HKCU, named after the test so that
// tests running in parallel never share it, for the lifetime of the object.
class ScratchClassesRoot {
 public:
  ScratchClassesRoot() {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    path_ = L"Software\\TallowbyTests\\" + std::wstring(name.begin(), name.end());
    RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
    HKEY k = nullptr;
    RegCreateKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr);
    RegOverridePredefKey(HKEY_CLASSES_ROOT, k);
    RegCloseKey(k);
  }
  ~ScratchClassesRoot() {
    RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
    RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, path_.c_str());
  }

 private:
  std::wstring path_;
};

bool KeyExists(const wchar_t* path) {
  HKEY k = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path, 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
  RegCloseKey(k);
  return true;
}

std::wstring ReadString(const wchar_t* path, const wchar_t* name) {
  wchar_t buf[256] = {};
  DWORD size = sizeof buf - sizeof(wchar_t);
  if (RegGetValueW(HKEY_CLASSES_ROOT, path, name, RRF_RT_REG_SZ, nullptr, buf, &size) != ERROR_SUCCESS)
    return L"<missing>";
  return buf;
}

const wchar_t kScript[] = LR"(HKCR
{
	Thing.1 = s 'Thing Class'
	{
		CLSID = s '{11111111-2222-3333-4444-555555555555}'
	}
	NoRemove CLSID
	{
		ForceRemove {11111111-2222-3333-4444-555555555555} = s 'Thing ''Class'''
		{
			ForceRemove 'Programmable'
			InprocServer32 = s '%MODULE%'
			{
				val ThreadingModel = s 'Apartment'
			}
			val Count = d '42'
		}
	}
}
)";

TEST(Registrar, RegistersAndUnregistersWhatTheScriptOwns) {
  ScratchClassesRoot sandbox;
  // A foreign class under CLSID and a stale value under our key.
  HKEY k = nullptr;
  RegCreateKeyExW(HKEY_CLASSES_ROOT, L"CLSID\\{99999999-0000-0000-0000-000000000000}", 0, nullptr, 0,
                  KEY_ALL_ACCESS, nullptr, &k, nullptr);
  RegCloseKey(k);
  RegCreateKeyExW(HKEY_CLASSES_ROOT, L"CLSID\\{11111111-2222-3333-4444-555555555555}\\Stale", 0, nullptr, 0,
                  KEY_ALL_ACCESS, nullptr, &k, nullptr);
  RegCloseKey(k);

  ASSERT_EQ(com::RunRegistryScript(kScript, true, {{L"MODULE", L"C:\\x\\Thing.dll"}}), S_OK);
  EXPECT_EQ(ReadString(L"Thing.1", nullptr), L"Thing Class");
  EXPECT_EQ(ReadString(L"Thing.1\\CLSID", nullptr), L"{11111111-2222-3333-4444-555555555555}");
  const wchar_t* clsidKey = L"CLSID\\{11111111-2222-3333-4444-555555555555}";
  EXPECT_EQ(ReadString(clsidKey, nullptr), L"Thing 'Class'");
  EXPECT_FALSE(KeyExists(L"CLSID\\{11111111-2222-3333-4444-555555555555}\\Stale")) << "ForceRemove clears the key";
  EXPECT_TRUE(KeyExists(L"CLSID\\{11111111-2222-3333-4444-555555555555}\\Programmable"));
  EXPECT_EQ(ReadString(L"CLSID\\{11111111-2222-3333-4444-555555555555}\\InprocServer32", nullptr),
            L"C:\\x\\Thing.dll");
  EXPECT_EQ(ReadString(L"CLSID\\{11111111-2222-3333-4444-555555555555}\\InprocServer32", L"ThreadingModel"),
            L"Apartment");
  DWORD count = 0, size = sizeof count;
  EXPECT_EQ(RegGetValueW(HKEY_CLASSES_ROOT, clsidKey, L"Count", RRF_RT_REG_DWORD, nullptr, &count, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(count, 42u);

  ASSERT_EQ(com::RunRegistryScript(kScript, false, {{L"MODULE", L"C:\\x\\Thing.dll"}}), S_OK);
  EXPECT_FALSE(KeyExists(L"Thing.1"));
  EXPECT_FALSE(KeyExists(clsidKey));
  EXPECT_TRUE(KeyExists(L"CLSID")) << "NoRemove keeps the key";
  EXPECT_TRUE(KeyExists(L"CLSID\\{99999999-0000-0000-0000-000000000000}"));
}

TEST(Registrar, RejectsMalformedScripts) {
  ScratchClassesRoot sandbox;
  EXPECT_TRUE(FAILED(com::RunRegistryScript(L"HKCR { Thing = s 'open", true, {})));
  EXPECT_TRUE(FAILED(com::RunRegistryScript(L"HKXX { }", true, {})));
  EXPECT_TRUE(FAILED(com::RunRegistryScript(L"HKCR { Thing = s 'x' ", true, {})));
  EXPECT_FALSE(KeyExists(L"Thing"));
}

}  // namespace
