// Gzip (RFC 1952) decoding of response bodies: one or more members in a row, each deflate-compressed.
#pragma once

#include <string>

namespace hv {

// Decodes the whole gzip input and appends the decoded bytes to out. True when at least one member was
// decoded and the input ended there or continued with bytes that are no member; false when the input
// fails before the first member is complete (out then holds what was decoded so far).
bool DecodeGzipBuffer(const std::string& in, std::string& out);

// Decodes the source file into the destination file (created or replaced), streaming in constant memory.
// Same success rule as DecodeGzipBuffer; on failure the destination is removed and the source is kept.
bool DecodeGzipFile(const std::wstring& source, const std::wstring& destination);

}  // namespace hv
