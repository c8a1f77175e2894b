// An answer packet of the service: its header's status and its body, parsed from a response body.
// Platform-free: the native fuzz build (fuzz/) compiles it as it is.
#pragma once

#include <cstdint>
#include <string>

#include "packets/xml.h"
#include "support/status.h"

namespace hv {

// The library status for a nonzero service status code; unknown codes give PELK_E_SERVICE_UNKNOWN.
StatusCode MapServerStatus(int32_t code);

// An answer packet, parsed from a response body.
class AnswerPacket {
 public:
  // Throws PELK_E_MALFORMED_RESPONSE or PELK_E_EMPTY_RESPONSE.
  explicit AnswerPacket(const std::string& body);

  // A packet: the root is named "packet" (any prefix and namespace) or holds a "header".
  bool IsPacket() const;

  // The "header"/"server"/"status" element's "code" as a signed decimal: leading blanks and one sign
  // accepted, reading stops at the first non-digit, 0 without digits, clamped to the 32-bit range.
  int32_t ServiceStatusCode() const;
  // Throws MapServerStatus of a nonzero service status code, and PELK_E_SERVICE_UNKNOWN for an answer
  // that is no packet; a missing header or status counts as 0.
  void CheckServiceStatus() const;
  // The root's "body" child (null when absent).
  XmlElement Body() const;

 private:
  PacketDocument document_;
};

}  // namespace hv
