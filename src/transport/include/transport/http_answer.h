// What an HTTP answer says, read once off its request handle, and what the failures of a request mean
// to the library's callers.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <cstdint>
#include <functional>
#include <string>

#include "support/status.h"

namespace hv {

// A Content-Length or range number of 2^63 or more frames no body WinINet can read: it wraps such a
// length and ends the body wherever the wrapped value says.
constexpr uint64_t kUnreadableLength = 0x8000000000000000ull;

struct HttpAnswer {
  DWORD status = 0;              // the HTTP status; 0 when it could not be read
  DWORD statusError = 0;         // then: why
  bool hasLength = false;        // a Content-Length that is a number (of any size)
  uint64_t length = 0;           // its value
  std::wstring lengthText;       // the Content-Length as sent; empty when absent
  std::wstring contentRange;     // empty when absent
  std::wstring contentEncoding;  // empty when absent
  std::wstring location;         // where a redirect points; empty when absent
  bool contentTypeRead = false;  // a Content-Type that fits 260 characters was read
  std::wstring contentType;      // its value

  bool IsGzip() const;      // the content encoding is gzip, in any letter case
  bool IsRedirect() const;  // 301, 302, 303, 307 or 308 with a Location to follow
};

// One header query of an answer, with the arguments of HttpQueryInfoW; false when it failed, the thread's
// last error saying why.
using HeaderQuery = std::function<bool(DWORD infoLevel, void* buffer, DWORD* bytes)>;

// Reads the status and the headers above through query, once the answer has arrived.
HttpAnswer ReadHttpAnswer(const HeaderQuery& query);

// The status an answer's HTTP status fails with; 0 for the accepted 200 and 206, and for 407, which
// the exchange answers with the credentials dialog.
StatusCode HttpStatusFailure(DWORD httpStatus);

// The status of a request that could not be sent (error: the thread's last error after the send; post:
// the request was a POST).
StatusCode SendFailure(DWORD error, bool post);

}  // namespace hv
