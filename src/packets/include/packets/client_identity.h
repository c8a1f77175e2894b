// Who is calling: the application and the wrapper library it calls through, as the packets' "client"
// block and the user agent name them, next to this library itself.
#pragma once

#include <string>

#include "support/version.h"

namespace hv {

// This library's own module name, as written into packets.
inline const wchar_t kCoreLibraryName[] = L"hvpelk";

struct ClientIdentity {
  std::wstring appName;
  std::wstring appVersion;
  std::wstring wrapperName;
  std::wstring wrapperVersion;
};

// "name version" for the user agent; empty (no token) when both are empty.
inline std::wstring UserAgentToken(const std::wstring& name, const std::wstring& version) {
  return name.empty() && version.empty() ? std::wstring() : name + L" " + version;
}

}  // namespace hv
