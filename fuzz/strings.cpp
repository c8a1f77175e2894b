// The number and text helpers that read untrusted text (support/strings.h): lengths, sizes and range
// numbers, encodings, URLs, element texts. The input is three lines: a text, a needle and a replacement.
// Checks, against plain reference readings: ParseUInt64 takes exactly a decimal number or zeros, "x" and
// hexadecimal digits, saturating, and keeps the default otherwise; the numbers it reads are written out by
// DecU64, Dec and Hex so that it reads them back; ParseBool, EqualsNoCase, StartsWithNoCase and FindNoCase
// fold ASCII letters only; ReplaceAll never rescans what it inserted, and ReplaceAllNoCase does as ReplaceAll
// for the separators it is used with.
#include <cstdint>
#include <limits>
#include <string>

#include "fuzz_support.h"
#include "support/strings.h"

namespace {

bool Digit(wchar_t c) { return c >= L'0' && c <= L'9'; }

int HexDigit(wchar_t c) {
  if (Digit(c)) return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

// The number the text spells, saturating at UINT64_MAX; false when it is none: a decimal number is digits
// only, a hexadecimal one is one or more zeros, "x" or "X", then hexadecimal digits (none included).
bool ReferenceNumber(const std::wstring& text, uint64_t& value) {
  size_t zeros = 0;
  while (zeros < text.size() && text[zeros] == L'0') ++zeros;
  size_t from = 0;
  int radix = 10;
  if (zeros > 0 && zeros < text.size() && (text[zeros] == L'x' || text[zeros] == L'X')) {
    radix = 16;
    from = zeros + 1;
  } else if (text.empty()) {
    return false;
  }
  value = 0;
  bool saturated = false;
  for (size_t i = from; i < text.size(); ++i) {
    const int digit = radix == 16 ? HexDigit(text[i]) : (Digit(text[i]) ? text[i] - L'0' : -1);
    if (digit < 0) return false;
    const unsigned __int128 next =
        static_cast<unsigned __int128>(value) * static_cast<unsigned>(radix) + static_cast<unsigned>(digit);
    if (saturated || next > std::numeric_limits<uint64_t>::max()) {
      saturated = true;
    } else {
      value = static_cast<uint64_t>(next);
    }
  }
  if (saturated) value = std::numeric_limits<uint64_t>::max();
  return true;
}

// Non-overlapping, left to right, never looking into what was inserted.
std::wstring ReferenceReplaced(const std::wstring& text, const std::wstring& search, const std::wstring& with) {
  if (search.empty()) return text;
  std::wstring out;
  size_t i = 0;
  while (i < text.size()) {
    if (text.compare(i, search.size(), search) == 0) {
      out += with;
      i += search.size();
    } else {
      out += text[i++];
    }
  }
  return out;
}

ptrdiff_t ReferenceFind(const std::wstring& text, const std::wstring& needle, size_t start) {
  const std::wstring lowerText = hvfuzz::AsciiLower(text), lowerNeedle = hvfuzz::AsciiLower(needle);
  for (size_t i = start; i + needle.size() <= text.size(); ++i) {
    if (lowerText.compare(i, needle.size(), lowerNeedle) == 0) return static_cast<ptrdiff_t>(i);
  }
  return -1;
}

void CheckNumbers(const std::wstring& text) {
  uint64_t value = 0, expected = 0;
  const bool number = hv::ParseUInt64(text, value, 12345);
  FUZZ_CHECK(number == ReferenceNumber(text, expected));
  FUZZ_CHECK(value == (number ? expected : 12345));

  uint64_t again = 0;
  FUZZ_CHECK(hv::ParseUInt64(hv::DecU64(value), again, 0) && again == value);
  const auto low = static_cast<uint32_t>(value);
  FUZZ_CHECK(hv::ParseUInt64(hv::Hex(low), again, 0) && again == low);
  const auto signedValue = static_cast<int64_t>(value);
  const std::wstring dec = hv::Dec(signedValue);
  FUZZ_CHECK((dec[0] == L'-') == (signedValue < 0));
  FUZZ_CHECK(hv::ParseUInt64(dec.substr(signedValue < 0 ? 1 : 0), again, 0));
  FUZZ_CHECK(again == (signedValue < 0 ? 0 - value : value));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto fields = hvfuzz::Fields(data, size, 3);
  const std::wstring text = hvfuzz::Units(fields[0]);
  const std::wstring needle = hvfuzz::Units(fields[1]);
  const std::wstring replacement = hvfuzz::Units(fields[2]);

  CheckNumbers(text);
  FUZZ_CHECK(hv::ParseBool(text) == (hvfuzz::AsciiLower(text) == L"true" || text == L"1"));
  FUZZ_CHECK(hv::EqualsNoCase(text, needle) == (hvfuzz::AsciiLower(text) == hvfuzz::AsciiLower(needle)));
  FUZZ_CHECK(hv::StartsWithNoCase(text, needle) == (ReferenceFind(text.substr(0, needle.size()), needle, 0) == 0));
  const size_t start = replacement.size() % (text.size() + 2);
  FUZZ_CHECK(hv::FindNoCase(text, needle, start) == ReferenceFind(text, needle, start));
  std::wstring upper = text;
  hv::ToUpper(upper);
  FUZZ_CHECK(hvfuzz::AsciiLower(upper) == hvfuzz::AsciiLower(text) && hv::EqualsNoCase(upper, text));

  std::wstring replaced = text;
  hv::ReplaceAll(replaced, needle, replacement);
  FUZZ_CHECK(replaced == ReferenceReplaced(text, needle, replacement));
  std::wstring path = text;
  hv::ReplaceAllNoCase(path, L"/", L"\\");
  FUZZ_CHECK(path == ReferenceReplaced(text, L"/", L"\\"));
  return 0;
}
