#include "transport/download_job.h"

namespace hv {

DownloadJob::DownloadJob(const std::wstring& url, const std::wstring& userAgentToken) {
  SetUrl(url);
  AddUserAgentToken(userAgentToken);
}

StatusCode DownloadJob::Start(const std::wstring& targetPath, const std::wstring& expectedChecksum) {
  session().SetStreamToFile(true, targetPath, expectedChecksum);
  return Run(0, false);
}

}  // namespace hv
