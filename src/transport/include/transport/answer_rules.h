// What the headers of an HTTP answer say, and the rules the library reads them by: the Content-Length,
// the Content-Range of a partial or refused answer, the content encoding, and what an HTTP status fails
// with. Platform-free: the values come as text and numbers (http_answer.h reads them off WinINet).
#pragma once

#include <cstdint>
#include <string>

#include "support/status.h"

namespace hv {

// A Content-Length or range number of 2^63 or more frames no body WinINet can read: it wraps such a
// length and ends the body wherever the wrapped value says.
constexpr uint64_t kUnreadableLength = 0x8000000000000000ull;

struct HttpAnswer {
  uint32_t status = 0;           // the HTTP status; 0 when it could not be read
  uint32_t statusError = 0;      // then: why (the Windows error)
  bool hasLength = false;        // a Content-Length that is a number (of any size)
  uint64_t length = 0;           // its value
  std::wstring lengthText;       // the Content-Length as sent; empty when absent
  std::wstring contentRange;     // empty when absent
  std::wstring contentEncoding;  // empty when absent
  std::wstring location;         // where a redirect points; empty when absent
  std::wstring etag;             // the ETag as sent; empty when absent
  std::wstring lastModified;     // the Last-Modified as sent; empty when absent
  bool contentTypeRead = false;  // a Content-Type that fits 260 characters was read
  std::wstring contentType;      // its value

  bool IsGzip() const;      // the content encoding is gzip, in any letter case
  bool IsRedirect() const;  // 301, 302, 303, 307 or 308 with a Location to follow
};

// A Content-Length as sent: true and its value (saturating at UINT64_MAX) when it is a decimal or 0x
// number; false, length 0, for anything else, which counts as no length at all.
bool ParseContentLength(const std::wstring& text, uint64_t& length);

// "bytes <first>-<last>/<total>", the unit in any letter case, blanks around each number; each number
// below kUnreadableLength. False for anything else ("*" included); the outputs are then unspecified.
bool ParseContentRange(const std::wstring& text, uint64_t& first, uint64_t& last, uint64_t& total);

// The total of a refused range, "bytes */<total>": the number after the last slash is all that counts.
bool RefusedRangeTotal(const std::wstring& range, uint64_t& total);

// True when a 206 continues a file of size bytes exactly (size 0: it is the whole file): "bytes
// <size>-<total - 1>/<total>" with size at most total, a length to match (one that is no number counts as
// absent: the body runs to the end of the connection and is read up to the range's end) and the encoding
// of the file it continues (encoded: gzip). total: the resource's length.
bool AnswerContinues(const HttpAnswer& answer, uint64_t size, bool encoded, uint64_t& total);

// The status an answer's HTTP status fails with; 0 for the accepted 200 and 206, and for 407, which
// the exchange answers with the credentials dialog.
StatusCode HttpStatusFailure(uint32_t httpStatus);

}  // namespace hv
