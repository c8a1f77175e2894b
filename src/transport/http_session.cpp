#include "transport/http_session.h"

#include <algorithm>
#include <optional>

#include "operation_tag.h"
#include "support/log.h"
#include "support/probes.h"
#include "support/strings.h"
#include "support/version.h"
#include "transport/download_file.h"
#include "transport/gzip.h"
#include "transport/http_request.h"

namespace hv {
namespace {

// Request and response bodies move in blocks of this size: constant memory for transfers of any size.
constexpr DWORD kTransferBlockSize = 16384;
constexpr wchar_t kUserAgentModule[] = L"hvvornet";
constexpr DWORD kUrlPartLength = 2084;  // the longest URL part WinINet works with
constexpr DWORD kReceiveTimeoutMs = 300000;
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
  uint16_t port = 0;
  RequestOptions request;
  HttpAnswer answer;                 // the current request's
  std::optional<DownloadFile> file;  // a download's side of the exchange
};

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
  // What the target's path alone can refuse is refused before anything is sent.
  if (exchange.file) exchange.file->Begin();
  LogLine(L"\t[Submit]: Opening the connection...");
  if (!OpenConnection(exchange)) return false;
  exchange.request.flags = IsSecureUrl(exchange.url) ? kSecureRequestFlags : kPlainRequestFlags;
  exchange.request.acceptGzip = acceptGzip_;
  exchange.request.noPrompt = noPrompt_;
  exchange.request.parentWindow = parentWindow_;
  if (!exchange.file) return Transfer(exchange, body, response);
  const auto onProgress = [this] {
    Publish();
    return !handles_.Aborted();
  };
  for (;;) {
    // A file already there is asked for from its end on, at once: an answer whose body is not wanted
    // would cost its whole length, since closing such a request makes WinINet read what the server sends.
    progress_.bytesReceived = exchange.file->RequestFrom();
    Publish();
    if (!Transfer(exchange, body, response)) return false;
    // The answer is done with before the file's own work: an abort then finds nothing to read.
    handles_.CloseRequest();
    const DownloadFile::Outcome outcome = exchange.file->Finish(progress_, onProgress);
    if (outcome == DownloadFile::Outcome::Stopped) return false;
    if (outcome == DownloadFile::Outcome::Finished) break;
    progress_.bytesVerified = 0;
    progress_.state = PELK_PHASE_STARTED;
  }
  DeleteUrlCacheEntryW(exchange.url.c_str());
  response = WideToAnsi(targetPath_);
  return true;
}

bool HttpSession::Transfer(Exchange& exchange, const std::wstring& body, std::string& response) {
  LogLine(L"\t[Submit]: Sending the request...");
  const bool ranged = exchange.file && progress_.bytesReceived > 0;
  if (!Send(exchange, body, ranged ? Accept::AlsoRefusal : Accept::Usual)) return false;
  LogLine(L"\t[Submit]: Getting total data size...");
  ReadTotalDataSize(exchange);
  auto next = DownloadFile::Next::ReadBody;
  if (exchange.file && !PrepareFile(exchange, next)) return false;
  LogLine(L"\t[Submit]: Checking the content type...");
  CheckContentType(exchange);
  return next == DownloadFile::Next::Complete || ReadBody(exchange, response);
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

  DWORD error = 0;
  handles_.OpenRoot(agent, error);
  if (error != 0) {
    LogFailure(L"Failed to create the internet session: ", error);
    Throw(PELK_E_INTERNET_OPEN);
  }
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
  exchange.request.path.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
  exchange.port = parts.nPort;
  if (IsLogEnabled()) {
    LogLine(L"\tCracked host: " + exchange.host);
    LogLine(L"\tCracked URL: " + exchange.request.path);
    LogLine(L"\tCracked port: " + Dec(exchange.port));
  }
}

bool HttpSession::OpenConnection(const Exchange& exchange) {
  OperationTag tag(L"OpenConnection");
  if (IsLogEnabled()) {
    LogLine(L"\tHost: " + exchange.host);
    LogLine(L"\tPort: " + Dec(exchange.port));
  }
  DWORD error = 0;
  if (!handles_.Connect(exchange.host, exchange.port, error)) return false;
  if (error == ERROR_INTERNET_TIMEOUT) {
    LogError(L"Connection timed out.");
    Throw(PELK_E_CONNECT_TIMEOUT);
  }
  if (error != 0) {
    LogFailure(L"Failed to open the internet connection: ", error);
    Throw(PELK_E_CONNECTION);
  }
  return true;
}

bool HttpSession::Send(Exchange& exchange, const std::wstring& body, Accept accept) {
  std::vector<std::wstring> headers;
  if (exchange.file) {
    // A download's answer may be left unread (a complete file, an answer that cannot serve). Asked to keep
    // the connection, WinINet would read such a body to its end before closing the request.
    headers.emplace_back(L"Connection: close\r\n");
    if (progress_.bytesReceived > 0) {
      LogLine(L"\tDetected partial file.  Requesting a data range in the header.");
      headers.push_back(L"Range:bytes=" + DecU64(progress_.bytesReceived) + L"-\r\n");
    }
  }
  if (!SendRequest(handles_, exchange.request, body, headers, accept, exchange.answer)) return false;
  const std::wstring& encoding = exchange.answer.contentEncoding;
  // Only gzip is decoded; any other encoding is kept as sent.
  if (!encoding.empty() && !exchange.answer.IsGzip() && IsLogEnabled()) {
    LogError(L"Unsupported content encoding on response: " + encoding);
  }
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
  if (IsLogEnabled()) LogLine(known ? L"Total data size: " + DecU64(length) : L"Data size is unknown.");
  if (length >= k4GiB && !IsIeNewerThan7()) Throw(PELK_E_TOO_LARGE_4G);
  if (length >= k2GiB && !IsIeNewerThan6()) Throw(PELK_E_TOO_LARGE_2G);
}

bool HttpSession::PrepareFile(Exchange& exchange, DownloadFile::Next& next) {
  DownloadFile& file = *exchange.file;
  next = file.TakeAnswer(exchange.answer, progress_);
  Publish();
  if (next == DownloadFile::Next::FetchWhole) {
    OperationTag tag(L"ResubmitGetRequest");
    handles_.CloseRequest();
    if (!Send(exchange, std::wstring(), Accept::NoCredentials)) return false;
    if (exchange.answer.status != 200) Throw(PELK_E_HTTP_STATUS);
    ReadTotalDataSize(exchange);
    file.TakeWholeAnswer(exchange.answer);
    next = DownloadFile::Next::ReadBody;
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

HttpSession::Read HttpSession::ReadSome(char* buffer, DWORD limit, DWORD& read, DWORD& error) {
  // The read waits only until something has arrived and takes that, up to limit: an abort is then
  // noticed after the server's next write, however slowly it sends.
  DWORD available = 0;
  read = 0;
  if (!handles_.QueryAvailable(available, error)) return Read::Aborted;
  if (error != 0 || available == 0) return error != 0 ? Read::Failed : Read::End;
  if (!handles_.Read(buffer, std::min(available, limit), read, error)) return Read::Aborted;
  if (error != 0) return Read::Failed;
  return read == 0 ? Read::End : Read::Data;
}

DWORD HttpSession::ReadLimit(const Exchange& exchange) const {
  // A download reads no further than its total: a ranged answer never yields more than its range.
  if (!exchange.file || progress_.totalBytes == 0) return kTransferBlockSize;
  if (progress_.bytesReceived >= progress_.totalBytes) return 0;
  return static_cast<DWORD>(std::min<uint64_t>(progress_.totalBytes - progress_.bytesReceived, kTransferBlockSize));
}

bool HttpSession::ReadBody(Exchange& exchange, std::string& response) {
  LogLine(L"\tStarting download...");
  RateClock clock(progress_);
  std::string block(kTransferBlockSize, '\0');
  DWORD error = 0;
  for (DWORD limit = ReadLimit(exchange); limit > 0; limit = ReadLimit(exchange)) {
    DWORD read = 0;
    const Read result = ReadSome(&block[0], limit, read, error);
    if (result == Read::Aborted) return false;
    if (result != Read::Data) break;
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
  if (progress_.bytesReceived < progress_.totalBytes) {
    LogError(L"\tConnection error detected.  Response is incomplete.");
    Throw(PELK_E_CONNECTION);
  }
  if (!exchange.file) {
    if (exchange.answer.IsGzip()) response = DecodeGzipText(response);
    return true;
  }
  exchange.file->EndOfBody();  // a file that starts again with an empty body
  if (RunsPastRange(exchange)) exchange.file->Overran();
  return true;
}

bool HttpSession::RunsPastRange(const Exchange& exchange) {
  // Only an answer without a length can: its body runs to the end of the connection, and it was read up
  // to the end of its range.
  if (exchange.answer.hasLength || progress_.totalBytes == 0) return false;
  DWORD available = 0;
  DWORD error = 0;
  if (!handles_.QueryAvailable(available, error) || error != 0 || available == 0) return false;
  LogError(L"\tThe answer runs past the end of its range.");
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
  // The phase first: nothing after this (a log line that cannot be allocated, a request whose close reads
  // the rest of its answer) can keep it from a poller.
  progress_.state = state;
  Publish();
  if (IsLogEnabled()) LogLine(L"\tStatus: " + Hex(static_cast<uint32_t>(state)));
  handles_.CloseAll();
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
