#include "transport/http_answer.h"

#include "support/probes.h"

namespace hv {
namespace {

constexpr DWORD kContentTypeChars = 260;

// A response header as text; false when it is absent or cannot be read. The buffer grows to the size
// WinINet asks for.
bool QueryHeader(const HeaderQuery& query, DWORD infoLevel, std::wstring& out) {
  std::wstring buffer;
  DWORD bytes = 0;
  for (;;) {
    if (query(infoLevel, buffer.empty() ? nullptr : &buffer[0], &bytes)) {
      out.assign(buffer.c_str(), buffer.empty() ? 0 : bytes / sizeof(wchar_t));
      return true;
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
    buffer.assign(bytes / sizeof(wchar_t) + 1, L'\0');
    bytes = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
  }
}

}  // namespace

HttpAnswer ReadHttpAnswer(const HeaderQuery& query) {
  HttpAnswer answer;
  answer.hasLength = QueryHeader(query, HTTP_QUERY_CONTENT_LENGTH, answer.lengthText) &&
                     ParseContentLength(answer.lengthText, answer.length);
  QueryHeader(query, HTTP_QUERY_CONTENT_RANGE, answer.contentRange);
  QueryHeader(query, HTTP_QUERY_CONTENT_ENCODING, answer.contentEncoding);
  QueryHeader(query, HTTP_QUERY_LOCATION, answer.location);
  QueryHeader(query, HTTP_QUERY_ETAG, answer.etag);
  QueryHeader(query, HTTP_QUERY_LAST_MODIFIED, answer.lastModified);
  // The content type in a buffer of fixed size: a longer one counts as unreadable.
  std::wstring type(kContentTypeChars, L'\0');
  DWORD bytes = kContentTypeChars * sizeof(wchar_t);
  answer.contentTypeRead = query(HTTP_QUERY_CONTENT_TYPE, &type[0], &bytes);
  if (answer.contentTypeRead) answer.contentType = type.substr(0, bytes / sizeof(wchar_t));
  // The status last, so that the error of a failed query is its own.
  DWORD size = sizeof(answer.status);
  if (!query(HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &answer.status, &size)) {
    answer.status = 0;
    answer.statusError = GetLastError();
  }
  return answer;
}

StatusCode SendFailure(DWORD error, bool post) {
  switch (error) {
    case ERROR_INTERNET_TIMEOUT: return PELK_E_CONNECT_TIMEOUT;
    case ERROR_INTERNET_SEC_CERT_DATE_INVALID: return PELK_E_CERT_DATE;
    case ERROR_INTERNET_SEC_CERT_CN_INVALID: return PELK_E_CERT_NAME;
    case ERROR_INTERNET_SEC_CERT_NO_REV:
    case ERROR_INTERNET_SEC_CERT_REV_FAILED: return PELK_E_CERT_REVOCATION;
    case ERROR_HTTP_INVALID_HEADER: return IsIeNewerThan7() ? PELK_E_SEND : PELK_E_TOO_LARGE_4G;
    case ERROR_INTERNET_NAME_NOT_RESOLVED:
    case ERROR_INTERNET_CANNOT_CONNECT:
    case ERROR_INTERNET_CONNECTION_ABORTED:
    case ERROR_INTERNET_CONNECTION_RESET: return PELK_E_CONNECTION;
    default: return post ? PELK_E_SEND : PELK_E_CONNECTION;
  }
}

}  // namespace hv
