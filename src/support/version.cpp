#include "support/version.h"

#include <algorithm>
#include <cwchar>
#include <limits>

#include "support/strings.h"

namespace hv {

FourPartVersion ParseVersion(const std::wstring& text) {
  FourPartVersion version;
  int32_t parts[4] = {-1, -1, -1, -1};
  // Read as swscanf reads "%d.%d.%d.%d" (a part may follow blanks and carry a sign), stopping at the first
  // part that is no number or separator that is no dot. wcstol rather than swscanf: the runtime's scanf is
  // a fifth of the DLL's C library code.
  const wchar_t* cursor = text.c_str();
  for (int32_t& part : parts) {
    wchar_t* end = nullptr;
    const long value = std::wcstol(cursor, &end, 10);
    if (end == cursor) break;
    // Saturated to 32 bits as wcstol does where long has 32 (Windows); where long is wider, a cast alone
    // would keep only the low bits ("4294967296" would read as 0).
    part = static_cast<int32_t>(
        std::clamp<long>(value, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
    if (*end != L'.') break;
    cursor = end + 1;
  }
  version.major = parts[0];
  version.minor = parts[1];
  version.build = parts[2];
  version.revision = parts[3];
  return version;
}

std::wstring FormatVersion(const FourPartVersion& v) {
  std::wstring text = Dec(v.major) + L"." + Dec(v.minor);
  if (v.build < 0) return text;
  text += L"." + Dec(v.build);
  if (v.revision >= 0) text += L"." + Dec(v.revision);
  return text;
}

bool IsGreater(const FourPartVersion& a, const FourPartVersion& b) {
  if (a.major != b.major) return a.major > b.major;
  if (a.minor != b.minor) return a.minor > b.minor;
  // Equal builds as stored: an absent revision counts as 0. Different builds (even 0 against absent):
  // compare the builds with absent as 0 and ignore the revisions.
  if (a.build == b.build) return std::max(a.revision, 0) > std::max(b.revision, 0);
  return std::max(a.build, 0) > std::max(b.build, 0);
}

}  // namespace hv
