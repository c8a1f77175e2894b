#include "transport/session.h"

#include <atomic>

#include "packets/client_identity.h"
#include "support/lock.h"
#include "support/log.h"
#include "support/probes.h"
#include "support/strings.h"
#include "transport/session_internal.h"

namespace hv {
namespace {

// Process-wide. Abort closes a session's root handle under it from the caller's thread; the worker
// takes it whenever it stores or closes one of its internet handles, so that an abort and the worker
// never close the same handle twice.
Lock g_abortLock;

std::atomic<CredentialsDialog> g_credentialsDialog{&InternetErrorDlg};

constexpr wchar_t kUserAgentModule[] = L"hvvornet";
constexpr DWORD kUrlPartLength = 2084;  // the longest URL part WinINet works with
constexpr DWORD kContentTypeChars = 260;
constexpr DWORD kProxyAuthenticationError = 407;
constexpr DWORD kCredentialsDialogFlags =
    FLAGS_ERROR_UI_FILTER_FOR_ERRORS | FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS | FLAGS_ERROR_UI_FLAGS_GENERATE_DATA;
constexpr DWORD kFirstInternetError = 12001;
constexpr DWORD kLastInternetError = 12174;
constexpr uint64_t k2GiB = 0x80000000ull;
constexpr uint64_t k4GiB = 0x100000000ull;

// A response header as text; false when it is absent or cannot be read. The buffer grows to the size
// WinINet asks for.
bool QueryHeader(HINTERNET request, DWORD infoLevel, std::wstring& out) {
  std::wstring buffer;
  DWORD bytes = 0;
  for (;;) {
    if (HttpQueryInfoW(request, infoLevel, buffer.empty() ? nullptr : &buffer[0], &bytes, nullptr)) {
      out.assign(buffer.c_str(), buffer.empty() ? 0 : bytes / sizeof(wchar_t));
      return true;
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
    buffer.assign(bytes / sizeof(wchar_t) + 1, L'\0');
    bytes = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
  }
}

}  // namespace

CredentialsDialog SetCredentialsDialog(CredentialsDialog dialog) {
  return g_credentialsDialog.exchange(dialog ? dialog : &InternetErrorDlg);
}

VornetSession::VornetSession() {
  AcquireLog();
  LogLine(L"<VornetSession::VornetSession>");
}

VornetSession::~VornetSession() {
  try {
    Close(PELK_PHASE_CLOSED);
    LogLine(L"</VornetSession::~VornetSession>");
  } catch (...) {
    // Only logging can throw here (out of memory); the handles are closed by their owners regardless.
  }
  ReleaseLog();
}

void VornetSession::SetStreamToFile(bool enabled, const std::wstring& targetPath,
                                    const std::wstring& expectedChecksum) {
  OperationTag tag(L"SetStreamToFile");
  if (IsLogEnabled()) {
    if (enabled) {
      LogLine(L"\tEnabled: Yes");
      LogLine(L"\tTarget file: " + targetPath);
      LogLine(L"\tChecksum: " + expectedChecksum);
    } else {
      LogLine(L"\tEnabled: No");
    }
  }
  streamToFile_ = enabled;
  targetPath_ = targetPath;
  expectedChecksum_ = expectedChecksum;
}

void VornetSession::SetNoPrompt(bool noPrompt) {
  OperationTag tag(L"SetNoPrompt");
  noPrompt_ = noPrompt;
}

void VornetSession::SetParentWindow(HWND window) {
  OperationTag tag(L"SetParentWindow");
  parentWindow_ = window;
}

void VornetSession::SetAcceptEncoding(bool acceptGzip) {
  OperationTag tag(L"SetAcceptEncoding");
  acceptGzip_ = acceptGzip;
}

void VornetSession::AddUserAgentToken(const std::wstring& token) {
  OperationTag tag(L"AddUserAgentToken");
  if (!token.empty()) userAgentTokens_.push_back(token);
}

void VornetSession::SetPostFile(const std::wstring& path) {
  OperationTag tag(L"SetPostFile");
  bodyFilePath_ = path;
}

void VornetSession::GetProgress(TransferProgress& out) const {
  OperationTag tag(L"GetProgress");
  out = progress_;
}

void VornetSession::OpenSession() {
  OperationTag tag(L"OpenSession");
  {
    LockGuard guard(g_abortLock);
    internet_.reset();
  }
  std::wstring agent = L"HvWebServiceClient (";
  agent += kUserAgentModule;
  agent += L" ";
  agent += kCoreLibraryVersion;
  agent += L";";
  for (const std::wstring& token : userAgentTokens_) agent += token + L";";
  agent += L")";
  if (IsLogEnabled()) LogLine(L"\tUserAgent: " + agent);

  UniqueInternet root(InternetOpenW(agent.c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  if (!root) {
    LogFailure(L"Failed to create the internet session: ");
    Throw(PELK_E_INTERNET_OPEN);
  }
  LockGuard guard(g_abortLock);
  // An abort that came before the handle existed still counts: the new handle is closed at once and
  // Submit sees the exchange as aborted.
  if (!abortRequested_) internet_ = std::move(root);
}

bool VornetSession::CrackUrl(const std::wstring& url, std::wstring* host, std::wstring* path, uint16_t* port) {
  OperationTag tag(L"CrackUrl");
  if (IsLogEnabled()) LogLine(L"\tURL: " + url);
  std::wstring hostBuffer(kUrlPartLength, L'\0');
  std::wstring pathBuffer(kUrlPartLength, L'\0');
  URL_COMPONENTSW parts = {};
  parts.dwStructSize = sizeof(parts);
  parts.lpszHostName = &hostBuffer[0];
  parts.dwHostNameLength = kUrlPartLength;
  parts.lpszUrlPath = &pathBuffer[0];
  parts.dwUrlPathLength = kUrlPartLength;
  // No extra-information component is requested, so the path keeps the query string.
  if (!InternetCrackUrlW(url.c_str(), 0, 0, &parts)) {
    LogFailure(L"Failed to crack the URL: ");
    return false;
  }
  if (host) {
    host->assign(parts.lpszHostName, parts.dwHostNameLength);
    if (IsLogEnabled()) LogLine(L"\tCracked host: " + *host);
  }
  if (path) {
    path->assign(parts.lpszUrlPath, parts.dwUrlPathLength);
    if (IsLogEnabled()) LogLine(L"\tCracked URL: " + *path);
  }
  if (port) {
    *port = parts.nPort;
    if (IsLogEnabled()) LogLine(L"\tCracked port: " + Dec(parts.nPort));
  }
  return true;
}

void VornetSession::OpenConnection(const std::wstring& host, uint16_t port) {
  OperationTag tag(L"OpenConnection");
  if (IsLogEnabled()) {
    LogLine(L"\tHost: " + host);
    LogLine(L"\tPort: " + Dec(port));
  }
  DropHandle(request_);
  DropHandle(connection_);
  UniqueInternet connection(
      InternetConnectW(Root(), host.c_str(), port, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 1));
  if (!connection) {
    if (GetLastError() == ERROR_INTERNET_TIMEOUT) {
      LogError(L"Connection timed out.");
      Throw(PELK_E_CONNECT_TIMEOUT);
    }
    LogFailure(L"Failed to open the internet connection: ");
    Throw(PELK_E_CONNECTION);
  }
  DWORD receiveTimeout = 300000;
  InternetSetOptionW(connection.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, &receiveTimeout, sizeof(receiveTimeout));
  InternetSetOptionW(connection.get(), INTERNET_OPTION_IGNORE_OFFLINE, nullptr, 0);
  // WinINet's own HTTP decoding (INTERNET_OPTION_HTTP_DECODING) stays off: with it, Wine decodes gzip
  // bodies itself, drops the Content-Length and reports a wrong Content-Encoding, and the byte ranges
  // of a resumed download would no longer match the file. Submit decodes gzip itself, exactly once.
  LockGuard guard(g_abortLock);
  connection_ = std::move(connection);
}

void VornetSession::OpenRequest(const wchar_t* verb, const std::wstring& path, DWORD flags) {
  // A request handle replaced here (after a proxy's 407) is not closed: it goes with its connection, so
  // the credentials the dialog stored through it stay in force for the new request.
  request_.release();
  UniqueInternet request(
      HttpOpenRequestW(connection_.get(), verb, path.c_str(), nullptr, nullptr, nullptr, flags, 1));
  if (!request) {
    LogFailure(L"Could not open the request: ");
    Throw(PELK_E_OPEN_REQUEST);
  }
  {
    LockGuard guard(g_abortLock);
    request_ = std::move(request);
  }
  if (acceptGzip_ && !HttpAddRequestHeadersW(request_.get(), L"Accept-Encoding: gzip\r\n", static_cast<DWORD>(-1),
                                             HTTP_ADDREQ_FLAG_ADD_IF_NEW)) {
    LogFailure(L"Could not set encoding: ");
  }
}

void VornetSession::SendGetRequest(const std::wstring& path, DWORD flags) {
  OperationTag tag(L"SendGetRequest");
  if (IsLogEnabled()) {
    LogLine(L"\tURL: " + path);
    LogLine(L"\tFlags: " + Hex(flags));
  }
  OpenRequest(L"GET", path, flags);
  if (streamToFile_ && progress_.bytesReceived > 0) {
    LogLine(L"\tDetected partial file.  Requesting a data range in the header.");
    const std::wstring range = L"Range:bytes=" + DecU64(progress_.bytesReceived) + L"-\r\n";
    HttpAddRequestHeadersW(request_.get(), range.c_str(), static_cast<DWORD>(-1),
                           HTTP_ADDREQ_FLAG_REPLACE | HTTP_ADDREQ_FLAG_ADD);
  }
  SendWithRetries(false, flags, 0);
}

void VornetSession::SendPostRequest(const std::wstring& path, const std::wstring& body, DWORD flags) {
  OperationTag tag(L"SendPostRequest");
  if (IsLogEnabled()) {
    LogLine(L"\tURL: " + path);
    LogLine(L"\tFlags: " + Hex(flags));
    LogLine(L"\t***POST DATA***");
    LogLine(body);
  }
  OpenRequest(L"POST", path, flags);
  DWORD length = static_cast<DWORD>(body.size() * sizeof(wchar_t));
  if (!bodyFilePath_.empty()) {
    UniqueFile file(CreateFileW(bodyFilePath_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size = {};
    // A request body is announced with a 32-bit length: a larger file cannot be sent.
    if (!file || !GetFileSizeEx(file.get(), &size) || static_cast<uint64_t>(size.QuadPart) >= k4GiB) {
      file.reset();
      LogFailure(L"Failed to determine file size: ");
      Throw(PELK_E_END_REQUEST);
    }
    length = static_cast<DWORD>(size.QuadPart);
  }
  SendWithRetries(true, flags, length);
  try {
    UploadBody(body, length);
  } catch (const StatusError&) {
    // The server may already have answered (for example 407 or 500): its status explains more.
    CheckStatusCode(true);
    throw;
  }
}

void VornetSession::SendWithRetries(bool post, DWORD flags, DWORD length) {
  INTERNET_BUFFERSW buffers = {};
  buffers.dwStructSize = sizeof(buffers);
  buffers.dwBufferTotal = length;
  bool retried = false;
  for (;;) {
    const BOOL sent = post ? HttpSendRequestExW(request_.get(), &buffers, nullptr, 0, 0)
                           : HttpSendRequestW(request_.get(), nullptr, 0, nullptr, 0);
    if (sent) return;
    lastError_ = GetLastError();
    LogFailure(L"Failed to send the request: ");
    switch (lastError_) {
      case ERROR_INTERNET_TIMEOUT:
        Throw(PELK_E_CONNECT_TIMEOUT);
      case ERROR_INTERNET_SEC_CERT_DATE_INVALID:
        Throw(PELK_E_CERT_DATE);
      case ERROR_INTERNET_SEC_CERT_CN_INVALID:
        Throw(PELK_E_CERT_NAME);
      case ERROR_INTERNET_SEC_CERT_NO_REV:
      case ERROR_INTERNET_SEC_CERT_REV_FAILED:
        // The request flags, read as security flags, include "ignore revocation": one more try.
        if (retried) Throw(PELK_E_CERT_REVOCATION);
        retried = true;
        InternetSetOptionW(request_.get(), INTERNET_OPTION_SECURITY_FLAGS, &flags, sizeof(flags));
        continue;
      case ERROR_HTTP_INVALID_HEADER:
        Throw(IsIeNewerThan7() ? PELK_E_SEND : PELK_E_TOO_LARGE_4G);
      case ERROR_INTERNET_NAME_NOT_RESOLVED:
      case ERROR_INTERNET_CANNOT_CONNECT:
      case ERROR_INTERNET_CONNECTION_ABORTED:
      case ERROR_INTERNET_CONNECTION_RESET:
        Throw(PELK_E_CONNECTION);
      default:
        Throw(post ? PELK_E_SEND : PELK_E_CONNECTION);
    }
  }
}

void VornetSession::UploadBody(const std::wstring& body, DWORD length) {
  LogLine(L"\tCalling InternetWriteFile");
  DWORD written = 0;
  if (!bodyFilePath_.empty()) {
    UniqueFile file(CreateFileW(bodyFilePath_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file) {
      std::string block(kTransferBlockSize, '\0');
      DWORD read = 0;
      while (ReadFile(file.get(), &block[0], kTransferBlockSize, &read, nullptr) && read > 0) {
        if (!InternetWriteFile(request_.get(), block.data(), read, &written)) {
          LogFailure(L"Failed to post the request data to the server: ");
          Throw(PELK_E_END_REQUEST);
        }
      }
      bodyFilePath_.clear();
    }
  } else if (!InternetWriteFile(request_.get(), body.data(), length, &written)) {
    LogFailure(L"Failed to post the request data to the server: ");
    Throw(PELK_E_SEND);
  }
  LogLine(L"\tInternetWriteFile complete, calling HttpEndRequest");
  HttpEndRequestW(request_.get(), nullptr, 0, 0);
  LogLine(L"\tHttpEndRequest complete");
}

StatusCode VornetSession::CheckStatusCode(bool strict) {
  OperationTag tag(L"CheckStatusCode");
  DWORD code = 0;
  DWORD size = sizeof(code);
  if (!HttpQueryInfoW(request_.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &code, &size, nullptr)) {
    LogFailure(L"Failed to check the status code: ");
    Throw(PELK_E_HTTP_STATUS);
  }
  httpStatus_ = code;
  if (IsLogEnabled()) LogLine(L"\tStatus Code: " + Dec(code));
  switch (code) {
    case 200:
    case 206:
      return 0;
    case 300:
    case 500:
      Throw(PELK_E_HTTP_SERVER);
    case 400:
    case 405:
    case 505:
      Throw(PELK_E_HTTP_BAD_REQUEST);
    case 401:
    case 403:
    case 410:
    case 502:
    case 503:
    case 504:
      Throw(PELK_E_CONNECTION);
    case 404:
      Throw(PELK_E_HTTP_404);
    case 407:
      if (strict || noPrompt_) Throw(PELK_E_PROXY_AUTH);
      tag.Dismiss();
      return PELK_E_PROXY_AUTH;
    case 408:
      Throw(PELK_E_HTTP_408);
    default:
      Throw(PELK_E_HTTP_STATUS);
  }
}

void VornetSession::CheckContentType() {
  if (!streamToFile_) return;
  OperationTag tag(L"CheckContentType");
  std::wstring buffer(kContentTypeChars, L'\0');
  DWORD bytes = kContentTypeChars * sizeof(wchar_t);
  const bool read = HttpQueryInfoW(request_.get(), HTTP_QUERY_CONTENT_TYPE, &buffer[0], &bytes, nullptr) != FALSE;
  if (read) buffer.resize(bytes / sizeof(wchar_t));
  if (read && IsLogEnabled()) LogLine(L"\tContent Type: " + buffer);
  if (!read || buffer.empty()) {
    LogError(L"Invalid content type.");
    Throw(PELK_E_CONTENT_TYPE);
  }
}

bool VornetSession::GetTotalDataSize() {
  OperationTag tag(L"GetTotalDataSize");
  std::wstring text;
  const bool present = QueryHeader(request_.get(), HTTP_QUERY_CONTENT_LENGTH, text);
  uint64_t length = 0;
  if (present) ParseUInt64(text, length, 0);
  // Without a length the total is unknown (0), also for a resumed file: a received count must never
  // pass for the expected size, or a body without a length would not be read at all.
  progress_.totalBytes = present ? progress_.bytesReceived + length : 0;
  if (IsLogEnabled()) LogLine(present ? L"Total data size: " + DecU64(length) : L"Data size is unknown.");
  if (length >= k4GiB && !IsIeNewerThan7()) Throw(PELK_E_TOO_LARGE_4G);
  if (length >= k2GiB && !IsIeNewerThan6()) Throw(PELK_E_TOO_LARGE_2G);
  return present;
}

void VornetSession::ResubmitGetRequest(const std::wstring& path, DWORD flags) {
  OperationTag tag(L"ResubmitGetRequest");
  DropHandle(request_);
  SendGetRequest(path, flags);
  // Strict: a proxy that asks for credentials again would otherwise have its error page appended to
  // the partial file.
  CheckStatusCode(true);
  if (httpStatus_ == 200 && streamToFile_) {
    // The server ignored the range and sends the whole body: start the file again from byte 0 rather
    // than appending a second copy.
    LogLine(L"\t[Submit]: The server ignored the range; starting the file again.");
    RecreateTargetFile();
  }
  GetTotalDataSize();
}

bool VornetSession::AskForAuthentication() {
  OperationTag tag(L"AskForAuthentication");
  HWND window = parentWindow_ ? parentWindow_ : GetDesktopWindow();
  const DWORD result =
      g_credentialsDialog.load()(window, request_.get(), kProxyAuthenticationError, kCredentialsDialogFlags, nullptr);
  if (IsLogEnabled()) LogLine(L"\tAuthentication result: " + Hex(result));
  return result == ERROR_INTERNET_FORCE_RETRY;
}

void VornetSession::GetContentEncoding(std::wstring& out) {
  out.clear();
  if (!QueryHeader(request_.get(), HTTP_QUERY_CONTENT_ENCODING, out)) out.clear();
}

void VornetSession::EvaluateInternetErrorCode(DWORD code, StatusCode status) {
  OperationTag tag(L"EvaluateInternetErrorCode");
  if (IsLogEnabled()) LogLine(L"\tError Code: " + Dec(code));
  tag.Leave();
  if (code >= kFirstInternetError && code <= kLastInternetError) Throw(status);
}

bool VornetSession::IsSecureUrl(const std::wstring& url) {
  OperationTag tag(L"IsSecureUrl");
  return FindNoCase(url, L"https://") >= 0;
}

bool VornetSession::HasFreeSpace(const std::wstring& path, uint64_t size) {
  OperationTag tag(L"HasFreeSpace");
  std::wstring folder = path;
  ReplaceAllNoCase(folder, L"/", L"\\");
  const size_t slash = folder.rfind(L'\\');
  if (slash != std::wstring::npos) folder.resize(slash);
  ULARGE_INTEGER available = {};
  if (!GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr)) return false;
  return available.QuadPart > size;
}

void VornetSession::Close(StatusCode status) {
  OperationTag tag(L"Close");
  lastError_ = 0;
  if (IsLogEnabled()) LogLine(L"\tStatus: " + Hex(status));
  targetFile_.reset();
  DropHandle(request_);
  DropHandle(connection_);
  {
    LockGuard guard(g_abortLock);
    internet_.reset();
  }
  progress_.state = status;
}

void VornetSession::Abort() {
  OperationTag tag(L"Abort");
  LockGuard guard(g_abortLock);
  abortRequested_ = true;
  // Closing the root handle closes the connection and request under it and fails the call the worker
  // is blocked in.
  internet_.reset();
  tag.Leave();
}

void VornetSession::ClearAbort() {
  OperationTag tag(L"ClearAbort");
  LockGuard guard(g_abortLock);
  abortRequested_ = false;
}

HINTERNET VornetSession::Root() const {
  LockGuard guard(g_abortLock);
  return internet_.get();
}

bool VornetSession::WasAborted() const {
  LockGuard guard(g_abortLock);
  return abortRequested_;
}

void VornetSession::DropHandle(UniqueInternet& handle) {
  LockGuard guard(g_abortLock);
  // After an abort WinINet has already closed this handle with its root; closing it again could hit
  // a handle value that was handed out anew in the meantime.
  if (abortRequested_) {
    handle.release();
  } else {
    handle.reset();
  }
}

}  // namespace hv
