#include "url_check.h"

#include <hvpelk/exports.h>
#include <wininet.h>

#include <memory>
#include <type_traits>

#include "settings.h"

namespace pelk {
namespace {

struct InternetCloser {
  void operator()(HINTERNET handle) const { InternetCloseHandle(handle); }
};
using UniqueInternet = std::unique_ptr<std::remove_pointer_t<HINTERNET>, InternetCloser>;

constexpr DWORD kTimeoutMs = 15000;

// The names of the WinINet errors a newcomer meets most.
const char* WinInetErrorName(DWORD code) {
  switch (code) {
    case ERROR_INTERNET_TIMEOUT: return "ERROR_INTERNET_TIMEOUT";
    case ERROR_INTERNET_INVALID_URL: return "ERROR_INTERNET_INVALID_URL";
    case ERROR_INTERNET_UNRECOGNIZED_SCHEME: return "ERROR_INTERNET_UNRECOGNIZED_SCHEME";
    case ERROR_INTERNET_NAME_NOT_RESOLVED: return "ERROR_INTERNET_NAME_NOT_RESOLVED";
    case ERROR_INTERNET_CANNOT_CONNECT: return "ERROR_INTERNET_CANNOT_CONNECT";
    case ERROR_INTERNET_CONNECTION_ABORTED: return "ERROR_INTERNET_CONNECTION_ABORTED";
    case ERROR_INTERNET_CONNECTION_RESET: return "ERROR_INTERNET_CONNECTION_RESET";
    case ERROR_INTERNET_SEC_CERT_DATE_INVALID: return "ERROR_INTERNET_SEC_CERT_DATE_INVALID";
    case ERROR_INTERNET_SEC_CERT_CN_INVALID: return "ERROR_INTERNET_SEC_CERT_CN_INVALID";
    case ERROR_INTERNET_INVALID_CA: return "ERROR_INTERNET_INVALID_CA";
    case ERROR_INTERNET_SEC_CERT_REV_FAILED: return "ERROR_INTERNET_SEC_CERT_REV_FAILED";
    case ERROR_HTTP_INVALID_SERVER_RESPONSE: return "ERROR_HTTP_INVALID_SERVER_RESPONSE";
    default: return nullptr;
  }
}

// The failed step's error; ERROR_INTERNET_INTERNAL_ERROR should WinINet not say which.
DWORD LastError() {
  const DWORD error = GetLastError();
  return error != 0 ? error : static_cast<DWORD>(ERROR_INTERNET_INTERNAL_ERROR);
}

}  // namespace

UrlCheck CheckUrl(const std::wstring& url) {
  UrlCheck check;
  URL_COMPONENTSW parts = {};
  parts.dwStructSize = sizeof(parts);
  wchar_t host[INTERNET_MAX_HOST_NAME_LENGTH] = {};
  parts.lpszHostName = host;
  parts.dwHostNameLength = INTERNET_MAX_HOST_NAME_LENGTH;
  parts.dwUrlPathLength = 1;  // the path and the query are read in place
  parts.dwExtraInfoLength = 1;
  if (!InternetCrackUrlW(url.c_str(), 0, 0, &parts)) return {LastError(), 0};
  if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) {
    return {static_cast<DWORD>(ERROR_INTERNET_UNRECOGNIZED_SCHEME), 0};
  }
  const UniqueInternet internet(InternetOpenW(L"pelk (URL check)", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  if (!internet) return {LastError(), 0};
  DWORD timeout = kTimeoutMs;
  for (DWORD option :
       {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT}) {
    InternetSetOptionW(internet.get(), option, &timeout, sizeof(timeout));
  }
  const UniqueInternet connection(
      InternetConnectW(internet.get(), host, parts.nPort, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0));
  if (!connection) return {LastError(), 0};
  std::wstring object(parts.lpszUrlPath != nullptr ? parts.lpszUrlPath : L"/");
  if (object.empty()) object = L"/";
  DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_UI;
  if (parts.nScheme == INTERNET_SCHEME_HTTPS) flags |= INTERNET_FLAG_SECURE;
  const UniqueInternet request(
      HttpOpenRequestW(connection.get(), L"HEAD", object.c_str(), nullptr, nullptr, nullptr, flags, 0));
  if (!request) return {LastError(), 0};
  static const wchar_t kClose[] = L"Connection: close\r\n";
  if (!HttpSendRequestW(request.get(), kClose, static_cast<DWORD>(-1), nullptr, 0)) return {LastError(), 0};
  DWORD bytes = sizeof(check.httpStatus);
  if (!HttpQueryInfoW(request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &check.httpStatus, &bytes,
                      nullptr)) {
    return {LastError(), 0};
  }
  return check;
}

std::string DescribeUrlCheck(const UrlCheck& check) {
  if (check.error == 0) return "the server answers HTTP " + std::to_string(check.httpStatus);
  std::string text = "Windows error " + std::to_string(check.error);
  if (const char* name = WinInetErrorName(check.error)) text += std::string(" ") + name;
  const std::string meaning = WindowsErrorText(check.error);
  if (!meaning.empty()) text += ": " + meaning;
  return text;
}

bool IsNetworkFailure(int32_t status) {
  switch (status) {
    case PELK_E_BAD_URL:
    case PELK_E_INTERNET_OPEN:
    case PELK_E_CONNECTION:
    case PELK_E_OPEN_REQUEST:
    case PELK_E_SEND:
    case PELK_E_READ:
    case PELK_E_CERT_REVOCATION:
    case PELK_E_CONNECT_TIMEOUT:
    case PELK_E_END_REQUEST:
    case PELK_E_CERT_DATE:
    case PELK_E_CERT_NAME: return true;
    default: return false;
  }
}

}  // namespace pelk
