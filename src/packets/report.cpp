#include "packets/report.h"

namespace hv {

ReportCommand::ReportCommand(const ClientIdentity& identity, const std::wstring& locale, int32_t flags)
    : identity_(identity), locale_(locale), flags_(flags), description_(identity) {}

ReportCommand::~ReportCommand() {
  // A destructor cannot report a failure; the groups are lost with the object either way.
  if (sendOnDestroy_) StatusOf([this] { return Submit(-1); });
  request_.reset();  // cancels and waits for a running exchange
}

StatusCode ReportCommand::Submit(int32_t waitTimeMs) {
  if (description_.HasNoGroups()) return 0;
  const Packet packet(PacketHeader(identity_, locale_), L"report", description_);
  request_.reset();  // the previous request is cancelled and collected before the next one starts
  request_ = std::make_unique<CommandRequest>(identity_, L"ReportCmd:Report", packet, true);
  // -1 becomes the unlimited wait of the request job.
  const StatusCode result =
      request_->Run(static_cast<uint32_t>(waitTimeMs), (flags_ & PELK_FLAG_SILENT_PROXY_AUTH) != 0);
  if (result != 0) return result;
  request_->Answer().CheckServiceStatus();
  return 0;
}

}  // namespace hv
