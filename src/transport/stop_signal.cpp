#include "transport/stop_signal.h"

#include <utility>

#include "support/status.h"

namespace hv {

void StopSignal::Request() {
  LockGuard guard(lock_);
  requested_ = true;
  if (!callRunning_ || rootClosed_ || !root_ || GetTickCount() - callStart_ < kStuckCallMs) return;
  root_.reset();
  rootClosed_ = true;
}

bool StopSignal::Requested() const {
  LockGuard guard(lock_);
  return requested_;
}

void StopSignal::ThrowIfRequested() const {
  if (Requested()) ThrowStopped();
}

void StopSignal::AdoptRoot(UniqueInternet root) {
  {
    LockGuard guard(lock_);
    if (!requested_) {
      root_ = std::move(root);
      return;
    }
  }
  root.reset();  // outside the lock
  ThrowStopped();
}

HINTERNET StopSignal::BeginCall() {
  LockGuard guard(lock_);
  if (requested_) ThrowStopped();
  callRunning_ = true;
  callStart_ = GetTickCount();
  return root_.get();
}

void StopSignal::EndCall() {
  LockGuard guard(lock_);
  callRunning_ = false;
}

bool StopSignal::RootClosed() const {
  LockGuard guard(lock_);
  return rootClosed_;
}

UniqueInternet StopSignal::ReleaseRoot() {
  LockGuard guard(lock_);
  return std::move(root_);
}

}  // namespace hv
