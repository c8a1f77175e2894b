// The MD5 digest of a download's content, computed on a thread of its own while the content is written:
// the checksum of a fresh download is ready when its last byte is, and a resumed file's existing part is
// hashed while the request for the rest is on its way.
//
// Threads: the download's worker calls every member; the hashing thread, started by the constructor, only
// works through the queue the worker fills (blocks it copied, a file's first bytes to read, the digest to
// take) and owns the digest object alone. Restart drops what is queued and what the thread is hashing;
// the destructor does the same and waits for the thread, which stops within one block. The worker's waits
// (a full queue, the digest) look at the exchange's stop every kWaitMs.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "support/lock.h"
#include "support/scoped_handle.h"
#include "support/thread_annotations.h"
#include "transport/stop_signal.h"

namespace hv {

class ContentDigest {
 public:
  // Copied blocks waiting for the thread: Add waits while this much waits (memory stays flat).
  static constexpr size_t kQueuedBytes = 1024 * 1024;
  static constexpr DWORD kWaitMs = 20;

  // Starts the thread; throws PELK_E_UNEXPECTED when it cannot be started.
  explicit ContentDigest(const StopSignal& stop);
  ~ContentDigest();
  ContentDigest(const ContentDigest&) = delete;
  ContentDigest& operator=(const ContentDigest&) = delete;

  // A new digest, of nothing yet.
  void Restart() EXCLUDES(lock_);
  // The first length bytes of the file at path come next, read by the thread.
  void AddFile(const std::wstring& path, uint64_t length) EXCLUDES(lock_);
  // A copy of the block comes next; false at a stop (nothing is queued then).
  [[nodiscard]] bool Add(const void* data, size_t size) EXCLUDES(lock_);
  // Waits until everything added is hashed, telling progress the bytes hashed so far every kWaitMs and
  // once at the end: the digest as 32 lower-case hexadecimal digits; empty when it failed (the provider,
  // or a file that could not be read to its length). ThrowStopped at a stop.
  std::wstring Finish(const std::function<void(uint64_t hashed)>& progress) EXCLUDES(lock_);

 private:
  struct Job {
    std::vector<char> block;  // a block to hash; empty for a file or the digest
    std::wstring path;        // a file to hash the first length bytes of
    uint64_t length = 0;
    bool digest = false;  // take the digest of everything before
  };

  static DWORD WINAPI Entry(void* self);
  void Run() EXCLUDES(lock_);
  void Queue(Job job) EXCLUDES(lock_);
  // The thread's progress in generation: counted when it is still the current one; false once it is not,
  // or at a stop.
  bool Count(uint64_t generation, uint64_t bytes) EXCLUDES(lock_);

  const StopSignal& stop_;
  Lock lock_;
  Condition changed_;  // the queue, the count or the digest changed
  std::deque<Job> queue_ GUARDED_BY(lock_);
  size_t queuedBytes_ GUARDED_BY(lock_) = 0;
  std::vector<std::vector<char>> spare_ GUARDED_BY(lock_);  // blocks hashed, kept for the next copies
  uint64_t generation_ GUARDED_BY(lock_) = 0;  // counts Restart: the thread's work of an older one is dropped
  uint64_t hashed_ GUARDED_BY(lock_) = 0;      // bytes of the current generation hashed
  bool digestReady_ GUARDED_BY(lock_) = false;
  std::wstring digest_ GUARDED_BY(lock_);
  bool quit_ GUARDED_BY(lock_) = false;
  UniqueThread thread_;
};

}  // namespace hv
