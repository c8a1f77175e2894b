// The packet envelope: a root "packet" holding a "header" (who is calling; the service's status in
// answers) and a "body" (one command element in requests, the results in answers), and the request jobs
// that send packets and check the answer packet.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "packets/answer.h"
#include "packets/client_identity.h"
#include "packets/xml.h"
#include "support/status.h"
#include "transport/exchange_request.h"
#include "transport/request_job.h"

namespace hv {

// The namespace of the service's packet schema, version 2.0.
inline const wchar_t kPacketNamespace[] = L"http://schemas.hvpelk.invalid/packet/2.0";
// kPacketNamespace, a blank and the schema's relative path.
std::wstring PacketSchemaLocation();

// The header of a request: the caller's identity and locale.
class PacketHeader : public XmlWritable {
 public:
  PacketHeader(const ClientIdentity& identity, const std::wstring& locale);

  // Writes "locale", an empty "date" and the "client" block of swapp, corelib and wrapperlib.
  void Write(PacketDocument& document, XmlElement header) const override;

 private:
  ClientIdentity identity_;
  std::wstring locale_;
};

// A request packet whose body holds one command element.
class Packet {
 public:
  // The command element is named commandName and filled by command, which must outlive the packet.
  Packet(const PacketHeader& header, const std::wstring& commandName, const XmlWritable& command);

  // The whole document: UTF-16 with a byte order mark and a declaration, tab-indented.
  std::wstring Text() const;

 private:
  PacketHeader header_;
  std::wstring commandName_;
  const XmlWritable& command_;
};

// A request job that talks packets: it sends its packet as the POST body (when it has one) and parses
// the answer.
class PacketRequest : public RequestJob {
 public:
  // Adds the user-agent token of the calling application.
  explicit PacketRequest(const ClientIdentity& identity);

  void SetParentWindow(HWND window) { request_.parentWindow = window; }  // owner of the credentials dialog
  // Starts the exchange as RequestJob::Start does; noPrompt: a proxy's 407 fails instead of asking.
  StatusCode Run(uint32_t timeoutMs, bool noPrompt);
  // The answer packet, parsed from the response on first use and kept. Throws as AnswerPacket; a failed
  // parse is tried again on the next call.
  const AnswerPacket& Answer();

 protected:
  ExchangeRequest& request() { return request_; }  // what each Run sends

 private:
  ExchangeRequest request_;
  std::unique_ptr<AnswerPacket> answer_;
};

// The content query and the report: a packet POSTed to the service's command URL with
// "trellin_version" = "2.0", gzip answers accepted unless the registry disables them.
class CommandRequest : public PacketRequest {
 public:
  CommandRequest(const ClientIdentity& identity, const std::wstring& command, const Packet& packet, bool secure);
};

}  // namespace hv
