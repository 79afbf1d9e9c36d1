// Each value of the configuration layout is read by its own rule: flags
// exactly 1 or not 0 (some only as REG_DWORD), strings within their
// reader's buffer, dates of exactly 8 bytes.
#include <gtest/gtest.h>

#include "registry.h"
#include "sandbox.h"

using testing_support::Sandbox;

namespace {

void SetRaw(const reg::Key& k, const wchar_t* name, DWORD type, const void* data, DWORD size) {
  ASSERT_EQ(RegSetValueExW(k.Get(), name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
}

TEST(RegistryLayout, FlagsByTheirRule) {
  Sandbox box;
  reg::Key config;
  ASSERT_EQ(config.Create(HKEY_CURRENT_USER, reg::kConfigPath), ERROR_SUCCESS);
  EXPECT_FALSE(reg::ReadUserFlag(reg::kConfigPath, reg::kTrayIcon)) << "missing is off";

  SetRaw(config, L"trayicon", REG_SZ, L"1", 4);
  EXPECT_FALSE(reg::ReadUserFlag(reg::kConfigPath, reg::kTrayIcon)) << "REG_SZ \"1\"";
  config.WriteDword(L"trayicon", 1);
  EXPECT_TRUE(reg::ReadUserFlag(reg::kConfigPath, reg::kTrayIcon));
  config.WriteDword(L"trayicon", 2);
  EXPECT_FALSE(reg::ReadUserFlag(reg::kConfigPath, reg::kTrayIcon)) << "exactly 1";

  // "debug" takes any type of four bytes: a REG_BINARY 1 is on, a REG_SZ
  // "1" (bytes 31 00 00 00) is not 1.
  const DWORD one = 1;
  SetRaw(config, L"debug", REG_BINARY, &one, 4);
  EXPECT_TRUE(config.ReadFlag(reg::kDebug));
  SetRaw(config, L"debug", REG_SZ, L"1", 4);
  EXPECT_FALSE(config.ReadFlag(reg::kDebug));
  SetRaw(config, L"debug", REG_BINARY, &one, 2);
  EXPECT_FALSE(config.ReadFlag(reg::kDebug)) << "a short value is missing";

  // Job flags: some test not 0, others exactly 1.
  reg::Key job;
  ASSERT_EQ(job.Create(HKEY_CURRENT_USER, (std::wstring(reg::kFoldersPath) + L"\\00AB").c_str()), ERROR_SUCCESS);
  job.WriteDword(L"BOTH_DIRECTIONS", 2);
  job.WriteDword(L"MARK_AS_PRIVATE", 2);
  EXPECT_TRUE(job.ReadFlag(reg::kBothDirections));
  EXPECT_FALSE(job.ReadFlag(reg::kMarkAsPrivate));
  EXPECT_FALSE(job.ReadFlag(reg::kDontSyncPrivItems)) << "missing is off, whatever the page's default";
  EXPECT_EQ(job.WriteFlag(reg::kDontSyncPrivItems, true), ERROR_SUCCESS);
  EXPECT_EQ(job.ReadDword(L"DONT_SYNC_PRIV_ITEMS"), 1u) << "writers write exactly 0 or 1";
  EXPECT_FALSE(reg::ReadUserFlag(L"Software\\Corvane\\Tallowby\\Nowhere", reg::kDebug));
}

TEST(RegistryLayout, StringsDatesAndSubkeys) {
  Sandbox box;
  reg::Key config;
  ASSERT_EQ(config.Create(HKEY_CURRENT_USER, reg::kConfigPath), ERROR_SUCCESS);
  // defaultStoreName: 1024 bytes with the NUL, so 511 characters fit.
  config.WriteString(L"defaultStoreName", std::wstring(511, L'n'));
  EXPECT_EQ(config.ReadText(reg::kDefaultStoreName), std::wstring(511, L'n'));
  config.WriteString(L"defaultStoreName", std::wstring(512, L'n'));
  EXPECT_EQ(config.ReadText(reg::kDefaultStoreName), L"") << "longer than the buffer reads as empty";
  SetRaw(config, L"defaultStoreName", REG_EXPAND_SZ, L"%USERNAME%", 22);
  EXPECT_EQ(config.ReadText(reg::kDefaultStoreName), L"%USERNAME%") << "not expanded";
  config.WriteDword(L"defaultStoreName", 5);
  EXPECT_EQ(config.ReadText(reg::kDefaultStoreName), L"") << "another type";

  // Dates: exactly 8 bytes of REG_BINARY.
  config.WriteDate(L"LastGalSync", 45000.5);
  EXPECT_EQ(config.ReadDate(reg::kLastGalSync), 45000.5);
  const float four = 1.0f;
  SetRaw(config, L"LastGalSync", REG_BINARY, &four, 4);
  EXPECT_FALSE(config.ReadDate(reg::kLastGalSync)) << "a date of 4 bytes counts as missing";

  // Subkeys are gathered first, so deleting while walking skips none.
  reg::Key folders;
  ASSERT_EQ(folders.Create(HKEY_CURRENT_USER, reg::kFoldersPath), ERROR_SUCCESS);
  for (const wchar_t* id : {L"0001", L"0002", L"0003"}) {
    reg::Key k;
    ASSERT_EQ(k.Create(folders.Get(), (std::wstring(id) + L"\\" + reg::kCategoriesFilter + L"\\Work").c_str()),
              ERROR_SUCCESS);
  }
  std::vector<std::wstring> names = folders.SubkeyNames();
  ASSERT_EQ(names.size(), 3u);
  for (const std::wstring& name : names) EXPECT_EQ(folders.DeleteTree(name.c_str()), ERROR_SUCCESS);
  EXPECT_TRUE(folders.SubkeyNames().empty());
  EXPECT_EQ(folders.DeleteTree(L""), ERROR_INVALID_PARAMETER) << "never the key itself";
  EXPECT_FALSE(reg::IsAdminLocked());
}

}  // namespace
