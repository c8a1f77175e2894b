#include "transport/read_sizer.h"

#include <algorithm>

namespace hv {

void ReadSizer::Count(DWORD read, uint64_t elapsedUs) {
  if (read == 0) return;
  // What arrives in the target time at this read's rate, growing at most twofold a read: one fast read
  // (a buffer that was full already) is no proof of a fast stream.
  const uint64_t grown = 2 * uint64_t{std::max(read, next_)};
  const uint64_t atRate = elapsedUs == 0 ? grown : read * kReadTargetUs / elapsedUs;
  const uint64_t wanted = std::min({atRate, grown, uint64_t{kLargestRead}});
  next_ = wanted < kSmallestWaitingRead ? 0 : static_cast<DWORD>(wanted);
}

}  // namespace hv
