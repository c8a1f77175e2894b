// The WinINet handles of one exchange (root, connection, request) and every call made on them, on the
// worker thread. The root is held by the exchange's StopSignal, which a stop may close under a stuck call;
// the connection and the request are the worker's own.
//
// Every call checks the stop signal before it starts (ThrowStopped instead of the call) and is bracketed
// for it while it runs; each returns 0 when it succeeded, else the thread's last error after it. The
// thread that drops a request's last reference reads the rest of its answer first (Wine reads what the
// server keeps sending): the worker closes its handles itself, after its final phase shows.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/scoped_handle.h"
#include "transport/stop_signal.h"

namespace hv {

// An option set on every connection handle (requests inherit it): a 4-byte value, or none.
struct ConnectionOption {
  DWORD option;
  DWORD value;
  bool hasValue;
};
std::vector<ConnectionOption> ConnectionOptions(DWORD receiveTimeoutMs);

class InternetHandles {
 public:
  explicit InternetHandles(StopSignal& stop) : stop_(stop) {}
  ~InternetHandles() { CloseAll(); }
  InternetHandles(const InternetHandles&) = delete;
  InternetHandles& operator=(const InternetHandles&) = delete;

  DWORD OpenRoot(const std::wstring& userAgent);  // with the system's proxy settings
  // Closes the previous connection and its request, opens one to host and port and gives it the
  // ConnectionOptions.
  DWORD Connect(const std::wstring& host, uint16_t port, DWORD receiveTimeoutMs);
  // Opens a request on the connection, which leaves redirects to the caller; the previous request is
  // closed first.
  DWORD OpenRequest(const wchar_t* verb, const std::wstring& path, DWORD flags);
  DWORD AddHeader(const std::wstring& header, DWORD modifiers);
  // Sends the request (a POST announces length body bytes, written with Write); securityFlags, when not 0,
  // are set on the request first.
  DWORD Send(bool post, DWORD length, DWORD securityFlags);
  DWORD Write(const void* data, DWORD length);
  DWORD EndRequest();
  DWORD QueryInfo(DWORD infoLevel, void* buffer, DWORD* bytes);
  // Waits until some of the answer's body has arrived (or it ended: available 0).
  DWORD QueryAvailable(DWORD& available);
  DWORD Read(void* buffer, DWORD size, DWORD& read);
  using CredentialsDialog = DWORD(WINAPI*)(HWND window, HINTERNET request, DWORD error, DWORD flags, LPVOID* data);
  // The dialog's own result (ERROR_INTERNET_FORCE_RETRY: entered).
  DWORD AskForCredentials(CredentialsDialog dialog, HWND window, DWORD flags);

  void CloseRequest();
  void CloseAll();  // request, connection, root

 private:
  // Makes one call, bracketed for the stop signal: ThrowStopped instead when a stop came first.
  template <typename Call>
  DWORD Use(Call&& call);
  // Drops a handle: closed, or forgotten when a stop closed it with the root.
  void Drop(UniqueInternet& handle);

  StopSignal& stop_;
  UniqueInternet connection_;
  UniqueInternet request_;
};

}  // namespace hv
