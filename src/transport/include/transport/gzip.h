// Gzip (RFC 1952) decoding of response bodies: one or more members in a row, each deflate-compressed.
#pragma once

#include <string>

namespace hv {

// Decodes the whole gzip input and appends the decoded bytes to out. True when at least one member was
// decoded and the input ended there or continued with bytes that do not start a member (signature and
// method 8). False for empty input, a bad first header, data that does not inflate, input cut short inside
// a member, or a trailer whose CRC-32 or length disagrees (corrupted data); out then holds what was decoded
// so far. A member whose input ends right after its deflate data, with no trailer at all, counts as decoded.
bool DecodeGzipBuffer(const std::string& in, std::string& out);

// Decodes the source file into the destination file (created or replaced), streaming in constant memory.
// Same success rule as DecodeGzipBuffer, plus read and write errors; on failure the source is kept and a
// destination this call created is removed (one it could not create, e.g. the source itself, is untouched).
bool DecodeGzipFile(const std::wstring& source, const std::wstring& destination);

}  // namespace hv
