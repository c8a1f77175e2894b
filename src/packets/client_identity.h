// Who is calling: the application, the wrapper library it calls through, and this library itself.
#pragma once

#include <cstdint>
#include <string>

#include <hvpelk/version.h>

namespace hv {

// This library's own module name and version, as written into packets.
inline const wchar_t kCoreLibraryName[] = L"hvpelk";
inline const wchar_t kCoreLibraryVersion[] = L"" HVPELK_VERSION_TEXT;

struct ClientIdentity {
  std::wstring appName;
  std::wstring appVersion;
  std::wstring reserved;       // unused; kept for the record's fixed layout
  int32_t reservedNumber = -1;  // unused; kept for the record's fixed layout
  std::wstring wrapperName;
  std::wstring wrapperVersion;
  std::wstring coreName = kCoreLibraryName;
  std::wstring coreVersion = kCoreLibraryVersion;
};

}  // namespace hv
