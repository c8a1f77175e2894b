#include "transport/request_job.h"

#include <memory>

namespace hv {
namespace {

// What a worker thread needs: the job, the event to signal, and its reference on this module.
struct WorkerStart {
  RequestJob* job;
  HANDLE completed;
  HMODULE module;
};

}  // namespace

struct RequestJob::Worker {
  UniqueEvent completed;  // auto-reset, signalled once by the worker when the exchange has ended
  bool running = false;   // a thread was started and its signal has not been consumed yet
};

RequestJob::RequestJob() = default;

RequestJob::~RequestJob() { Cancel(true); }

StatusCode RequestJob::Run(uint32_t timeoutMs, bool noPrompt) {
  if (worker_) Throw(PELK_E_ALREADY_RUNNING);
  session_.ClearAbort();
  session_.SetNoPrompt(noPrompt);
  StartWorker();
  if (!WaitForCompletion(timeoutMs)) {
    if (timeoutMs == 0) return PELK_S_STILL_RUNNING;
    Cancel(true);
    Throw(PELK_E_TIMEOUT);
  }
  return Collect();
}

StatusCode RequestJob::Check(uint32_t timeoutMs) {
  if (!worker_) return PELK_S_NOTHING_OUTSTANDING;
  if (!WaitForCompletion(timeoutMs)) return PELK_S_STILL_RUNNING;
  return Collect();
}

StatusCode RequestJob::Collect() {
  JoinWorker();
  if (IsFailure(status_)) Throw(status_);
  status_ = 0;
  return 0;
}

void RequestJob::Cancel(bool wait) {
  if (worker_) {
    session_.Abort();
    // Not waiting, the record stays for Check and status_ stays the worker's: reset here, it could
    // overwrite an outcome the worker has just stored, and Check would report a failed exchange as done.
    if (!wait) return;
    // Repeated while waiting: a call that waits on a server sending nothing is failed once it has waited
    // long enough (see InternetHandles::Abort).
    while (!WaitForCompletion(InternetHandles::kStuckCallMs)) session_.Abort();
    JoinWorker();
  }
  status_ = PELK_S_NOTHING_OUTSTANDING;
}

void RequestJob::CancelAndClear(bool wait) {
  Cancel(wait);
  if (worker_) {
    clearResponseWhenCollected_ = true;
  } else {
    response_.clear();
  }
}

void RequestJob::SetUrl(const std::wstring& url) { url_ = url; }

void RequestJob::SetBody(const std::wstring& body) { body_ = body; }

void RequestJob::SetParentWindow(HWND window) { session_.SetParentWindow(window); }

void RequestJob::AddUserAgentToken(const std::wstring& token) { session_.AddUserAgentToken(token); }

void RequestJob::SetAcceptEncoding(bool acceptGzip) { session_.SetAcceptEncoding(acceptGzip); }

const std::string& RequestJob::Response() const { return response_; }

TransferProgress RequestJob::Progress() const { return session_.Progress(); }

DWORD WINAPI RequestJob::WorkerEntry(void* parameter) {
  const WorkerStart start = *static_cast<WorkerStart*>(parameter);
  delete static_cast<WorkerStart*>(parameter);
  start.job->ThreadMain(start.completed);
  FreeLibraryAndExitThread(start.module, 0);
}

void RequestJob::ThreadMain(HANDLE completed) {
  status_ = StatusOf([this] { session_.Submit(url_, body_, response_); });
  SetEvent(completed);
}

void RequestJob::StartWorker() {
  auto worker = std::make_unique<Worker>();
  worker->completed.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  if (!worker->completed) Throw(PELK_E_UNEXPECTED);
  auto start = std::make_unique<WorkerStart>(WorkerStart{this, worker->completed.get(), nullptr});
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&WorkerEntry),
                          &start->module)) {
    Throw(PELK_E_UNEXPECTED);
  }
  // Detached: completion is signalled through the event, so the thread handle is closed at once.
  const UniqueThread thread(CreateThread(nullptr, 0, &WorkerEntry, start.get(), 0, nullptr));
  if (!thread) {
    FreeLibrary(start->module);
    Throw(PELK_E_UNEXPECTED);
  }
  [[maybe_unused]] WorkerStart* const handedOver = start.release();  // the thread owns it now
  worker->running = true;
  worker_ = std::move(worker);
}

bool RequestJob::WaitForCompletion(uint32_t timeoutMs) {
  Worker& worker = *worker_;
  if (!worker.running) return true;
  if (WaitForSingleObject(worker.completed.get(), timeoutMs) != WAIT_OBJECT_0) return false;
  worker.running = false;
  worker.completed.reset();
  return true;
}

void RequestJob::JoinWorker() {
  if (!worker_) return;
  if (worker_->running) WaitForSingleObject(worker_->completed.get(), INFINITE);
  worker_.reset();
  if (clearResponseWhenCollected_) {
    response_.clear();
    clearResponseWhenCollected_ = false;
  }
}

}  // namespace hv
