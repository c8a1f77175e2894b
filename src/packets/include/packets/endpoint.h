// Where the distribution service lives, how its command URLs are spelled, and whether gzip answers are
// wanted: fixed defaults that the registry key HKLM\SOFTWARE\Halvorn\Trellin can override, read afresh on
// every call.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace hv {

// The default service URLs: an address under a reserved top-level domain, so that an unconfigured
// library never sends data to a stranger's host.
std::wstring DefaultServiceUrl(bool secure);

// "S_URL" (secure) or "URL" (plain): from the wrapper library's sub-key when it has the value, else from
// the main key, else the default. Throws only on allocation failure.
std::wstring GetServiceUrl(bool secure, const std::wstring& wrapperName);

// True when "DisableEncoding" in the main key reads as true ("true" in any case, or "1").
bool IsEncodingDisabled();

// Each UTF-16 code unit that iswalnum accepts is kept; any other becomes "%" and two upper-case hex
// digits of its low 8 bits (the high 8 bits are dropped: U+2013 gives "%13").
std::wstring UrlEncode(const std::wstring& text);

// The service URL of a command: serviceUrl + "?cmd=" + command, then "&name=value" for each parameter,
// both URL-encoded. The command is taken as it is.
using QueryParameters = std::vector<std::pair<std::wstring, std::wstring>>;
std::wstring CommandUrl(const std::wstring& serviceUrl, const std::wstring& command,
                        const QueryParameters& parameters);

}  // namespace hv
