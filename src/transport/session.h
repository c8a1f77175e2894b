// The library's HTTP and HTTPS client over WinINet. One session carries out one exchange at a time,
// synchronously, on the owning job's worker thread; the caller's thread may only read the progress
// record and call Abort while an exchange runs. Every failure is a thrown hv::StatusError.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/scoped_handle.h"
#include "support/status.h"
#include "transport/progress.h"

namespace hv {

// The proxy-credentials dialog, with the signature of InternetErrorDlg (the default).
using CredentialsDialog = DWORD(WINAPI*)(HWND window, HINTERNET request, DWORD error, DWORD flags, LPVOID* data);
// Replaces the process-wide credentials dialog (null restores InternetErrorDlg); returns the previous one.
// For tests, which cannot show a dialog: set it before any exchange runs.
CredentialsDialog SetCredentialsDialog(CredentialsDialog dialog);

// Request flags for plain and for secure URLs (the secure value doubles as the security-flags retry value).
constexpr DWORD kPlainRequestFlags = 0x04000000;
constexpr DWORD kSecureRequestFlags = 0x04808080;

class VornetSession {
 public:
  VornetSession();   // acquires the log
  ~VornetSession();  // closes everything with PELK_PHASE_CLOSED, releases the log
  VornetSession(const VornetSession&) = delete;
  VornetSession& operator=(const VornetSession&) = delete;

  // Configuration, caller's thread, while no exchange runs.
  void SetStreamToFile(bool enabled, const std::wstring& targetPath, const std::wstring& expectedChecksum);
  void SetNoPrompt(bool noPrompt);
  void SetParentWindow(HWND window);
  void SetAcceptEncoding(bool acceptGzip);
  void AddUserAgentToken(const std::wstring& token);  // empty tokens are ignored
  void SetPostFile(const std::wstring& path);         // sent instead of the body; emptied after an upload
  void GetProgress(TransferProgress& out) const;      // plain copy, allowed while an exchange runs

  // One complete exchange: GET (empty body, no post file) or POST, proxy credentials, resumption, file
  // streaming, gzip decoding, checksum. response gets the body, or the target path (ANSI) when streaming
  // to a file; it is empty after an abort. Throws the failing status after recording it as the state;
  // a failed file operation throws 0x80000000 | the Windows error and records PELK_E_SYSTEM_CALL.
  void Submit(const std::wstring& url, const std::wstring& body, std::string& response);

  // The steps of an exchange, worker thread.
  void OpenSession();  // throws PELK_E_INTERNET_OPEN
  // Splits the URL; every output may be null. False (error logged) when the URL cannot be split.
  bool CrackUrl(const std::wstring& url, std::wstring* host, std::wstring* path, uint16_t* port);
  void OpenConnection(const std::wstring& host, uint16_t port);  // throws PELK_E_CONNECTION, _CONNECT_TIMEOUT
  void SendGetRequest(const std::wstring& path, DWORD flags);    // throws by the send error table
  void SendPostRequest(const std::wstring& path, const std::wstring& body, DWORD flags);
  // 0 for 200 and 206; PELK_E_PROXY_AUTH returned for 407 when prompting is allowed and not strict;
  // throws the status-table code otherwise.
  StatusCode CheckStatusCode(bool strict);
  void CheckContentType();  // streaming to a file only: throws PELK_E_CONTENT_TYPE when missing or too long
  // True when the response has a Content-Length; total bytes = bytes received + length, or 0 without a
  // length. Throws PELK_E_TOO_LARGE_2G/_4G for sizes the installed Internet Explorer cannot handle.
  bool GetTotalDataSize();
  // A fresh GET ranged from bytes received; any status but 200 and 206 throws (407 too). A 200 answer
  // ignored the range: the target file starts again from byte 0.
  void ResubmitGetRequest(const std::wstring& path, DWORD flags);
  bool AskForAuthentication();  // true when the credentials dialog returned ERROR_INTERNET_FORCE_RETRY
  void GetContentEncoding(std::wstring& out);  // empty when absent or unreadable
  // Throws status when code is a WinINet error (12001..12174); logs the code either way.
  void EvaluateInternetErrorCode(DWORD code, StatusCode status);
  static bool IsSecureUrl(const std::wstring& url);  // "https://" anywhere, any case
  // True when the volume holding the path's folder has strictly more free bytes than size.
  static bool HasFreeSpace(const std::wstring& path, uint64_t size);
  void Close(StatusCode status);  // closes every handle and the target file, records status as the state
  // Caller's thread: closes the root handle under the process-wide abort lock, which fails the worker's
  // blocked WinINet call (Wine's WinINet lets that call finish when the server next sends something and
  // fails the call after it). The abort also holds off an exchange that has not opened its root handle
  // yet, until ClearAbort.
  void Abort();
  void ClearAbort();  // the owning job calls it before it starts a new exchange

 private:
  // Submit's steps after the root handle is open.
  void Exchange(const std::wstring& url, const std::wstring& body, std::string& response);
  void PrepareTargetFile(const std::wstring& path, DWORD flags, bool lengthKnown);
  void OpenTargetFile(DWORD disposition);
  void RecreateTargetFile();
  void ReadBody(std::string& response);
  void WriteBlock(const char* data, DWORD length);
  void UpdateRates(DWORD blockLength);
  void DecodeBody(std::string& response);
  void DecodeTargetFile();
  void FinishTargetFile(const std::wstring& url, std::string& response);
  [[noreturn]] void ThrowSystemCallFailure();

  void OpenRequest(const wchar_t* verb, const std::wstring& path, DWORD flags);
  void SendWithRetries(bool post, DWORD flags, DWORD length);
  void UploadBody(const std::wstring& body, DWORD length);

  HINTERNET Root() const;  // the root handle, read under the abort lock
  bool WasAborted() const;
  // Closes a connection or request handle, or only forgets it when an abort has already closed it
  // together with its root.
  void DropHandle(UniqueInternet& handle);

  TransferProgress progress_;
  uint32_t lastTick_ = 0;
  uint32_t startTick_ = 0;
  uint64_t loopStartBytes_ = 0;
  bool streamToFile_ = false;
  std::wstring targetPath_;
  std::wstring expectedChecksum_;
  bool noPrompt_ = false;
  HWND parentWindow_ = nullptr;
  bool acceptGzip_ = false;
  UniqueInternet internet_;
  UniqueInternet request_;
  UniqueInternet connection_;
  UniqueFile targetFile_;
  std::vector<std::wstring> userAgentTokens_;
  DWORD lastError_ = 0;
  std::wstring bodyFilePath_;
  DWORD httpStatus_ = 0;           // status code of the current response
  bool systemCallFailed_ = false;  // the failure being thrown is 0x80000000 | a Windows error
  bool abortRequested_ = false;    // guarded by the abort lock
};

}  // namespace hv
