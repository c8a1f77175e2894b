#include "api/connection.h"

#include <windows.h>

#include <utility>
#include <vector>

#include "packets/ping.h"
#include "support/registry.h"
#include "support/strings.h"

namespace hv {
namespace {

const wchar_t kQueryCommand[] = L"ContentCmd:Query";
const wchar_t kStatisticGroup[] = L"DownloadStatistic";

// Time limits cross the API as int32 and reach a Windows wait as unsigned: -1 waits without limit.
uint32_t WaitLimit(int32_t timeLimitMs) { return static_cast<uint32_t>(timeLimitMs); }

// Window handles cross the API as int32; on 64-bit Windows they are sign-extended to a full handle.
HWND WindowFromInt(int32_t window) { return reinterpret_cast<HWND>(static_cast<intptr_t>(window)); }

// Stops a request's exchange (waiting for its worker a moment at most), then drops the request.
template <typename Job>
void DropRequest(std::unique_ptr<Job>& request) {
  if (!request) return;
  request->Cancel();
  request.reset();
}

}  // namespace

Connection::Connection(const std::wstring& appName, const std::wstring& appVersion, const std::wstring& wrapperName,
                       const std::wstring& wrapperVersion, const std::wstring& locale, int32_t flags)
    : flags_(flags), locale_(locale) {
  identity_.appName = appName;
  identity_.appVersion = appVersion;
  identity_.wrapperName = wrapperName;
  identity_.wrapperVersion = wrapperVersion;
  report_ = NewReport();
  QueryReset();
}

Connection::~Connection() {
  // Running requests are aborted and waited for before anything they refer to goes away; the report is
  // destroyed unsent (its send-on-destroy flag is clear).
  DropRequest(query_);
  DropRequest(download_);
  report_.reset();
}

bool Connection::SilentProxyAuth() const { return (flags_ & PELK_FLAG_SILENT_PROXY_AUTH) != 0; }

std::unique_ptr<ReportCommand> Connection::NewReport() const {
  auto report = std::make_unique<ReportCommand>(identity_, locale_, flags_);
  report->SetSendOnDestroy(false);
  return report;
}

StatusCode Connection::PingServer(int32_t timeLimitMs) {
  PingRequest ping(identity_, true);
  if (parentWindow_ != 0) ping.SetParentWindow(WindowFromInt(parentWindow_));
  // A limit of 0 waits for the answer too. A failure of the exchange is thrown from either wait, which
  // both deliver what the credentials dialog sends to the parent window.
  if (ping.Run(WaitLimit(timeLimitMs), SilentProxyAuth()) == PELK_S_STILL_RUNNING) ping.Check(INFINITE);
  ping.CheckAnswer();
  return PELK_S_OK;
}

void Connection::QueryReset() {
  bool internalTesting = false;
  RegistryReadFlag(HKEY_LOCAL_MACHINE, MakerKeyPath(L"Trellin"), L"InternalTesting", internalTesting);
  StartDefaultFilter(filter_, internalTesting);
}

void Connection::SetDistPackageGuid(const std::wstring& guid) {
  filter_.AddCondition(L"distPackageGUID", guid, CompareType::Equal);
}

void Connection::SetDistGuidAndVersion(const std::wstring& guid, const std::wstring& language,
                                       const std::wstring& version) {
  filter_.OpenGroup(QueryOperator::And);
  filter_.AddCondition(L"distributionGUID", guid, CompareType::Equal);
  filter_.AddCondition(L"distributionLanguage", language, CompareType::Equal);
  filter_.AddCondition(L"distributionVersion", version, CompareType::Equal);
  filter_.CloseGroup();
}

StatusCode Connection::QuerySubmit(int32_t timeLimitMs) {
  DropRequest(query_);
  // Closes the caller's Or group and then the root; after that the cursor stays on the root.
  filter_.CloseGroup();
  filter_.CloseGroup();
  query_ = std::make_unique<CommandRequest>(identity_, kQueryCommand,
                                            Packet(PacketHeader(identity_, locale_), L"contentQuery", filter_), true);
  const StatusCode status = query_->Run(WaitLimit(timeLimitMs), SilentProxyAuth());
  if (status == PELK_S_STILL_RUNNING) return status;
  return CollectQueryAnswer();
}

StatusCode Connection::QueryCheck(int32_t timeLimitMs) {
  if (!query_) return PELK_S_NOTHING_OUTSTANDING;
  const StatusCode status = query_->Check(WaitLimit(timeLimitMs));
  if (status != PELK_S_OK) return status;
  return CollectQueryAnswer();
}

StatusCode Connection::CollectQueryAnswer() {
  const AnswerPacket& answer = query_->Answer();
  answer.CheckServiceStatus();  // a failure leaves the list as it was
  std::vector<XmlElement> updates;
  FindChildren(answer.Body(), L"update", updates);
  DistributionList fresh;
  for (const XmlElement& update : updates) fresh.Add(DistributionRecord(update));
  list_ = std::move(fresh);
  return PELK_S_OK;
}

void Connection::QueryCancel() { DropRequest(query_); }

int32_t Connection::DistCount() const { return list_.Count(); }

uint64_t Connection::DistDownloadSize(int32_t index) const { return list_.Record(index).downloadSize; }

std::wstring Connection::DistText(int32_t index, DistField field) const {
  const DistributionRecord& record = list_.Record(index);
  switch (field) {
    case DistField::Checksum: return record.downloadChecksum;
    case DistField::DownloadUrl: return record.downloadUrl;
    case DistField::PackageGuid: return record.distPackageGuid;
    case DistField::DistGuid: return record.distributionGuid;
    case DistField::Language: return record.distributionLanguage;
    case DistField::Version: return record.distributionVersion;
    case DistField::ProductName: return record.productName;
    case DistField::ContentId: return record.contentId;
  }
  Throw(PELK_E_UNEXPECTED);
}

StatusCode Connection::DownloadSubmit(int32_t index, const std::wstring& targetPath) {
  const DistributionRecord& record = list_.Record(index);
  downloadUrl_ = record.downloadUrl;
  const std::wstring checksum = (flags_ & PELK_FLAG_VERIFY_CHECKSUM) != 0 ? record.downloadChecksum : std::wstring();
  ExchangeRequest request;
  request.url = downloadUrl_;
  request.userAgentTokens.push_back(UserAgentToken(identity_.appName, identity_.appVersion));
  DropRequest(download_);
  download_ = std::make_unique<DownloadJob>();
  return download_->Start(std::move(request), targetPath, checksum);
}

StatusCode Connection::DownloadCheck(uint64_t& received, uint64_t& verified, uint64_t& total) {
  if (!download_) return PELK_S_NOTHING_OUTSTANDING;
  const TransferProgress progress = download_->Progress();
  received = progress.bytesReceived;
  verified = progress.bytesVerified;
  total = progress.totalBytes;
  if (progress.state == PELK_PHASE_FINISHED || IsFailure(progress.state)) RecordStatistic(progress.state);
  return progress.state;
}

void Connection::DownloadCancel() {
  if (!download_) return;
  download_->Stop();
  RecordStatistic(PELK_S_DOWNLOAD_CANCELLED);
}

void Connection::RecordStatistic(StatusCode status) {
  // The URL the download was submitted with: the list may have been replaced by a query since.
  const size_t group = report_->AddGroup(kStatisticGroup);
  report_->AddEntry(group, L"url", downloadUrl_);
  report_->AddEntry(group, L"status", Hex(static_cast<uint32_t>(status)));
}

StatusCode Connection::ReportSubmit() {
  // Without a limit the report's Submit returns only 0; a failure is thrown and keeps the report.
  report_->Submit(-1);
  report_ = NewReport();
  return PELK_S_OK;
}

void Connection::ReportReset() { report_ = NewReport(); }

}  // namespace hv
