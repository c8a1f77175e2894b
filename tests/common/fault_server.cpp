#include "common/fault_server.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace hvtest {
namespace {

constexpr size_t kMaxHead = 64 * 1024;
constexpr int kIdleMs = 30000;  // a client that neither sends nor reads for this long is dropped
constexpr int kSliceMs = 50;    // the longest wait for a network event before a socket call is tried again
constexpr size_t kChunk = 64 * 1024;
constexpr size_t kUncounted = SIZE_MAX;  // SendAll's request index for bytes that are not body bytes

bool EqualsNoCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return tolower(static_cast<unsigned char>(x)) == tolower(static_cast<unsigned char>(y));
         });
}

std::string Trim(const std::string& text) {
  const size_t from = text.find_first_not_of(" \t");
  if (from == std::string::npos) return std::string();
  return text.substr(from, text.find_last_not_of(" \t") - from + 1);
}

// The head of a request: request line and headers. False when it is not HTTP.
bool ParseHead(const std::string& head, FaultRequest& request) {
  const size_t lineEnd = head.find("\r\n");
  const std::string line = head.substr(0, lineEnd);
  const size_t first = line.find(' ');
  const size_t second = line.find(' ', first + 1);
  if (first == std::string::npos || second == std::string::npos) return false;
  request.method = line.substr(0, first);
  request.target = line.substr(first + 1, second - first - 1);
  for (size_t at = lineEnd + 2; at < head.size();) {
    const size_t end = std::min(head.find("\r\n", at), head.size());
    const std::string header = head.substr(at, end - at);
    const size_t colon = header.find(':');
    if (colon != std::string::npos)
      request.headers.emplace_back(header.substr(0, colon), Trim(header.substr(colon + 1)));
    at = end + 2;
  }
  return true;
}

// The N of "bytes=N-"; false for no Range or any other form (answered as if absent).
bool RangeStart(const FaultRequest& request, uint64_t& start) {
  const std::string value = request.Header("Range");
  if (value.compare(0, 6, "bytes=") != 0 || value.size() < 8 || value.back() != '-') return false;
  const std::string digits = value.substr(6, value.size() - 7);
  if (digits.find_first_not_of("0123456789") != std::string::npos) return false;
  start = std::strtoull(digits.c_str(), nullptr, 10);
  return true;
}

const char* Reason(int status) {
  switch (status) {
    case 200: return "OK";
    case 206: return "Partial Content";
    default: return "Range Not Satisfiable";
  }
}

}  // namespace

std::string FaultRequest::Header(const std::string& name) const {
  for (const auto& header : headers) {
    if (EqualsNoCase(header.first, name)) return header.second;
  }
  return std::string();
}

FaultServer::FaultServer() : stopEvent_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

FaultServer::~FaultServer() {
  Stop();
  CloseHandle(stopEvent_);
}

bool FaultServer::Start() {
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
  listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int size = sizeof(address);
  if (listener_ == INVALID_SOCKET || bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      listen(listener_, SOMAXCONN) != 0 || getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    if (listener_ != INVALID_SOCKET) closesocket(listener_);
    listener_ = INVALID_SOCKET;
    WSACleanup();
    return false;
  }
  // Connections queue from here on, so the caller can connect before the thread runs.
  port_ = ntohs(address.sin_port);
  acceptThread_ = std::thread([this] { AcceptLoop(); });
  return true;
}

void FaultServer::Stop() {
  if (!acceptThread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  SetEvent(stopEvent_);
  acceptThread_.join();
  {
    // Every wait of a connection thread also watches the stop event or flag, so they all end promptly. One
    // that does not would touch this server after its end: the run stops loudly instead of hanging.
    std::unique_lock<std::mutex> lock(mutex_);
    if (!changed_.wait_for(lock, std::chrono::seconds(30), [&] { return open_ == 0; })) {
      fprintf(stderr, "fault server: %zu connections did not end within 30 s of the stop\n", open_);
      fflush(stderr);
      std::abort();
    }
  }
  closesocket(listener_);
  listener_ = INVALID_SOCKET;
  WSACleanup();
}

std::string FaultServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::wstring FaultServer::WUrl(const std::string& path) const {
  const std::string url = Url(path);
  return std::wstring(url.begin(), url.end());
}

void FaultServer::Serve(const std::string& path, FaultPlan plan) {
  auto shared = std::make_shared<const FaultPlan>(std::move(plan));
  std::lock_guard<std::mutex> lock(mutex_);
  plans_[path] = std::move(shared);
}

std::vector<FaultRequest> FaultServer::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

size_t FaultServer::RequestCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_.size();
}

uint64_t FaultServer::BytesSent(size_t from) const {
  std::lock_guard<std::mutex> lock(mutex_);
  uint64_t total = 0;
  for (size_t i = from; i < requests_.size(); ++i) total += requests_[i].bytesSent;
  return total;
}

bool FaultServer::WaitForRequests(size_t count, int timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return requests_.size() >= count; });
}

bool FaultServer::WaitForStalls(size_t count, int timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return stalls_ >= count; });
}

bool FaultServer::WaitIdle(int timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return answering_ == 0; });
}

bool FaultServer::WaitQuiet(int quietMs, int timeoutMs) const {
  const auto quiet = std::chrono::milliseconds(quietMs);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    const auto now = std::chrono::steady_clock::now();
    if (answering_ == 0 || now - lastSend_ >= quiet) return true;
    if (now >= deadline) return false;
    changed_.wait_until(lock, std::min(deadline, lastSend_ + quiet));
  }
}

void FaultServer::ReleaseStalls() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++releases_;
  }
  changed_.notify_all();
}

void FaultServer::AcceptLoop() {
  HANDLE acceptable = WSACreateEvent();
  WSAEventSelect(listener_, acceptable, FD_ACCEPT);
  const HANDLE events[] = {stopEvent_, acceptable};
  // Accepts until the queue is empty. A connection that the client reset while it was queued fails its
  // accept and is skipped. The wait also ends every second, so that a lost accept event cannot leave
  // queued connections unanswered.
  while (WaitForMultipleObjects(2, events, FALSE, 1000) != WAIT_OBJECT_0) {
    WSANETWORKEVENTS happened;
    WSAEnumNetworkEvents(listener_, acceptable, &happened);
    for (;;) {
      const SOCKET accepted = accept(listener_, nullptr, nullptr);
      if (accepted == INVALID_SOCKET) {
        const int error = WSAGetLastError();
        if (error == WSAECONNRESET || error == WSAECONNABORTED) continue;
        break;
      }
      // A small send buffer keeps "accepted by send()" close to "taken by the client".
      int buffer = static_cast<int>(kChunk);
      setsockopt(accepted, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&buffer), sizeof(buffer));
      {
        std::lock_guard<std::mutex> lock(mutex_);
        ++open_;
      }
      // A thread of its own, not kept: a long run leaves no finished threads behind; Stop waits for open_ to
      // reach 0.
      StartConnectionThread(accepted);
    }
  }
  WSACloseEvent(acceptable);
}

namespace {

// A connection thread is a Win32 thread: under Wine, a detached std::thread was seen (about once in 20 runs
// of the api suite) never to run its function, leaving its connection unanswered and a download waiting
// for headers that never came.
struct ConnectionStart {
  FaultServer* server;
  SOCKET socket;
};

}  // namespace

DWORD WINAPI FaultServer::ConnectionEntry(void* parameter) {
  const ConnectionStart start = *static_cast<ConnectionStart*>(parameter);
  delete static_cast<ConnectionStart*>(parameter);
  start.server->Handle(start.socket);
  return 0;
}

void FaultServer::StartConnectionThread(SOCKET socket) {
  auto* start = new ConnectionStart{this, socket};
  const HANDLE thread = CreateThread(nullptr, 0, &ConnectionEntry, start, 0, nullptr);
  if (thread != nullptr) {
    CloseHandle(thread);
    return;
  }
  delete start;
  closesocket(socket);
  std::lock_guard<std::mutex> lock(mutex_);
  --open_;
  changed_.notify_all();
}

void FaultServer::Handle(SOCKET socket) {
  HANDLE ready = WSACreateEvent();
  // Non-blocking from here on: every wait also watches the stop event.
  WSAEventSelect(socket, ready, FD_READ | FD_WRITE | FD_CLOSE);
  std::string received;
  while (Exchange(socket, ready, received)) {
  }
  // A graceful close: the client reads up to the end of what was sent, then the end of the connection.
  shutdown(socket, SD_SEND);
  closesocket(socket);
  WSACloseEvent(ready);
  // Notified under the lock: once Stop has seen open_ reach 0 this thread touches the server no more.
  std::lock_guard<std::mutex> lock(mutex_);
  --open_;
  changed_.notify_all();
}

bool FaultServer::Exchange(SOCKET socket, HANDLE ready, std::string& received) {
  size_t headEnd;
  while ((headEnd = received.find("\r\n\r\n")) == std::string::npos && received.size() < kMaxHead &&
         Receive(socket, ready, received)) {
  }
  FaultRequest request;
  if (headEnd == std::string::npos || !ParseHead(received.substr(0, headEnd), request)) return false;
  received.erase(0, headEnd + 4);
  size_t index;
  std::shared_ptr<const FaultPlan> plan;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    index = requests_.size();
    requests_.push_back(request);
    ++answering_;
    const auto found = plans_.find(request.target.substr(0, request.target.find('?')));
    if (found != plans_.end()) plan = found->second;
  }
  changed_.notify_all();
  // The request body, by its Content-Length: a request answered before its body was read would see its
  // connection reset.
  const uint64_t bodyLength = std::strtoull(request.Header("Content-Length").c_str(), nullptr, 10);
  bool alive = true;
  while (alive && received.size() < bodyLength) alive = Receive(socket, ready, received);
  request.body = received.substr(0, static_cast<size_t>(bodyLength));
  received.erase(0, request.body.size());
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_[index].body = request.body;
  }
  FaultPlan missing;
  missing.raw = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
  const bool keep = alive && Answer(socket, ready, plan ? *plan : missing, request, index);
  std::lock_guard<std::mutex> lock(mutex_);
  --answering_;
  changed_.notify_all();
  return keep;
}

bool FaultServer::Answer(SOCKET socket, HANDLE ready, const FaultPlan& plan, const FaultRequest& request,
                         size_t index) {
  if (plan.silent) {
    Stall(plan);
    return false;
  }
  if (!plan.raw.empty()) {
    SendAll(socket, ready, plan.raw.data(), plan.raw.size(), index);
    return false;
  }

  const uint64_t size = plan.body.size();
  int status = 200;
  uint64_t from = 0;
  uint64_t length = size;
  std::string contentRange;
  uint64_t start = 0;
  const std::string ifRange = request.Header("If-Range");
  const bool rangeValid =
      ifRange.empty() || (ifRange == plan.etag && ifRange.compare(0, 2, "W/") != 0) || ifRange == plan.lastModified;
  if (rangeValid && RangeStart(request, start)) {
    const std::string total = "/" + std::to_string(size);
    RangeAnswer answer = plan.range;
    if (answer == RangeAnswer::kHonour && start >= size) answer = RangeAnswer::kRefuse;
    switch (answer) {
      case RangeAnswer::kHonour:
      case RangeAnswer::kNoContentRange:
      case RangeAnswer::kOtherOffset:
      case RangeAnswer::kShiftedBody: {
        status = 206;
        const uint64_t claimed = answer == RangeAnswer::kOtherOffset ? start / 2 : std::min(start, size);
        from = answer == RangeAnswer::kShiftedBody ? start / 2 : claimed;
        length = size - from;
        if (answer != RangeAnswer::kNoContentRange && claimed < size) {
          contentRange = "bytes " + std::to_string(claimed) + "-" + std::to_string(size - 1) + total;
        }
        break;
      }
      case RangeAnswer::kPastTheEnd:
        status = 206;
        from = std::min(start, size);
        length = size - from;
        contentRange = "bytes " + std::to_string(start) + "-" + std::to_string(size - 1) + total;
        break;
      case RangeAnswer::kWhole: break;
      case RangeAnswer::kRefuse:
        status = 416;
        length = 0;
        contentRange = "bytes *" + total;
        break;
    }
  }

  std::string head = "HTTP/1.1 " + std::to_string(status) + " " + Reason(status) + "\r\n";
  if (!plan.contentType.empty()) head += "Content-Type: " + plan.contentType + "\r\n";
  if (!plan.contentEncoding.empty()) head += "Content-Encoding: " + plan.contentEncoding + "\r\n";
  if (!contentRange.empty()) head += "Content-Range: " + contentRange + "\r\n";
  if (!plan.etag.empty()) head += "ETag: " + plan.etag + "\r\n";
  if (!plan.lastModified.empty()) head += "Last-Modified: " + plan.lastModified + "\r\n";
  switch (plan.length) {
    case LengthHeader::kTrue: head += "Content-Length: " + std::to_string(length) + "\r\n"; break;
    case LengthHeader::kShort:
      head += "Content-Length: " + std::to_string(length - std::min(length, plan.lengthSkew)) + "\r\n";
      break;
    case LengthHeader::kLong: head += "Content-Length: " + std::to_string(length + plan.lengthSkew) + "\r\n"; break;
    case LengthHeader::kAbsent: break;
    case LengthHeader::kNonNumeric: head += "Content-Length: unknown\r\n"; break;
    case LengthHeader::kHuge: head += "Content-Length: 36893488147419103232\r\n"; break;
    case LengthHeader::kExact: head += "Content-Length: " + plan.exactLength + "\r\n"; break;
  }
  const bool closing = EqualsNoCase(request.Header("Connection"), "close");
  head += closing ? "Connection: close\r\n\r\n" : "\r\n";
  if (!SendAll(socket, ready, head.data(), head.size(), kUncounted)) return false;

  const char* body = plan.body.data() + from;
  const uint64_t cutAt = std::min(plan.cutAfter, length);
  if (plan.stallAfter <= cutAt) {
    // The rest of the body never follows: a stall ends with the close. At the body's end it holds open the
    // connection of an answer whose body runs to the close.
    if (SendBody(socket, ready, plan, body, plan.stallAfter, index)) Stall(plan);
    return false;
  }
  if (!SendBody(socket, ready, plan, body, cutAt, index)) return false;
  if (plan.extraBytes > 0 && status == 206 && cutAt == length) {
    const std::string extra(static_cast<size_t>(plan.extraBytes), 'x');
    SendAll(socket, ready, extra.data(), extra.size(), index);
    return false;
  }
  // Only a whole answer with its true length leaves the connection usable for the next request.
  return cutAt == length && plan.length == LengthHeader::kTrue && !closing;
}

bool FaultServer::SendBody(SOCKET socket, HANDLE ready, const FaultPlan& plan, const char* data, uint64_t length,
                           size_t index) {
  const uint64_t step = plan.paceBytes > 0 ? plan.paceBytes : length;
  const uint64_t fast = plan.paceBytes > 0 ? std::min(plan.paceFrom, length) : 0;
  if (fast > 0 && !SendAll(socket, ready, data, static_cast<size_t>(fast), index)) return false;
  for (uint64_t sent = fast; sent < length; sent += step) {
    if (sent > 0 && WaitForSingleObject(stopEvent_, static_cast<DWORD>(plan.paceMs)) == WAIT_OBJECT_0) return false;
    if (!SendAll(socket, ready, data + sent, static_cast<size_t>(std::min(step, length - sent)), index)) return false;
  }
  return true;
}

bool FaultServer::SendAll(SOCKET socket, HANDLE ready, const char* data, size_t length, size_t countFor) {
  auto deadline = IdleDeadline();
  while (length > 0) {
    const int sent = send(socket, data, static_cast<int>(std::min(length, kChunk)), 0);
    if (sent > 0) {
      data += sent;
      length -= sent;
      deadline = IdleDeadline();
      std::lock_guard<std::mutex> lock(mutex_);
      lastSend_ = std::chrono::steady_clock::now();
      if (countFor != kUncounted) requests_[countFor].bytesSent += sent;
    } else if (WSAGetLastError() != WSAEWOULDBLOCK || !WaitSocket(socket, ready, deadline)) {
      return false;
    }
  }
  return true;
}

void FaultServer::Stall(const FaultPlan& plan) {
  std::unique_lock<std::mutex> lock(mutex_);
  ++stalls_;
  const uint64_t release = releases_;
  changed_.notify_all();
  changed_.wait_for(lock, std::chrono::milliseconds(plan.stallMs), [&] { return stopping_ || releases_ != release; });
}

bool FaultServer::Receive(SOCKET socket, HANDLE ready, std::string& into) const {
  char buffer[4096];
  const auto deadline = IdleDeadline();
  for (;;) {
    const int got = recv(socket, buffer, sizeof(buffer), 0);
    if (got > 0) {
      into.append(buffer, got);
      return true;
    }
    if (got == 0 || WSAGetLastError() != WSAEWOULDBLOCK || !WaitSocket(socket, ready, deadline)) return false;
  }
}

std::chrono::steady_clock::time_point FaultServer::IdleDeadline() {
  return std::chrono::steady_clock::now() + std::chrono::milliseconds(kIdleMs);
}

bool FaultServer::WaitSocket(SOCKET socket, HANDLE ready, std::chrono::steady_clock::time_point deadline) const {
  // Short slices: under load Wine can leave a network event unsignalled (data that came between the
  // socket call and the wait), which would otherwise stall the answer until the client gives up.
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0) return false;
  const HANDLE events[] = {stopEvent_, ready};
  const DWORD slice = static_cast<DWORD>(std::min<long long>(left.count(), kSliceMs));
  const DWORD result = WaitForMultipleObjects(2, events, FALSE, slice);
  if (result != WAIT_OBJECT_0 + 1) return result == WAIT_TIMEOUT;
  WSANETWORKEVENTS happened;
  return WSAEnumNetworkEvents(socket, ready, &happened) == 0;
}

}  // namespace hvtest
