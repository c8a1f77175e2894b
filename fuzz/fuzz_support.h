// What the fuzz targets share: the input read as text of UTF-16 code units or as lines, text as the bytes of
// a wire body, the status table, and the check that fails a run (libFuzzer then keeps the input).
//
// Text and wchar_t: the library holds text as std::wstring, 2-byte UTF-16 code units under mingw and 4-byte
// units in this native build. The targets give the parsers the same units as on Windows: Units() makes every
// code unit a value of 0 to 0xFFFF (a character above U+FFFF a surrogate pair, a lone surrogate a unit of its
// own), so the text helpers, number and range readers see what they would see there. Response bodies are
// bytes either way; pugixml (PUGIXML_WCHAR_MODE in both builds) turns them into the platform's wide text, so
// a document read here holds UTF-32 where Windows holds UTF-16. WideBytes() writes text back as the library
// sends a packet: the units' own bytes after a byte order mark, UTF-16LE there and UTF-32LE here, which
// pugixml detects by that mark on either platform.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <hvpelk/exports.h>

// Stops the run with the input kept as a crash, naming the check that failed.
#define FUZZ_CHECK(condition) ((condition) ? static_cast<void>(0) : hvfuzz::Fail(#condition, __FILE__, __LINE__))

namespace hvfuzz {

[[noreturn]] inline void Fail(const char* what, const char* file, int line) {
  std::fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", what, file, line);
  std::abort();
}

// The bytes as UTF-16 code units, one wchar_t each: a valid UTF-8 sequence gives its character (a
// surrogate code point encoded in three bytes included), any other byte the unit of its own value. Plain
// text reads as itself, and every sequence of 16-bit units has an input.
inline std::wstring Units(const std::string& bytes) {
  std::wstring text;
  const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t size = bytes.size();
  auto continuation = [&](size_t at) { return at < size && (in[at] & 0xC0) == 0x80; };
  for (size_t i = 0; i < size;) {
    const unsigned char lead = in[i];
    if (lead >= 0xC2 && lead <= 0xDF && continuation(i + 1)) {
      text += static_cast<wchar_t>(((lead & 0x1F) << 6) | (in[i + 1] & 0x3F));
      i += 2;
    } else if (lead >= 0xE0 && lead <= 0xEF && continuation(i + 1) && continuation(i + 2) &&
               (lead != 0xE0 || in[i + 1] >= 0xA0)) {
      text += static_cast<wchar_t>(((lead & 0x0F) << 12) | ((in[i + 1] & 0x3F) << 6) | (in[i + 2] & 0x3F));
      i += 3;
    } else if (lead >= 0xF0 && lead <= 0xF4 && continuation(i + 1) && continuation(i + 2) && continuation(i + 3) &&
               (lead != 0xF0 || in[i + 1] >= 0x90) && (lead != 0xF4 || in[i + 1] < 0x90)) {
      const uint32_t point = (static_cast<uint32_t>(lead & 0x07) << 18) | ((in[i + 1] & 0x3Fu) << 12) |
                             ((in[i + 2] & 0x3Fu) << 6) | (in[i + 3] & 0x3Fu);
      text += static_cast<wchar_t>(0xD800 + ((point - 0x10000) >> 10));
      text += static_cast<wchar_t>(0xDC00 + ((point - 0x10000) & 0x3FF));
      i += 4;
    } else {
      text += static_cast<wchar_t>(lead);
      i += 1;
    }
  }
  return text;
}

// The input split at LF into count fields; the last keeps the rest, missing ones are empty.
inline std::vector<std::string> Fields(const uint8_t* data, size_t size, size_t count) {
  std::vector<std::string> fields;
  const std::string input(reinterpret_cast<const char*>(data), size);
  size_t from = 0;
  while (fields.size() + 1 < count) {
    const size_t end = input.find('\n', from);
    if (end == std::string::npos) break;
    fields.push_back(input.substr(from, end - from));
    from = end + 1;
  }
  fields.push_back(from <= input.size() ? input.substr(from) : std::string());
  fields.resize(count);
  return fields;
}

// The text's wchar_t units as they lie in memory: the bytes of a packet body the library sends.
inline std::string WideBytes(const std::wstring& text) {
  std::string bytes(text.size() * sizeof(wchar_t), '\0');
  if (!text.empty()) std::memcpy(&bytes[0], text.data(), bytes.size());
  return bytes;
}

// True for a code of the public status table.
inline bool IsTableStatus(int32_t code) {
  switch (code) {
#define HVFUZZ_STATUS_CASE(name, value, meaning) case name:
    PELK_STATUS_TABLE(HVFUZZ_STATUS_CASE)
#undef HVFUZZ_STATUS_CASE
    return true;
    default: return false;
  }
}

// Only ASCII letters folded, as the library's comparisons do.
inline std::wstring AsciiLower(std::wstring text) {
  for (wchar_t& c : text) {
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c + 32);
  }
  return text;
}

inline bool IsAscii(const std::wstring& text) {
  for (wchar_t c : text) {
    if (c < 0 || c > 0x7F) return false;
  }
  return true;
}

}  // namespace hvfuzz
