#include "packets/ping.h"

#include "packets/endpoint.h"

namespace hv {

PingRequest::PingRequest(const ClientIdentity& identity, bool secure) : PacketRequest(identity) {
  request().url = CommandUrl(GetServiceUrl(secure, identity.wrapperName), L"PingCmd:Ping", {{L"module", L"Trellin"}});
}

void PingRequest::CheckAnswer() { Answer().CheckServiceStatus(); }

}  // namespace hv
