// The one exception type of the library: a failure carrying its status code and the transfer phase a
// download records for it. It is raised anywhere below the export boundary and caught by StatusOf only,
// which the export boundary and a request's worker thread run every call through.
#pragma once

#include <cstdint>
#include <exception>
#include <type_traits>

#include <hvpelk/exports.h>

namespace hv {

using StatusCode = int32_t;

class StatusError : public std::exception {
 public:
  explicit StatusError(StatusCode code) noexcept : code_(code), phase_(code) {}
  StatusError(StatusCode code, StatusCode phase) noexcept : code_(code), phase_(phase) {}
  StatusCode code() const noexcept { return code_; }
  // The phase a download shows for this failure: the code itself, except for a failed system call.
  StatusCode phase() const noexcept { return phase_; }
  const char* what() const noexcept override { return "hvpelk status"; }

 private:
  StatusCode code_;
  StatusCode phase_;
};

[[noreturn]] inline void Throw(StatusCode code) { throw StatusError(code); }

// A failed system call (a file write, seek or rename): the call fails with 0x80000000 | the Windows
// error, which names the cause, and a download records PELK_E_SYSTEM_CALL as its phase.
[[noreturn]] inline void ThrowSystemError(uint32_t windowsError) {
  throw StatusError(static_cast<StatusCode>(0x80000000u | windowsError), PELK_E_SYSTEM_CALL);
}

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
