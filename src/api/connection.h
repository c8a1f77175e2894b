// One client connection: what a handle stands for between PelkOpen and PelkClose. Calls on one
// connection are not serialised: the caller uses a handle from one thread at a time.
#pragma once

#include <cstdint>
#include <string>

#include "packets/client_identity.h"
#include "support/status.h"

namespace hv {

enum class DistField { Checksum, DownloadUrl, PackageGuid, DistGuid, Language, Version, ProductName, ContentId };

class Connection {
 public:
  // Builds a connection from the arguments of PelkOpen; throws a StatusCode on failure.
  Connection(const std::wstring& appName, const std::wstring& appVersion, const std::wstring& wrapperName,
             const std::wstring& wrapperVersion, const std::wstring& locale, int32_t flags);
  // Aborts and waits for running requests; the statistics report is dropped unsent.
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  void SetParentWindow(int32_t window) { parentWindow_ = window; }
  StatusCode PingServer(int32_t timeLimitMs);

  void QueryReset();
  void SetDistPackageGuid(const std::wstring& guid);
  void SetDistGuidAndVersion(const std::wstring& guid, const std::wstring& language, const std::wstring& version);
  StatusCode QuerySubmit(int32_t timeLimitMs);
  StatusCode QueryCheck(int32_t timeLimitMs);
  void QueryCancel();

  int32_t DistCount() const;
  // Throw PELK_E_BAD_INDEX unless 0 <= index < DistCount().
  uint64_t DistDownloadSize(int32_t index) const;
  std::wstring DistText(int32_t index, DistField field) const;

  StatusCode DownloadSubmit(int32_t index, const std::wstring& targetPath);
  StatusCode DownloadCheck(uint64_t& received, uint64_t& verified, uint64_t& total);
  void DownloadCancel();

  StatusCode ReportSubmit();
  void ReportReset();

 private:
  ClientIdentity identity_;
  int32_t flags_;
  std::wstring locale_;
  int32_t parentWindow_ = 0;
};

}  // namespace hv
