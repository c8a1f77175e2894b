#include "text.h"

#include <windows.h>

#include <cstdio>

namespace hv {
namespace service {

std::wstring UpperAscii(std::wstring text) {
  for (wchar_t& c : text) {
    if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
  }
  return text;
}

std::string EncodePathSegment(const std::string& text) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
                 c == '_' || c == '~';
    if (plain) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kDigits[c >> 4];
      out += kDigits[c & 0xF];
    }
  }
  return out;
}

std::string UtcTimestamp() {
  SYSTEMTIME t;
  GetSystemTime(&t);
  char buffer[32];
  snprintf(buffer, sizeof buffer, "%04u-%02u-%02uT%02u:%02u:%02uZ", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
           t.wSecond);
  return buffer;
}

std::string LocalClock() {
  SYSTEMTIME t;
  GetLocalTime(&t);
  char buffer[16];
  snprintf(buffer, sizeof buffer, "%02u:%02u:%02u", t.wHour, t.wMinute, t.wSecond);
  return buffer;
}

}  // namespace service
}  // namespace hv
