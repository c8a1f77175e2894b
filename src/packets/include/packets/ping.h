// The ping: a GET of "?cmd=PingCmd:Ping&module=Trellin" to the service URL, no body, no gzip; the answer
// packet's header status is the result.
#pragma once

#include <cstdint>

#include "packets/packet.h"

namespace hv {

class PingRequest : public PacketRequest {
 public:
  PingRequest(const ClientIdentity& identity, bool secure);

  // After the exchange completed (Run or Check returned 0): throws the answer's parse failure or its
  // mapped service status.
  void CheckAnswer();
};

}  // namespace hv
