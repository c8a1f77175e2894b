// The library's HTTP and HTTPS client over WinINet. A session carries out one exchange at a time,
// synchronously, on the owning job's worker thread: Submit opens the handles, sends a GET or a POST,
// answers a proxy's demand for credentials, and collects the body in memory or streams it into a target
// file (resuming a partial one, decoding gzip, verifying an MD5 digest), then closes everything again.
// The caller's thread may copy the progress record and call Abort while an exchange runs; everything
// else happens while none runs. Every failure is a thrown hv::StatusError.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/lock.h"
#include "support/scoped_handle.h"
#include "support/status.h"
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
  void SetPostFile(const std::wstring& path);         // sent instead of the body; emptied after an upload

  // A consistent copy of the progress record: any thread, also while an exchange runs.
  TransferProgress Progress() const;

  // One complete exchange: GET (empty body, no post file) or POST. response gets the body, or the target
  // path (ANSI) when streaming to a file; it is empty after an abort. A failure is recorded as the state
  // (the error's phase) and thrown; the counts describe this exchange only.
  void Submit(const std::wstring& url, const std::wstring& body, std::string& response);

  // Caller's thread: closes the root handle under the session's abort lock, which fails the worker's
  // blocked WinINet call (Wine's WinINet lets that call finish when the server next sends something and
  // fails the call after it). The abort also holds off an exchange that has not opened its root handle
  // yet, until ClearAbort.
  void Abort();
  void ClearAbort();  // the owning job calls it before it starts a new exchange

 private:
  struct Exchange;  // the state of one Submit, made fresh for each

  // The steps of an exchange, worker thread.
  void Run(Exchange& exchange, const std::wstring& body, std::string& response);
  void OpenSession();
  void CrackUrl(Exchange& exchange);
  void OpenConnection(const Exchange& exchange);
  void SendRequest(Exchange& exchange, const std::wstring& body);
  void SendGetRequest(const Exchange& exchange);
  void SendPostRequest(Exchange& exchange, const std::wstring& body);
  void OpenRequest(const wchar_t* verb, const Exchange& exchange);
  void SendWithRetries(bool post, DWORD flags, DWORD length);
  void UploadBody(Exchange& exchange, const std::wstring& body, DWORD length);
  [[noreturn]] void FailUpload(Exchange& exchange, StatusCode status);
  // Accepted for 200 and 206; ProxyWantsCredentials for 407 when prompting is allowed and not strict;
  // throws the status table's code otherwise.
  enum class Answer { Accepted, ProxyWantsCredentials };
  Answer CheckStatusCode(Exchange& exchange, bool strict);
  bool AskForAuthentication();
  void ReadTotalDataSize(Exchange& exchange);
  uint64_t ExistingFileSize() const;  // of the file a download would continue; 0 when none
  void PrepareTargetFile(Exchange& exchange);
  // Opens the file the answer's body goes to (the encoded file for gzip) and returns its size.
  uint64_t OpenFileForAnswer(Exchange& exchange);
  // Decides, from the first answer, whether the file on disk (size bytes) is continued, complete, or
  // started again (with a second, unranged request when the answer cannot serve as the whole file).
  void ContinueFile(Exchange& exchange, uint64_t size);
  // The file cannot be continued: it is emptied (RestartFileNow) once the new body's first block comes,
  // so that an answer that fails before that leaves it as it was.
  void StartFileAgain(Exchange& exchange);
  void RestartFileNow(Exchange& exchange);
  // True when a 206 continues the file of size bytes exactly: its range starts there and runs to the
  // end, its length matches and so does its encoding. total is the resource's length.
  bool AnswerContinues(Exchange& exchange, uint64_t size, uint64_t& total);
  bool RefusedRangeTotal(uint64_t& total);  // the total of a 416's "bytes */<total>"
  int QueryStatusCode(Exchange& exchange);  // the answer's status (also stored); 0 when unreadable
  void CheckContentType(const Exchange& exchange);
  void ReadBody(Exchange& exchange, std::string& response);
  void UpdateRates(Exchange& exchange, DWORD blockLength);
  void DecodeBody(std::string& response);
  void FinishTargetFile(Exchange& exchange, std::string& response);
  std::wstring ContentEncoding();
  void EvaluateInternetErrorCode(DWORD code, StatusCode status);
  void Finish(Exchange& exchange, StatusCode state);
  void Close(StatusCode state);

  // The progress record belongs to the worker; Publish copies it, under the lock, to where Progress
  // reads it.
  void Publish();

  HINTERNET Root() const;  // the root handle, read under the abort lock
  // A connection or request handle for a WinINet call on the worker; after an abort, throws
  // PELK_PHASE_CLOSED (the quiet end of an aborted exchange) instead.
  HINTERNET Live(const UniqueInternet& handle) const;
  bool WasAborted() const;
  // Closes a connection or request handle, or only forgets it when an abort has already closed it
  // together with its root.
  void DropHandle(UniqueInternet& handle);

  // Configuration.
  bool streamToFile_ = false;
  std::wstring targetPath_;
  std::wstring expectedChecksum_;
  bool noPrompt_ = false;
  HWND parentWindow_ = nullptr;
  bool acceptGzip_ = false;
  std::vector<std::wstring> userAgentTokens_;
  std::wstring bodyFilePath_;

  // WinINet handles: open during an exchange, closed by Close; the root also by Abort.
  UniqueInternet internet_;
  UniqueInternet connection_;
  UniqueInternet request_;
  // Abort closes the root handle under this lock from the caller's thread; the worker takes it whenever
  // it stores or closes one of the handles, so that the two never close the same handle twice. One per
  // session: closing a request can take as long as reading the rest of its answer, and that must not
  // hold up the aborts of other sessions.
  mutable Lock abortLock_;
  bool abortRequested_ = false;  // guarded by abortLock_

  TransferProgress progress_;  // worker's own
  mutable Lock progressLock_;
  TransferProgress published_;  // guarded by progressLock_
};

}  // namespace hv
