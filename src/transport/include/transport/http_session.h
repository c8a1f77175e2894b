// The library's HTTP and HTTPS client over WinINet. A session carries out one exchange, synchronously, on
// a request job's worker thread: Submit opens the handles, sends a GET or a POST, answers a proxy's demand
// for credentials, hands the body to its sink (memory for a packet, the file for a download: the sink
// decides what an answer means for it) and closes everything again. The caller's thread reads the progress
// record the session publishes and may request a stop; everything else is the worker's.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <cstdint>
#include <optional>
#include <string>

#include "support/status.h"
#include "transport/body_sink.h"
#include "transport/exchange_request.h"
#include "transport/http_request.h"
#include "transport/internet_handles.h"
#include "transport/read_sizer.h"
#include "transport/stop_signal.h"
#include "transport/transfer_progress.h"

namespace hv {

// Request flags for plain and for secure URLs (the secure value doubles as the security-flags retry value).
constexpr DWORD kPlainRequestFlags = 0x04000000;
constexpr DWORD kSecureRequestFlags = 0x04808080;

// True when the URL contains "https://" anywhere, in any letter case: such URLs get kSecureRequestFlags.
bool IsSecureUrl(const std::wstring& url);

class HttpSession {
 public:
  // stop: the exchange's stop signal; progress: where the caller's thread reads the record. Both outlive
  // the session.
  HttpSession(StopSignal& stop, PublishedProgress& progress);  // acquires the log
  ~HttpSession();                                              // releases the log
  HttpSession(const HttpSession&) = delete;
  HttpSession& operator=(const HttpSession&) = delete;

  // One complete exchange of request, its body into sink: true when it ran to its end. A stop ends it
  // quietly: the final phase is PELK_PHASE_CLOSED and Submit returns false. A failure is recorded as the
  // final phase (the error's phase) and thrown. The sink is closed before the final phase shows.
  [[nodiscard]] bool Submit(const ExchangeRequest& request, BodySink& sink);

 private:
  struct Exchange;  // the state of one Submit

  void Run(Exchange& exchange);
  // One request and its answer: sent, judged by the sink and, unless the sink is complete, read.
  void Transfer(Exchange& exchange);
  void OpenSession(const ExchangeRequest& request);
  void CrackUrl(Exchange& exchange);
  void OpenConnection(const Exchange& exchange);
  // Sends the exchange's request, following redirects; from > 0 asks for the bytes from there on.
  void Send(Exchange& exchange, const std::wstring& body, uint64_t from, Accept accept);
  void FollowRedirect(Exchange& exchange);  // to where the answer's Location points
  // The answer's Content-Length when it is known and readable (an answer to a request from 0 that
  // announces an unreadable one fails).
  std::optional<uint64_t> ReadTotalDataSize(const Exchange& exchange, uint64_t from);
  void Apply(const BodySink::Plan& plan);  // the sink's counts into the progress record
  void ReadBody(Exchange& exchange);
  // One read of up to limit bytes, as large as sizer says: the count, 0 at the end; error is set on a
  // failure.
  DWORD ReadSome(char* buffer, DWORD limit, ReadSizer& sizer, DWORD& error);
  DWORD ReadLimit() const;                       // 0: the body is all in
  bool RunsPastRange(const Exchange& exchange);  // more body after the end of a range without a length
  void EvaluateInternetErrorCode(DWORD code, StatusCode status);
  // Records the final state (shown to pollers at once), after closing the sink; then closes the handles.
  void Finish(BodySink& sink, StatusCode state);

  void Publish() { published_.Publish(progress_); }

  StopSignal& stop_;
  PublishedProgress& published_;
  InternetHandles handles_;
  TransferProgress progress_;  // the worker's own; Publish copies it for the caller
};

}  // namespace hv
