#include "transport/transfer_progress.h"

#include <windows.h>

namespace hv {

void PublishedProgress::Publish(const TransferProgress& progress) {
  LockGuard guard(lock_);
  record_ = progress;
}

TransferProgress PublishedProgress::Read() const {
  LockGuard guard(lock_);
  return record_;
}

RateClock::RateClock(const TransferProgress& progress)
    : startTick_(GetTickCount()), lastTick_(startTick_), startBytes_(progress.bytesReceived) {}

void RateClock::Count(TransferProgress& progress, uint32_t blockLength) {
  // Tick differences are unsigned: they stay right across the 49-day wrap of the tick count.
  const uint32_t now = GetTickCount();
  uint32_t delta = now - lastTick_;
  lastTick_ = now;
  progress.elapsedMs += delta;
  if (delta == 0) delta = 1;
  progress.currentRate = static_cast<double>(blockLength) / delta;

  const uint32_t sinceStart = now - startTick_;
  const uint64_t loopBytes = progress.bytesReceived - startBytes_;
  progress.averageRate = sinceStart == 0 ? 0.0 : static_cast<double>(loopBytes) / (sinceStart / 1000.0);
  const uint64_t remaining =
      progress.totalBytes > progress.bytesReceived ? progress.totalBytes - progress.bytesReceived : 0;
  const double seconds = progress.averageRate > 0 ? static_cast<double>(remaining) / progress.averageRate : 0.0;
  progress.remainingSeconds = seconds >= static_cast<double>(UINT32_MAX) ? UINT32_MAX : static_cast<uint32_t>(seconds);
}

}  // namespace hv
