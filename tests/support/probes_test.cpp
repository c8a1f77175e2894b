#include "support/probes.h"

#include <gtest/gtest.h>

#include <regex>

#include "common/scratch.h"
#include "support/registry.h"
#include "support/strings.h"

namespace hv {
namespace {

const wchar_t kNdp[] = L"SOFTWARE\\Microsoft\\NET Framework Setup\\NDP";
const wchar_t kIe[] = L"SOFTWARE\\Microsoft\\Internet Explorer";

// Moves a fixed machine key aside for the test (copied into a scratch key, then deleted) and puts the
// original tree back on destruction, so the prefix is restored even when a check fails.
class SetAsideKey {
 public:
  SetAsideKey(HKEY root, std::wstring path)
      : root_(root), path_(std::move(path)), backup_(HKEY_CURRENT_USER, L"Software\\HvpelkTest\\SetAside") {
    HKEY original = nullptr;
    existed_ = RegOpenKeyExW(root_, path_.c_str(), 0, KEY_READ, &original) == ERROR_SUCCESS;
    if (existed_) {
      HKEY copy = nullptr;
      EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, backup_.path().c_str(), 0, KEY_ALL_ACCESS, &copy));
      EXPECT_EQ(ERROR_SUCCESS, RegCopyTreeW(original, nullptr, copy));
      RegCloseKey(copy);
      RegCloseKey(original);
    }
    RegDeleteTreeW(root_, path_.c_str());
  }

  ~SetAsideKey() {
    RegDeleteTreeW(root_, path_.c_str());
    if (!existed_) return;
    HKEY restored = nullptr;
    HKEY copy = nullptr;
    EXPECT_EQ(ERROR_SUCCESS,
              RegCreateKeyExW(root_, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &restored, nullptr));
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, backup_.path().c_str(), 0, KEY_READ, &copy));
    EXPECT_EQ(ERROR_SUCCESS, RegCopyTreeW(copy, nullptr, restored));
    RegCloseKey(copy);
    RegCloseKey(restored);
  }

  SetAsideKey(const SetAsideKey&) = delete;
  SetAsideKey& operator=(const SetAsideKey&) = delete;

 private:
  HKEY root_;
  std::wstring path_;
  hvtest::ScratchKey backup_;
  bool existed_ = false;
};

TEST(Probes, SetAsideKeyRestoresTheOriginalTree) {
  const std::wstring path = L"Software\\HvpelkTest\\Original";
  hvtest::ScratchKey original(HKEY_CURRENT_USER, path);
  original.SetString(original.Sub(L"Child"), L"Version", L"1.2");
  {
    SetAsideKey aside(HKEY_CURRENT_USER, path);
    EXPECT_FALSE(RegistryKeyExists(HKEY_CURRENT_USER, path));
    original.SetString(path, L"Version", L"test fixture");  // a fixture the restore must remove
  }
  wchar_t text[32] = {};
  DWORD size = sizeof(text);
  EXPECT_EQ(ERROR_SUCCESS, RegGetValueW(HKEY_CURRENT_USER, original.Sub(L"Child").c_str(), L"Version", RRF_RT_REG_SZ,
                                        nullptr, text, &size));
  EXPECT_STREQ(L"1.2", text);
  size = sizeof(text);
  EXPECT_NE(ERROR_SUCCESS,
            RegGetValueW(HKEY_CURRENT_USER, path.c_str(), L"Version", RRF_RT_REG_SZ, nullptr, text, &size));
}

TEST(Probes, DotNetVersionIsTheNewestFrameworksOwnValue) {
  SetAsideKey aside(HKEY_LOCAL_MACHINE, kNdp);
  EXPECT_EQ(L"", ProbeDotNetVersion());  // no NDP key at all
  {
    hvtest::ScratchKey ndp(HKEY_LOCAL_MACHINE, kNdp);
    EXPECT_EQ(L"", ProbeDotNetVersion());  // no sub-keys
    ndp.SetString(ndp.Sub(L"CDF"), L"Version", L"3.0.0.0");
    ndp.SetString(ndp.Sub(L"Setup"), L"Version", L"9.9");
    EXPECT_EQ(L"", ProbeDotNetVersion());  // none starts with v
    ndp.SetString(ndp.Sub(L"v4.0"), L"", L"deprecated");
    ndp.SetString(ndp.Sub(L"v4.0"), L"Version", L"4.0.0.0");
    EXPECT_EQ(L"", ProbeDotNetVersion());  // only a deprecated one
    ndp.SetString(ndp.Sub(L"v1.1.4322"), L"Version", L"1.1.4322.573");
    EXPECT_EQ(L"1.1.4322.573", ProbeDotNetVersion());  // its own value, no Client sub-key below 4
  }
  {
    hvtest::ScratchKey ndp(HKEY_LOCAL_MACHINE, kNdp);
    ndp.SetString(ndp.Sub(L"v2.0.50727"), L"Version", L"2.0.50727.4927");
    ndp.SetString(ndp.Sub(L"v3.0"), L"Version", L"3.0.30729.4926");
    ndp.SetString(ndp.Sub(L"v3.5"), L"Version", L"3.5.30729.4926");
    ndp.SetString(ndp.Sub(L"v4\\Full"), L"Version", L"4.8.04084");
    EXPECT_EQ(L"", ProbeDotNetVersion());  // v4 is newest but has no Client sub-key: v3.5 is not used
    ndp.SetString(ndp.Sub(L"v4\\Client"), L"Version", L"4.8.04084");
    ndp.SetString(ndp.Sub(L"v4.0"), L"", L"DEPRECATED");
    ndp.SetString(ndp.Sub(L"v4.0\\Client"), L"Version", L"4.0.0.0");
    EXPECT_EQ(L"4.8.04084", ProbeDotNetVersion());
  }
}

TEST(Probes, InternetExplorerVersionDrivesTheMajorNumberTests) {
  SetAsideKey aside(HKEY_LOCAL_MACHINE, kIe);
  EXPECT_EQ(L"", ProbeIeVersion());
  EXPECT_EQ(0, IeMajorVersion());
  EXPECT_FALSE(IsIeNewerThan7());
  EXPECT_FALSE(IsIeNewerThan6());

  hvtest::ScratchKey ie(HKEY_LOCAL_MACHINE, kIe);
  EXPECT_EQ(0, IeMajorVersion());  // key without the value
  ie.SetString(ie.path(), L"Version", L"9.11.9600.18231");
  EXPECT_EQ(L"9.11.9600.18231", ProbeIeVersion());
  EXPECT_EQ(9, IeMajorVersion());
  EXPECT_TRUE(IsIeNewerThan7());
  EXPECT_TRUE(IsIeNewerThan6());
  ie.SetString(ie.path(), L"Version", L"7.0.6000.16386");
  EXPECT_FALSE(IsIeNewerThan7());
  EXPECT_TRUE(IsIeNewerThan6());
  ie.SetString(ie.path(), L"Version", L"abc");
  EXPECT_EQ(L"abc", ProbeIeVersion());  // returned as stored
  EXPECT_EQ(-1, IeMajorVersion());
  EXPECT_FALSE(IsIeNewerThan6());
}

// kernel32's fixed file version, read from the loaded module's resource rather than through the
// version-information functions the probe uses.
std::wstring LoadedKernel32Version() {
  HMODULE module = GetModuleHandleW(L"kernel32.dll");
  HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(VS_VERSION_INFO), MAKEINTRESOURCEW(16));  // RT_VERSION
  if (resource == nullptr) return L"";
  const BYTE* data = static_cast<const BYTE*>(LockResource(LoadResource(module, resource)));
  const DWORD size = SizeofResource(module, resource);
  for (DWORD offset = 0; offset + sizeof(VS_FIXEDFILEINFO) <= size; offset += 4) {
    const auto* fixed = reinterpret_cast<const VS_FIXEDFILEINFO*>(data + offset);
    if (fixed->dwSignature != 0xFEEF04BD) continue;
    return Dec(HIWORD(fixed->dwFileVersionMS)) + L"." + Dec(LOWORD(fixed->dwFileVersionMS)) + L"." +
           Dec(HIWORD(fixed->dwFileVersionLS)) + L"." + Dec(LOWORD(fixed->dwFileVersionLS));
  }
  return L"";
}

TEST(Probes, DescribeTheSystemAsDecimalText) {
  const std::wregex decimal(L"(0|[1-9][0-9]*)");
  const std::wstring os = ProbeOperatingSystemVersion();
  EXPECT_TRUE(std::regex_match(os, std::wregex(L"[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+"))) << os;
  EXPECT_EQ(LoadedKernel32Version(), os);

  OSVERSIONINFOEXW info = {};
  info.dwOSVersionInfoSize = sizeof(info);
  ASSERT_TRUE(GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info)));
  EXPECT_EQ(Dec(info.wServicePackMajor) + L"." + Dec(info.wServicePackMinor), ProbeServicePack());
  EXPECT_EQ(Dec(info.wProductType), ProbeProductType());
  EXPECT_EQ(Dec(info.wSuiteMask), ProbeSuiteMask());
  for (const std::wstring& text : {ProbeProductType(), ProbeSuiteMask(), ProbeR2Build()}) {
    EXPECT_TRUE(std::regex_match(text, decimal)) << text;
  }
  // The native architecture: x64 (9) on this 64-bit system, whatever the build's own word size.
  EXPECT_EQ(L"9", ProbeArchitecture());
}

}  // namespace
}  // namespace hv
