// The progress record of one HTTP exchange: kept by the worker thread, copied out whole by the caller.
#pragma once

#include <cstdint>

#include "support/lock.h"
#include "support/status.h"
#include "support/thread_annotations.h"

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

// The record as the caller's thread sees it: the worker publishes a copy after each step, under the lock,
// so a reader always gets one consistent record.
class PublishedProgress {
 public:
  void Publish(const TransferProgress& progress) EXCLUDES(lock_);
  TransferProgress Read() const EXCLUDES(lock_);

 private:
  mutable Lock lock_;
  TransferProgress record_ GUARDED_BY(lock_);
};

// The clock of a body's read loop: it turns each block into the record's time and rate figures.
class RateClock {
 public:
  // The loop starts now, with the record's bytes received so far.
  explicit RateClock(const TransferProgress& progress);
  // A block of blockLength bytes has just been counted into progress.bytesReceived: updates the elapsed
  // time, the rates and the estimate. Rates and the estimate stay 0 while no time has passed or the total
  // is unknown.
  void Count(TransferProgress& progress, uint32_t blockLength);

 private:
  uint32_t startTick_;  // when the loop started
  uint32_t lastTick_;   // the previous block
  uint64_t startBytes_;
};

}  // namespace hv
