// How much each read of a body asks WinINet for. A synchronous InternetReadFile returns only once its
// whole block has arrived (or the body ended), and nothing ends it sooner under Wine, not even closing its
// handles: a large block from a slow server would keep a stop waiting for seconds. So a read asks for what
// the stream, at the rate the last read saw, brings in about kReadTargetUs: a fast stream is read in
// blocks of up to kLargestRead, one call each; a stream too slow to fill kSmallestWaitingRead in that time
// is read as it arrives, each read asking first how much is there (a stop is then seen after the server's
// next write, however slowly it sends).
#pragma once

#include <windows.h>

#include <cstdint>

namespace hv {

class ReadSizer {
 public:
  static constexpr DWORD kLargestRead = 256 * 1024;
  static constexpr DWORD kSmallestWaitingRead = 16 * 1024;
  static constexpr uint64_t kReadTargetUs = 20000;

  // The size of the next read; 0: read what has arrived (a body starts so).
  DWORD Next() const { return next_; }
  // One read brought read bytes in elapsedUs microseconds (what it waited for included).
  void Count(DWORD read, uint64_t elapsedUs);

 private:
  DWORD next_ = 0;
};

}  // namespace hv
