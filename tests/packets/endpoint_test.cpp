#include "packets/endpoint.h"

#include <gtest/gtest.h>

#include "common/scratch.h"
#include "support/registry.h"

namespace {

const wchar_t kServiceKey[] = L"SOFTWARE\\Halvorn\\Trellin";

TEST(Endpoint, DefaultsWithoutTheKey) {
  hvtest::ScratchKey key(HKEY_LOCAL_MACHINE, kServiceKey);
  ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyW(HKEY_LOCAL_MACHINE, kServiceKey));

  const std::wstring secure = hv::DefaultServiceUrl(true);
  const std::wstring plain = hv::DefaultServiceUrl(false);
  EXPECT_EQ(0u, secure.find(L"https://"));
  EXPECT_EQ(0u, plain.find(L"http://"));
  // One host for both schemes, under a reserved top-level domain, and the service path.
  EXPECT_EQ(secure.substr(8), plain.substr(7));
  EXPECT_NE(std::wstring::npos, secure.find(L".invalid/hvtr/trellin"));
  EXPECT_EQ(secure.size(), secure.find(L"/hvtr/trellin") + 13);

  EXPECT_EQ(secure, hv::GetServiceUrl(true, L""));
  EXPECT_EQ(plain, hv::GetServiceUrl(false, L"wrapper"));
  EXPECT_FALSE(hv::IsEncodingDisabled());

  // The key without values changes nothing.
  ASSERT_TRUE(hv::RegistryCreateKey(HKEY_LOCAL_MACHINE, kServiceKey));
  EXPECT_EQ(secure, hv::GetServiceUrl(true, L"wrapper"));
  EXPECT_FALSE(hv::IsEncodingDisabled());
}

TEST(Endpoint, WrapperSubKeyWinsOverTheMainKey) {
  hvtest::ScratchKey key(HKEY_LOCAL_MACHINE, kServiceKey);
  key.SetString(key.path(), L"S_URL", L"https://main.example.test/secure/");
  key.SetString(key.path(), L"URL", L"http://main.example.test/plain");
  key.SetString(key.Sub(L"wrapper"), L"S_URL", L"http://wrapper.example.test/insecure");

  // The sub-key's value wins for its wrapper library, whatever scheme it names; values are used unchanged.
  EXPECT_EQ(L"http://wrapper.example.test/insecure", hv::GetServiceUrl(true, L"wrapper"));
  EXPECT_EQ(L"https://main.example.test/secure/", hv::GetServiceUrl(true, L"other"));
  // Only the main key has "URL": it serves the wrapper library too.
  EXPECT_EQ(L"http://main.example.test/plain", hv::GetServiceUrl(false, L"wrapper"));

  // An empty wrapper name reads the main key.
  EXPECT_EQ(L"https://main.example.test/secure/", hv::GetServiceUrl(true, L""));

  // A sub-key value without the main one still wins; without either, the default.
  key.DeleteValue(key.path(), L"S_URL");
  EXPECT_EQ(L"http://wrapper.example.test/insecure", hv::GetServiceUrl(true, L"wrapper"));
  EXPECT_EQ(hv::DefaultServiceUrl(true), hv::GetServiceUrl(true, L"other"));
}

TEST(Endpoint, DisableEncodingReadsAsText) {
  hvtest::ScratchKey key(HKEY_LOCAL_MACHINE, kServiceKey);
  const struct {
    const wchar_t* text;
    bool disabled;
  } cases[] = {{L"TRUE", true}, {L"true", true}, {L"1", true}, {L"yes", false}, {L"0", false}, {L"", false}};
  for (const auto& c : cases) {
    key.SetString(key.path(), L"DisableEncoding", c.text);
    EXPECT_EQ(c.disabled, hv::IsEncodingDisabled()) << "\"" << std::string(c.text, c.text + wcslen(c.text)) << "\"";
  }

  // Only the main key counts.
  key.DeleteValue(key.path(), L"DisableEncoding");
  key.SetString(key.Sub(L"wrapper"), L"DisableEncoding", L"true");
  EXPECT_FALSE(hv::IsEncodingDisabled());

  // A DWORD 1 reads as the text its bytes form (U+0001), which is not "1".
  key.SetDword(key.path(), L"DisableEncoding", 1);
  EXPECT_FALSE(hv::IsEncodingDisabled());
}

TEST(Endpoint, CommandUrlsEncodeTheirParametersByCodeUnit) {
  EXPECT_EQ(L"trellin%5Fversion", hv::UrlEncode(L"trellin_version"));
  EXPECT_EQ(L"a%20b%3Dc%26", hv::UrlEncode(L"a b=c&"));
  EXPECT_EQ(L"x%13y", hv::UrlEncode(L"x\u2013y"));  // the high byte of a code unit is dropped
  EXPECT_EQ(L"", hv::UrlEncode(L""));
  EXPECT_EQ(
      L"https://h/svc?cmd=ContentCmd:Query&trellin%5Fversion=2%2E0&dash=%13",
      hv::CommandUrl(L"https://h/svc", L"ContentCmd:Query", {{L"trellin_version", L"2.0"}, {L"dash", L"\u2013"}}));
  EXPECT_EQ(L"https://h/svc?cmd=PingCmd:Ping", hv::CommandUrl(L"https://h/svc", L"PingCmd:Ping", {}));
}

}  // namespace
