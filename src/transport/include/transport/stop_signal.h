// The one stop signal of an exchange. The caller's thread requests a stop; every step of the worker checks
// it: each WinINet call before it starts (InternetHandles), the gzip decoding before every block and the
// waits for the checksum (DownloadFile, ContentDigest). A step that sees it unwinds with ThrowStopped, and the exchange
// ends quietly (PELK_PHASE_CLOSED) where HttpSession::Submit catches it. A stop is never taken back: each exchange has
// a signal of its own.
//
// A stop never waits for WinINet. It only marks, with one exception: a WinINet call that has been waiting
// kStuckCallMs when the stop comes (a server that sends nothing) is failed by closing the exchange's root
// handle, and with it, inside WinINet, every handle under it. That is why the root lives here, under the
// signal's lock: the worker hands it over once opened, brackets every call with BeginCall/EndCall, and takes
// it back to close it itself. Closing the root fails a blocked call on Windows; Wine lets the call run on
// until the server sends something, and the next call then fails. The running call holds its handle's
// reference, so WinINet reads nothing on the stopping thread. Only a running call is ever failed this way:
// a call that returns with the server's next write ends by itself, and closing its handles under it would
// make the call's end read the rest of the answer first (Wine's WinINet does so when it drops a request's
// last reference), seconds from a fast server.
#pragma once

#include <windows.h>
#include <wininet.h>

#include "support/lock.h"
#include "support/scoped_handle.h"
#include "support/thread_annotations.h"

namespace hv {

class StopSignal {
 public:
  static constexpr DWORD kStuckCallMs = 100;

  // Any thread; never waits for WinINet. Repeating it is harmless (and fails a call that has become stuck
  // since the last request).
  void Request() EXCLUDES(lock_);
  bool Requested() const EXCLUDES(lock_);
  void ThrowIfRequested() const EXCLUDES(lock_);  // ThrowStopped once a stop was requested

  // The worker's handles (InternetHandles), worker thread only.
  // Takes the exchange's root handle. One that comes after a stop is closed at once, and ThrowStopped.
  void AdoptRoot(UniqueInternet root) EXCLUDES(lock_);
  // A WinINet call starts: ThrowStopped when a stop was requested; otherwise returns the root (null when
  // none was adopted), which stays open at least until EndCall unless a stop fails the call.
  HINTERNET BeginCall() EXCLUDES(lock_);
  void EndCall() EXCLUDES(lock_);
  // True when a stop closed the root, and so every handle under it: they must be forgotten, not closed.
  bool RootClosed() const EXCLUDES(lock_);
  // Hands the root back for closing (empty when a stop closed it or none was adopted).
  UniqueInternet ReleaseRoot() EXCLUDES(lock_);

 private:
  mutable Lock lock_;
  bool requested_ GUARDED_BY(lock_) = false;
  bool rootClosed_ GUARDED_BY(lock_) = false;
  bool callRunning_ GUARDED_BY(lock_) = false;
  DWORD callStart_ GUARDED_BY(lock_) = 0;  // tick count when the running call began
  UniqueInternet root_ GUARDED_BY(lock_);
};

}  // namespace hv
