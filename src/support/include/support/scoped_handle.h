// One move-only owner for every kind of system handle. A small traits struct per kind says what the
// invalid value is and how to close it. Closing never disturbs the thread's last error, so a caller can
// release resources on a failure path and still report GetLastError() of the call that failed.
#pragma once

#include <windows.h>
#include <wincrypt.h>
#include <wininet.h>

#include <utility>

namespace hv {

template <typename Traits>
class UniqueHandle {
 public:
  using Handle = typename Traits::Handle;

  UniqueHandle() noexcept : handle_(Traits::Invalid()) {}
  explicit UniqueHandle(Handle handle) noexcept : handle_(handle) {}
  ~UniqueHandle() { reset(); }

  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  Handle get() const noexcept { return handle_; }
  bool valid() const noexcept { return handle_ != Traits::Invalid(); }
  explicit operator bool() const noexcept { return valid(); }

  // Hands the handle on: the caller owns it now.
  [[nodiscard]] Handle release() noexcept { return std::exchange(handle_, Traits::Invalid()); }
  // Drops the handle without closing it: for a value that was never a handle (an out-parameter a failed
  // call left behind) or a handle that something else has closed (WinINet closes children with their
  // parent).
  void forget() noexcept { handle_ = Traits::Invalid(); }

  // Closes the held handle (if any) and takes the new one; the thread's last error is kept.
  void reset(Handle handle = Traits::Invalid()) noexcept {
    if (handle_ != Traits::Invalid()) {
      DWORD error = GetLastError();
      Traits::Close(handle_);
      SetLastError(error);
    }
    handle_ = handle;
  }

  // Address for APIs that return a handle through an out-parameter; closes any held handle first.
  Handle* receive() noexcept {
    reset();
    return &handle_;
  }

 private:
  Handle handle_;
};

// Files, events and threads are kernel handles: CloseHandle closes them all.
struct KernelHandleTraits {
  using Handle = HANDLE;
  static void Close(Handle h) noexcept { CloseHandle(h); }
};
struct FileTraits : KernelHandleTraits {
  static Handle Invalid() noexcept { return INVALID_HANDLE_VALUE; }
};
struct EventTraits : KernelHandleTraits {  // events and threads: null when invalid
  static Handle Invalid() noexcept { return nullptr; }
};

struct RegKeyTraits {
  using Handle = HKEY;
  static Handle Invalid() noexcept { return nullptr; }
  static void Close(Handle h) noexcept { RegCloseKey(h); }
};

struct InternetTraits {
  using Handle = HINTERNET;
  static Handle Invalid() noexcept { return nullptr; }
  static void Close(Handle h) noexcept { InternetCloseHandle(h); }
};

struct CryptContextTraits {
  using Handle = HCRYPTPROV;
  static Handle Invalid() noexcept { return 0; }
  static void Close(Handle h) noexcept { CryptReleaseContext(h, 0); }
};

struct CryptHashTraits {
  using Handle = HCRYPTHASH;
  static Handle Invalid() noexcept { return 0; }
  static void Close(Handle h) noexcept { CryptDestroyHash(h); }
};

using UniqueFile = UniqueHandle<FileTraits>;
using UniqueEvent = UniqueHandle<EventTraits>;
using UniqueThread = UniqueHandle<EventTraits>;
using UniqueRegKey = UniqueHandle<RegKeyTraits>;
using UniqueInternet = UniqueHandle<InternetTraits>;
using UniqueCryptContext = UniqueHandle<CryptContextTraits>;
using UniqueCryptHash = UniqueHandle<CryptHashTraits>;

}  // namespace hv
