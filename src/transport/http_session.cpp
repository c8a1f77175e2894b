#include "transport/http_session.h"

#include <atomic>

#include "operation_tag.h"
#include "support/log.h"
#include "support/md5.h"
#include "support/probes.h"
#include "support/strings.h"
#include "support/version.h"
#include "transport/gzip.h"
#include "transport/target_file.h"

namespace hv {
namespace {

std::atomic<CredentialsDialog> g_credentialsDialog{&InternetErrorDlg};

// Request and response bodies move in blocks of this size: constant memory for transfers of any size.
constexpr DWORD kTransferBlockSize = 16384;
constexpr wchar_t kUserAgentModule[] = L"hvvornet";
constexpr DWORD kUrlPartLength = 2084;  // the longest URL part WinINet works with
constexpr DWORD kContentTypeChars = 260;
constexpr DWORD kReceiveTimeoutMs = 300000;
constexpr DWORD kProxyAuthenticationError = 407;
constexpr DWORD kCredentialsDialogFlags =
    FLAGS_ERROR_UI_FILTER_FOR_ERRORS | FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS | FLAGS_ERROR_UI_FLAGS_GENERATE_DATA;
constexpr DWORD kFirstInternetError = 12001;
constexpr DWORD kLastInternetError = 12174;
constexpr uint64_t k2GiB = 0x80000000ull;
constexpr uint64_t k4GiB = 0x100000000ull;
constexpr uint64_t kLengthLimit = 0x8000000000000000ull;  // 2^63: no length reaches it
// A gzip-encoded download streams into "<target>.encoded"; the decoded content then replaces the target.
constexpr wchar_t kEncodedSuffix[] = L".encoded";

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

// A number of a Content-Range, blanks around it allowed.
bool RangeNumber(const std::wstring& text, uint64_t& value) {
  const size_t first = text.find_first_not_of(L' ');
  const size_t last = text.find_last_not_of(L' ');
  return first != std::wstring::npos && ParseUInt64(text.substr(first, last - first + 1), value, 0) &&
         value < kLengthLimit;
}

// "bytes <first>-<last>/<total>", the unit in any letter case; false for anything else ("*" included).
bool ParseContentRange(const std::wstring& text, uint64_t& first, uint64_t& last, uint64_t& total) {
  const std::wstring unit = L"bytes ";
  if (!StartsWithNoCase(text, unit)) return false;
  const size_t dash = text.find(L'-', unit.size());
  const size_t slash = text.find(L'/', unit.size());
  if (dash == std::wstring::npos || slash == std::wstring::npos || slash < dash) return false;
  return RangeNumber(text.substr(unit.size(), dash - unit.size()), first) &&
         RangeNumber(text.substr(dash + 1, slash - dash - 1), last) && RangeNumber(text.substr(slash + 1), total);
}

bool StartsWithUtf16ByteOrderMark(const std::string& bytes) {
  if (bytes.size() < 2) return false;
  const auto first = static_cast<unsigned char>(bytes[0]);
  const auto second = static_cast<unsigned char>(bytes[1]);
  return (first == 0xFF && second == 0xFE) || (first == 0xFE && second == 0xFF);
}

}  // namespace

// Everything that belongs to one Submit and must not outlive it.
struct HttpSession::Exchange {
  explicit Exchange(const std::wstring& url_) : url(url_) {}

  const std::wstring& url;
  std::wstring host;
  std::wstring path;  // with the query string: it is the request's object name
  uint16_t port = 0;
  DWORD flags = kPlainRequestFlags;
  DWORD httpStatus = 0;      // of the current response
  bool lengthKnown = false;  // the current response carries a Content-Length
  uint32_t startTick = 0;    // when the read loop started
  uint32_t lastTick = 0;     // the previous read
  uint64_t loopStartBytes = 0;
  uint64_t resumeFrom = 0;  // a download's first request asked for the bytes from here on
  // A download: the file the body goes to, open from PrepareTargetFile until the exchange ends. A gzip-
  // encoded answer streams into a file beside the target, which only a complete decoding replaces.
  TargetFile target;
  bool encoded = false;
  bool restartFile = false;  // the file cannot be continued: emptied when the new body's first block comes
};

CredentialsDialog SetCredentialsDialog(CredentialsDialog dialog) {
  return g_credentialsDialog.exchange(dialog ? dialog : &InternetErrorDlg);
}

bool IsSecureUrl(const std::wstring& url) {
  OperationTag tag(L"IsSecureUrl");
  return FindNoCase(url, L"https://") >= 0;
}

HttpSession::HttpSession() {
  AcquireLog();
  LogLine(L"<VornetSession::VornetSession>");
}

HttpSession::~HttpSession() {
  // Only logging can throw here (out of memory), and a destructor must not; the handles close with
  // their owners regardless.
  StatusOf([this] {
    Close(PELK_PHASE_CLOSED);
    LogLine(L"</VornetSession::~VornetSession>");
  });
  ReleaseLog();
}

void HttpSession::SetStreamToFile(bool enabled, const std::wstring& targetPath, const std::wstring& expectedChecksum) {
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

void HttpSession::SetNoPrompt(bool noPrompt) {
  OperationTag tag(L"SetNoPrompt");
  noPrompt_ = noPrompt;
}

void HttpSession::SetParentWindow(HWND window) {
  OperationTag tag(L"SetParentWindow");
  parentWindow_ = window;
}

void HttpSession::SetAcceptEncoding(bool acceptGzip) {
  OperationTag tag(L"SetAcceptEncoding");
  acceptGzip_ = acceptGzip;
}

void HttpSession::AddUserAgentToken(const std::wstring& token) {
  OperationTag tag(L"AddUserAgentToken");
  if (!token.empty()) userAgentTokens_.push_back(token);
}

void HttpSession::SetPostFile(const std::wstring& path) {
  OperationTag tag(L"SetPostFile");
  bodyFilePath_ = path;
}

TransferProgress HttpSession::Progress() const {
  OperationTag tag(L"GetProgress");
  LockGuard guard(progressLock_);
  return published_;
}

void HttpSession::Publish() {
  LockGuard guard(progressLock_);
  published_ = progress_;
}

void HttpSession::Submit(const std::wstring& url, const std::wstring& body, std::string& response) {
  OperationTag tag(L"Submit");
  // The record describes this exchange only: counts carried over from an earlier one would make the
  // first request ranged (corrupting a fresh target file) and pass an old count off as the expected size.
  progress_ = TransferProgress();
  Close(PELK_PHASE_STARTED);
  Exchange exchange(url);
  // Every way out records a final phase: a caller that polls the phase must see the end.
  try {
    LogLine(L"\t[Submit]: Opening the session...");
    OpenSession();
    response.clear();
    if (!WasAborted()) Run(exchange, body, response);
    if (WasAborted()) response.clear();
    Finish(exchange, WasAborted() ? PELK_PHASE_CLOSED : PELK_PHASE_FINISHED);
  } catch (const StatusError& failure) {
    Finish(exchange, failure.phase());
    // An abort noticed before a WinINet call ends the exchange quietly (PELK_PHASE_CLOSED).
    if (!IsFailure(failure.code())) {
      response.clear();
      return;
    }
    throw;
  } catch (...) {
    LogError(L"\tSubmit failed for unknown reason.");
    Finish(exchange, PELK_E_UNEXPECTED);
    Throw(PELK_E_UNEXPECTED);
  }
}

void HttpSession::Run(Exchange& exchange, const std::wstring& body, std::string& response) {
  LogLine(L"\t[Submit]: Cracking the URL...");
  CrackUrl(exchange);
  LogLine(L"\t[Submit]: Opening the connection...");
  OpenConnection(exchange);
  exchange.flags = IsSecureUrl(exchange.url) ? kSecureRequestFlags : kPlainRequestFlags;
  // A download that finds a file already there asks for the rest of it at once. An answer whose body is
  // not wanted (a complete file, an unranged first answer for a partial one) would cost its whole length:
  // closing such a request makes WinINet read what the server keeps sending.
  if (streamToFile_) {
    exchange.resumeFrom = ExistingFileSize();
    progress_.bytesReceived = exchange.resumeFrom;
    Publish();
  }
  LogLine(L"\t[Submit]: Sending the request...");
  SendRequest(exchange, body);
  LogLine(L"\t[Submit]: Getting total data size...");
  ReadTotalDataSize(exchange);
  if (streamToFile_) PrepareTargetFile(exchange);
  LogLine(L"\t[Submit]: Checking the content type...");
  CheckContentType(exchange);

  exchange.startTick = exchange.lastTick = GetTickCount();
  exchange.loopStartBytes = progress_.bytesReceived;
  if (progress_.totalBytes == 0 || progress_.bytesReceived < progress_.totalBytes) ReadBody(exchange, response);
  if (!WasAborted() && streamToFile_) FinishTargetFile(exchange, response);
}

void HttpSession::OpenSession() {
  OperationTag tag(L"OpenSession");
  {
    LockGuard guard(abortLock_);
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
  LockGuard guard(abortLock_);
  // An abort that came before the handle existed still counts: the new handle is closed at once and
  // Submit sees the exchange as aborted.
  if (!abortRequested_) internet_ = std::move(root);
}

void HttpSession::CrackUrl(Exchange& exchange) {
  OperationTag tag(L"CrackUrl");
  if (IsLogEnabled()) LogLine(L"\tURL: " + exchange.url);
  std::wstring hostBuffer(kUrlPartLength, L'\0');
  std::wstring pathBuffer(kUrlPartLength, L'\0');
  URL_COMPONENTSW parts = {};
  parts.dwStructSize = sizeof(parts);
  parts.lpszHostName = &hostBuffer[0];
  parts.dwHostNameLength = kUrlPartLength;
  parts.lpszUrlPath = &pathBuffer[0];
  parts.dwUrlPathLength = kUrlPartLength;
  // No extra-information component is requested, so the path keeps the query string.
  if (!InternetCrackUrlW(exchange.url.c_str(), 0, 0, &parts)) {
    LogFailure(L"Failed to crack the URL: ");
    tag.Leave();
    Throw(PELK_E_BAD_URL);
  }
  exchange.host.assign(parts.lpszHostName, parts.dwHostNameLength);
  exchange.path.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
  exchange.port = parts.nPort;
  if (IsLogEnabled()) {
    LogLine(L"\tCracked host: " + exchange.host);
    LogLine(L"\tCracked URL: " + exchange.path);
    LogLine(L"\tCracked port: " + Dec(exchange.port));
  }
}

void HttpSession::OpenConnection(const Exchange& exchange) {
  OperationTag tag(L"OpenConnection");
  if (IsLogEnabled()) {
    LogLine(L"\tHost: " + exchange.host);
    LogLine(L"\tPort: " + Dec(exchange.port));
  }
  DropHandle(request_);
  DropHandle(connection_);
  UniqueInternet connection(InternetConnectW(Root(), exchange.host.c_str(), exchange.port, nullptr, nullptr,
                                             INTERNET_SERVICE_HTTP, 0, 1));
  if (!connection) {
    if (GetLastError() == ERROR_INTERNET_TIMEOUT) {
      LogError(L"Connection timed out.");
      Throw(PELK_E_CONNECT_TIMEOUT);
    }
    LogFailure(L"Failed to open the internet connection: ");
    Throw(PELK_E_CONNECTION);
  }
  DWORD receiveTimeout = kReceiveTimeoutMs;
  InternetSetOptionW(connection.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, &receiveTimeout, sizeof(receiveTimeout));
  InternetSetOptionW(connection.get(), INTERNET_OPTION_IGNORE_OFFLINE, nullptr, 0);
  // WinINet's own HTTP decoding (INTERNET_OPTION_HTTP_DECODING) stays off: with it, Wine decodes gzip
  // bodies itself, drops the Content-Length and reports a wrong Content-Encoding, and the byte ranges
  // of a resumed download would no longer match the file. Submit decodes gzip itself, exactly once.
  LockGuard guard(abortLock_);
  connection_ = std::move(connection);
}

void HttpSession::SendRequest(Exchange& exchange, const std::wstring& body) {
  for (;;) {
    if (!body.empty() || !bodyFilePath_.empty()) {
      SendPostRequest(exchange, body);
    } else {
      SendGetRequest(exchange);
    }
    // A refused range is PrepareTargetFile's to judge: the file may be complete.
    if (progress_.bytesReceived > 0 && QueryStatusCode(exchange) == 416) return;
    if (CheckStatusCode(exchange, false) == Answer::Accepted) return;
    LogLine(L"\t[Submit]: Proxy authentication required...");
    if (!AskForAuthentication()) Throw(PELK_E_PROXY_AUTH);
  }
}

void HttpSession::OpenRequest(const wchar_t* verb, const Exchange& exchange) {
  // A request handle replaced here (after a proxy's 407) is not closed: it goes with its connection, so
  // the credentials the dialog stored through it stay in force for the new request.
  request_.release();
  UniqueInternet request(HttpOpenRequestW(Live(connection_), verb, exchange.path.c_str(), nullptr, nullptr, nullptr,
                                          exchange.flags, 1));
  if (!request) {
    LogFailure(L"Could not open the request: ");
    Throw(PELK_E_OPEN_REQUEST);
  }
  {
    LockGuard guard(abortLock_);
    request_ = std::move(request);
  }
  if (acceptGzip_ && !HttpAddRequestHeadersW(Live(request_), L"Accept-Encoding: gzip\r\n", static_cast<DWORD>(-1),
                                             HTTP_ADDREQ_FLAG_ADD_IF_NEW)) {
    LogFailure(L"Could not set encoding: ");
  }
}

void HttpSession::SendGetRequest(const Exchange& exchange) {
  OperationTag tag(L"SendGetRequest");
  if (IsLogEnabled()) {
    LogLine(L"\tURL: " + exchange.path);
    LogLine(L"\tFlags: " + Hex(exchange.flags));
  }
  OpenRequest(L"GET", exchange);
  if (streamToFile_) {
    // A download's answer may be left unread (a complete file, the first answer for a partial one). Asked
    // to keep the connection, WinINet would read such a body to its end before closing the request.
    HttpAddRequestHeadersW(Live(request_), L"Connection: close\r\n", static_cast<DWORD>(-1),
                           HTTP_ADDREQ_FLAG_REPLACE | HTTP_ADDREQ_FLAG_ADD);
  }
  if (streamToFile_ && progress_.bytesReceived > 0) {
    LogLine(L"\tDetected partial file.  Requesting a data range in the header.");
    const std::wstring range = L"Range:bytes=" + DecU64(progress_.bytesReceived) + L"-\r\n";
    HttpAddRequestHeadersW(Live(request_), range.c_str(), static_cast<DWORD>(-1),
                           HTTP_ADDREQ_FLAG_REPLACE | HTTP_ADDREQ_FLAG_ADD);
  }
  SendWithRetries(false, exchange.flags, 0);
}

void HttpSession::SendPostRequest(Exchange& exchange, const std::wstring& body) {
  OperationTag tag(L"SendPostRequest");
  if (IsLogEnabled()) {
    LogLine(L"\tURL: " + exchange.path);
    LogLine(L"\tFlags: " + Hex(exchange.flags));
    LogLine(L"\t***POST DATA***");
    LogLine(body);
  }
  OpenRequest(L"POST", exchange);
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
  SendWithRetries(true, exchange.flags, length);
  UploadBody(exchange, body, length);
}

void HttpSession::SendWithRetries(bool post, DWORD flags, DWORD length) {
  INTERNET_BUFFERSW buffers = {};
  buffers.dwStructSize = sizeof(buffers);
  buffers.dwBufferTotal = length;
  bool retried = false;
  for (;;) {
    const BOOL sent = post ? HttpSendRequestExW(Live(request_), &buffers, nullptr, 0, 0)
                           : HttpSendRequestW(Live(request_), nullptr, 0, nullptr, 0);
    if (sent) return;
    const DWORD error = GetLastError();
    LogFailure(L"Failed to send the request: ");
    switch (error) {
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
        InternetSetOptionW(Live(request_), INTERNET_OPTION_SECURITY_FLAGS, &flags, sizeof(flags));
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

void HttpSession::UploadBody(Exchange& exchange, const std::wstring& body, DWORD length) {
  LogLine(L"\tCalling InternetWriteFile");
  DWORD written = 0;
  if (!bodyFilePath_.empty()) {
    UniqueFile file(CreateFileW(bodyFilePath_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file) {
      std::string block(kTransferBlockSize, '\0');
      DWORD read = 0;
      while (ReadFile(file.get(), &block[0], kTransferBlockSize, &read, nullptr) && read > 0) {
        if (!InternetWriteFile(Live(request_), block.data(), read, &written)) {
          LogFailure(L"Failed to post the request data to the server: ");
          FailUpload(exchange, PELK_E_END_REQUEST);
        }
      }
      bodyFilePath_.clear();
    }
  } else if (!InternetWriteFile(Live(request_), body.data(), length, &written)) {
    LogFailure(L"Failed to post the request data to the server: ");
    FailUpload(exchange, PELK_E_SEND);
  }
  LogLine(L"\tInternetWriteFile complete, calling HttpEndRequest");
  HttpEndRequestW(Live(request_), nullptr, 0, 0);
  LogLine(L"\tHttpEndRequest complete");
}

void HttpSession::FailUpload(Exchange& exchange, StatusCode status) {
  // The server may already have answered (for example 407 or 500): its status explains more, and
  // CheckStatusCode throws it in place of the upload's own failure.
  CheckStatusCode(exchange, true);
  Throw(status);
}

HttpSession::Answer HttpSession::CheckStatusCode(Exchange& exchange, bool strict) {
  OperationTag tag(L"CheckStatusCode");
  const int code = QueryStatusCode(exchange);
  if (code == 0) {
    LogFailure(L"Failed to check the status code: ");
    Throw(PELK_E_HTTP_STATUS);
  }
  if (IsLogEnabled()) LogLine(L"\tStatus Code: " + Dec(code));
  switch (code) {
    case 200:
    case 206:
      return Answer::Accepted;
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
      return Answer::ProxyWantsCredentials;
    case 408:
      Throw(PELK_E_HTTP_408);
    default:
      Throw(PELK_E_HTTP_STATUS);
  }
}

bool HttpSession::AskForAuthentication() {
  OperationTag tag(L"AskForAuthentication");
  HWND window = parentWindow_ ? parentWindow_ : GetDesktopWindow();
  const DWORD result =
      g_credentialsDialog.load()(window, Live(request_), kProxyAuthenticationError, kCredentialsDialogFlags, nullptr);
  if (IsLogEnabled()) LogLine(L"\tAuthentication result: " + Hex(result));
  return result == ERROR_INTERNET_FORCE_RETRY;
}

void HttpSession::ReadTotalDataSize(Exchange& exchange) {
  OperationTag tag(L"GetTotalDataSize");
  std::wstring text;
  uint64_t length = 0;
  // A length that is no number is no length at all: the body runs to the end of the connection. A number
  // of 2^63 or more frames no body WinINet can read (it wraps such a length and ends the body wherever the
  // wrapped value says). A ranged answer with one cannot continue the file, and the whole file is asked
  // for again (some servers answer a range past the end so); any other is refused before anything
  // touches the file.
  exchange.lengthKnown = QueryHeader(Live(request_), HTTP_QUERY_CONTENT_LENGTH, text) && ParseUInt64(text, length, 0);
  if (exchange.lengthKnown && length >= kLengthLimit) {
    LogError(L"\tThe content length is too large to be read: " + text);
    if (progress_.bytesReceived == 0 || exchange.httpStatus == 200) Throw(PELK_E_READ);
    exchange.lengthKnown = false;
  }
  if (!exchange.lengthKnown) length = 0;
  // Without a length the total is unknown (0), also for a resumed file: a received count must never
  // pass for the expected size, or a body without a length would not be read at all.
  progress_.totalBytes = exchange.lengthKnown ? progress_.bytesReceived + length : 0;
  Publish();
  if (IsLogEnabled()) {
    LogLine(exchange.lengthKnown ? L"Total data size: " + DecU64(length) : L"Data size is unknown.");
  }
  if (length >= k4GiB && !IsIeNewerThan7()) Throw(PELK_E_TOO_LARGE_4G);
  if (length >= k2GiB && !IsIeNewerThan6()) Throw(PELK_E_TOO_LARGE_2G);
}

uint64_t HttpSession::ExistingFileSize() const {
  // An unfinished gzip-encoded download continues in its encoded file; otherwise the target continues.
  for (const std::wstring& path : {targetPath_ + kEncodedSuffix, targetPath_}) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
      return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    }
  }
  return 0;
}

void HttpSession::PrepareTargetFile(Exchange& exchange) {
  LogLine(L"\t[Submit]: Streaming to file enabled.  Creating file...");
  const uint64_t size = OpenFileForAnswer(exchange);
  if (size > 0 || exchange.resumeFrom > 0) ContinueFile(exchange, size);
  // What is still to come has to fit; a file at least as long as announced needs nothing more.
  const uint64_t remaining =
      progress_.totalBytes > progress_.bytesReceived ? progress_.totalBytes - progress_.bytesReceived : 0;
  if (!HasFreeSpace(targetPath_, remaining)) Throw(PELK_E_DISK_SPACE);
}

uint64_t HttpSession::OpenFileForAnswer(Exchange& exchange) {
  const std::wstring encoding = ContentEncoding();
  exchange.encoded = EqualsNoCase(encoding, L"gzip");
  if (!encoding.empty() && !exchange.encoded && IsLogEnabled()) {
    LogError(L"Unsupported content encoding on response: " + encoding);
  }
  // An encoded file left from an earlier answer would steer every later resume: the server now sends
  // the file as it is.
  if (!exchange.encoded) DeleteFileW((targetPath_ + kEncodedSuffix).c_str());
  const uint64_t size = exchange.target.Open(exchange.encoded ? targetPath_ + kEncodedSuffix : targetPath_);
  progress_.bytesReceived = size;
  Publish();
  return size;
}

void HttpSession::ContinueFile(Exchange& exchange, uint64_t size) {
  // The first request asked for the rest of the file: bytes exchange.resumeFrom onwards.
  uint64_t total = 0;
  const bool ranged = exchange.resumeFrom > 0 && exchange.resumeFrom == size;
  if (ranged && exchange.httpStatus == 206 && AnswerContinues(exchange, size, total)) {
    progress_.totalBytes = total;
    progress_.state = PELK_PHASE_RESUMING;
    Publish();
    LogLine(L"\t[Submit]: Resuming download with partial file...");
    return;
  }
  if (ranged && exchange.httpStatus == 416 && RefusedRangeTotal(total) && size >= total) {
    // The file is at least as long as announced and counts as complete.
    progress_.totalBytes = total;
    Publish();
    return;
  }
  if (exchange.httpStatus == 200 && exchange.lengthKnown) {
    // The whole body: its length is the file's, so the range was ignored or not asked for.
    progress_.totalBytes -= exchange.resumeFrom;
    Publish();
    if (size >= progress_.totalBytes) return;  // at least as long as announced: complete
    LogLine(L"\t[Submit]: The server sent the whole file; starting the file again.");
    StartFileAgain(exchange);
    return;
  }
  if (exchange.httpStatus == 200) {
    LogLine(L"\t[Submit]: Resume not available, so create new file.");
    StartFileAgain(exchange);
    progress_.totalBytes = 0;
    Publish();
    return;
  }
  // A range answered from another offset, for another total or encoding, or refused: appended, such an
  // answer would corrupt the file, and every later submit would take the corrupted file for complete.
  // The whole file is asked for again.
  OperationTag tag(L"ResubmitGetRequest");
  LogLine(L"\t[Submit]: The server did not send the rest of the file; starting the file again.");
  StartFileAgain(exchange);
  DropHandle(request_);
  SendGetRequest(exchange);
  CheckStatusCode(exchange, true);
  if (exchange.httpStatus != 200) Throw(PELK_E_HTTP_STATUS);
  ReadTotalDataSize(exchange);
  // The whole file may come in another encoding than the first answer named: it goes to that
  // encoding's file, which starts again too.
  if (EqualsNoCase(ContentEncoding(), L"gzip") != exchange.encoded) {
    OpenFileForAnswer(exchange);
    StartFileAgain(exchange);
  }
}

void HttpSession::RestartFileNow(Exchange& exchange) {
  exchange.target.Recreate();
  exchange.restartFile = false;
}

void HttpSession::StartFileAgain(Exchange& exchange) {
  exchange.restartFile = true;
  progress_.bytesReceived = 0;
  Publish();
}

bool HttpSession::AnswerContinues(Exchange& exchange, uint64_t size, uint64_t& total) {
  // Only "bytes <size>-<total - 1>/<total>", with a length to match (one that is no number counts as
  // absent: the body runs to the end of the connection, and the total tells whether it all came) and
  // the encoding of the file it continues, continues the file.
  std::wstring range;
  std::wstring lengthText;
  uint64_t first = 0, last = 0, length = 0;
  if (!QueryHeader(Live(request_), HTTP_QUERY_CONTENT_RANGE, range)) return false;
  if (!ParseContentRange(range, first, last, total) || first != size || last + 1 != total) return false;
  if (QueryHeader(Live(request_), HTTP_QUERY_CONTENT_LENGTH, lengthText) && ParseUInt64(lengthText, length, 0) &&
      length != total - first) {
    return false;
  }
  return EqualsNoCase(ContentEncoding(), exchange.encoded ? L"gzip" : L"");
}

bool HttpSession::RefusedRangeTotal(uint64_t& total) {
  // A 416 names the resource's length as "bytes */<total>"; the total after the slash is all that counts.
  std::wstring range;
  if (!QueryHeader(Live(request_), HTTP_QUERY_CONTENT_RANGE, range)) return false;
  const size_t slash = range.rfind(L'/');
  return StartsWithNoCase(range, L"bytes ") && slash != std::wstring::npos &&
         RangeNumber(range.substr(slash + 1), total);
}

int HttpSession::QueryStatusCode(Exchange& exchange) {
  DWORD code = 0;
  DWORD size = sizeof(code);
  if (!HttpQueryInfoW(Live(request_), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &code, &size, nullptr)) {
    return 0;  // CheckStatusCode reports it
  }
  exchange.httpStatus = code;
  return static_cast<int>(code);
}

void HttpSession::CheckContentType(const Exchange& exchange) {
  // Only a body that goes into a file needs a type; a refused range (the file is complete) has none.
  if (!streamToFile_ || exchange.httpStatus == 416) return;
  OperationTag tag(L"CheckContentType");
  std::wstring buffer(kContentTypeChars, L'\0');
  DWORD bytes = kContentTypeChars * sizeof(wchar_t);
  const bool read = HttpQueryInfoW(Live(request_), HTTP_QUERY_CONTENT_TYPE, &buffer[0], &bytes, nullptr) != FALSE;
  if (read) buffer.resize(bytes / sizeof(wchar_t));
  if (read && IsLogEnabled()) LogLine(L"\tContent Type: " + buffer);
  if (!read || buffer.empty()) {
    LogError(L"Invalid content type.");
    Throw(PELK_E_CONTENT_TYPE);
  }
}

void HttpSession::ReadBody(Exchange& exchange, std::string& response) {
  LogLine(L"\tStarting download...");
  std::string block(kTransferBlockSize, '\0');
  DWORD error = 0;
  for (;;) {
    DWORD read = 0;
    if (!InternetReadFile(Live(request_), &block[0], kTransferBlockSize, &read)) {
      // Only a failed read has an error of its own; after a clean end the thread's last error is left
      // over from earlier calls and means nothing.
      error = GetLastError();
      break;
    }
    if (read == 0) break;
    if (exchange.restartFile) RestartFileNow(exchange);
    progress_.bytesReceived += read;
    progress_.state = PELK_PHASE_RECEIVING;
    if (streamToFile_) {
      exchange.target.Write(block.data(), read);
    } else {
      response.append(block.data(), read);
    }
    UpdateRates(exchange, read);
    Publish();
  }
  if (IsLogEnabled()) LogLine(L"\tDownload complete.  Time elapsed: " + DecU64(progress_.elapsedMs));
  if (error != ERROR_INSUFFICIENT_BUFFER) EvaluateInternetErrorCode(error, PELK_E_CONNECTION);
  if (error != 0 && error != ERROR_INSUFFICIENT_BUFFER) Throw(PELK_E_READ);
  if (!WasAborted() && progress_.bytesReceived < progress_.totalBytes) {
    LogError(L"\tConnection error detected.  Response is incomplete.");
    Throw(PELK_E_CONNECTION);
  }
  if (exchange.restartFile) RestartFileNow(exchange);  // the new body is empty
  // A download's encoded file is decoded once it is complete, also when no body was read this time.
  if (!streamToFile_) DecodeBody(response);
}

void HttpSession::UpdateRates(Exchange& exchange, DWORD blockLength) {
  const uint32_t now = GetTickCount();
  uint32_t delta = now - exchange.lastTick;
  exchange.lastTick = now;
  progress_.elapsedMs += delta;
  if (delta == 0) delta = 1;
  progress_.currentRate = static_cast<double>(blockLength) / delta;

  // Rates and the estimate stay 0 while no time has passed or the total is unknown.
  const uint32_t sinceStart = now - exchange.startTick;
  const uint64_t loopBytes = progress_.bytesReceived - exchange.loopStartBytes;
  progress_.averageRate = sinceStart == 0 ? 0.0 : static_cast<double>(loopBytes) / (sinceStart / 1000.0);
  const uint64_t remaining =
      progress_.totalBytes > progress_.bytesReceived ? progress_.totalBytes - progress_.bytesReceived : 0;
  const double seconds = progress_.averageRate > 0 ? static_cast<double>(remaining) / progress_.averageRate : 0.0;
  progress_.remainingSeconds = seconds >= static_cast<double>(UINT32_MAX) ? UINT32_MAX : static_cast<uint32_t>(seconds);
}

void HttpSession::DecodeBody(std::string& response) {
  const std::wstring encoding = ContentEncoding();
  if (encoding.empty()) return;
  if (!EqualsNoCase(encoding, L"gzip")) {
    if (IsLogEnabled()) LogError(L"Unsupported content encoding on response: " + encoding);
    return;
  }
  std::string decoded;
  DecodeGzipBuffer(response, decoded);
  // Service answers are text: cut at the first zero byte, unless the text is UTF-16, where zero bytes
  // belong to the characters.
  if (!StartsWithUtf16ByteOrderMark(decoded)) {
    const size_t zero = decoded.find('\0');
    if (zero != std::string::npos) decoded.resize(zero);
  }
  response = std::move(decoded);
}

void HttpSession::FinishTargetFile(Exchange& exchange, std::string& response) {
  const auto keepGoing = [this] { return !WasAborted(); };
  // An abort ends decoding and hashing within one block; the exchange then ends quietly.
  if (exchange.encoded && !exchange.target.DecodeGzipInto(targetPath_, keepGoing)) return;
  exchange.target.Close();
  if (!expectedChecksum_.empty()) {
    progress_.bytesVerified = 0;
    progress_.state = PELK_PHASE_VERIFYING;
    Publish();
    const std::wstring digest = FileMd5Hex(targetPath_, [this](uint64_t hashed) {
      progress_.bytesVerified = hashed;
      Publish();
      return !WasAborted();
    });
    if (WasAborted()) return;
    if (digest != expectedChecksum_) Throw(PELK_E_CHECKSUM);
  }
  DeleteUrlCacheEntryW(exchange.url.c_str());
  response = WideToAnsi(targetPath_);
}

std::wstring HttpSession::ContentEncoding() {
  std::wstring encoding;
  if (!QueryHeader(Live(request_), HTTP_QUERY_CONTENT_ENCODING, encoding)) encoding.clear();
  return encoding;
}

void HttpSession::EvaluateInternetErrorCode(DWORD code, StatusCode status) {
  OperationTag tag(L"EvaluateInternetErrorCode");
  if (IsLogEnabled()) LogLine(L"\tError Code: " + Dec(code));
  tag.Leave();
  if (code >= kFirstInternetError && code <= kLastInternetError) Throw(status);
}

void HttpSession::Finish(Exchange& exchange, StatusCode state) {
  // The file is closed before the final phase shows: a caller that sees it may move the file at once.
  exchange.target.Close();
  Close(state);
}

void HttpSession::Close(StatusCode state) {
  OperationTag tag(L"Close");
  DropHandle(request_);
  DropHandle(connection_);
  {
    LockGuard guard(abortLock_);
    internet_.reset();
  }
  // The phase first: nothing after this (a log line that cannot be allocated) can keep it from a poller.
  progress_.state = state;
  Publish();
  if (IsLogEnabled()) LogLine(L"\tStatus: " + Hex(static_cast<uint32_t>(state)));
}

void HttpSession::Abort() {
  OperationTag tag(L"Abort");
  LockGuard guard(abortLock_);
  abortRequested_ = true;
  // Closing the root handle closes the connection and request under it and fails the call the worker
  // is blocked in.
  internet_.reset();
  tag.Leave();
}

void HttpSession::ClearAbort() {
  OperationTag tag(L"ClearAbort");
  LockGuard guard(abortLock_);
  abortRequested_ = false;
}

HINTERNET HttpSession::Root() const {
  LockGuard guard(abortLock_);
  return internet_.get();
}

HINTERNET HttpSession::Live(const UniqueInternet& handle) const {
  LockGuard guard(abortLock_);
  // After an abort the handle has been closed with its root, and its value may already belong to another
  // session's new handle: it must not be used again. The exchange ends quietly instead.
  if (abortRequested_) Throw(PELK_PHASE_CLOSED);
  return handle.get();
}

bool HttpSession::WasAborted() const {
  LockGuard guard(abortLock_);
  return abortRequested_;
}

void HttpSession::DropHandle(UniqueInternet& handle) {
  LockGuard guard(abortLock_);
  // After an abort WinINet has already closed this handle with its root; closing it again could hit
  // a handle value that was handed out anew in the meantime.
  if (abortRequested_) {
    handle.release();
  } else {
    handle.reset();
  }
}

}  // namespace hv
