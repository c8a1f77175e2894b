#include "support/registry.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "common/scratch.h"

namespace hv {
namespace {

const wchar_t kRoot[] = L"Software\\HvpelkTest\\Registry";

TEST(Registry, ReadsStringsWholeAndAsStoredBytes) {
  hvtest::ScratchKey key(HKEY_CURRENT_USER, kRoot);
  const std::wstring longText(3000, L'x');  // 6002 bytes: needs the retry with a larger buffer
  key.SetString(key.path(), L"Long", longText + L"end");
  key.SetDword(key.path(), L"Number", 0x00420041);  // bytes 41 00 42 00: the text "AB", not decimal
  key.SetString(key.path(), L"", L"default");

  std::wstring text = L"preset";
  EXPECT_TRUE(RegistryReadString(HKEY_CURRENT_USER, key.path(), L"Long", text));
  EXPECT_EQ(longText + L"end", text);
  EXPECT_TRUE(RegistryReadString(HKEY_CURRENT_USER, key.path(), L"Number", text));
  EXPECT_EQ(L"AB", text);
  EXPECT_TRUE(RegistryReadString(HKEY_CURRENT_USER, key.path(), L"", text));
  EXPECT_EQ(L"default", text);

  // A missing value leaves the caller's preset; only a missing key is a failure.
  text = L"preset";
  EXPECT_TRUE(RegistryReadString(HKEY_CURRENT_USER, key.path(), L"Missing", text));
  EXPECT_EQ(L"preset", text);
  EXPECT_FALSE(RegistryReadString(HKEY_CURRENT_USER, key.Sub(L"Missing"), L"Long", text));
  EXPECT_EQ(L"preset", text);
}

TEST(Registry, ReadsFlagsAndValueExistence) {
  hvtest::ScratchKey key(HKEY_CURRENT_USER, kRoot);
  key.SetDword(key.path(), L"On", 5);
  key.SetDword(key.path(), L"Off", 0);
  key.SetString(key.path(), L"Text", L"A");  // a flag reads the first four bytes, whatever the type
  key.SetString(key.path(), L"Long", std::wstring(2000, L'y'));

  bool flag = false;
  EXPECT_TRUE(RegistryReadFlag(HKEY_CURRENT_USER, key.path(), L"On", flag));
  EXPECT_TRUE(flag);
  EXPECT_TRUE(RegistryReadFlag(HKEY_CURRENT_USER, key.path(), L"Off", flag));
  EXPECT_FALSE(flag);
  EXPECT_TRUE(RegistryReadFlag(HKEY_CURRENT_USER, key.path(), L"Text", flag));
  EXPECT_TRUE(flag);
  flag = true;
  EXPECT_TRUE(RegistryReadFlag(HKEY_CURRENT_USER, key.path(), L"Missing", flag));  // key without the value
  EXPECT_FALSE(flag);
  flag = true;
  EXPECT_FALSE(RegistryReadFlag(HKEY_CURRENT_USER, key.Sub(L"Missing"), L"On", flag));  // missing key
  EXPECT_TRUE(flag);

  EXPECT_TRUE(RegistryValueExists(HKEY_CURRENT_USER, key.path(), L"On"));
  EXPECT_TRUE(RegistryValueExists(HKEY_CURRENT_USER, key.path(), L"Long"));  // larger than the buffer
  EXPECT_FALSE(RegistryValueExists(HKEY_CURRENT_USER, key.path(), L"Missing"));
  EXPECT_FALSE(RegistryValueExists(HKEY_CURRENT_USER, key.Sub(L"Missing"), L"On"));
  EXPECT_TRUE(RegistryKeyExists(HKEY_CURRENT_USER, key.path()));
  EXPECT_FALSE(RegistryKeyExists(HKEY_CURRENT_USER, key.Sub(L"Missing")));
}

TEST(Registry, WritesStringsWithTheirTerminatorAndCreatesKeys) {
  hvtest::ScratchKey key(HKEY_CURRENT_USER, kRoot);
  const std::wstring path = key.Sub(L"New\\Deeper");
  EXPECT_TRUE(RegistryWriteString(HKEY_CURRENT_USER, path, L"uniqueId", L"{01234567-89AB}"));
  std::wstring text;
  EXPECT_TRUE(RegistryReadString(HKEY_CURRENT_USER, path, L"uniqueId", text));
  EXPECT_EQ(L"{01234567-89AB}", text);

  DWORD type = 0;
  DWORD size = 0;
  ASSERT_EQ(ERROR_SUCCESS, RegGetValueW(HKEY_CURRENT_USER, path.c_str(), L"uniqueId", RRF_RT_ANY | RRF_NOEXPAND, &type,
                                        nullptr, &size));
  EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
  EXPECT_EQ(16 * sizeof(wchar_t), size);  // 15 characters and the NUL

  EXPECT_TRUE(RegistryWriteString(HKEY_CURRENT_USER, path, L"empty", L""));
  text = L"preset";
  EXPECT_TRUE(RegistryReadString(HKEY_CURRENT_USER, path, L"empty", text));
  EXPECT_EQ(L"", text);

  EXPECT_TRUE(RegistryCreateKey(HKEY_CURRENT_USER, key.Sub(L"Created")));
  EXPECT_TRUE(RegistryCreateKey(HKEY_CURRENT_USER, key.Sub(L"Created")));  // existing: opened
  EXPECT_TRUE(RegistryKeyExists(HKEY_CURRENT_USER, key.Sub(L"Created")));
}

TEST(Registry, EnumeratesSubKeysAndDetectsDeprecatedOnes) {
  hvtest::ScratchKey key(HKEY_CURRENT_USER, kRoot);
  std::vector<std::wstring> names = {L"stale"};
  EXPECT_TRUE(RegistryEnumSubKeys(HKEY_CURRENT_USER, key.path(), names));
  EXPECT_TRUE(names.empty());
  EXPECT_FALSE(RegistryEnumSubKeys(HKEY_CURRENT_USER, key.Sub(L"Missing"), names));

  for (const wchar_t* name : {L"v2.0.50727", L"v4", L"v4.0", L"CDF"}) {
    ASSERT_TRUE(RegistryCreateKey(HKEY_CURRENT_USER, key.Sub(name)));
  }
  key.SetString(key.Sub(L"v4.0"), L"", L"DEPRECATED");
  key.SetString(key.Sub(L"CDF"), L"", L"");
  key.SetString(key.Sub(L"v2.0.50727"), L"", L"other");
  ASSERT_TRUE(RegistryEnumSubKeys(HKEY_CURRENT_USER, key.path(), names));
  std::sort(names.begin(), names.end());
  EXPECT_EQ((std::vector<std::wstring>{L"CDF", L"v2.0.50727", L"v4", L"v4.0"}), names);

  EXPECT_TRUE(RegistryKeyIsDeprecated(HKEY_CURRENT_USER, key.Sub(L"v4.0")));
  EXPECT_FALSE(RegistryKeyIsDeprecated(HKEY_CURRENT_USER, key.Sub(L"v4")));          // no default value
  EXPECT_FALSE(RegistryKeyIsDeprecated(HKEY_CURRENT_USER, key.Sub(L"CDF")));         // empty default value
  EXPECT_FALSE(RegistryKeyIsDeprecated(HKEY_CURRENT_USER, key.Sub(L"v2.0.50727")));  // another text
  EXPECT_FALSE(RegistryKeyIsDeprecated(HKEY_CURRENT_USER, key.Sub(L"Missing")));
}

TEST(Registry, FormsTheMakersPaths) {
  EXPECT_EQ(L"SOFTWARE\\Halvorn", MakerKeyPath());
  EXPECT_EQ(L"SOFTWARE\\Halvorn\\InternalTesting", MakerKeyPath(L"InternalTesting"));
}

}  // namespace
}  // namespace hv
