#include "packets/packet.h"

#include <algorithm>
#include <cstdlib>
#include <limits>

#include "transport/endpoint.h"

namespace hv {
namespace {

const wchar_t kSchemaInstanceNamespace[] = L"http://www.w3.org/2001/XMLSchema-instance";
const wchar_t kSchemaVersion[] = L"2.0";

// One library of the client block: its name as text, its version as attribute. An empty name still gets
// a text child, so the element keeps a start and an end tag.
void WriteLibrary(XmlElement client, const wchar_t* element, const std::wstring& name,
                  const std::wstring& version) {
  XmlElement library = AppendElement(client, element);
  SetElementText(library, name);
  SetAttribute(library, L"version", version, true);
}

// "name version" for the user agent; nothing when both are empty.
std::wstring UserAgentToken(const std::wstring& name, const std::wstring& version) {
  return name.empty() && version.empty() ? std::wstring() : name + L" " + version;
}

void ReadLibrary(XmlElement client, const wchar_t* element, std::wstring& name, std::wstring& version) {
  XmlElement library = FindChild(client, element);
  if (!library) return;
  version = GetAttribute(library, L"version");
  name = GetChildText(client, element);
}

}  // namespace

std::wstring PacketSchemaLocation() { return std::wstring(kPacketNamespace) + L" Schemas/Common/2.0/Packet.xsd"; }

StatusCode MapServerStatus(int32_t code) {
  switch (code) {
    case 10:
      return PELK_E_SERVICE_10;
    case 100:
    case 200:
      return PELK_E_SERVICE_100_200;
    case 300:
    case 400:
    case 500:
    case 600:
      return PELK_E_SERVICE_300_600;
    case 700:
    case 800:
      return PELK_E_SERVICE_700_800;
    case 900:
      return PELK_E_SERVICE_900;
    case 6000:
      return PELK_E_SERVICE_6000;
    default:
      return PELK_E_SERVICE_UNKNOWN;
  }
}

PacketHeader::PacketHeader() {
  // An answer header names only what the answer carries, not this library.
  identity_.coreName.clear();
  identity_.coreVersion.clear();
}

PacketHeader::PacketHeader(const ClientIdentity& identity, const std::wstring& locale)
    : identity_(identity), locale_(locale) {}

void PacketHeader::Write(PacketDocument&, XmlElement header) const {
  AddTextElement(header, L"locale", locale_, true);
  AddTextElement(header, L"date", date_, true);
  XmlElement client = AppendElement(header, L"client");
  WriteLibrary(client, L"swapp", identity_.appName, identity_.appVersion);
  WriteLibrary(client, L"corelib", identity_.coreName, identity_.coreVersion);
  WriteLibrary(client, L"wrapperlib", identity_.wrapperName, identity_.wrapperVersion);
}

void PacketHeader::ReadFrom(XmlElement header) {
  date_ = GetChildText(header, L"date");
  XmlElement client = FindChild(header, L"client");
  if (client) {
    ReadLibrary(client, L"swapp", identity_.appName, identity_.appVersion);
    ReadLibrary(client, L"corelib", identity_.coreName, identity_.coreVersion);
    ReadLibrary(client, L"wrapperlib", identity_.wrapperName, identity_.wrapperVersion);
  }
  XmlElement status = FindChild(FindChild(header, L"server"), L"status");
  if (status) {
    statusCode_ = GetAttribute(status, L"code");
    statusMessage_ = GetElementText(status, false);
  }
}

int32_t PacketHeader::ServiceStatusCode() const {
  const long long value = std::wcstoll(statusCode_.c_str(), nullptr, 10);
  return static_cast<int32_t>(std::clamp<long long>(value, std::numeric_limits<int32_t>::min(),
                                                        std::numeric_limits<int32_t>::max()));
}

Packet::Packet(const PacketHeader& header) : header_(header) {}

Packet::Packet(const PacketHeader& header, const std::wstring& commandName, const XmlWritable& command)
    : header_(header), commandName_(commandName), command_(&command) {}

Packet::Packet(XmlElement responseRoot) {
  XmlElement header = FindChild(responseRoot, L"header");
  if (header) header_.ReadFrom(header);
  bodyElement_ = FindChild(responseRoot, L"body");
}

Packet::Packet(const Packet& other)
    : header_(other.header_), commandName_(other.commandName_), command_(other.command_) {}

void Packet::Write(PacketDocument& document, XmlElement element) const {
  document.DeclareNamespace(L"xsi", kSchemaInstanceNamespace);
  SetAttribute(document.Root(), L"xsi:schemaLocation", PacketSchemaLocation(), false);
  SetAttribute(document.Root(), L"schemaVersion", kSchemaVersion, false);
  AppendWritten(element, L"header", document, header_);
  XmlElement body = AppendElement(element, L"body");
  if (command_) AppendWritten(body, commandName_, document, *command_);
}

PacketRequest::PacketRequest(const ClientIdentity& identity, const std::wstring& locale)
    : VornetRequest(identity), packet_(PacketHeader(identity, locale)) {}

PacketRequest::PacketRequest(const ClientIdentity& identity, const std::wstring& command, const Packet& packet)
    : VornetRequest(identity), packet_(packet) {
  SetCommand(command);
}

StatusCode PacketRequest::RunPacket(uint32_t timeoutMs, bool noPrompt, bool sendPacket) {
  if (sendPacket) {
    PacketDocument document(L"packet", kPacketNamespace);
    packet_.Write(document, document.Root());
    SetBody(document.Save(true, true));
  }
  return VornetRequest::Run(timeoutMs, noPrompt);
}

const Packet& PacketRequest::ResponsePacket() {
  if (!responsePacket_) {
    responseDocument_ = std::make_unique<PacketDocument>();
    responseDocument_->Load(GetResponse());
    responsePacket_ = std::make_unique<Packet>(responseDocument_->Root());
  }
  return *responsePacket_;
}

StatusCode PacketRequest::ServiceStatus() {
  const int32_t code = ResponsePacket().Header().ServiceStatusCode();
  return code == 0 ? 0 : MapServerStatus(code);
}

CommandRequest::CommandRequest(const ClientIdentity& identity, const std::wstring& command, const Packet& packet,
                               bool secure)
    : PacketRequest(identity, command, packet) {
  SetUrl(GetServiceUrl(secure, identity.wrapperName));
  SetAcceptEncoding(!IsEncodingDisabled());
  AddUserAgentToken(UserAgentToken(identity.coreName, identity.coreVersion));
  AddUserAgentToken(UserAgentToken(identity.wrapperName, identity.wrapperVersion));
}

StatusCode CommandRequest::Run(uint32_t timeoutMs, bool noPrompt) {
  AddQueryParameter(L"trellin_version", L"2.0");
  return RunPacket(timeoutMs, noPrompt, true);
}

}  // namespace hv
