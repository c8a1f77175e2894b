// Clang's thread-safety attributes, checked by scripts/analyze (-Wthread-safety): a lock type is a
// capability, a member names the lock that guards it, a function names the locks it needs held (REQUIRES)
// or free (EXCLUDES). Reading or writing a GUARDED_BY member without its lock is then a compile error.
// Other compilers (the mingw g++ that builds the product) see nothing.
#pragma once

#if defined(__clang__)
#define HV_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define HV_THREAD_ANNOTATION(x)
#endif

// On a class: its objects are locks.
#define CAPABILITY(name) HV_THREAD_ANNOTATION(capability(name))
// On a class: its constructor takes a lock and its destructor gives it back.
#define SCOPED_CAPABILITY HV_THREAD_ANNOTATION(scoped_lockable)
// On a data member: read and written only with the named lock held.
#define GUARDED_BY(lock) HV_THREAD_ANNOTATION(guarded_by(lock))
// On a function: callers hold the named locks.
#define REQUIRES(...) HV_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
// On a function: callers do not hold the named locks (the function takes them).
#define EXCLUDES(...) HV_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
// On a function: takes or gives back the named locks (this object's own without an argument).
#define ACQUIRE(...) HV_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) HV_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
