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
#include "support/status.h"
#include "transport/internet_handles.h"
#include "transport/transfer_progress.h"

namespace hv {

// The proxy-credentials dialog, with the signature of InternetErrorDlg (the default).
using CredentialsDialog = DWORD(WINAPI*)(HWND window, HINTERNET request, DWORD error, DWORD flags, LPVOID* data);
// Replaces the process-wide credentials dialog (null restores InternetErrorDlg); returns the previous one.
// For tests, which cannot show a dialog: set it before any exchange runs.
CredentialsDialog SetCredentialsDialog(CredentialsDialog dialog);

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
  TransferProgress Progress() const;

  // One complete exchange: GET (empty body) or POST. response gets the body, or the target path (ANSI)
  // when streaming to a file; it is empty after an abort, which ends the exchange quietly
  // (PELK_PHASE_CLOSED). A failure is recorded as the state (the error's phase) and thrown; the counts
  // describe this exchange only.
  void Submit(const std::wstring& url, const std::wstring& body, std::string& response);

  // Caller's thread: closes the root handle under the session's abort lock, which fails the worker's
  // blocked WinINet call (Wine's WinINet lets that call finish when the server next sends something and
  // fails the call after it). The abort also holds off an exchange that has not opened its root handle
  // yet, until ClearAbort.
  void Abort();
  void ClearAbort();  // the owning job calls it before it starts a new exchange

 private:
  struct Exchange;  // the state of one Submit, made fresh for each

  // The steps of an exchange, worker thread. Those that return bool give false when an abort ended
  // the exchange: every step after it is skipped and the exchange ends quietly.
  [[nodiscard]] bool Run(Exchange& exchange, const std::wstring& body, std::string& response);
  void OpenSession();
  void CrackUrl(Exchange& exchange);
  [[nodiscard]] bool OpenConnection(const Exchange& exchange);
  [[nodiscard]] bool SendRequest(Exchange& exchange, const std::wstring& body);
  [[nodiscard]] bool SendGetRequest(Exchange& exchange);
  [[nodiscard]] bool SendPostRequest(Exchange& exchange, const std::wstring& body);
  // Opens a request on the connection and returns it; null when aborted.
  HINTERNET OpenRequest(const wchar_t* verb, const Exchange& exchange);
  [[nodiscard]] bool SendWithRetries(bool post, DWORD flags, DWORD length);
  [[nodiscard]] bool UploadBody(Exchange& exchange, const std::wstring& body, DWORD length);
  // Reads the answer's status and the headers the exchange uses, once per answer.
  [[nodiscard]] bool ReadAnswer(Exchange& exchange);
  // Accepted for 200 and 206; ProxyWantsCredentials for 407 when prompting is allowed and not strict;
  // throws the status table's code otherwise.
  enum class Answer { Accepted, ProxyWantsCredentials };
  Answer CheckStatusCode(const Exchange& exchange, bool strict);
  [[nodiscard]] bool AskForAuthentication(bool& entered);
  void ReadTotalDataSize(Exchange& exchange);
  // The file side of a download's first answer: the file judges it; an answer that cannot serve is
  // replaced by one unranged request.
  [[nodiscard]] bool PrepareFile(Exchange& exchange);
  void CheckContentType(const Exchange& exchange);
  [[nodiscard]] bool ReadBody(Exchange& exchange, std::string& response);
  void DecodeBody(const Exchange& exchange, std::string& response);
  [[nodiscard]] bool FinishFile(Exchange& exchange, std::string& response);
  void EvaluateInternetErrorCode(DWORD code, StatusCode status);
  void Finish(Exchange& exchange, StatusCode state);
  void Close(StatusCode state);

  // The progress record belongs to the worker; Publish copies it, under the lock, to where Progress
  // reads it.
  void Publish();

  // Configuration.
  bool streamToFile_ = false;
  std::wstring targetPath_;
  std::wstring expectedChecksum_;
  bool noPrompt_ = false;
  HWND parentWindow_ = nullptr;
  bool acceptGzip_ = false;
  std::vector<std::wstring> userAgentTokens_;

  // Open during an exchange, closed by Close; the root also by Abort. One lock per session: closing a
  // request can take as long as reading the rest of its answer, and that must not hold up the aborts of
  // other sessions.
  InternetHandles handles_;

  TransferProgress progress_;  // worker's own
  mutable Lock progressLock_;
  TransferProgress published_;  // guarded by progressLock_
};

}  // namespace hv
