// An HTTP server that misbehaves on purpose, for fault tests and the torture run. It sits on raw Winsock
// (no HTTP library between the script and the wire, so it can lie about lengths and ranges) on
// 127.0.0.1 and a port the OS picks. Start() returns once it listens; the destructor stops it, ends
// stalled answers and waits for every thread.
//
// Each path answers by its FaultPlan: the body, how a "Range: bytes=N-" request is answered, what the
// Content-Length says, where the body is cut or stalls, the Content-Type and Content-Encoding, or a canned
// raw response. Every request is recorded (method, target, headers, body) when its head arrives, with the
// body bytes that send() accepted for its answer, so a test can count what a download really cost.
// Connections are kept alive as by common servers: after a whole answer with its true length the next
// request may follow on the same connection (Wine's WinINet then reads an unread body to its end before it
// closes a request, which is what the byte counts show). Any other answer, and one to a request that says
// "Connection: close", closes the connection after it.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace hvtest {

// How a request with "Range: bytes=N-" is answered (requests without a Range always get 200 and the body).
enum class RangeAnswer {
  kHonour,          // 206 from N with "Content-Range: bytes N-last/size"; 416 when N is past the end
  kOtherOffset,     // 206 from N/2, with a Content-Range that says so
  kNoContentRange,  // 206 from N, without a Content-Range header
  kWhole,           // 200 with the whole body, as a server that ignores ranges does
  kRefuse,          // 416 with "Content-Range: bytes */size" and no body
  kShiftedBody,     // 206 with the Content-Range of a true answer from N, but the body from N/2 on
  kPastTheEnd,      // 206 with "Content-Range: bytes N-last/size" also for an N past the end (a range that
                    // ends before it starts), and the body from N on (none past the end); a body of 1 byte or more
};

// What the Content-Length header says about the L body bytes of an answer.
enum class LengthHeader {
  kTrue,        // L
  kShort,       // L - lengthSkew (at least 0); the whole body is still sent
  kLong,        // L + lengthSkew; only L bytes follow before the close
  kAbsent,      // no header: the body ends when the connection does
  kNonNumeric,  // "unknown"
  kHuge,        // 2^65, "36893488147419103232"
  kExact,       // FaultPlan::exactLength as it stands
};

struct FaultPlan {
  static constexpr uint64_t kNever = UINT64_MAX;

  std::string body;  // the resource as it goes on the wire (already gzip-encoded when the test wants that)
  RangeAnswer range = RangeAnswer::kHonour;
  LengthHeader length = LengthHeader::kTrue;
  uint64_t lengthSkew = 1024;
  std::string exactLength;       // the Content-Length of kExact
  uint64_t cutAfter = kNever;    // close the connection after this many body bytes of an answer
  uint64_t stallAfter = kNever;  // after this many body bytes, send nothing until released or stallMs, then close
  bool silent = false;           // send nothing at all, not even the status line, until released or stallMs
  int stallMs = 10000;
  std::string contentType = "application/octet-stream";  // empty: no Content-Type header
  std::string contentEncoding;                           // for example "gzip"; empty: no header
  // Validators, each sent when not empty. A request whose "If-Range" is neither the ETag (a weak one never
  // matches) nor the Last-Modified gets 200 and the whole body, as the Range were absent.
  std::string etag;
  std::string lastModified;
  std::string raw;          // when not empty, the whole answer instead of all of the above (every byte counts); closes
  uint64_t extraBytes = 0;  // sent after the whole body of a 206, beyond its range; the answer then closes
  // A slow server: the body goes out paceBytes at a time, paceMs apart (0: as fast as the socket takes it),
  // after its first paceFrom bytes, which go at once (a fast server that turns slow).
  uint64_t paceBytes = 0;
  int paceMs = 0;
  uint64_t paceFrom = 0;
};

// The plan that serves body as it is, with no fault.
inline FaultPlan Plain(const std::string& body) {
  FaultPlan plan;
  plan.body = body;
  return plan;
}

struct FaultRequest {
  std::string method;
  std::string target;  // path with the query string, exactly as sent
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  uint64_t bytesSent = 0;  // body bytes of the answer that send() accepted

  std::string Header(const std::string& name) const;  // first value, names compared without case; "" if absent
};

class FaultServer {
 public:
  FaultServer();
  ~FaultServer();  // Stop()
  FaultServer(const FaultServer&) = delete;
  FaultServer& operator=(const FaultServer&) = delete;

  bool Start();  // false when no socket could listen (nothing runs then)
  void Stop();   // idempotent: ends stalls, closes every connection and waits for its thread

  int port() const { return port_; }
  std::string Url(const std::string& path) const;    // "http://127.0.0.1:<port>" + path
  std::wstring WUrl(const std::string& path) const;  // the same as a wide string

  // Sets the plan of a path (the target up to "?"); requests that arrive later use it. Unknown paths get 404.
  void Serve(const std::string& path, FaultPlan plan);

  std::vector<FaultRequest> Requests() const;
  size_t RequestCount() const;
  // Body bytes accepted by send() for the requests from index `from` on.
  uint64_t BytesSent(size_t from = 0) const;

  // Bounded waits; true when the condition holds.
  bool WaitForRequests(size_t count, int timeoutMs = 10000) const;  // at least count requests recorded
  bool WaitForStalls(size_t count, int timeoutMs = 10000) const;    // at least count answers have stalled
  bool WaitIdle(int timeoutMs = 10000) const;                       // every answer so far is over
  // Every answer is over or has sent nothing for quietMs (a client that stopped reading an answer without
  // closing it): the byte counts then only change if the client reads on.
  bool WaitQuiet(int quietMs, int timeoutMs = 10000) const;

  void ReleaseStalls();  // ends the stalls in progress (their connections close); later ones stall again

 private:
  void AcceptLoop();
  // Each connection on a Win32 thread of its own, its handle closed at once (see the .cpp).
  void StartConnectionThread(SOCKET socket);
  static DWORD WINAPI ConnectionEntry(void* start);
  void Handle(SOCKET socket);
  // Reads one request and answers it; true when the connection stays open for another one.
  bool Exchange(SOCKET socket, HANDLE ready, std::string& received);
  // Sends the answer; true when it leaves the connection usable for another request.
  bool Answer(SOCKET socket, HANDLE ready, const FaultPlan& plan, const FaultRequest& request, size_t index);
  bool SendAll(SOCKET socket, HANDLE ready, const char* data, size_t length, size_t countFor);
  // Body bytes at the plan's pace; false when the connection or the server stops.
  bool SendBody(SOCKET socket, HANDLE ready, const FaultPlan& plan, const char* data, uint64_t length, size_t index);
  void Stall(const FaultPlan& plan);
  // Appends what arrives next; false when the client closed, failed or stayed silent too long.
  bool Receive(SOCKET socket, HANDLE ready, std::string& into) const;
  static std::chrono::steady_clock::time_point IdleDeadline();  // now + the idle limit
  // Waits for a network event or a short slice, after which the caller tries its socket call again; false
  // on stop or once the deadline has passed.
  bool WaitSocket(SOCKET socket, HANDLE ready, std::chrono::steady_clock::time_point deadline) const;

  int port_ = -1;
  SOCKET listener_ = INVALID_SOCKET;
  HANDLE stopEvent_ = nullptr;  // manual reset: set once by Stop
  std::thread acceptThread_;    // each connection has a detached thread of its own, counted in open_

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  bool stopping_ = false;
  std::map<std::string, std::shared_ptr<const FaultPlan>> plans_;
  std::vector<FaultRequest> requests_;
  size_t stalls_ = 0;
  uint64_t releases_ = 0;
  size_t open_ = 0;       // connections accepted and not yet closed
  size_t answering_ = 0;  // requests recorded whose answer is not over
  std::chrono::steady_clock::time_point lastSend_;
};

}  // namespace hvtest
