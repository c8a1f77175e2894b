// One client connection: what a handle stands for between PelkOpen and PelkClose: the caller's identity
// and options, the query filter, the last distribution list, at most one query and one download request,
// and the statistics report. Calls on one connection are not serialised: the caller uses a handle from one
// thread at a time. Requests run on worker threads; this object only starts, polls, cancels and reads them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "api/distribution_list.h"
#include "packets/client_identity.h"
#include "packets/content_query.h"
#include "packets/packet.h"
#include "packets/report.h"
#include "support/status.h"
#include "transport/download_job.h"

namespace hv {

enum class DistField { Checksum, DownloadUrl, PackageGuid, DistGuid, Language, Version, ProductName, ContentId };

class Connection {
 public:
  // Builds a connection from the arguments of PelkOpen; throws a StatusCode on failure.
  Connection(const std::wstring& appName, const std::wstring& appVersion, const std::wstring& wrapperName,
             const std::wstring& wrapperVersion, const std::wstring& locale, int32_t flags);
  // Stops running requests (waiting for their workers a moment at most); the report is dropped unsent.
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  void SetParentWindow(int32_t window) { parentWindow_ = window; }
  // Blocks until the ping ended: 0; throws the mapped service status or the request's failure.
  StatusCode PingServer(int32_t timeLimitMs);

  // Rebuilds the default filter (reads "InternalTesting" again); the request and the list are untouched.
  void QueryReset();
  void SetDistPackageGuid(const std::wstring& guid);
  void SetDistGuidAndVersion(const std::wstring& guid, const std::wstring& language, const std::wstring& version);
  // 0 with the list replaced or PELK_S_STILL_RUNNING (limit 0); throws a failure with the list kept.
  StatusCode QuerySubmit(int32_t timeLimitMs);
  // As QuerySubmit for the outstanding request; PELK_S_NOTHING_OUTSTANDING when there is none.
  StatusCode QueryCheck(int32_t timeLimitMs);
  void QueryCancel();  // stops and drops the query request (see RequestJob::Cancel)

  int32_t DistCount() const;
  // Throw PELK_E_BAD_INDEX unless 0 <= index < DistCount().
  uint64_t DistDownloadSize(int32_t index) const;
  std::wstring DistText(int32_t index, DistField field) const;

  // Drops (stopping) any earlier download, then starts streaming the record's URL into
  // targetPath: normally PELK_S_STILL_RUNNING; 0 or a throw when it already ended.
  StatusCode DownloadSubmit(int32_t index, const std::wstring& targetPath);
  // Never waits. Returns the phase; a final phase (finished or failed) adds a statistics group each time.
  // PELK_S_NOTHING_OUTSTANDING (counts untouched) before any download was submitted.
  StatusCode DownloadCheck(uint64_t& received, uint64_t& verified, uint64_t& total);
  // Stops without waiting and records a "cancelled" statistics group; the phase is final within 100 ms.
  void DownloadCancel();

  // Sends the collected statistics; on success the report starts again empty, on a failure (thrown) it is
  // kept.
  StatusCode ReportSubmit();
  void ReportReset();  // drops the collected statistics unsent

 private:
  std::unique_ptr<ReportCommand> NewReport() const;
  StatusCode CollectQueryAnswer();  // 0; throws the answer's failure
  void RecordStatistic(StatusCode status);
  bool SilentProxyAuth() const;

  DistributionList list_;
  ContentQuery filter_;
  std::unique_ptr<CommandRequest> query_;
  std::unique_ptr<DownloadJob> download_;
  std::unique_ptr<ReportCommand> report_;
  std::wstring downloadUrl_;  // of the last submitted download, for its statistics
  ClientIdentity identity_;
  int32_t flags_;
  std::wstring locale_;
  int32_t parentWindow_ = 0;
};

}  // namespace hv
