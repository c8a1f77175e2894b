// UTF-8 and UTF-16 conversions for the tools (pelk and hvservice), which talk UTF-8 on their consoles,
// in files and in URLs, and UTF-16 to Windows. Header only; shared by the tools, not by the library.
#pragma once

#include <windows.h>

#include <string>

namespace hvtools {

// Strict UTF-8 to UTF-16; false (out emptied) when the bytes are not valid UTF-8. Empty input is valid.
inline bool Utf8ToWide(const std::string& bytes, std::wstring& out) {
  out.clear();
  if (bytes.empty()) return true;
  const int length = static_cast<int>(bytes.size());
  const int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), length, nullptr, 0);
  if (units <= 0) return false;
  out.resize(static_cast<size_t>(units));
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), length, &out[0], units);
  return true;
}

// UTF-16 to UTF-8; unpaired surrogates become U+FFFD.
inline std::string WideToUtf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int length = static_cast<int>(text.size());
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return std::string();
  std::string out(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), length, &out[0], bytes, nullptr, nullptr);
  return out;
}

}  // namespace hvtools
