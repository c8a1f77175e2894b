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
  // The one table of the process, created before any export runs.
  static ConnectionTable& Instance();

  ConnectionTable() = default;
  ~ConnectionTable();  // tears down every open connection in slot order
  ConnectionTable(const ConnectionTable&) = delete;
  ConnectionTable& operator=(const ConnectionTable&) = delete;

  // Appends the connection and returns its handle.
  int32_t Add(std::unique_ptr<Connection> connection);
  // The open connection of a handle; throws PELK_E_INVALID_HANDLE for 0, negative, unknown or closed.
  Connection& Lookup(int32_t handle);
  // Tears the connection down under the table lock. Nothing for 0, negative or already closed handles;
  // throws PELK_E_UNEXPECTED for a handle above the last issued.
  void Close(int32_t handle);
  // Tears down every open connection (library unload); the table stays usable.
  void CloseAll();

 private:
  Lock lock_;
  std::vector<std::unique_ptr<Connection>> slots_;
};

}  // namespace hv
