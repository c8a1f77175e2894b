#include "api/connection_table.h"

#include "api/connection.h"

namespace hv {

namespace {

// Created when the library is loaded, before any export can run, and destroyed only by Unload: the
// runtime must not destroy it at process exit, when the worker threads are already gone and tearing
// connections down would wait for them for ever.
ConnectionTable* g_table = new ConnectionTable;

}  // namespace

ConnectionTable& ConnectionTable::Instance() { return *g_table; }

void ConnectionTable::Unload() {
  if (!g_table) return;
  g_table->CloseAll();
  delete g_table;
  g_table = nullptr;
}

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
