// The library's only lock type: a Windows critical section, and a guard that holds it for a scope. Both
// carry clang's thread-safety attributes (support/thread_annotations.h), so members marked
// GUARDED_BY(lock) are checked at compile time by scripts/analyze.
#pragma once

#include <windows.h>

#include "support/thread_annotations.h"

namespace hv {

class CAPABILITY("mutex") Lock {
 public:
  Lock() { InitializeCriticalSection(&section_); }
  ~Lock() { DeleteCriticalSection(&section_); }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

  void Enter() ACQUIRE() { EnterCriticalSection(&section_); }
  void Leave() RELEASE() { LeaveCriticalSection(&section_); }

 private:
  CRITICAL_SECTION section_;
};

class SCOPED_CAPABILITY LockGuard {
 public:
  explicit LockGuard(Lock& lock) ACQUIRE(lock) : lock_(lock) { lock_.Enter(); }
  ~LockGuard() RELEASE() { lock_.Leave(); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  Lock& lock_;
};

}  // namespace hv
