// A file download: a request job that streams the body of its URL into a target file, resuming a partial
// one and verifying the finished file against an MD5 digest when one is given.
#pragma once

#include <string>

#include "support/status.h"
#include "transport/exchange_request.h"
#include "transport/request_job.h"

namespace hv {

class DownloadJob : public RequestJob {
 public:
  // Streams request's URL into targetPath (verified against expectedChecksum, lower-case MD5 hex, unless
  // empty) without waiting. Normally PELK_S_STILL_RUNNING; 0 or a throw as Start when the exchange already
  // ended.
  StatusCode Start(ExchangeRequest request, const std::wstring& targetPath, const std::wstring& expectedChecksum);
};

}  // namespace hv
