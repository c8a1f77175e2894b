// Where the distribution service lives and whether gzip answers are wanted: fixed defaults that the
// registry key HKLM\SOFTWARE\Halvorn\Trellin can override, read afresh on every call. How its command URLs
// are spelled: command_url.h.
#pragma once

#include <string>

#include "packets/command_url.h"

namespace hv {

// The default service URLs: an address under a reserved top-level domain, so that an unconfigured
// library never sends data to a stranger's host.
std::wstring DefaultServiceUrl(bool secure);

// "S_URL" (secure) or "URL" (plain): from the wrapper library's sub-key when it has the value, else from
// the main key, else the default. Throws only on allocation failure.
std::wstring GetServiceUrl(bool secure, const std::wstring& wrapperName);

// True when "DisableEncoding" in the main key reads as true ("true" in any case, or "1").
bool IsEncodingDisabled();

}  // namespace hv
