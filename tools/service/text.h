// Text conversions at the service's edges: UTF-8 for files, URLs and the console, UTF-16 inside.
#pragma once

#include <string>

#include "utf8.h"

namespace hv {
namespace service {

using hvtools::Utf8ToWide;
using hvtools::WideToUtf8;

// The text with a-z upper-cased and every other code unit kept: the service's comparisons ignore
// ASCII case only.
std::wstring UpperAscii(std::wstring text);

// Percent-encodes every byte of the UTF-8 text outside A-Z a-z 0-9 and "-._~", for one URL path segment.
std::string EncodePathSegment(const std::string& text);

// Current time as "2024-05-01T12:30:45Z" (UTC) or "12:30:45" (local), for answers and console lines.
std::string UtcTimestamp();
std::string LocalClock();

}  // namespace service
}  // namespace hv
