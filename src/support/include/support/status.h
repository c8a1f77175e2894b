// The one exception type of the library: a failure carrying its status code, the transfer phase a download
// records for it, and where it was raised. It is raised anywhere below the export boundary, only through the
// throw helpers below, and caught by StatusOf only, which the export boundary and a request's worker thread
// run every call through.
#pragma once

#include <cstdint>
#include <exception>
#include <type_traits>

#include <hvpelk/exports.h>

namespace hv {

using StatusCode = int32_t;

// Where a failure was made: the source file and line of the throw, and the Windows error behind it (0: none).
struct FailureSite {
  const char* file = "";
  int line = 0;
  uint32_t windowsError = 0;
};

class StatusError : public std::exception {
 public:
  StatusError(StatusCode code, StatusCode phase, FailureSite site) noexcept : code_(code), phase_(phase), site_(site) {}
  StatusCode code() const noexcept { return code_; }
  // The phase a download shows for this failure: the code itself, except for a failed system call.
  StatusCode phase() const noexcept { return phase_; }
  const FailureSite& site() const noexcept { return site_; }
  const char* what() const noexcept override { return "hvpelk status"; }

 private:
  StatusCode code_;
  StatusCode phase_;
  FailureSite site_;
};

// The throw helpers record their caller's file and line (the defaults are evaluated where they are called),
// and write the failure to the diagnostic log once, here, where its status is made:
//   "\tStatus 0x80002006 raised at transport/download_file.cpp:85 (Windows error 0x20)"
// Throws code; windowsError, when not 0, is the Windows error that led to it.
[[noreturn]] void Throw(StatusCode code, uint32_t windowsError = 0, const char* file = __builtin_FILE(),
                        int line = __builtin_LINE());
// A failed system call of a download's files (a write, seek or rename): the status is 0x80000000 | the
// Windows error, which names the cause, and a download records PELK_E_SYSTEM_CALL as its phase.
[[noreturn]] void ThrowSystemError(uint32_t windowsError, const char* file = __builtin_FILE(),
                                   int line = __builtin_LINE());

// An abort, which is no failure: it unwinds the exchange's steps to the one place that ends the exchange
// quietly (PELK_PHASE_CLOSED). Not logged as a failure.
[[noreturn]] void ThrowStopped();
inline bool IsStop(const StatusError& error) { return error.code() == PELK_PHASE_CLOSED; }

// True for failure codes (top bit set).
inline bool IsFailure(StatusCode code) { return code < 0; }

// Runs action and returns its status: the action's own result (0 for an action returning nothing), the
// code of a StatusError it threw, or PELK_E_UNEXPECTED for anything else thrown. Nothing escapes.
template <typename Action>
StatusCode StatusOf(Action&& action) noexcept {
  try {
    if constexpr (std::is_void_v<decltype(action())>) {
      action();
      return PELK_S_OK;
    } else {
      return action();
    }
  } catch (const StatusError& error) {
    return error.code();
  } catch (...) {
    return PELK_E_UNEXPECTED;
  }
}

}  // namespace hv
