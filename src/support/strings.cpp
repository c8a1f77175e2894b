#include "support/strings.h"

#include <limits>

namespace hv {
namespace {

wchar_t UpperAscii(wchar_t c) { return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - 32) : c; }

bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

int HexDigitValue(wchar_t c) {
  if (IsDigit(c)) return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

// 10 or 16 when the text is a decimal or 0x-prefixed hexadecimal number, 0 when it is not a number.
int DetectRadix(const std::wstring& text) {
  if (text.empty()) return 0;
  int radix = 10;
  bool leadingZero = false;
  bool significant = false;
  for (wchar_t c : text) {
    if ((c >= L'A' && c <= L'F') || (c >= L'a' && c <= L'f')) {
      if (radix != 16) return 0;
      significant = true;
    } else if (c == L'x' || c == L'X') {
      if (!leadingZero || radix != 10 || significant) return 0;
      radix = 16;
    } else if (IsDigit(c)) {
      if (c == L'0' && !significant && radix == 10) {
        leadingZero = true;
      } else {
        significant = true;
      }
    } else {
      return 0;
    }
  }
  return radix;
}

}  // namespace

// Written by hand: std::to_wstring goes through the C runtime's wide printf, which the DLL would carry for
// this alone.
std::wstring DecU64(uint64_t value) {
  std::wstring digits;
  do {
    digits.insert(digits.begin(), static_cast<wchar_t>(L'0' + value % 10));
    value /= 10;
  } while (value != 0);
  return digits;
}

std::wstring Dec(int64_t value) {
  if (value >= 0) return DecU64(static_cast<uint64_t>(value));
  return L"-" + DecU64(0 - static_cast<uint64_t>(value));
}

std::wstring Hex(uint32_t value) {
  static const wchar_t kDigits[] = L"0123456789ABCDEF";
  std::wstring digits;
  do {
    digits.insert(digits.begin(), kDigits[value & 0xF]);
    value >>= 4;
  } while (value != 0);
  return L"0x" + digits;
}

bool ParseUInt64(const std::wstring& text, uint64_t& out, uint64_t def) {
  out = def;
  const int radix = DetectRadix(text);
  if (radix == 0) return false;
  size_t i = 0;
  if (radix == 16) i = text.find_first_of(L"xX") + 1;
  const uint64_t kMax = std::numeric_limits<uint64_t>::max();
  uint64_t value = 0;
  for (; i < text.size(); ++i) {
    const uint64_t digit = static_cast<uint64_t>(HexDigitValue(text[i]));
    if (value > (kMax - digit) / static_cast<uint64_t>(radix)) {
      value = kMax;
      break;
    }
    value = value * static_cast<uint64_t>(radix) + digit;
  }
  out = value;
  return true;
}

bool ParseBool(const std::wstring& text) { return EqualsNoCase(text, L"true") || text == L"1"; }

bool EqualsNoCase(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (UpperAscii(a[i]) != UpperAscii(b[i])) return false;
  }
  return true;
}

bool StartsWithNoCase(const std::wstring& text, const std::wstring& prefix) {
  if (text.size() < prefix.size()) return false;
  return EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

ptrdiff_t FindNoCase(const std::wstring& text, const std::wstring& needle, size_t start) {
  std::wstring haystack = text;
  std::wstring upperNeedle = needle;
  ToUpper(haystack);
  ToUpper(upperNeedle);
  const size_t pos = haystack.find(upperNeedle, start);
  return pos == std::wstring::npos ? -1 : static_cast<ptrdiff_t>(pos);
}

void ToUpper(std::wstring& text) {
  for (wchar_t& c : text) c = UpperAscii(c);
}

void ReplaceAll(std::wstring& text, const std::wstring& search, const std::wstring& replacement) {
  if (search.empty()) return;
  size_t pos = 0;
  while ((pos = text.find(search, pos)) != std::wstring::npos) {
    text.replace(pos, search.size(), replacement);
    pos += replacement.size();
  }
}

void ReplaceAllNoCase(std::wstring& text, const std::wstring& search, const std::wstring& replacement) {
  if (search.empty()) return;
  ptrdiff_t pos;
  while ((pos = FindNoCase(text, search, 0)) >= 0) {
    text.replace(static_cast<size_t>(pos), search.size(), replacement);
  }
}

}  // namespace hv
