// The statistics report: the client description with its collected groups, sent as "ReportCmd:Report".
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "packets/client_description.h"
#include "packets/packet.h"

namespace hv {

class ReportCommand {
 public:
  // flags: the connection flags; bit 0 (silent proxy authentication) becomes the request's no-prompt.
  ReportCommand(const ClientIdentity& identity, const std::wstring& locale, int32_t flags);
  // With send-on-destroy set, submits the groups without a time limit first (failures are dropped);
  // then cancels and waits for any request.
  ~ReportCommand();
  ReportCommand(const ReportCommand&) = delete;
  ReportCommand& operator=(const ReportCommand&) = delete;

  void SetSendOnDestroy(bool send) { sendOnDestroy_ = send; }
  size_t AddGroup(const std::wstring& name) { return description_.AddGroup(name); }
  void AddEntry(size_t group, const std::wstring& name, const std::wstring& value) {
    description_.AddEntry(group, name, value);
  }

  // 0 without any traffic when there is no group. Otherwise replaces the previous request, sends the
  // groups with freshly probed client data and waits up to waitTimeMs (-1: no limit): 0 on success,
  // PELK_S_STILL_RUNNING when the limit is 0 and the request runs. Throws transport failures and the
  // mapped service status. The groups stay either way.
  StatusCode Submit(int32_t waitTimeMs);

 private:
  ClientIdentity identity_;
  std::wstring locale_;
  int32_t flags_;
  bool sendOnDestroy_ = true;
  ClientDescription description_;
  std::unique_ptr<CommandRequest> request_;
};

}  // namespace hv
