#include "support/version.h"

#include <algorithm>
#include <cstdio>

namespace hv {

FourPartVersion ParseVersion(const std::wstring& text) {
  FourPartVersion version;
  int parts[4] = {-1, -1, -1, -1};
  // swscanf fills the parts it could read, in order, and stops at the first mismatch.
  swscanf(text.c_str(), L"%d.%d.%d.%d", &parts[0], &parts[1], &parts[2], &parts[3]);
  version.major = parts[0];
  version.minor = parts[1];
  version.build = parts[2];
  version.revision = parts[3];
  return version;
}

std::wstring FormatVersion(const FourPartVersion& v) {
  wchar_t buffer[255] = {};
  if (v.build < 0) {
    swprintf(buffer, 255, L"%d.%d", v.major, v.minor);
  } else if (v.revision < 0) {
    swprintf(buffer, 255, L"%d.%d.%d", v.major, v.minor, v.build);
  } else {
    swprintf(buffer, 255, L"%d.%d.%d.%d", v.major, v.minor, v.build, v.revision);
  }
  return buffer;
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
