// The add-in's texts in the user's language, its version and its folders.
#include <gtest/gtest.h>

#include "language.h"
#include "registry.h"
#include "res/resource.h"
#include "sandbox.h"

using testing_support::LoadAddInModule;
using testing_support::Sandbox;

namespace {

void SetLcid(DWORD lcid) {
  reg::Key config;
  ASSERT_EQ(config.Create(HKEY_CURRENT_USER, reg::kConfigPath), ERROR_SUCCESS);
  ASSERT_EQ(config.WriteDword(L"LCID", lcid), ERROR_SUCCESS);
}

TEST(Language, TextsFollowThePrimaryLanguageOfTheLcid) {
  ASSERT_NE(LoadAddInModule(), nullptr);
  const std::wstring german = L"Eingeschr\u00e4nkte Zugriffsrechte";
  for (LCID lcid : {0x0407u, 0x0C07u, 0x0807u}) EXPECT_EQ(LoadUiString(IDS_NO_ACCESS, lcid), german) << lcid;
  for (LCID lcid : {0x040Au, 0x0C0Au}) EXPECT_EQ(LoadUiString(IDS_NO_ACCESS, lcid), L"no access") << lcid;
  for (LCID lcid : {0x0409u, 0x040Cu, 0x0411u, 0x0000u}) EXPECT_EQ(LoadUiString(IDS_NO_ACCESS, lcid), L"No access");

  EXPECT_EQ(LoadUiString(IDS_PRODUCT_NAME, 0x0C0A), L"Tallowby");
  EXPECT_EQ(LoadUiString(IDS_HELP_FILE, 0x0409), L"help.chm");
  EXPECT_EQ(LoadUiString(IDS_HELP_FILE, 0x040A), L"hilfe.chm");
  EXPECT_EQ(LoadUiString(IDS_WRAPPER_NOT_REGISTERED, 0x0407), L"TallowbyRDO.dll ist nicht richtig registriert");
  EXPECT_EQ(LoadUiString(IDS_CATEGORY_FILTER, 0x0407),
            L"Filter ( nur Eintr\u00e4ge mit diesen Kategorien synchronisieren ): ");
  EXPECT_EQ(LoadUiString(IDS_GAL_COLUMN, 0x0407), L"Globale Adresslisten" + std::wstring(36, L' '));
  EXPECT_EQ(LoadUiString(IDS_GAL_COLUMN, 0x040A), L"Global address lists" + std::wstring(57, L' '));

  // Missing texts are empty: no Spanish 5225/5226 (the block exists), no id at all.
  EXPECT_EQ(LoadUiString(IDS_NEW_ITEMS_CATEGORY, 0x0C0A), L"");
  EXPECT_EQ(LoadUiString(IDS_ICS_NOT_SUPPORTED, 0x040A), L"");
  EXPECT_EQ(LoadUiString(IDS_ICS_NOT_SUPPORTED, 0x0407), L"Das ICS Interface wird nicht unterst\u00fctzt.");
  EXPECT_EQ(LoadUiString(1215, 0x0409), L"");
  EXPECT_EQ(LoadUiString(9999, 0x0407), L"");
}

TEST(Language, UiLanguageIsTheLcidValueElseTheThreadLocale) {
  Sandbox box;
  const LCID saved = GetThreadLocale();
  SetThreadLocale(0x0407);
  EXPECT_EQ(GetUiLanguage(), 0x0407u) << "no Config key";
  SetLcid(0x0409);
  EXPECT_EQ(GetUiLanguage(), 0x0409u) << "LCID wins over a German thread locale";
  SetLcid(0x0C0A);
  EXPECT_EQ(GetUiLanguage(), 0x0C0Au);
  SetLcid(0xFFFFFFFF);
  EXPECT_EQ(GetUiLanguage(), 0x0407u) << "a stored 0xFFFFFFFF counts as none";
  {
    reg::Key config;
    config.Open(HKEY_CURRENT_USER, reg::kConfigPath, KEY_ALL_ACCESS);
    const BYTE shortValue[2] = {0x0A, 0x04};
    RegSetValueExW(config.Get(), L"LCID", 0, REG_BINARY, shortValue, sizeof shortValue);
  }
  EXPECT_EQ(GetUiLanguage(), 0x0407u) << "a 2-byte value is no LCID";
  SetThreadLocale(saved);
}

TEST(Language, VersionAndFolders) {
  Sandbox box;
  ASSERT_NE(LoadAddInModule(), nullptr);
  wchar_t version[32];
  GetVersionString(version, 32);
  EXPECT_STREQ(version, L"1.51.5");
  wchar_t tiny[4];
  GetVersionString(tiny, 4);
  EXPECT_EQ(wcslen(tiny), 3u) << "bounded by the buffer";

  wchar_t path[MAX_PATH];
  ASSERT_TRUE(GetSpecialFolderPath(path, false));
  EXPECT_EQ(std::wstring(path) + L"\\", box.LocalAppData());
  EXPECT_TRUE(GetSpecialFolderPath(path, true));

  std::wstring dll = GetDllFolder();
  ASSERT_FALSE(dll.empty());
  EXPECT_EQ(dll.back(), L'\\');
  EXPECT_TRUE(testing_support::FileExists(dll + L"Tallowby.dll"));
}

}  // namespace
