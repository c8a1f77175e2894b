// URL handling (packets/command_url.h, and the secure-URL rule of the transport): the input is lines, a
// service URL, a command, then parameter names and values in turn.
// Checks: an encoded text holds only the units iswalnum keeps and "%" with two upper-case hexadecimal
// digits of a unit's low 8 bits, in order, so no parameter can add a separator ("&", "=", "#", "?") or a
// blank to the URL; a command URL is the service URL, "?cmd=", the command, and one "&name=value" per
// parameter that splits back into the parameters; a URL is secure exactly when it holds "https://" in any
// letter case (IsSecureUrl in http_session.cpp is this FindNoCase call and the session's log tag).
#include <cwctype>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "packets/command_url.h"
#include "support/strings.h"

namespace {

constexpr wchar_t kHexDigits[] = L"0123456789ABCDEF";

// Reads an encoded text back into the units it stands for (the low 8 bits of each escaped one).
void CheckEncoded(const std::wstring& text, const std::wstring& encoded) {
  size_t at = 0;
  for (wchar_t unit : text) {
    FUZZ_CHECK(at < encoded.size());
    if (std::iswalnum(static_cast<wint_t>(unit))) {
      FUZZ_CHECK(encoded[at] == unit);
      at += 1;
    } else {
      const auto low = static_cast<uint32_t>(unit) & 0xFF;
      FUZZ_CHECK(encoded.compare(at, 3, std::wstring{L'%', kHexDigits[low >> 4], kHexDigits[low & 0xF]}) == 0);
      at += 3;
    }
  }
  FUZZ_CHECK(at == encoded.size());
  for (wchar_t c : encoded) FUZZ_CHECK(c != L'&' && c != L'=' && c != L'#' && c != L'?' && c != L' ');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto fields = hvfuzz::Fields(data, size, 8);
  const std::wstring url = hvfuzz::Units(fields[0]);
  const std::wstring command = hvfuzz::Units(fields[1]);
  hv::QueryParameters parameters;
  for (size_t i = 2; i + 1 < fields.size(); i += 2) {
    if (fields[i].empty() && fields[i + 1].empty()) break;
    parameters.emplace_back(hvfuzz::Units(fields[i]), hvfuzz::Units(fields[i + 1]));
  }

  for (const auto& [name, value] : parameters) {
    CheckEncoded(name, hv::UrlEncode(name));
    CheckEncoded(value, hv::UrlEncode(value));
  }
  const std::wstring full = hv::CommandUrl(url, command, parameters);
  const std::wstring head = url + L"?cmd=" + command;
  FUZZ_CHECK(full.compare(0, head.size(), head) == 0);
  std::wstring rest = full.substr(head.size());
  for (const auto& [name, value] : parameters) {
    FUZZ_CHECK(!rest.empty() && rest[0] == L'&');
    const size_t end = rest.find(L'&', 1);
    const std::wstring pair = rest.substr(1, end == std::wstring::npos ? std::wstring::npos : end - 1);
    const size_t equals = pair.find(L'=');
    FUZZ_CHECK(equals != std::wstring::npos && pair.find(L'=', equals + 1) == std::wstring::npos);
    CheckEncoded(name, pair.substr(0, equals));
    CheckEncoded(value, pair.substr(equals + 1));
    rest = end == std::wstring::npos ? std::wstring() : rest.substr(end);
  }
  FUZZ_CHECK(rest.empty());

  const bool secure = hv::FindNoCase(url, L"https://") >= 0;
  FUZZ_CHECK(secure == (hvfuzz::AsciiLower(url).find(L"https://") != std::wstring::npos));
  return 0;
}
