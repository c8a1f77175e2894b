#include "common/test_server.h"

#include <gtest/gtest.h>

#include <chrono>

namespace hvtest {

std::string RecordedRequest::Header(const std::string& name) const {
  auto it = headers.find(name);
  return it == headers.end() ? std::string() : it->second;
}

TestServer::TestServer() {
  // One request per connection: a stop never waits for an idle keep-alive connection to time out.
  server_.set_keep_alive_max_count(1);
  // A request is recorded when it arrives (so a test can wait for one whose handler blocks); its body is
  // read only after routing, so the post-routing handler, which runs before the response goes out, adds it.
  server_.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response&) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      inFlight_[&req] = requests_.size();
      requests_.push_back(RecordedRequest{req.method, req.target, req.body, req.headers});
    }
    arrived_.notify_all();
    return httplib::Server::HandlerResponse::Unhandled;
  });
  server_.set_post_routing_handler([this](const httplib::Request& req, httplib::Response&) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = inFlight_.find(&req);
    if (it == inFlight_.end()) return;
    requests_[it->second].body = req.body;
    inFlight_.erase(it);
  });
}

TestServer::~TestServer() { Stop(); }

void TestServer::Start() {
  // bind_to_any_port also listens: connections queue from here on, so no wait for the thread is needed.
  port_ = server_.bind_to_any_port("127.0.0.1");
  ASSERT_GT(port_, 0);
  thread_ = std::thread([this] { server_.listen_after_bind(); });
  // httplib's stop() is a no-op until the serving thread has marked the server running, and it offers no
  // event for that: wait for the mark (bounded) so that a Stop right after Start cannot be lost.
  for (int i = 0; i < 5000 && !server_.is_running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_TRUE(server_.is_running());
}

void TestServer::Stop() {
  if (!thread_.joinable()) return;
  server_.stop();
  thread_.join();
}

std::string TestServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::wstring TestServer::WUrl(const std::string& path) const { return Widen(Url(path)); }

std::vector<RecordedRequest> TestServer::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

bool TestServer::WaitForRequests(size_t count, int timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return arrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return requests_.size() >= count; });
}

void Gate::Open() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
  }
  cv_.notify_all();
}

bool Gate::Wait(int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return open_; });
}

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

}  // namespace hvtest
