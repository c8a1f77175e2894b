#include "transport/internet_handles.h"

#include <utility>

namespace hv {

UniqueInternet& InternetHandles::Slot(Kind kind) {
  return const_cast<UniqueInternet&>(std::as_const(*this).Slot(kind));
}

const UniqueInternet& InternetHandles::Slot(Kind kind) const {
  return kind == Kind::Root ? root_ : kind == Kind::Connection ? connection_ : request_;
}

void InternetHandles::Take(Kind kind, UniqueInternet handle) {
  LockGuard guard(lock_);
  UniqueInternet& slot = Slot(kind);
  if (kind == Kind::Request || aborted_) {
    slot.forget();
  } else {
    Drop(slot);
  }
  // An abort that came before the root existed still counts: the new root is closed at once (with the
  // handle parameter) and the exchange sees itself aborted.
  if (kind != Kind::Root || !aborted_) slot = std::move(handle);
}

HINTERNET InternetHandles::Live(Kind kind) const {
  LockGuard guard(lock_);
  return aborted_ ? nullptr : Slot(kind).get();
}

bool InternetHandles::Aborted() const {
  LockGuard guard(lock_);
  return aborted_;
}

void InternetHandles::Close(Kind kind) {
  LockGuard guard(lock_);
  Drop(Slot(kind));
}

void InternetHandles::CloseAll() {
  LockGuard guard(lock_);
  Drop(request_);
  Drop(connection_);
  root_.reset();
}

void InternetHandles::Abort() {
  LockGuard guard(lock_);
  aborted_ = true;
  // Closing the root handle closes the connection and request under it and fails the call the worker
  // is blocked in.
  root_.reset();
}

void InternetHandles::ClearAbort() {
  LockGuard guard(lock_);
  aborted_ = false;
}

void InternetHandles::Drop(UniqueInternet& handle) {
  // After an abort WinINet has already closed this handle with its root; closing it again could hit a
  // handle value that was handed out anew in the meantime.
  if (aborted_) {
    handle.forget();
  } else {
    handle.reset();
  }
}

}  // namespace hv
