#include "api/connection.h"

namespace hv {
namespace {

// The network operations of a connection are not part of this build yet.
[[noreturn]] void NotAvailable() { Throw(PELK_E_UNEXPECTED); }

}  // namespace

Connection::Connection(const std::wstring& appName, const std::wstring& appVersion, const std::wstring& wrapperName,
                       const std::wstring& wrapperVersion, const std::wstring& locale, int32_t flags)
    : flags_(flags), locale_(locale) {
  identity_.appName = appName;
  identity_.appVersion = appVersion;
  identity_.wrapperName = wrapperName;
  identity_.wrapperVersion = wrapperVersion;
}

Connection::~Connection() = default;

StatusCode Connection::PingServer(int32_t) { NotAvailable(); }
void Connection::QueryReset() { NotAvailable(); }
void Connection::SetDistPackageGuid(const std::wstring&) { NotAvailable(); }
void Connection::SetDistGuidAndVersion(const std::wstring&, const std::wstring&, const std::wstring&) {
  NotAvailable();
}
StatusCode Connection::QuerySubmit(int32_t) { NotAvailable(); }
StatusCode Connection::QueryCheck(int32_t) { NotAvailable(); }
void Connection::QueryCancel() { NotAvailable(); }

int32_t Connection::DistCount() const { return 0; }

uint64_t Connection::DistDownloadSize(int32_t index) const {
  if (index < 0 || index >= DistCount()) Throw(PELK_E_BAD_INDEX);
  NotAvailable();
}

std::wstring Connection::DistText(int32_t index, DistField) const {
  if (index < 0 || index >= DistCount()) Throw(PELK_E_BAD_INDEX);
  NotAvailable();
}

StatusCode Connection::DownloadSubmit(int32_t, const std::wstring&) { NotAvailable(); }
StatusCode Connection::DownloadCheck(uint64_t&, uint64_t&, uint64_t&) { NotAvailable(); }
void Connection::DownloadCancel() { NotAvailable(); }
StatusCode Connection::ReportSubmit() { NotAvailable(); }
void Connection::ReportReset() { NotAvailable(); }

}  // namespace hv
