// pelk's own look at a URL after a network failure: the library reports only its status code, so pelk
// sends the URL a HEAD request through WinINet itself and reports the Windows error of the first step that
// failed (the URL cannot be split, the host not resolved, the connection refused, a certificate refused)
// or the HTTP status of the answer.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace pelk {

struct UrlCheck {
  DWORD error = 0;       // the Windows (WinINet) error; 0 when an answer came
  DWORD httpStatus = 0;  // the answer's HTTP status when error is 0
};

// Bounded: connecting, sending and receiving each time out after 15 seconds. Asks for no body, so no
// download is fetched.
UrlCheck CheckUrl(const std::wstring& url);

// "Windows error 12029 ERROR_INTERNET_CANNOT_CONNECT: <the system's text>" or "the server answers HTTP 404".
std::string DescribeUrlCheck(const UrlCheck& check);

// True for the statuses of a failed exchange (the connection, the request, a certificate, the URL), for
// which CheckUrl tells more.
bool IsNetworkFailure(int32_t status);

}  // namespace pelk
