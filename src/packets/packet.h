// The packet envelope: a root "packet" holding a "header" (who is calling; the service's status in
// answers) and a "body" (one command element in requests, the results in answers), and the request jobs
// that send packets and parse the answer packet.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "packets/client_identity.h"
#include "packets/xml.h"
#include "support/status.h"
#include "transport/request.h"

namespace hv {

// The namespace of the service's packet schema, version 2.0.
inline const wchar_t kPacketNamespace[] = L"http://schemas.hvpelk.invalid/packet/2.0";
// kPacketNamespace, a blank and the schema's relative path.
std::wstring PacketSchemaLocation();

// The library status for a nonzero service status code; unknown codes give PELK_E_SERVICE_UNKNOWN.
StatusCode MapServerStatus(int32_t code);

class PacketHeader : public XmlWritable {
 public:
  PacketHeader();  // all members empty
  // A request header: the caller's identity and locale, an empty date.
  PacketHeader(const ClientIdentity& identity, const std::wstring& locale);

  // Writes "locale", an empty "date" and the "client" block of swapp, corelib and wrapperlib.
  void Write(PacketDocument& document, XmlElement header) const override;
  // Reads date, client block and "server"/"status" of an answer header; missing parts stay empty.
  void ReadFrom(XmlElement header);

  // The status code text as a signed decimal: leading blanks and one sign accepted, reading stops at the
  // first non-digit, 0 without digits, clamped to the 32-bit range.
  int32_t ServiceStatusCode() const;

  const std::wstring& StatusMessage() const { return statusMessage_; }
  const std::wstring& StatusCodeText() const { return statusCode_; }
  const std::wstring& Date() const { return date_; }
  const ClientIdentity& Identity() const { return identity_; }
  const std::wstring& Locale() const { return locale_; }

 private:
  std::wstring statusMessage_;
  std::wstring statusCode_;
  std::wstring date_;
  ClientIdentity identity_;
  std::wstring locale_;
};

class Packet {
 public:
  Packet() = default;
  explicit Packet(const PacketHeader& header);
  // A request packet whose body holds the element commandName filled by command, which must outlive it.
  Packet(const PacketHeader& header, const std::wstring& commandName, const XmlWritable& command);
  // An answer packet: the header read from root's "header" child and root's "body" child (null when
  // absent). The root's own name and namespace are not examined.
  explicit Packet(XmlElement responseRoot);
  // A copy never takes the body element: it points into the document of the packet it was parsed from.
  Packet(const Packet& other);
  Packet& operator=(const Packet&) = delete;
  virtual ~Packet() = default;

  // Writes the envelope into element (the document's root "packet").
  virtual void Write(PacketDocument& document, XmlElement element) const;

  const PacketHeader& Header() const { return header_; }
  XmlElement BodyElement() const { return bodyElement_; }

 private:
  PacketHeader header_;
  std::wstring commandName_;
  const XmlWritable* command_ = nullptr;
  XmlElement bodyElement_;
};

// A request job that talks packets: it may send its packet as the POST body and parses the answer.
class PacketRequest : public VornetRequest {
 public:
  // A request without a command element (never sent as a body); used by the ping.
  PacketRequest(const ClientIdentity& identity, const std::wstring& locale);
  // A request for the URL command that sends a copy of packet.
  PacketRequest(const ClientIdentity& identity, const std::wstring& command, const Packet& packet);

  // With sendPacket, serialises the packet into the body first (a status raised while writing leaves
  // before anything is sent); then VornetRequest::Run.
  StatusCode RunPacket(uint32_t timeoutMs, bool noPrompt, bool sendPacket);

  // The answer packet, parsed from the response on first use and kept. Throws PELK_E_MALFORMED_RESPONSE
  // or PELK_E_EMPTY_RESPONSE; a failed parse is tried again on the next call.
  const Packet& ResponsePacket();
  // 0 when the answer header's status code is 0 (or missing), else MapServerStatus of it. Throws as
  // ResponsePacket.
  StatusCode ServiceStatus();

 private:
  Packet packet_;
  std::unique_ptr<PacketDocument> responseDocument_;
  std::unique_ptr<Packet> responsePacket_;
};

// The content query and the report: a packet POSTed to the service URL with "trellin_version" = "2.0",
// gzip answers accepted unless the registry disables them.
class CommandRequest : public PacketRequest {
 public:
  CommandRequest(const ClientIdentity& identity, const std::wstring& command, const Packet& packet, bool secure);

  // Adds the "trellin_version" parameter and sends the packet.
  StatusCode Run(uint32_t timeoutMs, bool noPrompt) override;
};

}  // namespace hv
