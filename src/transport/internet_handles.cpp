#include "transport/internet_handles.h"

#include <utility>

#include "support/status.h"

namespace hv {

template <typename Call>
DWORD InternetHandles::Use(Call&& call) {
  const HINTERNET root = stop_.BeginCall();
  const bool succeeded = call(root);
  const DWORD error = succeeded ? 0 : GetLastError();
  stop_.EndCall();
  return error;
}

void InternetHandles::Drop(UniqueInternet& handle) {
  if (stop_.RootClosed()) {
    handle.forget();
  } else {
    handle.reset();
  }
}

DWORD InternetHandles::OpenRoot(const std::wstring& userAgent) {
  stop_.ThrowIfRequested();
  UniqueInternet root(InternetOpenW(userAgent.c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  if (!root) return GetLastError();
  stop_.AdoptRoot(std::move(root));
  return 0;
}

DWORD InternetHandles::Connect(const std::wstring& host, uint16_t port, DWORD receiveTimeoutMs) {
  CloseRequest();
  Drop(connection_);
  UniqueInternet connection;
  const DWORD error = Use([&](HINTERNET root) {
    connection.reset(InternetConnectW(root, host.c_str(), port, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 1));
    return connection.valid();
  });
  if (error != 0) return error;
  // Their results are ignored: an option a platform lacks changes nothing else.
  for (ConnectionOption option : ConnectionOptions(receiveTimeoutMs)) {
    InternetSetOptionW(connection.get(), option.option, option.hasValue ? &option.value : nullptr,
                       option.hasValue ? sizeof(option.value) : 0);
  }
  connection_ = std::move(connection);
  return 0;
}

std::vector<ConnectionOption> ConnectionOptions(DWORD receiveTimeoutMs) {
  // A server that stops sending is cut off after the receive timeout, and a machine set to work offline
  // still reaches the network. WinINet's own content decoding stays off: gzip is decoded by the library,
  // once (with it on, Wine's WinINet decodes too and drops the Content-Length).
  return {{INTERNET_OPTION_RECEIVE_TIMEOUT, receiveTimeoutMs, true}, {INTERNET_OPTION_IGNORE_OFFLINE, 0, false}};
}

DWORD InternetHandles::OpenRequest(const wchar_t* verb, const std::wstring& path, DWORD flags) {
  CloseRequest();
  UniqueInternet request;
  const DWORD error = Use([&](HINTERNET) {
    // Redirects come back as answers: WinINet would follow them without any limit.
    request.reset(HttpOpenRequestW(connection_.get(), verb, path.c_str(), nullptr, nullptr, nullptr,
                                   flags | INTERNET_FLAG_NO_AUTO_REDIRECT, 1));
    return request.valid();
  });
  request_ = std::move(request);
  return error;
}

DWORD InternetHandles::AddHeader(const std::wstring& header, DWORD modifiers) {
  return Use([&](HINTERNET) {
    return HttpAddRequestHeadersW(request_.get(), header.c_str(), static_cast<DWORD>(-1), modifiers) != FALSE;
  });
}

DWORD InternetHandles::Send(bool post, DWORD length, DWORD securityFlags) {
  return Use([&](HINTERNET) {
    if (securityFlags != 0) {
      InternetSetOptionW(request_.get(), INTERNET_OPTION_SECURITY_FLAGS, &securityFlags, sizeof(securityFlags));
    }
    INTERNET_BUFFERSW buffers = {};
    buffers.dwStructSize = sizeof(buffers);
    buffers.dwBufferTotal = length;
    return (post ? HttpSendRequestExW(request_.get(), &buffers, nullptr, 0, 0)
                 : HttpSendRequestW(request_.get(), nullptr, 0, nullptr, 0)) != FALSE;
  });
}

DWORD InternetHandles::Write(const void* data, DWORD length) {
  return Use([&](HINTERNET) {
    DWORD written = 0;
    return InternetWriteFile(request_.get(), data, length, &written) != FALSE;
  });
}

DWORD InternetHandles::EndRequest() {
  return Use([&](HINTERNET) { return HttpEndRequestW(request_.get(), nullptr, 0, 0) != FALSE; });
}

DWORD InternetHandles::QueryInfo(DWORD infoLevel, void* buffer, DWORD* bytes) {
  return Use([&](HINTERNET) { return HttpQueryInfoW(request_.get(), infoLevel, buffer, bytes, nullptr) != FALSE; });
}

DWORD InternetHandles::QueryAvailable(DWORD& available) {
  available = 0;
  return Use([&](HINTERNET) { return InternetQueryDataAvailable(request_.get(), &available, 0, 0) != FALSE; });
}

DWORD InternetHandles::Read(void* buffer, DWORD size, DWORD& read) {
  read = 0;
  return Use([&](HINTERNET) { return InternetReadFile(request_.get(), buffer, size, &read) != FALSE; });
}

DWORD InternetHandles::AskForCredentials(CredentialsDialog dialog, HWND window, DWORD flags) {
  DWORD result = 0;
  Use([&](HINTERNET) {
    constexpr DWORD kProxyAuthenticationRequired = 407;
    result = dialog(window, request_.get(), kProxyAuthenticationRequired, flags, nullptr);
    return true;
  });
  return result;
}

void InternetHandles::CloseRequest() { Drop(request_); }

void InternetHandles::CloseAll() {
  // Children first: closing a request can read the rest of its answer.
  Drop(request_);
  Drop(connection_);
  UniqueInternet root = stop_.ReleaseRoot();
}

}  // namespace hv
