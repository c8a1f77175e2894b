#include "transport/http_session.h"

#include <algorithm>
#include <chrono>

#include "operation_tag.h"
#include "support/log.h"
#include "support/probes.h"
#include "support/strings.h"
#include "support/version.h"
#include "transport/http_request.h"

namespace hv {
namespace {

constexpr wchar_t kUserAgentModule[] = L"hvvornet";
constexpr DWORD kUrlPartLength = 2084;  // the longest URL part WinINet works with
constexpr DWORD kFirstInternetError = 12001;
constexpr DWORD kLastInternetError = 12174;
constexpr uint64_t k2GiB = 0x80000000ull;
constexpr uint64_t k4GiB = 0x100000000ull;
// Redirects followed in a row before the exchange fails; browsers stop at about 20, WinHTTP at 10.
constexpr int kMaxRedirects = 10;

// The absolute URL a Location names, resolved against the URL it came from; empty when it cannot be.
std::wstring ResolveLocation(const std::wstring& base, const std::wstring& location) {
  std::wstring url(base.size() + location.size() + kUrlPartLength, L'\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    auto length = static_cast<DWORD>(url.size());
    if (InternetCombineUrlW(base.c_str(), location.c_str(), &url[0], &length, ICU_NO_ENCODE)) {
      url.resize(length);
      return url;
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) break;
    url.assign(length + 1, L'\0');
  }
  return std::wstring();
}

}  // namespace

// Everything that belongs to one Submit.
struct HttpSession::Exchange {
  Exchange(const ExchangeRequest& request_, BodySink& sink_) : request(request_), sink(sink_), url(request_.url) {}

  const ExchangeRequest& request;
  BodySink& sink;
  std::wstring url;  // where the current request goes: the request's URL, or where a redirect led
  std::wstring host;
  uint16_t port = 0;
  RequestOptions options;
  HttpAnswer answer;  // the current request's
};

bool IsSecureUrl(const std::wstring& url) {
  OperationTag tag(L"IsSecureUrl");
  return FindNoCase(url, L"https://") >= 0;
}

HttpSession::HttpSession(StopSignal& stop, PublishedProgress& progress)
    : stop_(stop), published_(progress), handles_(stop) {
  AcquireLog();
  LogLine(L"<VornetSession::VornetSession>");
}

HttpSession::~HttpSession() {
  // Only logging can throw here (out of memory), and a destructor must not; the handles close with
  // their owner regardless.
  StatusOf([] { LogLine(L"</VornetSession::~VornetSession>"); });
  ReleaseLog();
}

bool HttpSession::Submit(const ExchangeRequest& request, BodySink& sink) {
  OperationTag tag(L"Submit");
  // The record describes this exchange only.
  progress_ = TransferProgress();
  progress_.state = PELK_PHASE_STARTED;
  Publish();
  Exchange exchange(request, sink);
  // Every way out records a final phase: a caller that polls the phase must see the end.
  try {
    LogLine(L"\t[Submit]: Opening the session...");
    OpenSession(request);
    Run(exchange);
    // A stop that came while the last step ran still counts: the caller asked for it before the end.
    stop_.ThrowIfRequested();
    Finish(sink, PELK_PHASE_FINISHED);
    return true;
  } catch (const StatusError& failure) {
    Finish(sink, IsStop(failure) ? PELK_PHASE_CLOSED : failure.phase());
    if (IsStop(failure)) return false;
    throw;
  } catch (...) {
    LogError(L"\tSubmit failed for unknown reason.");
    Finish(sink, PELK_E_UNEXPECTED);
    Throw(PELK_E_UNEXPECTED);
  }
}

void HttpSession::Run(Exchange& exchange) {
  LogLine(L"\t[Submit]: Cracking the URL...");
  CrackUrl(exchange);
  // What the sink can refuse without an answer (a target that cannot be a file) is refused before
  // anything is sent.
  exchange.sink.Begin(stop_);
  LogLine(L"\t[Submit]: Opening the connection...");
  OpenConnection(exchange);
  const ExchangeRequest& request = exchange.request;
  exchange.options.acceptGzip = request.acceptGzip;
  exchange.options.noPrompt = request.noPrompt;
  exchange.options.parentWindow = request.parentWindow;
  const BodySink::VerifiedCount onVerified = [this](uint64_t verified) {
    progress_.bytesVerified = verified;
    progress_.state = PELK_PHASE_VERIFYING;
    Publish();
  };
  for (;;) {
    Transfer(exchange);
    // The answer is done with before the sink's own work: a stop then finds nothing to read.
    handles_.CloseRequest();
    if (exchange.sink.Finish(stop_, onVerified) == BodySink::Outcome::Finished) break;
    progress_.bytesVerified = 0;
    progress_.state = PELK_PHASE_STARTED;
  }
  if (exchange.sink.IsDownload()) DeleteUrlCacheEntryW(request.url.c_str());
}

void HttpSession::Transfer(Exchange& exchange) {
  // What a sink already holds (a file an earlier run left) is asked for from its end on, at once: an
  // answer whose body is not wanted would cost its whole length, since closing such a request makes
  // WinINet read what the server sends.
  const uint64_t from = exchange.sink.RequestFrom();
  progress_.bytesReceived = from;
  Publish();
  LogLine(L"\t[Submit]: Sending the request...");
  Send(exchange, exchange.request.body, from, from > 0 ? Accept::AlsoRefusal : Accept::Usual);
  LogLine(L"\t[Submit]: Getting total data size...");
  BodySink::Plan plan = exchange.sink.TakeAnswer(exchange.answer, ReadTotalDataSize(exchange, from));
  if (plan.next == BodySink::Next::FetchWhole) {
    OperationTag tag(L"ResubmitGetRequest");
    progress_.bytesReceived = 0;
    handles_.CloseRequest();
    // The refetch is a request like the first: a proxy that asks again for credentials may be answered.
    Send(exchange, std::wstring(), 0, Accept::Usual);
    if (exchange.answer.status != 200) Throw(PELK_E_HTTP_STATUS);
    plan = exchange.sink.TakeWholeAnswer(exchange.answer, ReadTotalDataSize(exchange, 0));
  }
  Apply(plan);
  if (plan.next != BodySink::Next::Complete) ReadBody(exchange);
}

void HttpSession::Apply(const BodySink::Plan& plan) {
  progress_.bytesReceived = plan.received;
  progress_.totalBytes = plan.total;
  if (plan.resuming) progress_.state = PELK_PHASE_RESUMING;
  Publish();
}

void HttpSession::OpenSession(const ExchangeRequest& request) {
  OperationTag tag(L"OpenSession");
  std::wstring agent = L"HvWebServiceClient (";
  agent += kUserAgentModule;
  agent += L" ";
  agent += kCoreLibraryVersion;
  agent += L";";
  for (const std::wstring& token : request.userAgentTokens) {
    if (!token.empty()) agent += token + L";";
  }
  agent += L")";
  if (IsLogEnabled()) LogLine(L"\tUserAgent: " + agent);

  const DWORD error = handles_.OpenRoot(agent);
  if (error != 0) {
    LogFailure(L"Failed to create the internet session: ", error);
    Throw(PELK_E_INTERNET_OPEN, error);
  }
}

void HttpSession::CrackUrl(Exchange& exchange) {
  OperationTag tag(L"CrackUrl");
  const std::wstring& url = exchange.url;
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
    const DWORD error = GetLastError();
    LogFailure(L"Failed to crack the URL: ", error);
    tag.Leave();
    Throw(PELK_E_BAD_URL, error);
  }
  exchange.host.assign(parts.lpszHostName, parts.dwHostNameLength);
  exchange.options.path.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
  exchange.port = parts.nPort;
  exchange.options.flags = IsSecureUrl(url) ? kSecureRequestFlags : kPlainRequestFlags;
  if (IsLogEnabled()) {
    LogLine(L"\tCracked host: " + exchange.host);
    LogLine(L"\tCracked URL: " + exchange.options.path);
    LogLine(L"\tCracked port: " + Dec(exchange.port));
  }
}

void HttpSession::OpenConnection(const Exchange& exchange) {
  OperationTag tag(L"OpenConnection");
  if (IsLogEnabled()) {
    LogLine(L"\tHost: " + exchange.host);
    LogLine(L"\tPort: " + Dec(exchange.port));
  }
  const DWORD error = handles_.Connect(exchange.host, exchange.port, exchange.request.receiveTimeoutMs);
  if (error == ERROR_INTERNET_TIMEOUT) {
    LogError(L"Connection timed out.");
    Throw(PELK_E_CONNECT_TIMEOUT, error);
  }
  if (error != 0) {
    LogFailure(L"Failed to open the internet connection: ", error);
    Throw(PELK_E_CONNECTION, error);
  }
}

void HttpSession::Send(Exchange& exchange, const std::wstring& body, uint64_t from, Accept accept) {
  std::vector<std::wstring> headers;
  if (exchange.sink.IsDownload()) {
    // A download's answer may be left unread (a complete file, an answer that cannot serve). Asked to keep
    // the connection, WinINet would read such a body to its end before closing the request.
    headers.emplace_back(L"Connection: close\r\n");
  }
  if (from > 0) {
    LogLine(L"\tDetected partial file.  Requesting a data range in the header.");
    headers.push_back(L"Range:bytes=" + DecU64(from) + L"-\r\n");
    // The rest of the same version only: a server whose file changed answers with the whole new one.
    const std::wstring validator = exchange.sink.RangeValidator();
    if (!validator.empty()) headers.push_back(L"If-Range: " + validator + L"\r\n");
  }
  // Redirects are followed here, each hop asked for the same range; a POST redirected by 303 (or, as
  // browsers do, by 301 or 302) becomes a GET. The sink sees only the last answer.
  std::wstring hopBody = body;
  for (int hop = 0;; ++hop) {
    SendRequest(handles_, exchange.options, hopBody, headers, accept, exchange.answer);
    if (!exchange.answer.IsRedirect()) break;
    if (hop == kMaxRedirects) {
      LogError(L"Too many redirects; the last went to " + exchange.answer.location);
      Throw(PELK_E_REDIRECTS);
    }
    FollowRedirect(exchange);
    const DWORD status = exchange.answer.status;
    if (status == 303 || status == 301 || status == 302) hopBody.clear();
  }
  const std::wstring& encoding = exchange.answer.contentEncoding;
  // Only gzip is decoded; any other encoding is kept as sent.
  if (!encoding.empty() && !exchange.answer.IsGzip() && IsLogEnabled()) {
    LogError(L"Unsupported content encoding on response: " + encoding);
  }
}

void HttpSession::FollowRedirect(Exchange& exchange) {
  OperationTag tag(L"FollowRedirect");
  const std::wstring target = ResolveLocation(exchange.url, exchange.answer.location);
  if (IsLogEnabled()) LogLine(L"\tRedirected to: " + exchange.answer.location);
  if (target.empty()) Throw(PELK_E_BAD_URL);
  const std::wstring host = exchange.host;
  const uint16_t port = exchange.port;
  exchange.url = target;
  CrackUrl(exchange);
  // The open connection serves another path on its own host and port; anywhere else needs a new one.
  if (exchange.host != host || exchange.port != port) OpenConnection(exchange);
}

std::optional<uint64_t> HttpSession::ReadTotalDataSize(const Exchange& exchange, uint64_t from) {
  OperationTag tag(L"GetTotalDataSize");
  // A length that is no number is no length at all: the body runs to the end of the connection. A ranged
  // answer with an unreadable length cannot continue the file, and the whole file is asked for again
  // (some servers answer a range past the end so); any other is refused before anything touches the file.
  const HttpAnswer& answer = exchange.answer;
  std::optional<uint64_t> length;
  if (answer.hasLength) length = answer.length;
  if (length && *length >= kUnreadableLength) {
    LogError(L"\tThe content length is too large to be read: " + answer.lengthText);
    if (from == 0 || answer.status == 200) Throw(PELK_E_READ);
    length.reset();
  }
  if (IsLogEnabled()) LogLine(length ? L"Total data size: " + DecU64(*length) : L"Data size is unknown.");
  if (length && *length >= k4GiB && !IsIeNewerThan7()) Throw(PELK_E_TOO_LARGE_4G);
  if (length && *length >= k2GiB && !IsIeNewerThan6()) Throw(PELK_E_TOO_LARGE_2G);
  return length;
}

DWORD HttpSession::ReadSome(char* buffer, DWORD limit, ReadSizer& sizer, DWORD& error) {
  const auto start = std::chrono::steady_clock::now();
  DWORD read = 0;
  const DWORD size = std::min(sizer.Next(), limit);
  if (size > 0) {
    error = handles_.Read(buffer, size, read);
  } else {
    // What has arrived: the query waits only until something has.
    DWORD available = 0;
    error = handles_.QueryAvailable(available);
    if (error == 0 && available > 0) error = handles_.Read(buffer, std::min(available, limit), read);
  }
  if (error != 0) return 0;
  const auto elapsed = std::chrono::steady_clock::now() - start;
  sizer.Count(read, static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count()));
  return read;
}

DWORD HttpSession::ReadLimit() const {
  // No read goes past the total: a ranged answer never yields more than its range.
  if (progress_.totalBytes == 0) return ReadSizer::kLargestRead;
  if (progress_.bytesReceived >= progress_.totalBytes) return 0;
  return static_cast<DWORD>(
      std::min<uint64_t>(progress_.totalBytes - progress_.bytesReceived, ReadSizer::kLargestRead));
}

void HttpSession::ReadBody(Exchange& exchange) {
  LogLine(L"\tStarting download...");
  RateClock clock(progress_);
  // One block for the whole body: memory stays constant for a body of any size.
  std::string block(ReadSizer::kLargestRead, '\0');
  ReadSizer sizer;
  DWORD error = 0;
  for (DWORD limit = ReadLimit(); limit > 0; limit = ReadLimit()) {
    const DWORD read = ReadSome(&block[0], limit, sizer, error);
    if (read == 0) break;
    // A stopped exchange writes nothing more: what the sink holds stays as it was at the stop.
    stop_.ThrowIfRequested();
    progress_.bytesReceived += read;
    progress_.state = PELK_PHASE_RECEIVING;
    exchange.sink.Write(block.data(), read);
    clock.Count(progress_, read);
    Publish();
  }
  if (IsLogEnabled()) LogLine(L"\tDownload complete.  Time elapsed: " + DecU64(progress_.elapsedMs));
  if (error != ERROR_INSUFFICIENT_BUFFER) EvaluateInternetErrorCode(error, PELK_E_CONNECTION);
  if (error != 0 && error != ERROR_INSUFFICIENT_BUFFER) Throw(PELK_E_READ, error);
  if (progress_.bytesReceived < progress_.totalBytes) {
    LogError(L"\tConnection error detected.  Response is incomplete.");
    Throw(PELK_E_CONNECTION);
  }
  exchange.sink.EndBody(RunsPastRange(exchange));
}

bool HttpSession::RunsPastRange(const Exchange& exchange) {
  // Only an answer without a length can: its body runs to the end of the connection, and it was read up
  // to the end of its range.
  if (exchange.answer.hasLength || progress_.totalBytes == 0) return false;
  DWORD available = 0;
  if (handles_.QueryAvailable(available) != 0 || available == 0) return false;
  LogError(L"\tThe answer runs past the end of its range.");
  return true;
}

void HttpSession::EvaluateInternetErrorCode(DWORD code, StatusCode status) {
  OperationTag tag(L"EvaluateInternetErrorCode");
  if (IsLogEnabled()) LogLine(L"\tError Code: " + Dec(code));
  tag.Leave();
  if (code >= kFirstInternetError && code <= kLastInternetError) Throw(status, code);
}

void HttpSession::Finish(BodySink& sink, StatusCode state) {
  // The sink is closed before the final phase shows: a caller that sees it may move the file at once.
  sink.Close();
  OperationTag tag(L"Close");
  // The phase first: nothing after this (a log line that cannot be allocated, a request whose close reads
  // the rest of its answer) can keep it from a poller.
  progress_.state = state;
  Publish();
  if (IsLogEnabled()) LogLine(L"\tStatus: " + Hex(static_cast<uint32_t>(state)));
  handles_.CloseAll();
}

}  // namespace hv
