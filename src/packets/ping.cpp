#include "packets/ping.h"

#include "transport/endpoint.h"

namespace hv {

PingRequest::PingRequest(const ClientIdentity& identity, const std::wstring& locale, bool secure)
    : PacketRequest(identity, locale) {
  SetUrl(GetServiceUrl(secure, identity.wrapperName));
  SetCommand(L"PingCmd:Ping");
  AddQueryParameter(L"module", L"Trellin");
}

StatusCode PingRequest::SubmitPing(uint32_t timeoutMs, bool noPrompt) {
  const StatusCode result = RunPacket(timeoutMs, noPrompt, false);
  if (result == 0) CollectResult();
  return result;
}

StatusCode PingRequest::CollectResult() {
  // The parsed answer is kept by the request, so collecting again gives the same result.
  resultStatus_ = ServiceStatus();
  return resultStatus_;
}

}  // namespace hv
