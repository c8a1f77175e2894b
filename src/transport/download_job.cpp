#include "transport/download_job.h"

#include <memory>
#include <utility>

#include "transport/download_file.h"

namespace hv {

StatusCode DownloadJob::Start(ExchangeRequest request, const std::wstring& targetPath,
                              const std::wstring& expectedChecksum) {
  return RequestJob::Start(std::move(request), std::make_unique<DownloadFile>(targetPath, expectedChecksum), 0);
}

}  // namespace hv
