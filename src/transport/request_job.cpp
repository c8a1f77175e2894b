#include "transport/request_job.h"

#include <windows.h>

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

RequestJob::~RequestJob() { Cancel(true); }

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
  if (!WaitForCompletion(timeoutMs)) {
    if (timeoutMs == 0) return PELK_S_STILL_RUNNING;
    Cancel(true);
    Throw(PELK_E_TIMEOUT);
  }
  return Collect();
}

StatusCode RequestJob::Check(uint32_t timeoutMs) {
  if (!outstanding_) return PELK_S_NOTHING_OUTSTANDING;
  if (!WaitForCompletion(timeoutMs)) return PELK_S_STILL_RUNNING;
  return Collect();
}

StatusCode RequestJob::Collect() {
  outstanding_ = false;
  // The failure as the worker caught it, rethrown unchanged (it was logged where it was made).
  if (exchange_->failure) throw *exchange_->failure;
  return PELK_S_OK;
}

void RequestJob::Cancel(bool wait) {
  if (!outstanding_) return;
  exchange_->stop.Request();
  // Not waiting, the exchange stays outstanding for Check, which reports the worker's own outcome.
  if (!wait) return;
  // Repeated while waiting: a call that waits on a server sending nothing is failed once it has waited
  // long enough (see StopSignal).
  while (!WaitForCompletion(StopSignal::kStuckCallMs)) exchange_->stop.Request();
  outstanding_ = false;
}

const std::string& RequestJob::Response() const {
  static const std::string kNone;
  return exchange_ && !outstanding_ ? exchange_->response : kNone;
}

TransferProgress RequestJob::Progress() const {
  return exchange_ ? exchange_->progress.Read() : TransferProgress();
}

bool RequestJob::WaitForCompletion(uint32_t timeoutMs) {
  return WaitForSingleObject(exchange_->completed.get(), timeoutMs) == WAIT_OBJECT_0;
}

}  // namespace hv
