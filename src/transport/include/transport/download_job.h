// A file download: a request job that streams the body of its URL into a target file, resuming a partial
// one and verifying the finished file against an MD5 digest when one is given.
#pragma once

#include <string>

#include "support/status.h"
#include "transport/request_job.h"

namespace hv {

class DownloadJob : public RequestJob {
 public:
  // userAgentToken: "name version" of the calling application (empty: none).
  DownloadJob(const std::wstring& url, const std::wstring& userAgentToken);

  // Streams to targetPath (verified against expectedChecksum, lower-case MD5 hex, unless empty) and
  // starts the exchange without waiting; the proxy-credentials dialog may show. Normally
  // PELK_S_STILL_RUNNING; 0 or a throw as Run when the exchange already ended.
  StatusCode Start(const std::wstring& targetPath, const std::wstring& expectedChecksum);
};

}  // namespace hv
