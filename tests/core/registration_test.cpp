// Registration of Tallowby.dll into a scratch HKCR, and its exports.
#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>

#include <cwctype>
#include <set>
#include <string>

#include "sandbox.h"

using testing_support::KeyExists;
using testing_support::Sandbox;

namespace {

constexpr wchar_t kClsid[] = L"{BE6D8A33-C159-4801-8014-41C6120C95D9}";
constexpr wchar_t kLibid[] = L"{655AD292-4910-4b13-8891-41D068B9256F}";

std::wstring Str(const std::wstring& path, const wchar_t* name = nullptr) {
  wchar_t buf[MAX_PATH * 2] = {};
  DWORD size = sizeof buf - sizeof(wchar_t);
  if (RegGetValueW(HKEY_CLASSES_ROOT, path.c_str(), name, RRF_RT_REG_SZ, nullptr, buf, &size) != ERROR_SUCCESS)
    return L"<missing>";
  return buf;
}

// Names of the subkeys and values directly under `path`.
std::set<std::wstring> Children(const std::wstring& path) {
  std::set<std::wstring> out;
  HKEY k = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return out;
  wchar_t name[256];
  for (DWORD i = 0;; ++i) {
    DWORD n = 256;
    if (RegEnumKeyExW(k, i, name, &n, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    std::wstring key(name, n);
    for (wchar_t& ch : key) ch = towlower(ch);  // key names are case-insensitive
    out.insert(L"key:" + key);
  }
  for (DWORD i = 0;; ++i) {
    DWORD n = 256;
    if (RegEnumValueW(k, i, name, &n, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    out.insert(L"val:" + std::wstring(name, n));
  }
  RegCloseKey(k);
  return out;
}

using Export = HRESULT(STDAPICALLTYPE*)();

TEST(Registration, WritesExactlyTheScriptsKeysAndRemovesThemAgain) {
  Sandbox box(true);
  HMODULE dll = LoadLibraryW(L"Tallowby.dll");
  ASSERT_NE(dll, nullptr);
  wchar_t modulePath[MAX_PATH];
  GetModuleFileNameW(dll, modulePath, MAX_PATH);
  auto reg = reinterpret_cast<Export>(GetProcAddress(dll, "DllRegisterServer"));
  auto unreg = reinterpret_cast<Export>(GetProcAddress(dll, "DllUnregisterServer"));
  ASSERT_TRUE(reg && unreg);

  // A foreign class that unregistration must leave alone.
  HKEY foreign = nullptr;
  RegCreateKeyExW(HKEY_CLASSES_ROOT, L"CLSID\\{99999999-0000-0000-0000-000000000000}", 0, nullptr, 0,
                  KEY_ALL_ACCESS, nullptr, &foreign, nullptr);
  RegCloseKey(foreign);

  ASSERT_EQ(reg(), S_OK);
  const std::wstring cls = std::wstring(L"CLSID\\") + kClsid;
  EXPECT_EQ(Children(L""),
            (std::set<std::wstring>{L"key:clsid", L"key:interface", L"key:tallowby.connect", L"key:tallowby.connect.1",
                                    L"key:tallowby.mainproppage", L"key:tallowby.mainproppage.1",
                                    L"key:tallowby.standardproppage", L"key:tallowby.standardproppage.1",
                                    L"key:tallowby.tallowbyproppage", L"key:tallowby.tallowbyproppage.1",
                                    L"key:typelib"}));
  EXPECT_EQ(Str(L"Tallowby.Connect.1"), L"Connect Class");
  EXPECT_EQ(Children(L"Tallowby.Connect.1"), (std::set<std::wstring>{L"key:clsid", L"val:"}));
  EXPECT_EQ(Str(L"Tallowby.Connect.1\\CLSID"), kClsid);
  EXPECT_EQ(Str(L"Tallowby.Connect"), L"Connect Class");
  EXPECT_EQ(Str(L"Tallowby.Connect\\CLSID"), kClsid);
  EXPECT_EQ(Str(L"Tallowby.Connect\\CurVer"), L"Tallowby.Connect.1");
  EXPECT_EQ(Str(cls), L"Connect Class");
  EXPECT_EQ(Children(cls), (std::set<std::wstring>{L"key:progid", L"key:versionindependentprogid",
                                                   L"key:programmable", L"key:inprocserver32", L"key:typelib",
                                                   L"val:"}));
  EXPECT_EQ(Str(cls + L"\\ProgID"), L"Tallowby.Connect.1");
  EXPECT_EQ(Str(cls + L"\\VersionIndependentProgID"), L"Tallowby.Connect");
  EXPECT_TRUE(Children(cls + L"\\Programmable").empty());
  EXPECT_EQ(_wcsicmp(Str(cls + L"\\InprocServer32").c_str(), modulePath), 0);
  EXPECT_EQ(Str(cls + L"\\InprocServer32", L"ThreadingModel"), L"Apartment");
  EXPECT_EQ(Str(cls + L"\\TypeLib"), kLibid);
  // The type library is registered, and no interface that is not ours.
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, (std::wstring(L"TypeLib\\") + kLibid + L"\\1.0").c_str()));
  // (the option pages' own dual interfaces).
  EXPECT_EQ(Children(L"Interface"),
            (std::set<std::wstring>{L"key:{ab2bf619-78b6-4030-bf30-48fabb4b18f5}",
                                    L"key:{ebb3d3cc-f1c7-42b7-9064-f05c7751b122}",
                                    L"key:{f33412a2-6422-4957-98f6-7686a78f0015}"}));

  ASSERT_EQ(unreg(), S_OK);
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"Tallowby.Connect"));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"Tallowby.Connect.1"));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, cls.c_str()));
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID")) << "CLSID is never removed";
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID\\{99999999-0000-0000-0000-000000000000}"));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, (std::wstring(L"TypeLib\\") + kLibid).c_str()));
  FreeLibrary(dll);
}

TEST(Registration, ExportsHaveOrdinalsOneToFour) {
  HMODULE dll = LoadLibraryW(L"Tallowby.dll");
  ASSERT_NE(dll, nullptr);
  const char* names[] = {"DllCanUnloadNow", "DllGetClassObject", "DllRegisterServer", "DllUnregisterServer"};
  for (int i = 0; i < 4; ++i) {
    FARPROC byName = GetProcAddress(dll, names[i]);
    ASSERT_NE(byName, nullptr) << names[i];
    EXPECT_EQ(GetProcAddress(dll, MAKEINTRESOURCEA(i + 1)), byName) << names[i];
  }
  EXPECT_EQ(GetProcAddress(dll, MAKEINTRESOURCEA(5)), nullptr);
  // The class factory hands out connection objects; nothing else.
  using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
  auto getClassObject = reinterpret_cast<GetClassObjectFn>(GetProcAddress(dll, "DllGetClassObject"));
  CLSID clsid{};
  CLSIDFromString(kClsid, &clsid);
  IClassFactory* factory = reinterpret_cast<IClassFactory*>(0x1);
  EXPECT_EQ(getClassObject(IID_IUnknown, IID_IClassFactory, reinterpret_cast<void**>(&factory)),
            CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(factory, nullptr);
  ASSERT_EQ(getClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
  factory->Release();
  FreeLibrary(dll);
}

}  // namespace
