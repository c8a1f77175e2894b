// The WinINet handles of one session (root, connection, request) and the abort that reaches them from
// another thread.
//
// Threads: the worker opens, uses and closes the handles of its exchange; the caller's thread only calls
// Abort, which closes the root handle (and so, inside WinINet, the connection and request under it) and
// leaves the handles aborted until ClearAbort. The lock orders the two: the worker closes a handle only
// under it and only when no abort closed it already, and gets every handle it uses from Live, which gives
// null once aborted: a closed handle's value may already belong to another session's new handle.
#pragma once

#include <windows.h>
#include <wininet.h>

#include "support/lock.h"
#include "support/scoped_handle.h"

namespace hv {

class InternetHandles {
 public:
  enum class Kind { Root, Connection, Request };

  // Worker thread.
  // Takes a new handle of its kind. A previous root or connection is closed; a previous request is
  // only forgotten: it goes with its connection, so that the proxy credentials the dialog stored through
  // it stay in force for the next request. A root that arrives after an abort is closed at once.
  void Take(Kind kind, UniqueInternet handle);
  // The handle for a WinINet call; null once aborted (or when none is open).
  HINTERNET Live(Kind kind) const;
  bool Aborted() const;
  void Close(Kind kind);  // nothing when none is open; after an abort only forgotten
  void CloseAll();        // request, connection, root

  // Caller's thread.
  void Abort();
  void ClearAbort();  // before a new exchange starts

 private:
  UniqueInternet& Slot(Kind kind);
  const UniqueInternet& Slot(Kind kind) const;
  void Drop(UniqueInternet& handle);  // under lock_

  mutable Lock lock_;
  bool aborted_ = false;  // guarded by lock_
  UniqueInternet root_;   // guarded by lock_
  // Set and read only by the worker, closed under lock_.
  UniqueInternet connection_;
  UniqueInternet request_;
};

}  // namespace hv
