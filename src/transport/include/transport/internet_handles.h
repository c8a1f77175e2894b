// The WinINet handles of one session (root, connection, request), every call made on them, and the abort
// that reaches them from another thread.
//
// Threads: the worker opens the handles, makes every call and closes them; the caller's thread only calls
// Abort (and ClearAbort between exchanges). Two facts of WinINet shape the rules:
// - closing a handle fails a call blocked on it (on Windows; Wine lets the call run on until the server
//   next sends something, so the worker also checks for an abort before every call);
// - the thread that drops a request's last reference reads the rest of its answer first (Wine reads what
//   the server keeps sending). A call holds a reference for as long as it runs.
// So every call goes through this class, which makes it only while no abort has come. Abort marks the
// handles aborted; the worker sees that before its next call (reads return with the server's next write),
// shows its final phase and closes the handles itself, outside the lock. Only a call that has been waiting
// for kStuckCallMs when an abort comes (a server that sends nothing) is failed by closing the root, and
// with it, inside WinINet, everything under it: that call holds its reference, so nothing is read on the
// aborting thread. A waiting cancel repeats its abort until the worker has ended. An abort never waits
// for WinINet.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <cstdint>
#include <string>

#include "support/lock.h"
#include "support/scoped_handle.h"

namespace hv {

class InternetHandles {
 public:
  // Worker thread. Each call returns false when the handles are aborted (and then nothing was called);
  // otherwise error is 0 when the call succeeded, else the thread's last error after it.
  void OpenRoot(const std::wstring& userAgent, DWORD& error);  // a root opened after an abort closes at once
  [[nodiscard]] bool Connect(const std::wstring& host, uint16_t port, DWORD& error);  // closes the previous
  // Opens a request on the connection. The previous request is only forgotten: it goes with its
  // connection, so that the proxy credentials the dialog stored through it stay in force.
  [[nodiscard]] bool OpenRequest(const wchar_t* verb, const std::wstring& path, DWORD flags, DWORD& error);
  [[nodiscard]] bool AddHeader(const std::wstring& header, DWORD modifiers, DWORD& error);
  // Sends the request (a POST announces length body bytes, written with Write); securityFlags, when not 0,
  // are set on the request first.
  [[nodiscard]] bool Send(bool post, DWORD length, DWORD securityFlags, DWORD& error);
  [[nodiscard]] bool Write(const void* data, DWORD length, DWORD& error);
  [[nodiscard]] bool EndRequest();
  [[nodiscard]] bool QueryInfo(DWORD infoLevel, void* buffer, DWORD* bytes, DWORD& error);
  // Waits until some of the answer's body has arrived (or it ended: available 0).
  [[nodiscard]] bool QueryAvailable(DWORD& available, DWORD& error);
  [[nodiscard]] bool Read(void* buffer, DWORD size, DWORD& read, DWORD& error);
  using CredentialsDialog = DWORD(WINAPI*)(HWND window, HINTERNET request, DWORD error, DWORD flags, LPVOID* data);
  [[nodiscard]] bool AskForCredentials(CredentialsDialog dialog, HWND window, DWORD flags, DWORD& result);
  bool Aborted() const EXCLUDES(lock_);
  void CloseRequest() EXCLUDES(lock_);
  void CloseAll() EXCLUDES(lock_);  // request, connection, root

  // Caller's thread: never waits for WinINet.
  static constexpr DWORD kStuckCallMs = 100;
  void Abort() EXCLUDES(lock_);
  void ClearAbort() EXCLUDES(lock_);  // before a new exchange starts

 private:
  enum class Kind { Root, Connection, Request };
  // Makes one call with the handle of that kind, unless aborted. While it runs, an abort closes the root.
  template <typename Call>
  bool Use(Kind kind, DWORD& error, Call&& call) EXCLUDES(lock_);
  HINTERNET BeginCall(Kind kind) EXCLUDES(lock_);  // null when aborted or not open
  void EndCall() EXCLUDES(lock_);
  UniqueInternet& Slot(Kind kind) REQUIRES(lock_);
  // Takes the handle out of its slot for the worker to close outside the lock, or forgets it when an
  // abort closed it together with the root.
  UniqueInternet Release(Kind kind) REQUIRES(lock_);
  void Take(Kind kind, UniqueInternet handle) EXCLUDES(lock_);

  mutable Lock lock_;
  bool aborted_ GUARDED_BY(lock_) = false;
  bool rootClosed_ GUARDED_BY(lock_) = false;  // by Abort, which so closed everything under it
  bool callRunning_ GUARDED_BY(lock_) = false;
  DWORD callStart_ GUARDED_BY(lock_) = 0;  // tick count when the running call began
  UniqueInternet root_ GUARDED_BY(lock_);
  UniqueInternet connection_ GUARDED_BY(lock_);
  UniqueInternet request_ GUARDED_BY(lock_);
};

}  // namespace hv
