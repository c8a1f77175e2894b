// The asynchronous request job: one HttpSession, the request's URL and body, the response, and a worker
// thread per exchange. The caller starts it with a time limit, polls it with Check and may cancel it. Failures of the exchange are thrown to the caller from Run or Check.
//
// Threads and ownership:
// - The caller's thread owns the job: it constructs it, calls the setters, Run, Check, Cancel and
//   Progress, and destroys it; one caller thread at a time. The worker thread runs one
//   HttpSession::Submit; it owns every WinINet handle and the target file handle of that exchange (the
//   session opens and closes them on the worker thread).
// - Everything the worker reads (URL, body, session configuration) is fixed by Run before the thread
//   starts. The worker writes the outcome and the response, then signals the completion event and
//   touches nothing of the job after that; the caller reads them only after a wait on the event has
//   succeeded. The progress record is the one thing both read while the worker runs: the session copies
//   it under a lock.
// - Cancel reaches the running worker only through HttpSession::Abort, which never waits: the worker
//   stops before its next WinINet call (its reads return with the server's next write), and a call that
//   waits on a server sending nothing is failed by closing the session's root handle (InternetHandles).
//   Cancel(true) then waits for the signal, repeating the abort, and collects the worker; Cancel(false)
//   returns at once and leaves the worker for Check, which reports the aborted exchange's own outcome.
// - The destructor cancels with waiting: no worker outlives its job.
// - The thread itself is detached: after its signal it only returns. It holds a reference on the module
//   that contains this code and ends with FreeLibraryAndExitThread, so a caller that unloads the library
//   right after the last signal cannot unmap code that a worker is still returning through. (Waiting
//   for the thread itself is no option during unload: thread exit needs the loader lock that the
//   unloading thread holds.)
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "support/status.h"
#include "transport/http_session.h"
#include "transport/transfer_progress.h"

namespace hv {

class RequestJob {
 public:
  RequestJob();
  virtual ~RequestJob();  // cancels and waits for a running exchange
  RequestJob(const RequestJob&) = delete;
  RequestJob& operator=(const RequestJob&) = delete;

  // Starts an exchange and waits up to timeoutMs (0 does not wait, 0xFFFFFFFF waits without limit).
  // 0: finished successfully; PELK_S_STILL_RUNNING: limit 0 and still running. Throws the exchange's
  // failure, PELK_E_ALREADY_RUNNING while an exchange runs, PELK_E_TIMEOUT (exchange aborted and
  // collected) when a nonzero limit runs out, PELK_E_UNEXPECTED when no worker can be started.
  StatusCode Run(uint32_t timeoutMs, bool noPrompt);
  // PELK_S_NOTHING_OUTSTANDING when no exchange is outstanding (none started, already collected, or
  // cancelled with wait); PELK_S_STILL_RUNNING while it runs after waiting up to timeoutMs; 0 when it
  // finished successfully; throws its failure.
  StatusCode Check(uint32_t timeoutMs);
  // Aborts a running exchange. With wait, also waits for the worker and collects it (the job is idle
  // afterwards); without, the next Check reports the aborted exchange's own outcome.
  void Cancel(bool wait);
  void CancelAndClear(bool wait);  // Cancel, then empties the response (once collected, when not waiting)

  void SetUrl(const std::wstring& url);    // the whole URL, sent as it is
  void SetBody(const std::wstring& body);  // non-empty: POST
  void SetParentWindow(HWND window);
  void AddUserAgentToken(const std::wstring& token);  // "name version"; empty tokens are ignored
  void SetAcceptEncoding(bool acceptGzip);
  const std::string& Response() const;  // valid after a collected exchange
  TransferProgress Progress() const;    // any time, also while the exchange runs

 protected:
  HttpSession& session() { return session_; }

 private:
  struct Worker;
  static DWORD WINAPI WorkerEntry(void* start);
  void ThreadMain(HANDLE completed);
  void StartWorker();
  bool WaitForCompletion(uint32_t timeoutMs);
  StatusCode Collect();  // joins the finished worker; throws its failure
  void JoinWorker();

  HttpSession session_;
  std::atomic<StatusCode> status_{PELK_S_NOTHING_OUTSTANDING};  // the worker stores its outcome here
  std::wstring url_;
  std::wstring body_;
  std::string response_;
  bool clearResponseWhenCollected_ = false;
  std::unique_ptr<Worker> worker_;
};

}  // namespace hv
