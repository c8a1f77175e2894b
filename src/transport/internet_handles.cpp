#include "transport/internet_handles.h"

#include <utility>

namespace hv {

template <typename Call>
bool InternetHandles::Use(Kind kind, DWORD& error, Call&& call) {
  const HINTERNET handle = BeginCall(kind);
  if (!handle) return false;
  const bool succeeded = call(handle);
  error = succeeded ? 0 : GetLastError();
  EndCall();
  return true;
}

HINTERNET InternetHandles::BeginCall(Kind kind) {
  LockGuard guard(lock_);
  if (aborted_) return nullptr;
  const HINTERNET handle = Slot(kind).get();
  callRunning_ = handle != nullptr;
  callStart_ = GetTickCount();
  return handle;
}

void InternetHandles::EndCall() {
  LockGuard guard(lock_);
  callRunning_ = false;
}

void InternetHandles::OpenRoot(const std::wstring& userAgent, DWORD& error) {
  UniqueInternet root(InternetOpenW(userAgent.c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  error = root ? 0 : GetLastError();
  if (root) Take(Kind::Root, std::move(root));
}

bool InternetHandles::Connect(const std::wstring& host, uint16_t port, DWORD& error) {
  CloseRequest();
  UniqueInternet connection;
  if (!Use(Kind::Root, error, [&](HINTERNET root) {
        connection.reset(InternetConnectW(root, host.c_str(), port, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 1));
        return connection.valid();
      })) {
    return false;
  }
  if (connection) Take(Kind::Connection, std::move(connection));
  return true;
}

bool InternetHandles::OpenRequest(const wchar_t* verb, const std::wstring& path, DWORD flags, DWORD& error) {
  UniqueInternet request;
  if (!Use(Kind::Connection, error, [&](HINTERNET connection) {
        request.reset(HttpOpenRequestW(connection, verb, path.c_str(), nullptr, nullptr, nullptr, flags, 1));
        return request.valid();
      })) {
    return false;
  }
  if (request) Take(Kind::Request, std::move(request));
  return true;
}

bool InternetHandles::AddHeader(const std::wstring& header, DWORD modifiers, DWORD& error) {
  return Use(Kind::Request, error, [&](HINTERNET request) {
    return HttpAddRequestHeadersW(request, header.c_str(), static_cast<DWORD>(-1), modifiers) != FALSE;
  });
}

bool InternetHandles::Send(bool post, DWORD length, DWORD securityFlags, DWORD& error) {
  return Use(Kind::Request, error, [&](HINTERNET request) {
    if (securityFlags != 0) {
      InternetSetOptionW(request, INTERNET_OPTION_SECURITY_FLAGS, &securityFlags, sizeof(securityFlags));
    }
    INTERNET_BUFFERSW buffers = {};
    buffers.dwStructSize = sizeof(buffers);
    buffers.dwBufferTotal = length;
    return (post ? HttpSendRequestExW(request, &buffers, nullptr, 0, 0)
                 : HttpSendRequestW(request, nullptr, 0, nullptr, 0)) != FALSE;
  });
}

bool InternetHandles::Write(const void* data, DWORD length, DWORD& error) {
  return Use(Kind::Request, error, [&](HINTERNET request) {
    DWORD written = 0;
    return InternetWriteFile(request, data, length, &written) != FALSE;
  });
}

bool InternetHandles::EndRequest() {
  DWORD error = 0;
  return Use(Kind::Request, error,
             [](HINTERNET request) { return HttpEndRequestW(request, nullptr, 0, 0) != FALSE; });
}

bool InternetHandles::QueryInfo(DWORD infoLevel, void* buffer, DWORD* bytes, DWORD& error) {
  return Use(Kind::Request, error, [&](HINTERNET request) {
    return HttpQueryInfoW(request, infoLevel, buffer, bytes, nullptr) != FALSE;
  });
}

bool InternetHandles::QueryAvailable(DWORD& available, DWORD& error) {
  available = 0;
  return Use(Kind::Request, error, [&](HINTERNET request) {
    return InternetQueryDataAvailable(request, &available, 0, 0) != FALSE;
  });
}

bool InternetHandles::Read(void* buffer, DWORD size, DWORD& read, DWORD& error) {
  read = 0;
  return Use(Kind::Request, error,
             [&](HINTERNET request) { return InternetReadFile(request, buffer, size, &read) != FALSE; });
}

bool InternetHandles::AskForCredentials(CredentialsDialog dialog, HWND window, DWORD flags, DWORD& result) {
  DWORD error = 0;
  return Use(Kind::Request, error, [&](HINTERNET request) {
    constexpr DWORD kProxyAuthenticationRequired = 407;
    result = dialog(window, request, kProxyAuthenticationRequired, flags, nullptr);
    return true;
  });
}

bool InternetHandles::Aborted() const {
  LockGuard guard(lock_);
  return aborted_;
}

UniqueInternet& InternetHandles::Slot(Kind kind) {
  return kind == Kind::Root ? root_ : kind == Kind::Connection ? connection_ : request_;
}

UniqueInternet InternetHandles::Release(Kind kind) {
  UniqueInternet& slot = Slot(kind);
  if (rootClosed_) {
    slot.forget();
    return UniqueInternet();
  }
  return std::move(slot);
}

void InternetHandles::Take(Kind kind, UniqueInternet handle) {
  UniqueInternet previous;  // closed on the way out, outside the lock
  LockGuard guard(lock_);
  if (kind == Kind::Request) {
    request_.forget();
  } else {
    previous = Release(kind);
  }
  // An abort that came before the root existed still counts: the new root is closed at once (with handle,
  // outside the lock) and the exchange sees itself aborted.
  if (kind != Kind::Root || !aborted_) Slot(kind) = std::move(handle);
}

void InternetHandles::CloseRequest() {
  UniqueInternet request;
  LockGuard guard(lock_);
  request = Release(Kind::Request);
}

void InternetHandles::CloseAll() {
  UniqueInternet request, connection, root;
  {
    LockGuard guard(lock_);
    request = Release(Kind::Request);
    connection = Release(Kind::Connection);
    root = Release(Kind::Root);
  }
  // Children first, each outside the lock: closing a request can read the rest of its answer.
  request.reset();
  connection.reset();
}

void InternetHandles::Abort() {
  LockGuard guard(lock_);
  aborted_ = true;
  // A call that returns with the server's next write ends by itself, and the worker, stopping before its
  // next call, closes the handles once its final phase shows. Closing them now would make the call's end
  // read the rest of the answer first (Wine's WinINet does so when it drops the request's last reference),
  // seconds from a fast server. Only a call that has waited kStuckCallMs waits on a server that sends
  // nothing: closing the root fails it (on Windows; Wine lets it run on until the server sends something).
  // The running call holds its handle, so WinINet reads nothing here.
  if (!callRunning_ || rootClosed_ || GetTickCount() - callStart_ < kStuckCallMs) return;
  root_.reset();
  rootClosed_ = true;
}

void InternetHandles::ClearAbort() {
  LockGuard guard(lock_);
  aborted_ = false;
  rootClosed_ = false;
}

}  // namespace hv
