// Four-part version strings (support/version.h), as the registry and the probes deliver them. The input is
// two lines, two versions.
// Checks: in ASCII, each part reads as "%d" does (blanks, one sign, digits), saturating at the 32-bit
// limits as the C runtime of the shipped DLL does, up to the first part that is no number or separator that
// is no dot; a version written out reads back as the same version (an absent build drops the revision);
// IsGreater is a strict order: never a version over itself, never both ways.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>

#include "fuzz_support.h"
#include "support/version.h"

namespace {

hv::FourPartVersion ReferenceVersion(const std::wstring& text) {
  int32_t parts[4] = {-1, -1, -1, -1};
  size_t i = 0;
  for (int32_t& part : parts) {
    size_t j = i;
    while (j < text.size() && (text[j] == L' ' || (text[j] >= L'\t' && text[j] <= L'\r'))) ++j;
    bool negative = false;
    if (j < text.size() && (text[j] == L'+' || text[j] == L'-')) negative = text[j++] == L'-';
    const size_t digits = j;
    int64_t value = 0;
    for (; j < text.size() && text[j] >= L'0' && text[j] <= L'9'; ++j) {
      value = std::min<int64_t>(value * 10 + (text[j] - L'0'), int64_t{1} << 40);
    }
    if (j == digits) break;
    if (negative) value = -value;
    part = static_cast<int32_t>(
        std::clamp<int64_t>(value, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
    if (j >= text.size() || text[j] != L'.') break;
    i = j + 1;
  }
  return hv::FourPartVersion(parts[0], parts[1], parts[2], parts[3]);
}

bool Same(const hv::FourPartVersion& a, const hv::FourPartVersion& b) {
  return a.major == b.major && a.minor == b.minor && a.build == b.build && a.revision == b.revision;
}

void Check(const std::wstring& text) {
  const hv::FourPartVersion version = hv::ParseVersion(text);
  if (hvfuzz::IsAscii(text)) FUZZ_CHECK(Same(version, ReferenceVersion(text)));
  hv::FourPartVersion written = version;
  if (written.build < 0) written.build = written.revision = -1;
  if (written.revision < 0) written.revision = -1;
  FUZZ_CHECK(Same(hv::ParseVersion(hv::FormatVersion(version)), written));
  FUZZ_CHECK(!hv::IsGreater(version, version));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto fields = hvfuzz::Fields(data, size, 2);
  const std::wstring a = hvfuzz::Units(fields[0]), b = hvfuzz::Units(fields[1]);
  Check(a);
  Check(b);
  FUZZ_CHECK(!(hv::IsGreater(hv::ParseVersion(a), hv::ParseVersion(b)) &&
               hv::IsGreater(hv::ParseVersion(b), hv::ParseVersion(a))));
  return 0;
}
