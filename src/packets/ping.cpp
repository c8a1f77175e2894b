#include "packets/ping.h"

#include "transport/endpoint.h"

namespace hv {

PingRequest::PingRequest(const ClientIdentity& identity, bool secure) : PacketRequest(identity) {
  SetUrl(GetServiceUrl(secure, identity.wrapperName));
  SetCommand(L"PingCmd:Ping");
  AddQueryParameter(L"module", L"Trellin");
}

void PingRequest::CheckAnswer() { Answer().CheckServiceStatus(); }

}  // namespace hv
