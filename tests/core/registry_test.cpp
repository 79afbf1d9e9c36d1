// Registry reads never read outside their buffers: wrong sizes and types
// read as missing, strings are always terminated.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "registry.h"
#include "sandbox.h"

using testing_support::Sandbox;

namespace {

void SetRaw(const reg::Key& k, const wchar_t* name, DWORD type, const void* data, DWORD size) {
  ASSERT_EQ(RegSetValueExW(k.Get(), name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
}

TEST(Registry, ReadsCheckTypeAndSize) {
  Sandbox box;
  reg::Key k;
  ASSERT_EQ(k.Create(HKEY_CURRENT_USER, reg::kConfigPath), ERROR_SUCCESS);

  // 32-bit values.
  k.WriteDword(L"dword", 1);
  SetRaw(k, L"sz1", REG_SZ, L"1", 4);  // four bytes, but a string
  const BYTE two[2] = {1, 0};
  SetRaw(k, L"short", REG_BINARY, two, 2);
  const ULONGLONG eight = 1;
  SetRaw(k, L"qword", REG_QWORD, &eight, 8);
  EXPECT_EQ(k.ReadDword(L"dword"), 1u);
  EXPECT_FALSE(k.ReadDword(L"sz1")) << "must be REG_DWORD";
  EXPECT_EQ(k.ReadDword(L"sz1", reg::DwordType::kAnyType), 0x31u) << "the first four bytes";
  EXPECT_FALSE(k.ReadDword(L"short", reg::DwordType::kAnyType));
  EXPECT_FALSE(k.ReadDword(L"qword", reg::DwordType::kAnyType));
  EXPECT_FALSE(k.ReadDword(L"missing"));
  EXPECT_TRUE(reg::IsOne(k.ReadDword(L"dword")));
  EXPECT_FALSE(reg::IsOne(k.ReadDword(L"missing")));
  k.WriteDword(L"two", 2);
  EXPECT_FALSE(reg::IsOne(k.ReadDword(L"two")));
  EXPECT_TRUE(reg::IsNotZero(k.ReadDword(L"two")));

  // Strings: REG_SZ and REG_EXPAND_SZ (not expanded) within the buffer.
  k.WriteString(L"name", L"Postfach");
  SetRaw(k, L"expand", REG_EXPAND_SZ, L"%TEMP%", 14);
  SetRaw(k, L"unterminated", REG_SZ, L"abcd", 8);
  EXPECT_EQ(k.ReadString(L"name", 1024), L"Postfach");
  EXPECT_EQ(k.ReadString(L"expand", 1024), L"%TEMP%");
  EXPECT_EQ(k.ReadString(L"unterminated", 1024), L"abcd");
  EXPECT_FALSE(k.ReadString(L"unterminated", 8)) << "no room left for the terminator";
  EXPECT_EQ(k.ReadString(L"name", 18), L"Postfach") << "exactly fits with its NUL";
  EXPECT_FALSE(k.ReadString(L"name", 16)) << "too long for the reader's buffer";
  EXPECT_FALSE(k.ReadString(L"dword", 1024)) << "not a string";

  // Dates: REG_BINARY of exactly 8 bytes, finite.
  k.WriteDate(L"date", 45000.25);
  SetRaw(k, L"date4", REG_BINARY, two, 2);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  SetRaw(k, L"nan", REG_BINARY, &nan, 8);
  const double d = 45000.0;
  SetRaw(k, L"dateAsQword", REG_QWORD, &d, 8);
  EXPECT_EQ(k.ReadDate(L"date"), 45000.25);
  EXPECT_FALSE(k.ReadDate(L"date4"));
  EXPECT_FALSE(k.ReadDate(L"nan"));
  EXPECT_FALSE(k.ReadDate(L"dateAsQword"));

  // Subkeys by index until the enumeration ends; a name too long for the
  // reader's buffer is skipped, and the walk goes on past it.
  reg::Key sub;
  sub.Create(k.Get(), L"A1B2");
  sub.Create(k.Get(), L"C3");
  EXPECT_EQ(k.SubkeyName(0), L"A1B2");
  EXPECT_EQ(k.SubkeyName(1), L"C3");
  EXPECT_FALSE(k.SubkeyName(2));
  EXPECT_FALSE(k.SubkeyName(0, 3)) << "that one name does not fit";
  EXPECT_EQ(k.SubkeyNames(3), std::vector<std::wstring>{L"C3"});
  EXPECT_EQ(k.SubkeyNames(), (std::vector<std::wstring>{L"A1B2", L"C3"}));

  // A key that is not open reads as missing and writes nothing.
  reg::Key closed;
  EXPECT_NE(closed.Open(HKEY_CURRENT_USER, L"Software\\Corvane\\Nothing", KEY_READ), ERROR_SUCCESS);
  EXPECT_FALSE(closed.ReadDword(L"x"));
  EXPECT_NE(closed.WriteDword(L"x", 1), ERROR_SUCCESS);
}

}  // namespace
