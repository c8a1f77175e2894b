// Gzip (RFC 1952) decoding of response bodies held in memory: one or more members in a row, each
// deflate-compressed. Platform-free; the file decoder (gzip.h) shares its core.
#pragma once

#include <string>

namespace hv {

// Decodes the whole gzip input and appends the decoded bytes to out. True when at least one member was
// decoded and the input ended there or continued with bytes that do not start a member (signature and
// method 8). False for empty input, a bad first header, data that does not inflate, input cut short inside
// a member, or a trailer whose CRC-32 or length disagrees (corrupted data); out then holds what was decoded
// so far. A member whose input ends right after its deflate data, with no trailer at all, counts as decoded.
bool DecodeGzipBuffer(const std::string& in, std::string& out);

// A gzip-encoded text answer, decoded as DecodeGzipBuffer does (what a failure leaves decoded is kept) and
// cut at its first zero byte, unless the text is UTF-16 (it starts with a byte order mark), where zero
// bytes belong to the characters.
std::string DecodeGzipText(const std::string& in);

}  // namespace hv
