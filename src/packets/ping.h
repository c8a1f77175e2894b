// The ping: a GET of "?cmd=PingCmd:Ping&module=Trellin" to the service URL, no body, no gzip; the answer
// packet's header status is the result.
#pragma once

#include <cstdint>
#include <string>

#include "packets/packet.h"

namespace hv {

class PingRequest : public PacketRequest {
 public:
  PingRequest(const ClientIdentity& identity, const std::wstring& locale, bool secure);

  // Runs the exchange as VornetRequest::Run does; when it returns 0 the result is collected at once.
  StatusCode SubmitPing(uint32_t timeoutMs, bool noPrompt);
  // After the exchange completed (Run or Check returned 0): the result computed from the answer.
  // Throws the answer's parse failures.
  StatusCode CollectResult();
  // 0, or the mapped service status of the answer.
  StatusCode ResultStatus() const { return resultStatus_; }

 private:
  StatusCode resultStatus_ = 0;
};

}  // namespace hv
