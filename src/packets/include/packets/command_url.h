// How the service's command URLs are spelled. Platform-free: the native fuzz build (fuzz/) compiles it as
// it is.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace hv {

// Each UTF-16 code unit that iswalnum accepts is kept; any other becomes "%" and two upper-case hex
// digits of its low 8 bits (the high 8 bits are dropped: U+2013 gives "%13").
std::wstring UrlEncode(const std::wstring& text);

// The service URL of a command: serviceUrl + "?cmd=" + command, then "&name=value" for each parameter,
// both URL-encoded. The command is taken as it is.
using QueryParameters = std::vector<std::pair<std::wstring, std::wstring>>;
std::wstring CommandUrl(const std::wstring& serviceUrl, const std::wstring& command, const QueryParameters& parameters);

}  // namespace hv
