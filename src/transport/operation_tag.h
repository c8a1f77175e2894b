// The log tags of the session's operations, and its error lines (the transport's own; not part of its
// interface). Tags keep the names that readers of the log know: "<VornetSession::Submit>".
#pragma once

#include <windows.h>

#include <exception>
#include <string>

#include "support/log.h"
#include "support/strings.h"

namespace hv {

// Writes "<VornetSession::Name>" when constructed and "</VornetSession::Name>" when the operation ends
// normally: a scope left by an exception gets no exit tag. Logging never throws out of here, so the
// tag can guard code that must not fail (Abort, destructors).
class OperationTag {
 public:
  explicit OperationTag(const wchar_t* name) noexcept : name_(name), exceptions_(std::uncaught_exceptions()) {
    Write(L"<VornetSession::");
  }
  ~OperationTag() {
    if (!done_ && std::uncaught_exceptions() == exceptions_) Write(L"</VornetSession::");
  }
  OperationTag(const OperationTag&) = delete;
  OperationTag& operator=(const OperationTag&) = delete;

  void Leave() noexcept {  // writes the exit tag now
    Write(L"</VornetSession::");
    done_ = true;
  }
  void Dismiss() noexcept { done_ = true; }  // no exit tag

 private:
  void Write(const wchar_t* opening) const noexcept {
    if (!IsLogEnabled()) return;
    try {
      LogLine(std::wstring(opening) + name_ + L">");
    } catch (...) {
    }
  }

  const wchar_t* name_;
  int exceptions_;
  bool done_ = false;
};

// Error line: message + the error as "0x...".
inline void LogFailure(const wchar_t* message, DWORD error) {
  if (IsLogEnabled()) LogError(message + Hex(error));
}

// Error line: message + the thread's last error; the last error is left as it was.
inline void LogFailure(const wchar_t* message) {
  const DWORD error = GetLastError();
  LogFailure(message, error);
  SetLastError(error);
}

}  // namespace hv
