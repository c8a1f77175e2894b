// The substitute distribution service: the ping, content query and report commands under the service
// path "/hvtr/trellin" and the catalog's files under "/files/", served over HTTP on a thread of its own.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "catalog.h"
#include "options.h"

namespace hv {
namespace service {

extern const char kServicePath[];  // "/hvtr/trellin"

class DistributionService {
 public:
  // Receives one line (without line end) per request, from the serving threads one at a time.
  using LogSink = std::function<void(const std::string& line)>;

  DistributionService(Catalog catalog, ServiceOptions options, LogSink log);
  ~DistributionService();  // stops
  DistributionService(const DistributionService&) = delete;
  DistributionService& operator=(const DistributionService&) = delete;

  // Binds the host and port of the options (port 0: a free one) and starts serving. False with a
  // one-line error when the address cannot be bound or the service was started before.
  bool Start(std::string& error);
  // Stops accepting and waits for the serving thread; idempotent.
  void Stop();
  // Blocks until Stop is called from elsewhere.
  void Wait();

  int port() const;
  // "http://127.0.0.1:8642": the address the service can be reached at.
  std::string Url() const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace service
}  // namespace hv
