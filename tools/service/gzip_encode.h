// Gzip encoding of answers and of downloads the client accepts compressed.
#pragma once

#include <string>

namespace hv {
namespace service {

// One gzip member (RFC 1952) holding the data, with modification time 0, so the same input always
// gives the same bytes. Empty input gives a valid member of empty content; never fails except on
// allocation failure.
std::string GzipEncode(const std::string& data);

// True when an Accept-Encoding header value accepts gzip: a "gzip" (or "*") token, any letter case,
// without "q=0".
bool AcceptsGzip(const std::string& acceptEncoding);

}  // namespace service
}  // namespace hv
