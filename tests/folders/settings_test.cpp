// The locktime setting: default and clamp, in a scratch HKCU of this test.
#include <gtest/gtest.h>

#include <string>

#include "settings.h"

namespace {

class LockTimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::wstring path = L"Software\\TallowbyTests\\LockTime";
    RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str());
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                             &scratch_, nullptr));
    ASSERT_EQ(ERROR_SUCCESS, config.Open(scratch_, L"", KEY_ALL_ACCESS));
  }
  void TearDown() override {
    config.Close();
    RegCloseKey(scratch_);
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\TallowbyTests\\LockTime");
  }
  HKEY scratch_ = nullptr;
  reg::Key config;
};

TEST_F(LockTimeTest, ClampedToTenToThreeHundredAndRandomWhenMissing) {
  config.WriteDword(L"locktime", 5);
  EXPECT_EQ(10u, ReadLockTime(config));
  config.WriteDword(L"locktime", 1000);
  EXPECT_EQ(300u, ReadLockTime(config));
  config.WriteDword(L"locktime", 60);
  EXPECT_EQ(60u, ReadLockTime(config));

  config.WriteString(L"locktime", L"60");  // not a REG_DWORD: counts as missing
  DWORD fromText = ReadLockTime(config);
  EXPECT_GE(fromText, 10u);
  EXPECT_LE(fromText, 120u);
  config.DeleteValue(L"locktime");
  for (int i = 0; i < 2; ++i) {
    DWORD missing = ReadLockTime(config);
    EXPECT_GE(missing, 10u);
    EXPECT_LE(missing, 120u);
  }
}

}  // namespace
