#include "support/strings.h"

#include <gtest/gtest.h>

namespace hv {
namespace {

TEST(Strings, FormatsNumbersAsTheWireAndLogExpect) {
  EXPECT_EQ(L"-1", Dec(-1));
  EXPECT_EQ(L"0xFFFFFFFF", Hex(static_cast<uint32_t>(-1)));
  EXPECT_EQ(L"0xFF", Hex(255));
  EXPECT_EQ(L"0x0", Hex(0));
  EXPECT_EQ(L"0x40002005", Hex(0x40002005));
  EXPECT_EQ(L"0x2EE2", Hex(12002));
  EXPECT_EQ(L"5000000000", Dec(5000000000LL));
  EXPECT_EQ(L"18446744073709551615", DecU64(UINT64_MAX));
  EXPECT_EQ(L"0", Dec(0));
  EXPECT_EQ(L"-9223372036854775808", Dec(INT64_MIN));
}

TEST(Strings, ReadsOnlyPlainDecimalAndHexadecimalNumbers) {
  uint64_t value = 0;
  for (const wchar_t* decimal : {L"0", L"007", L"42"}) {
    EXPECT_TRUE(ParseUInt64(decimal, value, 1)) << decimal;
    EXPECT_EQ(std::wcstoull(decimal, nullptr, 10), value) << decimal;
  }
  for (const wchar_t* hex : {L"0x1F", L"0X1f"}) {
    EXPECT_TRUE(ParseUInt64(hex, value, 1)) << hex;
    EXPECT_EQ(31u, value) << hex;
  }
  for (const wchar_t* bad : {L"", L"1x2", L"x12", L"0x1x", L"1F", L"-5", L"+5", L" 5", L"1.5"}) {
    EXPECT_FALSE(ParseUInt64(bad, value, 3)) << bad;
    EXPECT_EQ(3u, value) << bad;
  }
}

TEST(Strings, ParsesUnsigned64WithDefaultAndSaturation) {
  uint64_t value = 0;
  EXPECT_FALSE(ParseUInt64(L"", value, 7));
  EXPECT_EQ(7u, value);
  EXPECT_FALSE(ParseUInt64(L"-1", value, 9));
  EXPECT_EQ(9u, value);
  EXPECT_TRUE(ParseUInt64(L"0x10", value, 0));
  EXPECT_EQ(16u, value);
  EXPECT_TRUE(ParseUInt64(L"0x", value, 5));
  EXPECT_EQ(0u, value);
  EXPECT_TRUE(ParseUInt64(L"4294967296", value, 0));
  EXPECT_EQ(4294967296ULL, value);
  EXPECT_TRUE(ParseUInt64(L"99999999999999999999999", value, 0));
  EXPECT_EQ(UINT64_MAX, value);
  EXPECT_TRUE(ParseUInt64(L"0xFFFFFFFFFFFFFFFFFF", value, 0));
  EXPECT_EQ(UINT64_MAX, value);
}

TEST(Strings, ReadsBooleans) {
  for (const wchar_t* yes : {L"TRUE", L"True", L"true", L"1"}) EXPECT_TRUE(ParseBool(yes)) << yes;
  for (const wchar_t* no : {L"yes", L"01", L"", L"0", L"true "}) EXPECT_FALSE(ParseBool(no)) << no;
}

TEST(Strings, ComparesAndSearchesFoldingOnlyAsciiLetters) {
  EXPECT_TRUE(EqualsNoCase(L"GZip", L"gzip"));
  EXPECT_FALSE(EqualsNoCase(L"\u00C4", L"\u00E4"));  // non-ASCII letters are not folded
  EXPECT_TRUE(StartsWithNoCase(L"v4.0", L"V"));
  EXPECT_FALSE(StartsWithNoCase(L"v", L"v4"));
  EXPECT_EQ(7, FindNoCase(L"http://HTTPS://x", L"https://", 1));
  EXPECT_EQ(0, FindNoCase(L"HTTPS://x", L"https://"));
  EXPECT_EQ(-1, FindNoCase(L"http://x", L"https://"));
}

TEST(Strings, ReplacesWithoutRescanningInsertedText) {
  std::wstring text = L"aaa";
  ReplaceAll(text, L"a", L"aa");
  EXPECT_EQ(L"aaaaaa", text);
  std::wstring version = L"v4.0v";
  ReplaceAll(version, L"v", L"");
  EXPECT_EQ(L"4.0", version);
  std::wstring path = L"C:/dir/sub/file";
  ReplaceAllNoCase(path, L"/", L"\\");
  EXPECT_EQ(L"C:\\dir\\sub\\file", path);
}

}  // namespace
}  // namespace hv
