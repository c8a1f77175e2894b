// The asynchronous request job: one VornetSession, the pieces of the request URL, the body and the
// response, and a worker thread per exchange. The caller starts it with a time limit, polls it with
// Check and may cancel it. Failures of the exchange are thrown to the caller from Run or Check.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "packets/client_identity.h"
#include "support/status.h"
#include "transport/progress.h"
#include "transport/session.h"

namespace hv {

// Each UTF-16 code unit that iswalnum accepts is kept; any other becomes "%" and two upper-case hex
// digits of its low 8 bits (the high 8 bits are dropped: U+2013 gives "%13").
std::wstring UrlEncode(const std::wstring& text);

class VornetRequest {
 public:
  // Adds the user-agent token "<application name> <application version>".
  explicit VornetRequest(const ClientIdentity& identity);
  virtual ~VornetRequest();  // cancels and waits for a running exchange
  VornetRequest(const VornetRequest&) = delete;
  VornetRequest& operator=(const VornetRequest&) = delete;

  // Starts an exchange and waits up to timeoutMs (0 does not wait, 0xFFFFFFFF waits without limit).
  // 0: finished successfully; PELK_S_STILL_RUNNING: limit 0 and still running. Throws the exchange's
  // failure, PELK_E_ALREADY_RUNNING while an exchange runs, PELK_E_TIMEOUT (exchange aborted and
  // collected) when a nonzero limit runs out, PELK_E_UNEXPECTED when no worker can be started.
  virtual StatusCode Run(uint32_t timeoutMs, bool noPrompt);
  // PELK_S_NOTHING_OUTSTANDING when no exchange is outstanding (none started, already collected, or
  // cancelled with wait); PELK_S_STILL_RUNNING while it runs after waiting up to timeoutMs; 0 when it
  // finished successfully; throws its failure.
  StatusCode Check(uint32_t timeoutMs);
  // Aborts a running exchange. With wait, also waits for the worker and collects it (the job is idle
  // afterwards); without, the next Check reports the aborted exchange's own outcome.
  void Cancel(bool wait);
  void CancelAndClear(bool wait);  // Cancel, then empties the query parameters and the response

  void SetUrl(const std::wstring& url);
  void SetCommand(const std::wstring& command);  // non-empty: the URL gets "?cmd=<command>"
  void AddQueryParameter(const std::wstring& name, const std::wstring& value);  // "&name=value", encoded
  void SetBody(const std::wstring& body);        // non-empty: POST
  void SetPostFile(const std::wstring& path);    // POST the file's bytes instead of the body
  void SetParentWindow(HWND window);
  void AddUserAgentToken(const std::wstring& token);
  void SetAcceptEncoding(bool acceptGzip);
  const std::string& GetResponse() const;  // valid after a collected exchange
  void GetProgress(TransferProgress& out) const;

  // The URL the worker requests: base URL, then "?cmd=" and the command plus the parameters, or "?" and
  // the parameters when there is no command.
  std::wstring BuildUrl() const;

 protected:
  VornetSession& session() { return session_; }

 private:
  struct Worker;
  static DWORD WINAPI WorkerEntry(void* start);
  void ThreadMain(HANDLE completed);
  bool StartWorker(uint32_t timeoutMs);
  bool WaitForCompletion(uint32_t timeoutMs);
  void JoinWorker();

  VornetSession session_;
  std::atomic<StatusCode> status_{PELK_S_NOTHING_OUTSTANDING};  // the worker stores its outcome here
  std::wstring baseUrl_;
  std::wstring command_;
  std::wstring queryParameters_;
  std::wstring body_;
  std::string response_;
  HWND parentWindow_ = nullptr;
  std::wstring url_;  // built by Run on the caller's thread, read by the worker
  bool clearResponseWhenCollected_ = false;
  std::unique_ptr<Worker> worker_;
};

// A file download: streams the body of the URL into a target file, resuming a partial one.
class VornetDownloadRequest : public VornetRequest {
 public:
  VornetDownloadRequest(const std::wstring& url, const ClientIdentity& identity);

  // Streams to targetPath (verified against expectedChecksum, lower-case MD5 hex, unless empty) and
  // starts the exchange without waiting: normally PELK_S_STILL_RUNNING; throws as Run.
  StatusCode StartDownload(const std::wstring& targetPath, const std::wstring& expectedChecksum);
};

}  // namespace hv
