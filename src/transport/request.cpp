// The request job and its worker thread.
//
// Threads and ownership:
// - The caller's thread owns the job: it constructs it, calls the setters, Run, Check, Cancel and
//   GetProgress, and destroys it. The worker thread runs ThreadMain, which is the whole of one
//   VornetSession::Submit; it owns every WinINet handle and the target file handle of that exchange
//   (the session opens and closes them on the worker thread).
// - The worker record (one per started exchange) holds the auto-reset completion event. The worker
//   writes status_ and the response, then signals the event and touches nothing of the job after
//   that; the caller reads them only after a wait on the event has succeeded, and only then deletes
//   the record (JoinWorker). The thread itself is detached: after the signal it only returns.
// - Each worker thread holds a reference on the module that contains this code and ends with
//   FreeLibraryAndExitThread: a caller that unloads the library right after the last signal cannot
//   unmap code that a worker is still returning through. (Waiting for the thread itself is not an
//   option during unload: thread exit needs the loader lock that the unloading thread holds.)
// - Cancel reaches the running worker only through VornetSession::Abort, which closes the session's
//   root handle under the process-wide abort lock and so fails the WinINet call the worker is blocked
//   in. Cancel(true) then waits for the signal and collects the worker; Cancel(false) leaves the record
//   for Check, which reports the aborted exchange's own outcome.
// - The destructor cancels with waiting, so no worker outlives its job.
// - Everything the worker reads (URL, body, session configuration) is fixed by Run before the thread
//   starts; CancelAndClear(false) defers emptying the response until the worker has been collected.
#include "transport/request.h"

#include <cwctype>
#include <memory>

namespace hv {
namespace {

// What a worker thread needs: the job, the event to signal, and its reference on this module.
struct WorkerStart {
  VornetRequest* job;
  HANDLE completed;
  HMODULE module;
};

}  // namespace

struct VornetRequest::Worker {
  UniqueEvent completed;  // auto-reset, signalled once by the worker when the exchange has ended
  bool running = false;   // a thread was started and its signal has not been consumed yet
};

std::wstring UrlEncode(const std::wstring& text) {
  static const wchar_t kDigits[] = L"0123456789ABCDEF";
  std::wstring out;
  out.reserve(text.size());
  for (wchar_t unit : text) {
    if (std::iswalnum(unit)) {
      out += unit;
    } else {
      out += L'%';
      out += kDigits[(unit >> 4) & 0xF];
      out += kDigits[unit & 0xF];
    }
  }
  return out;
}

VornetRequest::VornetRequest(const ClientIdentity& identity) {
  if (!identity.appName.empty() || !identity.appVersion.empty()) {
    session_.AddUserAgentToken(identity.appName + L" " + identity.appVersion);
  }
}

VornetRequest::~VornetRequest() { Cancel(true); }

StatusCode VornetRequest::Run(uint32_t timeoutMs, bool noPrompt) {
  if (worker_) Throw(PELK_E_ALREADY_RUNNING);
  try {
    url_ = BuildUrl();
    session_.ClearAbort();
    session_.SetNoPrompt(noPrompt);
    worker_ = std::make_unique<Worker>();
    if (!StartWorker(timeoutMs)) {
      if (timeoutMs == 0) return PELK_S_STILL_RUNNING;
      Cancel(true);
      Throw(PELK_E_TIMEOUT);
    }
    JoinWorker();
    if (IsFailure(status_)) Throw(status_);
  } catch (const StatusError&) {
    JoinWorker();
    throw;
  } catch (...) {
    JoinWorker();
    Throw(PELK_E_UNEXPECTED);
  }
  status_ = 0;
  return 0;
}

StatusCode VornetRequest::Check(uint32_t timeoutMs) {
  if (!worker_) return PELK_S_NOTHING_OUTSTANDING;
  if (!WaitForCompletion(timeoutMs)) return PELK_S_STILL_RUNNING;
  JoinWorker();
  if (IsFailure(status_)) Throw(status_);
  return 0;
}

void VornetRequest::Cancel(bool wait) {
  if (worker_) {
    session_.Abort();
    // Not waiting, the record stays for Check and status_ stays the worker's: reset here, it could
    // overwrite an outcome the worker has just stored, and Check would report a failed exchange as done.
    if (!wait) return;
    WaitForCompletion(INFINITE);
    JoinWorker();
  }
  status_ = PELK_S_NOTHING_OUTSTANDING;
}

void VornetRequest::CancelAndClear(bool wait) {
  Cancel(wait);
  queryParameters_.clear();
  if (worker_) {
    clearResponseWhenCollected_ = true;
  } else {
    response_.clear();
  }
}

void VornetRequest::SetUrl(const std::wstring& url) { baseUrl_ = url; }

void VornetRequest::SetCommand(const std::wstring& command) { command_ = command; }

void VornetRequest::AddQueryParameter(const std::wstring& name, const std::wstring& value) {
  queryParameters_ += L"&" + UrlEncode(name) + L"=" + UrlEncode(value);
}

void VornetRequest::SetBody(const std::wstring& body) { body_ = body; }

void VornetRequest::SetPostFile(const std::wstring& path) { session_.SetPostFile(path); }

void VornetRequest::SetParentWindow(HWND window) {
  parentWindow_ = window;
  session_.SetParentWindow(window);
}

void VornetRequest::AddUserAgentToken(const std::wstring& token) { session_.AddUserAgentToken(token); }

void VornetRequest::SetAcceptEncoding(bool acceptGzip) { session_.SetAcceptEncoding(acceptGzip); }

const std::string& VornetRequest::GetResponse() const { return response_; }

void VornetRequest::GetProgress(TransferProgress& out) const { session_.GetProgress(out); }

std::wstring VornetRequest::BuildUrl() const {
  if (!command_.empty()) return baseUrl_ + L"?cmd=" + command_ + queryParameters_;
  if (!queryParameters_.empty()) return baseUrl_ + L"?" + queryParameters_;
  return baseUrl_;
}

DWORD WINAPI VornetRequest::WorkerEntry(void* parameter) {
  const WorkerStart start = *static_cast<WorkerStart*>(parameter);
  delete static_cast<WorkerStart*>(parameter);
  start.job->ThreadMain(start.completed);
  FreeLibraryAndExitThread(start.module, 0);
}

void VornetRequest::ThreadMain(HANDLE completed) {
  try {
    session_.Submit(url_, body_, response_);
    status_ = 0;
  } catch (const StatusError& error) {
    status_ = error.code();
  } catch (...) {
    status_ = PELK_E_UNEXPECTED;
  }
  SetEvent(completed);
}

bool VornetRequest::StartWorker(uint32_t timeoutMs) {
  Worker& worker = *worker_;
  worker.completed.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  if (!worker.completed) Throw(PELK_E_UNEXPECTED);
  auto start = std::make_unique<WorkerStart>(WorkerStart{this, worker.completed.get(), nullptr});
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&WorkerEntry),
                          &start->module)) {
    worker.completed.reset();
    Throw(PELK_E_UNEXPECTED);
  }
  // Detached: completion is signalled through the event, so the thread handle is closed at once.
  const UniqueThread thread(CreateThread(nullptr, 0, &WorkerEntry, start.get(), 0, nullptr));
  if (!thread) {
    FreeLibrary(start->module);
    worker.completed.reset();
    Throw(PELK_E_UNEXPECTED);
  }
  start.release();  // the thread owns it now
  worker.running = true;
  return WaitForCompletion(timeoutMs);
}

bool VornetRequest::WaitForCompletion(uint32_t timeoutMs) {
  Worker& worker = *worker_;
  if (!worker.running) return true;
  if (WaitForSingleObject(worker.completed.get(), timeoutMs) != WAIT_OBJECT_0) return false;
  worker.running = false;
  worker.completed.reset();
  return true;
}

void VornetRequest::JoinWorker() {
  if (!worker_) return;
  if (worker_->running) WaitForSingleObject(worker_->completed.get(), INFINITE);
  worker_.reset();
  if (clearResponseWhenCollected_) {
    response_.clear();
    clearResponseWhenCollected_ = false;
  }
}

VornetDownloadRequest::VornetDownloadRequest(const std::wstring& url, const ClientIdentity& identity)
    : VornetRequest(identity) {
  SetUrl(url);
}

StatusCode VornetDownloadRequest::StartDownload(const std::wstring& targetPath, const std::wstring& expectedChecksum) {
  session().SetStreamToFile(true, targetPath, expectedChecksum);
  return Run(0, false);
}

}  // namespace hv
