#include "packets/endpoint.h"

#include <windows.h>

#include <cwctype>

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

std::wstring UrlEncode(const std::wstring& text) {
  static const wchar_t kDigits[] = L"0123456789ABCDEF";
  std::wstring out;
  out.reserve(text.size());
  for (wchar_t unit : text) {
    if (std::iswalnum(unit)) {
      out += unit;
    } else {
      out += L'%';
      out += kDigits[(unit >> 4) & 0xF];
      out += kDigits[unit & 0xF];
    }
  }
  return out;
}

std::wstring CommandUrl(const std::wstring& serviceUrl, const std::wstring& command,
                        const QueryParameters& parameters) {
  std::wstring url = serviceUrl + L"?cmd=" + command;
  for (const auto& [name, value] : parameters) url += L"&" + UrlEncode(name) + L"=" + UrlEncode(value);
  return url;
}

}  // namespace hv
