// The asynchronous request job: one exchange at a time on a worker thread of its own. The caller starts it
// with a time limit, polls it with Check and may stop it. Failures of the exchange are thrown to the caller
// from Start or Check. No call here waits on the network: a wait for a worker that was told to stop ends
// after kLetGoMs at most.
//
// Threads and ownership:
// - The caller's thread owns the job: it starts, polls, stops and destroys it and reads its progress; one
//   caller thread at a time.
// - Each exchange gets a fresh shared record (Exchange in the .cpp): its stop signal, its published
//   progress, its response and outcome, and its completion event. The job and the worker each hold it, so
//   it lives as long as the longer of the two needs it.
// - What the worker sends (an ExchangeRequest) and where the body goes (a BodySink) are moved to the worker
//   at start: nothing the caller's thread does afterwards can race them. The worker makes the exchange's
//   HttpSession itself, so every WinINet handle and the download's file handle are opened, used and closed
//   on the worker thread. It writes the response and the outcome, then signals the completion event and
//   touches nothing shared after that; the caller reads them only after a wait on the event has succeeded.
//   The progress record is the one thing both read while the worker runs: it is copied under a lock.
// - A stop reaches the running worker only through the exchange's StopSignal, which never waits: the worker
//   stops before its next WinINet call (its reads return with the server's next write), and a call that
//   waits on a server sending nothing is failed by closing the exchange's root handle (on Windows; under
//   Wine such a call runs on until the server sends or the receive timeout ends it).
// - Letting go: a worker that has not ended kLetGoMs after its stop is left to end on its own. The job
//   drops its share of the exchange and shows the exchange as stopped (PELK_PHASE_CLOSED, the counts as
//   they were); the worker still owns what the exchange holds (its WinINet handles and, for a download,
//   the open target file, so a new download into the same file meets a file in use rather than mixing
//   with it) and frees it when WinINet returns.
// - The thread itself is detached: after its signal it only returns. It holds a reference on the module
//   that contains this code and ends with FreeLibraryAndExitThread, so the library stays mapped while a
//   worker that was let go still runs, and a caller that unloads the library right after the last signal
//   cannot unmap code that a worker is still returning through. (Waiting for the thread itself is no option
//   during unload: thread exit needs the loader lock that the unloading thread holds.)
// - The waits a caller asks for (Start and Check with a time limit) deliver messages sent to its windows
//   from other threads: the proxy credentials dialog that a worker shows is owned by the caller's window,
//   and a modal dialog sends to its owner. Posted messages stay queued.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "support/status.h"
#include "transport/body_sink.h"
#include "transport/exchange_request.h"
#include "transport/transfer_progress.h"

namespace hv {

class RequestJob {
 public:
  RequestJob() = default;
  virtual ~RequestJob();  // cancels and waits for a running exchange
  RequestJob(const RequestJob&) = delete;
  RequestJob& operator=(const RequestJob&) = delete;

  // Starts an exchange of request, its body collected in memory (Response()), and waits up to timeoutMs
  // (0 does not wait, 0xFFFFFFFF waits without limit). 0: finished successfully; PELK_S_STILL_RUNNING:
  // limit 0 and still running. Throws the exchange's failure, PELK_E_ALREADY_RUNNING while an exchange is
  // outstanding, PELK_E_TIMEOUT (exchange stopped and collected) when a nonzero limit runs out,
  // PELK_E_UNEXPECTED when no worker can be started.
  StatusCode Start(ExchangeRequest request, uint32_t timeoutMs);
  // PELK_S_NOTHING_OUTSTANDING when no exchange is outstanding (none started, already collected, or
  // cancelled with wait); PELK_S_STILL_RUNNING while it runs after waiting up to timeoutMs; 0 when it
  // finished successfully; throws its failure.
  StatusCode Check(uint32_t timeoutMs);
  // Stops a running exchange and waits for its worker up to kLetGoMs, then lets it go: the job is idle
  // afterwards either way.
  void Cancel();
  // Stops a running exchange without waiting: the exchange stays outstanding until Check collects the
  // worker's own outcome, or, once kLetGoMs have passed without one, until Check or Progress lets the
  // worker go.
  void Stop();
  static constexpr uint32_t kLetGoMs = 80;

  // The body of the last collected exchange that ran to its end; empty otherwise.
  const std::string& Response() const;
  // Of the last exchange started; any time, also while it runs. PELK_PHASE_CLOSED once its worker was let go.
  TransferProgress Progress();

 protected:
  // As Start, the body going to sink.
  StatusCode Start(ExchangeRequest request, std::unique_ptr<BodySink> sink, uint32_t timeoutMs);

 private:
  struct Exchange;
  struct Worker;
  static DWORD WINAPI WorkerEntry(void* worker);
  bool WaitForCompletion(uint32_t timeoutMs);
  // The same, delivering the messages sent to the caller's windows meanwhile (the waits a caller asked
  // for; not a stop's short wait, which may run while the library unloads).
  bool WaitDeliveringMessages(uint32_t timeoutMs);
  StatusCode Collect();  // the finished exchange's outcome; throws its failure
  // A stopped exchange whose worker has not ended by the let-go deadline: lets the worker go.
  void LetGoIfOverdue();
  void LetGo();

  std::shared_ptr<Exchange> exchange_;  // the last one started; null before the first and once let go
  bool outstanding_ = false;            // started, and neither collected nor let go
  bool stopped_ = false;                // the outstanding exchange was told to stop, at stopTick_
  uint32_t stopTick_ = 0;
  TransferProgress lastProgress_;  // what the caller sees of an exchange that was let go
};

}  // namespace hv
