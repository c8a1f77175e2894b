#include "support/probes.h"

#include <windows.h>

#include <vector>

#include "support/registry.h"
#include "support/strings.h"
#include "support/version.h"

namespace hv {
namespace {

const wchar_t kIeKey[] = L"SOFTWARE\\Microsoft\\Internet Explorer";
const wchar_t kNdpKey[] = L"SOFTWARE\\Microsoft\\NET Framework Setup\\NDP";

// The extended version record, zeroed first so that a failing call leaves every field 0.
OSVERSIONINFOEXW VersionRecord() {
  OSVERSIONINFOEXW info = {};
  info.dwOSVersionInfoSize = sizeof(info);
  GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info));
  return info;
}

// The file version of kernel32.dll in the system directory; empty when it cannot be read.
std::wstring Kernel32FileVersion() {
  wchar_t directory[MAX_PATH] = {};
  const UINT length = GetSystemDirectoryW(directory, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::wstring();  // a larger result means "buffer too small"
  const std::wstring path = std::wstring(directory, length) + L"\\kernel32.dll";
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  if (size == 0) return std::wstring();
  std::vector<BYTE> data(size);
  if (!GetFileVersionInfoW(path.c_str(), 0, size, data.data())) return std::wstring();
  void* block = nullptr;
  UINT blockSize = 0;
  if (!VerQueryValueW(data.data(), L"\\", &block, &blockSize) || block == nullptr ||
      blockSize < sizeof(VS_FIXEDFILEINFO)) {
    return std::wstring();
  }
  const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(block);
  return FormatVersion(FourPartVersion(HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
                                       HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS)));
}

}  // namespace

std::wstring ProbeOperatingSystemVersion() {
  std::wstring version;
  try {
    version = Kernel32FileVersion();
  } catch (...) {
    version.clear();  // e.g. no memory for the version resource: the system's own numbers still serve
  }
  if (!version.empty()) return version;
  const OSVERSIONINFOEXW info = VersionRecord();
  return Dec(info.dwMajorVersion) + L"." + Dec(info.dwMinorVersion) + L"." + Dec(info.dwBuildNumber);
}

std::wstring ProbeServicePack() {
  const OSVERSIONINFOEXW info = VersionRecord();
  return Dec(info.wServicePackMajor) + L"." + Dec(info.wServicePackMinor);
}

std::wstring ProbeProductType() { return Dec(VersionRecord().wProductType); }

std::wstring ProbeSuiteMask() { return Dec(VersionRecord().wSuiteMask); }

std::wstring ProbeR2Build() { return Dec(GetSystemMetrics(SM_SERVERR2)); }

std::wstring ProbeArchitecture() {
  SYSTEM_INFO info = {};
  GetNativeSystemInfo(&info);
  return Dec(info.wProcessorArchitecture);
}

std::wstring ProbeIeVersion() {
  std::wstring version;
  RegistryReadString(HKEY_LOCAL_MACHINE, kIeKey, L"Version", version);
  return version;
}

std::wstring ProbeDotNetVersion() {
  const std::wstring ndp = kNdpKey;
  if (!RegistryKeyExists(HKEY_LOCAL_MACHINE, ndp)) return std::wstring();
  std::vector<std::wstring> names;
  if (!RegistryEnumSubKeys(HKEY_LOCAL_MACHINE, ndp, names)) return std::wstring();

  // Sub-keys are named after the framework versions ("v2.0.50727", "v4"); the first of equal versions wins.
  FourPartVersion best(0, 0, -1, -1);
  std::wstring bestPath;
  for (const std::wstring& name : names) {
    if (!StartsWithNoCase(name, L"v")) continue;
    const std::wstring path = ndp + L"\\" + name;
    if (RegistryKeyIsDeprecated(HKEY_LOCAL_MACHINE, path)) continue;
    std::wstring number = name;
    ReplaceAll(number, L"v", L"");
    const FourPartVersion version = ParseVersion(number);
    if (IsGreater(version, best)) {
      best = version;
      bestPath = path;
    }
  }
  if (best.major <= 0) return std::wstring();
  // From version 4 on, the installed profile's version lives in the "Client" sub-key.
  if (best.major > 3) bestPath += L"\\Client";
  std::wstring version;
  if (!RegistryReadString(HKEY_LOCAL_MACHINE, bestPath, L"Version", version)) return std::wstring();
  return version;
}

int32_t IeMajorVersion() {
  const std::wstring version = ProbeIeVersion();
  if (version.empty()) return 0;
  return ParseVersion(version).major;
}

bool IsIeNewerThan7() { return IeMajorVersion() > 7; }

bool IsIeNewerThan6() { return IeMajorVersion() > 6; }

}  // namespace hv
