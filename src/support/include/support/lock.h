// The library's only lock type: a Windows critical section, a guard that holds it for a scope, and a
// condition to wait on under it. All carry clang's thread-safety attributes (support/thread_annotations.h),
// so members marked GUARDED_BY(lock) are checked at compile time by scripts/analyze.
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
  friend class Condition;
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

// A Windows condition variable, waited on with its lock held.
class Condition {
 public:
  Condition() { InitializeConditionVariable(&variable_); }
  Condition(const Condition&) = delete;
  Condition& operator=(const Condition&) = delete;

  // Leaves the lock until woken or ms have passed (or spuriously), and holds it again on return.
  void Wait(Lock& lock, DWORD ms) REQUIRES(lock) { SleepConditionVariableCS(&variable_, &lock.section_, ms); }
  void WakeAll() { WakeAllConditionVariable(&variable_); }

 private:
  CONDITION_VARIABLE variable_;
};

}  // namespace hv
