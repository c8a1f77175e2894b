#include "transport/request_job.h"

#include <windows.h>

#include <algorithm>
#include <optional>
#include <utility>

#include "support/scoped_handle.h"
#include "transport/http_session.h"
#include "transport/stop_signal.h"

namespace hv {

// One exchange as the job and its worker share it.
struct RequestJob::Exchange {
  StopSignal stop;
  PublishedProgress progress;
  UniqueEvent completed;  // manual reset: signalled once by the worker when the exchange has ended
  // Written by the worker before it signals, read by the job after.
  std::string response;
  std::optional<StatusError> failure;
};

// What a worker thread takes over: its share of the exchange, what to send, where the body goes, and its
// reference on this module.
struct RequestJob::Worker {
  std::shared_ptr<Exchange> exchange;
  ExchangeRequest request;
  std::unique_ptr<BodySink> sink;
  HMODULE module = nullptr;

  void Run() {
    try {
      HttpSession session(exchange->stop, exchange->progress);
      if (!session.Submit(request, *sink)) exchange->response.clear();
    } catch (const StatusError& failure) {
      exchange->failure = failure;
    } catch (...) {
      exchange->failure = StatusError(PELK_E_UNEXPECTED, PELK_E_UNEXPECTED, FailureSite{});
    }
    sink.reset();
    SetEvent(exchange->completed.get());
  }
};

DWORD WINAPI RequestJob::WorkerEntry(void* parameter) {
  std::unique_ptr<Worker> worker(static_cast<Worker*>(parameter));
  const HMODULE module = worker->module;
  worker->Run();
  worker.reset();  // its share of the exchange goes before the module reference
  FreeLibraryAndExitThread(module, 0);
}

RequestJob::~RequestJob() { Cancel(); }

StatusCode RequestJob::Start(ExchangeRequest request, uint32_t timeoutMs) {
  return Start(std::move(request), nullptr, timeoutMs);
}

StatusCode RequestJob::Start(ExchangeRequest request, std::unique_ptr<BodySink> sink, uint32_t timeoutMs) {
  if (outstanding_) Throw(PELK_E_ALREADY_RUNNING);
  auto exchange = std::make_shared<Exchange>();
  exchange->completed.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!exchange->completed) Throw(PELK_E_UNEXPECTED, GetLastError());
  if (!sink) sink = std::make_unique<ResponseBody>(exchange->response);
  auto worker = std::make_unique<Worker>(Worker{exchange, std::move(request), std::move(sink)});
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&WorkerEntry),
                          &worker->module)) {
    Throw(PELK_E_UNEXPECTED, GetLastError());
  }
  // Detached: completion is signalled through the event, so the thread handle is closed at once.
  const UniqueThread thread(CreateThread(nullptr, 0, &WorkerEntry, worker.get(), 0, nullptr));
  if (!thread) {
    const DWORD error = GetLastError();
    FreeLibrary(worker->module);
    Throw(PELK_E_UNEXPECTED, error);
  }
  [[maybe_unused]] Worker* const handedOver = worker.release();  // the thread owns it now
  exchange_ = std::move(exchange);
  outstanding_ = true;
  stopped_ = false;
  if (!WaitDeliveringMessages(timeoutMs)) {
    if (timeoutMs == 0) return PELK_S_STILL_RUNNING;
    Cancel();
    Throw(PELK_E_TIMEOUT);
  }
  return Collect();
}

StatusCode RequestJob::Check(uint32_t timeoutMs) {
  if (!outstanding_) return PELK_S_NOTHING_OUTSTANDING;
  if (stopped_) {
    // A stopped exchange is waited for no longer than its let-go deadline.
    const uint32_t waited = GetTickCount() - stopTick_;
    timeoutMs = std::min(timeoutMs, waited < kLetGoMs ? kLetGoMs - waited : 0);
  }
  if (WaitDeliveringMessages(timeoutMs)) return Collect();
  LetGoIfOverdue();
  return outstanding_ ? PELK_S_STILL_RUNNING : PELK_S_NOTHING_OUTSTANDING;
}

StatusCode RequestJob::Collect() {
  outstanding_ = false;
  // The failure as the worker caught it, rethrown unchanged (it was logged where it was made).
  if (exchange_->failure) throw *exchange_->failure;
  return PELK_S_OK;
}

void RequestJob::Stop() {
  if (!outstanding_) return;
  exchange_->stop.Request();
  if (stopped_) return;
  stopped_ = true;
  stopTick_ = GetTickCount();
}

void RequestJob::Cancel() {
  if (!outstanding_) return;
  Stop();
  // Repeated once more at the deadline: a call that waits on a server sending nothing is failed once it has
  // waited long enough (see StopSignal).
  const uint32_t waited = GetTickCount() - stopTick_;
  if (waited >= kLetGoMs || !WaitForCompletion(kLetGoMs - waited)) {
    exchange_->stop.Request();
    if (!WaitForCompletion(0)) {
      LetGo();
      return;
    }
  }
  outstanding_ = false;
}

void RequestJob::LetGoIfOverdue() {
  if (!outstanding_ || !stopped_ || GetTickCount() - stopTick_ < kLetGoMs) return;
  exchange_->stop.Request();
  if (WaitForCompletion(0)) return;  // it has just ended: Check collects it
  LetGo();
}

void RequestJob::LetGo() {
  lastProgress_ = exchange_->progress.Read();
  lastProgress_.state = PELK_PHASE_CLOSED;
  exchange_.reset();
  outstanding_ = false;
}

const std::string& RequestJob::Response() const {
  static const std::string kNone;
  return exchange_ && !outstanding_ ? exchange_->response : kNone;
}

TransferProgress RequestJob::Progress() {
  LetGoIfOverdue();
  return exchange_ ? exchange_->progress.Read() : lastProgress_;
}

bool RequestJob::WaitForCompletion(uint32_t timeoutMs) {
  return WaitForSingleObject(exchange_->completed.get(), timeoutMs) == WAIT_OBJECT_0;
}

bool RequestJob::WaitDeliveringMessages(uint32_t timeoutMs) {
  const HANDLE completed = exchange_->completed.get();
  const uint32_t start = GetTickCount();
  for (;;) {
    const uint32_t waited = GetTickCount() - start;
    const DWORD remaining = timeoutMs == INFINITE ? INFINITE : waited >= timeoutMs ? 0 : timeoutMs - waited;
    const DWORD result = MsgWaitForMultipleObjectsEx(1, &completed, remaining, QS_SENDMESSAGE, 0);
    if (result == WAIT_OBJECT_0) return true;
    if (result != WAIT_OBJECT_0 + 1) return false;
    // Delivers the messages other threads sent to this thread's windows; posted ones stay queued.
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
  }
}

}  // namespace hv
