#include "packets/command_url.h"

#include <cwctype>

namespace hv {

std::wstring UrlEncode(const std::wstring& text) {
  static const wchar_t kDigits[] = L"0123456789ABCDEF";
  std::wstring out;
  out.reserve(text.size());
  for (wchar_t unit : text) {
    if (std::iswalnum(static_cast<wint_t>(unit))) {
      out += unit;
    } else {
      out += L'%';
      out += kDigits[(unit >> 4) & 0xF];
      out += kDigits[unit & 0xF];
    }
  }
  return out;
}

std::wstring CommandUrl(const std::wstring& serviceUrl, const std::wstring& command,
                        const QueryParameters& parameters) {
  std::wstring url = serviceUrl + L"?cmd=" + command;
  for (const auto& [name, value] : parameters) url += L"&" + UrlEncode(name) + L"=" + UrlEncode(value);
  return url;
}

}  // namespace hv
