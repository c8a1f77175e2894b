// Text and number helpers. All text inside the library is UTF-16 (std::wstring); the empty string stands
// for absent data. None of these functions throws except on allocation failure, and none keeps state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace hv {

// Numbers for log lines and wire values.
std::wstring Dec(int64_t value);
std::wstring DecU64(uint64_t value);
std::wstring Hex(uint32_t value);  // "0x" + upper-case digits, no leading zeros ("0xFFFFFFFF" for -1)

// A decimal or 0x-prefixed hexadecimal number (no signs, blanks or stray letters): stores def in out, then
// the parsed value (saturating at UINT64_MAX) when the text is a number, and returns whether it was.
bool ParseUInt64(const std::wstring& text, uint64_t& out, uint64_t def);
// True for "true" in any letter case and for "1"; false for anything else, empty included.
bool ParseBool(const std::wstring& text);

// Only A-Z and a-z are folded; every other code unit must match exactly.
bool EqualsNoCase(const std::wstring& a, const std::wstring& b);
bool StartsWithNoCase(const std::wstring& text, const std::wstring& prefix);
// Position of needle in text at or after start, ignoring ASCII case; -1 when absent.
ptrdiff_t FindNoCase(const std::wstring& text, const std::wstring& needle, size_t start = 0);
void ToUpper(std::wstring& text);
// Replaces every occurrence; inserted text is never searched again. An empty search string does nothing.
void ReplaceAll(std::wstring& text, const std::wstring& search, const std::wstring& replacement);
// Case-insensitive; restarts from the beginning after each replacement, so the replacement must not
// contain the search string.
void ReplaceAllNoCase(std::wstring& text, const std::wstring& search, const std::wstring& replacement);

}  // namespace hv
