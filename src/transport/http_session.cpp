#include "transport/http_session.h"

#include <atomic>
#include <optional>

#include "operation_tag.h"
#include "support/log.h"
#include "support/probes.h"
#include "support/strings.h"
#include "support/version.h"
#include "transport/download_file.h"
#include "transport/gzip.h"

namespace hv {
namespace {

using Kind = InternetHandles::Kind;

std::atomic<CredentialsDialog> g_credentialsDialog{&InternetErrorDlg};

// Request and response bodies move in blocks of this size: constant memory for transfers of any size.
constexpr DWORD kTransferBlockSize = 16384;
constexpr wchar_t kUserAgentModule[] = L"hvvornet";
constexpr DWORD kUrlPartLength = 2084;  // the longest URL part WinINet works with
constexpr DWORD kReceiveTimeoutMs = 300000;
constexpr DWORD kProxyAuthenticationError = 407;
constexpr DWORD kCredentialsDialogFlags =
    FLAGS_ERROR_UI_FILTER_FOR_ERRORS | FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS | FLAGS_ERROR_UI_FLAGS_GENERATE_DATA;
constexpr DWORD kFirstInternetError = 12001;
constexpr DWORD kLastInternetError = 12174;
constexpr uint64_t k2GiB = 0x80000000ull;
constexpr uint64_t k4GiB = 0x100000000ull;

}  // namespace


// Everything that belongs to one Submit and must not outlive it.
struct HttpSession::Exchange {
  explicit Exchange(const std::wstring& url_) : url(url_) {}

  const std::wstring& url;
  std::wstring host;
  std::wstring path;  // with the query string: it is the request's object name
  uint16_t port = 0;
  DWORD flags = kPlainRequestFlags;
  HttpAnswer answer;                 // the current request's
  std::optional<DownloadFile> file;  // a download's side of the exchange
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
    if (streamToFile_) exchange.file.emplace(targetPath_, expectedChecksum_);
    LogLine(L"\t[Submit]: Opening the session...");
    OpenSession();
    response.clear();
    const bool completed = !handles_.Aborted() && Run(exchange, body, response) && !handles_.Aborted();
    if (!completed) response.clear();
    Finish(exchange, completed ? PELK_PHASE_FINISHED : PELK_PHASE_CLOSED);
  } catch (const StatusError& failure) {
    Finish(exchange, failure.phase());
    throw;
  } catch (...) {
    LogError(L"\tSubmit failed for unknown reason.");
    Finish(exchange, PELK_E_UNEXPECTED);
    Throw(PELK_E_UNEXPECTED);
  }
}

bool HttpSession::Run(Exchange& exchange, const std::wstring& body, std::string& response) {
  LogLine(L"\t[Submit]: Cracking the URL...");
  CrackUrl(exchange);
  LogLine(L"\t[Submit]: Opening the connection...");
  if (!OpenConnection(exchange)) return false;
  exchange.flags = IsSecureUrl(exchange.url) ? kSecureRequestFlags : kPlainRequestFlags;
  // A download that finds a file already there asks for the rest of it at once. An answer whose body is
  // not wanted (a complete file, an unranged first answer for a partial one) would cost its whole length:
  // closing such a request makes WinINet read what the server keeps sending.
  if (exchange.file) {
    progress_.bytesReceived = exchange.file->ResumeOffset();
    Publish();
  }
  LogLine(L"\t[Submit]: Sending the request...");
  if (!SendRequest(exchange, body)) return false;
  LogLine(L"\t[Submit]: Getting total data size...");
  ReadTotalDataSize(exchange);
  if (exchange.file && !PrepareFile(exchange)) return false;
  LogLine(L"\t[Submit]: Checking the content type...");
  CheckContentType(exchange);

  if (progress_.totalBytes == 0 || progress_.bytesReceived < progress_.totalBytes) {
    if (!ReadBody(exchange, response)) return false;
  }
  if (handles_.Aborted()) return false;
  return !exchange.file || FinishFile(exchange, response);
}

void HttpSession::OpenSession() {
  OperationTag tag(L"OpenSession");
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
  handles_.Take(Kind::Root, std::move(root));
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

bool HttpSession::OpenConnection(const Exchange& exchange) {
  OperationTag tag(L"OpenConnection");
  if (IsLogEnabled()) {
    LogLine(L"\tHost: " + exchange.host);
    LogLine(L"\tPort: " + Dec(exchange.port));
  }
  handles_.Close(Kind::Request);
  handles_.Close(Kind::Connection);
  const HINTERNET root = handles_.Live(Kind::Root);
  if (!root) return false;
  UniqueInternet connection(
      InternetConnectW(root, exchange.host.c_str(), exchange.port, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 1));
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
  handles_.Take(Kind::Connection, std::move(connection));
  return true;
}

bool HttpSession::SendRequest(Exchange& exchange, const std::wstring& body) {
  for (;;) {
    const bool sent = body.empty() ? SendGetRequest(exchange) : SendPostRequest(exchange, body);
    if (!sent || !ReadAnswer(exchange)) return false;
    // A refused range is the file's to judge: the file may be complete.
    if (progress_.bytesReceived > 0 && exchange.answer.status == 416) return true;
    if (CheckStatusCode(exchange, false) == Answer::Accepted) return true;
    LogLine(L"\t[Submit]: Proxy authentication required...");
    bool entered = false;
    if (!AskForAuthentication(entered)) return false;
    if (!entered) Throw(PELK_E_PROXY_AUTH);
  }
}

HINTERNET HttpSession::OpenRequest(const wchar_t* verb, const Exchange& exchange) {
  const HINTERNET connection = handles_.Live(Kind::Connection);
  if (!connection) return nullptr;
  UniqueInternet request(
      HttpOpenRequestW(connection, verb, exchange.path.c_str(), nullptr, nullptr, nullptr, exchange.flags, 1));
  if (!request) {
    LogFailure(L"Could not open the request: ");
    Throw(PELK_E_OPEN_REQUEST);
  }
  if (acceptGzip_ && !HttpAddRequestHeadersW(request.get(), L"Accept-Encoding: gzip\r\n", static_cast<DWORD>(-1),
                                             HTTP_ADDREQ_FLAG_ADD_IF_NEW)) {
    LogFailure(L"Could not set encoding: ");
  }
  const HINTERNET opened = request.get();
  handles_.Take(Kind::Request, std::move(request));
  return opened;
}

bool HttpSession::SendGetRequest(Exchange& exchange) {
  OperationTag tag(L"SendGetRequest");
  if (IsLogEnabled()) {
    LogLine(L"\tURL: " + exchange.path);
    LogLine(L"\tFlags: " + Hex(exchange.flags));
  }
  const HINTERNET request = OpenRequest(L"GET", exchange);
  if (!request) return false;
  if (exchange.file) {
    // A download's answer may be left unread (a complete file, the first answer for a partial one). Asked
    // to keep the connection, WinINet would read such a body to its end before closing the request.
    HttpAddRequestHeadersW(request, L"Connection: close\r\n", static_cast<DWORD>(-1),
                           HTTP_ADDREQ_FLAG_REPLACE | HTTP_ADDREQ_FLAG_ADD);
  }
  if (exchange.file && progress_.bytesReceived > 0) {
    LogLine(L"\tDetected partial file.  Requesting a data range in the header.");
    const std::wstring range = L"Range:bytes=" + DecU64(progress_.bytesReceived) + L"-\r\n";
    HttpAddRequestHeadersW(request, range.c_str(), static_cast<DWORD>(-1),
                           HTTP_ADDREQ_FLAG_REPLACE | HTTP_ADDREQ_FLAG_ADD);
  }
  return SendWithRetries(false, exchange.flags, 0);
}

bool HttpSession::SendPostRequest(Exchange& exchange, const std::wstring& body) {
  OperationTag tag(L"SendPostRequest");
  if (IsLogEnabled()) {
    LogLine(L"\tURL: " + exchange.path);
    LogLine(L"\tFlags: " + Hex(exchange.flags));
    LogLine(L"\t***POST DATA***");
    LogLine(body);
  }
  if (!OpenRequest(L"POST", exchange)) return false;
  const auto length = static_cast<DWORD>(body.size() * sizeof(wchar_t));
  return SendWithRetries(true, exchange.flags, length) && UploadBody(exchange, body, length);
}

bool HttpSession::SendWithRetries(bool post, DWORD flags, DWORD length) {
  INTERNET_BUFFERSW buffers = {};
  buffers.dwStructSize = sizeof(buffers);
  buffers.dwBufferTotal = length;
  bool retry = false;
  bool retried = false;
  for (;;) {
    const HINTERNET request = handles_.Live(Kind::Request);
    if (!request) return false;
    // The request flags, read as security flags, include "ignore revocation": one more try.
    if (retry) InternetSetOptionW(request, INTERNET_OPTION_SECURITY_FLAGS, &flags, sizeof(flags));
    const BOOL sent = post ? HttpSendRequestExW(request, &buffers, nullptr, 0, 0)
                           : HttpSendRequestW(request, nullptr, 0, nullptr, 0);
    if (sent) return true;
    const DWORD error = GetLastError();
    LogFailure(L"Failed to send the request: ");
    retry = !retried && (error == ERROR_INTERNET_SEC_CERT_NO_REV || error == ERROR_INTERNET_SEC_CERT_REV_FAILED);
    if (!retry) Throw(SendFailure(error, post));
    retried = true;
  }
}

bool HttpSession::UploadBody(Exchange& exchange, const std::wstring& body, DWORD length) {
  LogLine(L"\tCalling InternetWriteFile");
  HINTERNET request = handles_.Live(Kind::Request);
  if (!request) return false;
  DWORD written = 0;
  if (!InternetWriteFile(request, body.data(), length, &written)) {
    LogFailure(L"Failed to post the request data to the server: ");
    // The server may already have answered (for example 407 or 500): its status explains more, and
    // CheckStatusCode throws it in place of the upload's own failure.
    if (!ReadAnswer(exchange)) return false;
    CheckStatusCode(exchange, true);
    Throw(PELK_E_SEND);
  }
  LogLine(L"\tInternetWriteFile complete, calling HttpEndRequest");
  request = handles_.Live(Kind::Request);
  if (!request) return false;
  HttpEndRequestW(request, nullptr, 0, 0);
  LogLine(L"\tHttpEndRequest complete");
  return true;
}

bool HttpSession::ReadAnswer(Exchange& exchange) {
  const HINTERNET request = handles_.Live(Kind::Request);
  if (!request) return false;
  exchange.answer = ReadHttpAnswer(request);
  return true;
}

HttpSession::Answer HttpSession::CheckStatusCode(const Exchange& exchange, bool strict) {
  OperationTag tag(L"CheckStatusCode");
  const DWORD code = exchange.answer.status;
  if (code == 0) {
    LogFailure(L"Failed to check the status code: ", exchange.answer.statusError);
    Throw(PELK_E_HTTP_STATUS);
  }
  if (IsLogEnabled()) LogLine(L"\tStatus Code: " + Dec(static_cast<int>(code)));
  if (code == kProxyAuthenticationError) {
    if (strict || noPrompt_) Throw(PELK_E_PROXY_AUTH);
    tag.Dismiss();
    return Answer::ProxyWantsCredentials;
  }
  const StatusCode failure = HttpStatusFailure(code);
  if (failure != 0) Throw(failure);
  return Answer::Accepted;
}

bool HttpSession::AskForAuthentication(bool& entered) {
  OperationTag tag(L"AskForAuthentication");
  const HINTERNET request = handles_.Live(Kind::Request);
  if (!request) return false;
  HWND window = parentWindow_ ? parentWindow_ : GetDesktopWindow();
  const DWORD result =
      g_credentialsDialog.load()(window, request, kProxyAuthenticationError, kCredentialsDialogFlags, nullptr);
  if (IsLogEnabled()) LogLine(L"\tAuthentication result: " + Hex(result));
  entered = result == ERROR_INTERNET_FORCE_RETRY;
  return true;
}

void HttpSession::ReadTotalDataSize(Exchange& exchange) {
  OperationTag tag(L"GetTotalDataSize");
  // A length that is no number is no length at all: the body runs to the end of the connection. A ranged
  // answer with an unreadable length cannot continue the file, and the whole file is asked for again
  // (some servers answer a range past the end so); any other is refused before anything touches the file.
  const HttpAnswer& answer = exchange.answer;
  bool known = answer.hasLength;
  if (known && answer.length >= kUnreadableLength) {
    LogError(L"\tThe content length is too large to be read: " + answer.lengthText);
    if (progress_.bytesReceived == 0 || answer.status == 200) Throw(PELK_E_READ);
    known = false;
  }
  const uint64_t length = known ? answer.length : 0;
  // Without a length the total is unknown (0), also for a resumed file: a received count must never
  // pass for the expected size, or a body without a length would not be read at all.
  progress_.totalBytes = known ? progress_.bytesReceived + length : 0;
  Publish();
  if (IsLogEnabled()) {
    LogLine(known ? L"Total data size: " + DecU64(length) : L"Data size is unknown.");
  }
  if (length >= k4GiB && !IsIeNewerThan7()) Throw(PELK_E_TOO_LARGE_4G);
  if (length >= k2GiB && !IsIeNewerThan6()) Throw(PELK_E_TOO_LARGE_2G);
}

bool HttpSession::PrepareFile(Exchange& exchange) {
  DownloadFile& file = *exchange.file;
  const DownloadFile::Next next = file.TakeAnswer(exchange.answer, progress_);
  Publish();
  if (next == DownloadFile::Next::FetchWhole) {
    OperationTag tag(L"ResubmitGetRequest");
    handles_.Close(Kind::Request);
    if (!SendGetRequest(exchange) || !ReadAnswer(exchange)) return false;
    CheckStatusCode(exchange, true);
    if (exchange.answer.status != 200) Throw(PELK_E_HTTP_STATUS);
    ReadTotalDataSize(exchange);
    file.TakeWholeAnswer(exchange.answer);
  }
  file.CheckFreeSpace(progress_);
  return true;
}

void HttpSession::CheckContentType(const Exchange& exchange) {
  // Only a body that goes into a file needs a type; a refused range (the file is complete) has none.
  if (!exchange.file || exchange.answer.status == 416) return;
  OperationTag tag(L"CheckContentType");
  const HttpAnswer& answer = exchange.answer;
  if (answer.contentTypeRead && IsLogEnabled()) LogLine(L"\tContent Type: " + answer.contentType);
  if (answer.contentType.empty()) {
    LogError(L"Invalid content type.");
    Throw(PELK_E_CONTENT_TYPE);
  }
}

bool HttpSession::ReadBody(Exchange& exchange, std::string& response) {
  LogLine(L"\tStarting download...");
  RateClock clock(progress_);
  std::string block(kTransferBlockSize, '\0');
  DWORD error = 0;
  for (;;) {
    const HINTERNET request = handles_.Live(Kind::Request);
    if (!request) return false;
    DWORD read = 0;
    if (!InternetReadFile(request, &block[0], kTransferBlockSize, &read)) {
      // Only a failed read has an error of its own; after a clean end the thread's last error is left
      // over from earlier calls and means nothing.
      error = GetLastError();
      break;
    }
    if (read == 0) break;
    progress_.bytesReceived += read;
    progress_.state = PELK_PHASE_RECEIVING;
    if (exchange.file) {
      exchange.file->Write(block.data(), read);
    } else {
      response.append(block.data(), read);
    }
    clock.Count(progress_, read);
    Publish();
  }
  if (IsLogEnabled()) LogLine(L"\tDownload complete.  Time elapsed: " + DecU64(progress_.elapsedMs));
  if (error != ERROR_INSUFFICIENT_BUFFER) EvaluateInternetErrorCode(error, PELK_E_CONNECTION);
  if (error != 0 && error != ERROR_INSUFFICIENT_BUFFER) Throw(PELK_E_READ);
  if (!handles_.Aborted() && progress_.bytesReceived < progress_.totalBytes) {
    LogError(L"\tConnection error detected.  Response is incomplete.");
    Throw(PELK_E_CONNECTION);
  }
  if (exchange.file) {
    exchange.file->EndOfBody();  // a file that starts again with an empty body
  } else {
    DecodeBody(exchange, response);
  }
  return true;
}

void HttpSession::DecodeBody(const Exchange& exchange, std::string& response) {
  const std::wstring& encoding = exchange.answer.contentEncoding;
  if (EqualsNoCase(encoding, L"gzip")) {
    response = DecodeGzipText(response);
  } else if (!encoding.empty() && IsLogEnabled()) {
    LogError(L"Unsupported content encoding on response: " + encoding);
  }
}

bool HttpSession::FinishFile(Exchange& exchange, std::string& response) {
  const bool finished = exchange.file->Finish(progress_, [this] {
    Publish();
    return !handles_.Aborted();
  });
  if (!finished) return false;
  DeleteUrlCacheEntryW(exchange.url.c_str());
  response = WideToAnsi(targetPath_);
  return true;
}

void HttpSession::EvaluateInternetErrorCode(DWORD code, StatusCode status) {
  OperationTag tag(L"EvaluateInternetErrorCode");
  if (IsLogEnabled()) LogLine(L"\tError Code: " + Dec(code));
  tag.Leave();
  if (code >= kFirstInternetError && code <= kLastInternetError) Throw(status);
}

void HttpSession::Finish(Exchange& exchange, StatusCode state) {
  // The file is closed before the final phase shows: a caller that sees it may move the file at once.
  if (exchange.file) exchange.file->Close();
  Close(state);
}

void HttpSession::Close(StatusCode state) {
  OperationTag tag(L"Close");
  handles_.CloseAll();
  // The phase first: nothing after this (a log line that cannot be allocated) can keep it from a poller.
  progress_.state = state;
  Publish();
  if (IsLogEnabled()) LogLine(L"\tStatus: " + Hex(static_cast<uint32_t>(state)));
}

void HttpSession::Abort() {
  OperationTag tag(L"Abort");
  handles_.Abort();
  tag.Leave();
}

void HttpSession::ClearAbort() {
  OperationTag tag(L"ClearAbort");
  handles_.ClearAbort();
}

}  // namespace hv
