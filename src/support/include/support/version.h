// Four-part dotted versions (major.minor.build.revision); -1 marks an absent part.
#pragma once

#include <cstdint>
#include <string>

namespace hv {

// This library's own version, as its packets and its user agent carry it.
inline const wchar_t kCoreLibraryVersion[] = L"14.0.0";

struct FourPartVersion {
  int32_t major = -1;
  int32_t minor = -1;
  int32_t build = -1;
  int32_t revision = -1;

  FourPartVersion() = default;
  FourPartVersion(int32_t major_, int32_t minor_, int32_t build_, int32_t revision_)
      : major(major_), minor(minor_), build(build_), revision(revision_) {}
};

// Scans "%d.%d.%d.%d"; parts not read stay absent. Empty or non-numeric text gives all parts absent.
FourPartVersion ParseVersion(const std::wstring& text);
// "major.minor", plus ".build" when present, plus ".revision" when build and revision are present.
std::wstring FormatVersion(const FourPartVersion& version);
// True when a is newer than b; absent build or revision count as 0 (see the .cpp for the exact rule).
bool IsGreater(const FourPartVersion& a, const FourPartVersion& b);

}  // namespace hv
