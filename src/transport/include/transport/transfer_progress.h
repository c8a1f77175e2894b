// The progress record of one HTTP exchange: kept by the worker thread, copied out whole by the caller.
#pragma once

#include <cstdint>

#include "support/status.h"

namespace hv {

struct TransferProgress {
  uint64_t bytesReceived = 0;     // body bytes so far; a resumed file starts at its existing size
  uint64_t bytesVerified = 0;     // bytes of the finished file hashed so far by the checksum pass
  uint64_t totalBytes = 0;        // expected final size; 0 when the response carries no Content-Length
  uint32_t elapsedMs = 0;         // sum of the tick differences measured around the body reads
  uint32_t remainingSeconds = 0;  // estimate from the average rate; 0 when it cannot be estimated
  double currentRate = 0;         // bytes per millisecond of the last read
  double averageRate = 0;         // bytes per second since the read loop started; 0 before time passed
  StatusCode state = 0;           // transfer phase (PELK_PHASE_...) or, after a failure, its status
};

}  // namespace hv
