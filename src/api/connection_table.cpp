#include "api/connection_table.h"

#include "api/connection.h"

namespace hv {

ConnectionTable& ConnectionTable::Instance() {
  // Deliberately never destroyed by the runtime: unload tears the connections down explicitly from
  // DllMain (CloseAll), and at process exit the worker threads are already gone, so nothing may wait.
  static ConnectionTable* table = new ConnectionTable;
  return *table;
}

ConnectionTable::~ConnectionTable() { CloseAll(); }

int32_t ConnectionTable::Add(std::unique_ptr<Connection> connection) {
  LockGuard guard(lock_);
  slots_.push_back(std::move(connection));
  return static_cast<int32_t>(slots_.size());
}

Connection& ConnectionTable::Lookup(int32_t handle) {
  LockGuard guard(lock_);
  if (handle <= 0 || static_cast<size_t>(handle) > slots_.size() || !slots_[handle - 1]) {
    Throw(PELK_E_INVALID_HANDLE);
  }
  return *slots_[handle - 1];
}

void ConnectionTable::Close(int32_t handle) {
  LockGuard guard(lock_);
  if (handle <= 0) return;
  if (static_cast<size_t>(handle) > slots_.size()) Throw(PELK_E_UNEXPECTED);
  slots_[handle - 1].reset();
}

void ConnectionTable::CloseAll() {
  LockGuard guard(lock_);
  for (auto& slot : slots_) slot.reset();
}

}  // namespace hv
