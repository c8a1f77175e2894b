// An HTTP server inside the test process, on 127.0.0.1 and a port the OS picks. Register handlers on
// server() before Start(); Start() returns once the socket listens; the destructor stops and joins it.
// Every request is recorded when it arrives, so a test can check the exact bytes the client sent; its body
// is added once the handler has run, before the response goes out.
#pragma once

#ifndef CPPHTTPLIB_THREAD_POOL_COUNT
#define CPPHTTPLIB_THREAD_POOL_COUNT 16
#endif
#include <httplib.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace hvtest {

struct RecordedRequest {
  std::string method;
  std::string target;  // path with the query string, exactly as sent
  std::string body;
  httplib::Headers headers;

  bool HasHeader(const std::string& name) const { return headers.count(name) > 0; }
  std::string Header(const std::string& name) const;
};

class TestServer {
 public:
  TestServer();
  ~TestServer();
  TestServer(const TestServer&) = delete;
  TestServer& operator=(const TestServer&) = delete;

  httplib::Server& server() { return server_; }
  void Start();  // binds, listens, serves on a thread
  void Stop();   // idempotent; the destructor calls it

  int port() const { return port_; }
  std::string Url(const std::string& path) const;    // "http://127.0.0.1:<port>" + path
  std::wstring WUrl(const std::string& path) const;  // the same as a wide string

  std::vector<RecordedRequest> Requests() const;
  // Waits (bounded) until at least count requests have been recorded.
  bool WaitForRequests(size_t count, int timeoutMs = 10000) const;

 private:
  httplib::Server server_;
  std::thread thread_;
  int port_ = -1;
  mutable std::mutex mutex_;
  mutable std::condition_variable arrived_;
  std::vector<RecordedRequest> requests_;
  std::map<const httplib::Request*, size_t> inFlight_;  // recorded, body not yet read
};

// A one-shot gate that handlers can block on until the test opens it (bounded wait).
class Gate {
 public:
  void Open();
  bool Wait(int timeoutMs = 10000);

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
};

std::wstring Widen(const std::string& text);

}  // namespace hvtest
