#include "packets/packet.h"

#include <utility>

#include "packets/endpoint.h"

namespace hv {
namespace {

const wchar_t kSchemaInstanceNamespace[] = L"http://www.w3.org/2001/XMLSchema-instance";
const wchar_t kSchemaVersion[] = L"2.0";

// One library of the client block: its name as text, its version as attribute. An empty name still gets
// a text child, so the element keeps a start and an end tag.
void WriteLibrary(XmlElement client, const wchar_t* element, const std::wstring& name, const std::wstring& version) {
  XmlElement library = AppendElement(client, element);
  SetElementText(library, name);
  SetAttribute(library, L"version", version, true);
}

}  // namespace

std::wstring PacketSchemaLocation() { return std::wstring(kPacketNamespace) + L" Schemas/Common/2.0/Packet.xsd"; }

PacketHeader::PacketHeader(const ClientIdentity& identity, const std::wstring& locale)
    : identity_(identity), locale_(locale) {}

void PacketHeader::Write(PacketDocument&, XmlElement header) const {
  AddTextElement(header, L"locale", locale_, true);
  AddTextElement(header, L"date", std::wstring(), true);
  XmlElement client = AppendElement(header, L"client");
  WriteLibrary(client, L"swapp", identity_.appName, identity_.appVersion);
  WriteLibrary(client, L"corelib", kCoreLibraryName, kCoreLibraryVersion);
  WriteLibrary(client, L"wrapperlib", identity_.wrapperName, identity_.wrapperVersion);
}

Packet::Packet(const PacketHeader& header, const std::wstring& commandName, const XmlWritable& command)
    : header_(header), commandName_(commandName), command_(command) {}

std::wstring Packet::Text() const {
  PacketDocument document(L"packet", kPacketNamespace);
  XmlElement root = document.Root();
  document.DeclareNamespace(L"xsi", kSchemaInstanceNamespace);
  SetAttribute(root, L"xsi:schemaLocation", PacketSchemaLocation(), false);
  SetAttribute(root, L"schemaVersion", kSchemaVersion, false);
  AppendWritten(root, L"header", document, header_);
  AppendWritten(AppendElement(root, L"body"), commandName_, document, command_);
  return document.Save(true, true);
}

PacketRequest::PacketRequest(const ClientIdentity& identity) {
  request_.userAgentTokens.push_back(UserAgentToken(identity.appName, identity.appVersion));
}

StatusCode PacketRequest::Run(uint32_t timeoutMs, bool noPrompt) {
  answer_.reset();
  ExchangeRequest request = request_;
  request.noPrompt = noPrompt;
  return Start(std::move(request), timeoutMs);
}

const AnswerPacket& PacketRequest::Answer() {
  if (!answer_) answer_ = std::make_unique<AnswerPacket>(Response());
  return *answer_;
}

CommandRequest::CommandRequest(const ClientIdentity& identity, const std::wstring& command, const Packet& packet,
                               bool secure)
    : PacketRequest(identity) {
  request().url = CommandUrl(GetServiceUrl(secure, identity.wrapperName), command, {{L"trellin_version", L"2.0"}});
  request().body = packet.Text();
  request().acceptGzip = !IsEncodingDisabled();
  request().userAgentTokens.push_back(UserAgentToken(kCoreLibraryName, kCoreLibraryVersion));
  request().userAgentTokens.push_back(UserAgentToken(identity.wrapperName, identity.wrapperVersion));
}

}  // namespace hv
