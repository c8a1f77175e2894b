#include "packets/endpoint.h"

#include <windows.h>

#include "support/registry.h"
#include "support/strings.h"

namespace hv {
namespace {

// The compiled-in service host. It lies under the reserved ".invalid" top-level domain, so it never
// resolves: a machine must name the real service in the registry.
constexpr wchar_t kDefaultHost[] = L"distribution.hvpelk.invalid";
constexpr wchar_t kServicePath[] = L"/hvtr/trellin";

std::wstring ServiceKeyPath() { return MakerKeyPath(L"Trellin"); }

}  // namespace

std::wstring DefaultServiceUrl(bool secure) {
  return std::wstring(secure ? L"https://" : L"http://") + kDefaultHost + kServicePath;
}

std::wstring GetServiceUrl(bool secure, const std::wstring& wrapperName) {
  std::wstring url = DefaultServiceUrl(secure);
  const wchar_t* valueName = secure ? L"S_URL" : L"URL";
  const std::wstring mainKey = ServiceKeyPath();
  const std::wstring wrapperKey = mainKey + L"\\" + wrapperName;
  if (!wrapperName.empty() && RegistryValueExists(HKEY_LOCAL_MACHINE, wrapperKey, valueName)) {
    RegistryReadString(HKEY_LOCAL_MACHINE, wrapperKey, valueName, url);
  } else {
    RegistryReadString(HKEY_LOCAL_MACHINE, mainKey, valueName, url);
  }
  return url;
}

bool IsEncodingDisabled() {
  std::wstring text;
  RegistryReadString(HKEY_LOCAL_MACHINE, ServiceKeyPath(), L"DisableEncoding", text);
  return ParseBool(text);
}

}  // namespace hv
