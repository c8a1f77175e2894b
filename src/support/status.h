// The one exception type of the library: a failure carrying its status code. It is raised anywhere
// below the export boundary and caught only there and in a request's worker thread.
#pragma once

#include <cstdint>
#include <exception>

#include <hvpelk/exports.h>

namespace hv {

using StatusCode = int32_t;

class StatusError : public std::exception {
 public:
  explicit StatusError(StatusCode code) noexcept : code_(code) {}
  StatusCode code() const noexcept { return code_; }
  const char* what() const noexcept override { return "hvpelk status"; }

 private:
  StatusCode code_;
};

[[noreturn]] inline void Throw(StatusCode code) { throw StatusError(code); }

// True for failure codes (top bit set).
inline bool IsFailure(StatusCode code) { return code < 0; }

}  // namespace hv
