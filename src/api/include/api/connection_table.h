// The process-wide table of open connections. A handle is the 1-based slot of its connection; slots are
// never reused (closing empties a slot but keeps it), so a stale handle can never reach a newer
// connection. One lock guards the array: held for look-ups, appends and the whole of a close.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "support/lock.h"
#include "support/status.h"

namespace hv {

class Connection;

class ConnectionTable {
 public:
  // The one table of the process.
  static ConnectionTable& Instance();
  // Library unload: tears down every open connection as PelkClose would, then the table and its lock.
  static void Unload();

  ConnectionTable() = default;
  ConnectionTable(const ConnectionTable&) = delete;
  ConnectionTable& operator=(const ConnectionTable&) = delete;

  // Appends the connection and returns its handle.
  int32_t Add(std::unique_ptr<Connection> connection) EXCLUDES(lock_);
  // The open connection of a handle; throws PELK_E_INVALID_HANDLE for 0, negative, unknown or closed.
  // The reference is returned after the lock is released, so it stays valid only while no other thread
  // closes that handle: safe under the callers' rule "one caller thread per handle", and only there.
  Connection& Lookup(int32_t handle) EXCLUDES(lock_);
  // Tears the connection down under the table lock. Nothing for 0, negative or already closed handles;
  // throws PELK_E_UNEXPECTED for a handle above the last issued.
  void Close(int32_t handle) EXCLUDES(lock_);
 private:
  void CloseAll() EXCLUDES(lock_);  // tears down every open connection in slot order

  Lock lock_;
  std::vector<std::unique_ptr<Connection>> slots_ GUARDED_BY(lock_);
};

}  // namespace hv
