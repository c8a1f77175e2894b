// The library's HTTP and HTTPS client over WinINet. A session carries out one exchange at a time,
// synchronously, on the owning job's worker thread: Submit opens the handles, sends a GET or a POST,
// answers a proxy's demand for credentials, and collects the body in memory or streams it into a
// download's file (whose side of the exchange DownloadFile decides: resume, start again, gzip, checksum),
// then closes everything again. The caller's thread may copy the progress record and call Abort while an
// exchange runs; everything else happens while none runs. Every failure is a thrown hv::StatusError.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/lock.h"
#include "support/thread_annotations.h"
#include "support/status.h"
#include "transport/download_file.h"
#include "transport/http_request.h"
#include "transport/internet_handles.h"
#include "transport/transfer_progress.h"

namespace hv {

// Request flags for plain and for secure URLs (the secure value doubles as the security-flags retry value).
constexpr DWORD kPlainRequestFlags = 0x04000000;
constexpr DWORD kSecureRequestFlags = 0x04808080;

// True when the URL contains "https://" anywhere, in any letter case: such URLs get kSecureRequestFlags.
bool IsSecureUrl(const std::wstring& url);

class HttpSession {
 public:
  HttpSession();   // acquires the log
  ~HttpSession();  // closes everything with PELK_PHASE_CLOSED, releases the log
  HttpSession(const HttpSession&) = delete;
  HttpSession& operator=(const HttpSession&) = delete;

  // Configuration, caller's thread, while no exchange runs; it stays for later exchanges.
  void SetStreamToFile(bool enabled, const std::wstring& targetPath, const std::wstring& expectedChecksum);
  void SetNoPrompt(bool noPrompt);  // a proxy's 407 fails at once instead of showing the dialog
  void SetParentWindow(HWND window);  // owner of the credentials dialog; null: the desktop window
  void SetAcceptEncoding(bool acceptGzip);  // every request asks for "Accept-Encoding: gzip"
  void AddUserAgentToken(const std::wstring& token);  // empty tokens are ignored

  // A consistent copy of the progress record: any thread, also while an exchange runs.
  TransferProgress Progress() const EXCLUDES(progressLock_);

  // One complete exchange: GET (empty body) or POST. response gets the body, or the target path (ANSI)
  // when streaming to a file; it is empty after an abort, which ends the exchange quietly
  // (PELK_PHASE_CLOSED). A failure is recorded as the state (the error's phase) and thrown; the counts
  // describe this exchange only.
  void Submit(const std::wstring& url, const std::wstring& body, std::string& response);

  // Caller's thread, returns at once: the exchange ends quietly before its next WinINet call, a running
  // call fails where the platform can fail it (see InternetHandles). The abort also holds off an exchange
  // that has not opened its handles yet, until ClearAbort.
  void Abort();
  void ClearAbort();  // the owning job calls it before it starts a new exchange

 private:
  struct Exchange;  // the state of one Submit, made fresh for each
  enum class Read { Data, End, Failed, Aborted };

  // The steps of an exchange, worker thread. Those that return bool give false when an abort ended the
  // exchange: every step after it is skipped and the exchange ends quietly (PELK_PHASE_CLOSED).
  [[nodiscard]] bool Run(Exchange& exchange, const std::wstring& body, std::string& response);
  // One request and its answer: sent, judged and, unless the file is complete, read.
  [[nodiscard]] bool Transfer(Exchange& exchange, const std::wstring& body, std::string& response);
  void OpenSession();
  void CrackUrl(Exchange& exchange);
  [[nodiscard]] bool OpenConnection(const Exchange& exchange);
  // Sends the exchange's request; a download's GET asks for the bytes from the received count on.
  [[nodiscard]] bool Send(Exchange& exchange, const std::wstring& body, Accept accept);
  void ReadTotalDataSize(Exchange& exchange);
  // The file side of a download's answer: the file judges it; an answer that cannot serve is replaced by
  // one unranged request. next: what to do with the body.
  [[nodiscard]] bool PrepareFile(Exchange& exchange, DownloadFile::Next& next);
  void CheckContentType(const Exchange& exchange);
  [[nodiscard]] bool ReadBody(Exchange& exchange, std::string& response);
  // One read of what has arrived, up to limit bytes; error is set for Failed.
  Read ReadSome(char* buffer, DWORD limit, DWORD& read, DWORD& error);
  DWORD ReadLimit(const Exchange& exchange) const;  // 0: the body is all in
  bool RunsPastRange(const Exchange& exchange);     // more body after the end of a range without a length
  void EvaluateInternetErrorCode(DWORD code, StatusCode status);
  void Finish(Exchange& exchange, StatusCode state);
  // Records the final state (shown to pollers at once), then closes the handles.
  void Close(StatusCode state);

  // The progress record belongs to the worker; Publish copies it, under the lock, to where Progress
  // reads it.
  void Publish() EXCLUDES(progressLock_);

  // Configuration.
  bool streamToFile_ = false;
  std::wstring targetPath_;
  std::wstring expectedChecksum_;
  bool noPrompt_ = false;
  HWND parentWindow_ = nullptr;
  bool acceptGzip_ = false;
  std::vector<std::wstring> userAgentTokens_;

  // Open during an exchange, closed by Close; the root also by Abort.
  InternetHandles handles_;

  TransferProgress progress_;  // worker's own
  mutable Lock progressLock_;
  TransferProgress published_ GUARDED_BY(progressLock_);
};

}  // namespace hv
