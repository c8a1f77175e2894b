#include "packets/client_description.h"

#include <windows.h>
#include <objbase.h>

#include "support/probes.h"
#include "support/registry.h"

namespace hv {
namespace {

const wchar_t kUserIdValue[] = L"uniqueId";
const wchar_t kNilUserId[] = L"{00000000-0000-0000-0000-000000000000}";

// A new GUID in registry form ("{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"); empty when none can be made.
std::wstring NewGuidText() {
  GUID guid = {};
  if (FAILED(CoCreateGuid(&guid))) return std::wstring();
  wchar_t buffer[127] = {};
  if (StringFromGUID2(guid, buffer, 127) == 0) return std::wstring();
  return buffer;
}

}  // namespace

ReportEntry::ReportEntry(const std::wstring& name, const std::wstring& value) : name_(name), value_(value) {}

void ReportEntry::Write(PacketDocument&, XmlElement element) const {
  AddTextElement(element, L"name", name_, true);
  SetElementText(element, value_);
}

ReportGroup::ReportGroup(const std::wstring& name) : name_(name) {}

void ReportGroup::AddEntry(const std::wstring& name, const std::wstring& value) { entries_.emplace_back(name, value); }

void ReportGroup::Write(PacketDocument& document, XmlElement element) const {
  AddTextElement(element, L"name", name_, true);
  for (const ReportEntry& entry : entries_) AppendWritten(element, L"entry", document, entry);
}

ClientDescription::ClientDescription(const ClientIdentity& identity) : identity_(identity) {}

size_t ClientDescription::AddGroup(const std::wstring& name) {
  groups_.emplace_back(name);
  return groups_.size() - 1;
}

void ClientDescription::AddEntry(size_t group, const std::wstring& name, const std::wstring& value) {
  if (group < groups_.size()) groups_[group].AddEntry(name, value);
}

void ClientDescription::Write(PacketDocument& document, XmlElement element) const {
  AddTextElement(element, L"userId", GetUserId(), true);
  AddTextElement(element, L"product", identity_.appName, true);
  AddTextElement(element, L"productVersion", identity_.appVersion, true);
  AddTextElement(element, L"dotNetVersion", ProbeDotNetVersion(), true);
  AddTextElement(element, L"ieVersion", ProbeIeVersion(), true);
  AddTextElement(element, L"operatingSystem", ProbeOperatingSystemVersion(), true);
  AddTextElement(element, L"servicePack", ProbeServicePack(), true);
  AddTextElement(element, L"productType", ProbeProductType(), true);
  AddTextElement(element, L"suiteMask", ProbeSuiteMask(), true);
  AddTextElement(element, L"r2Build", ProbeR2Build(), true);
  AddTextElement(element, L"architecture", ProbeArchitecture(), true);
  for (const ReportGroup& group : groups_) AppendWritten(element, L"group", document, group);
}

std::wstring GetUserId() {
  const std::wstring path = MakerKeyPath(L"Report");
  // Created once per user and then kept for good; a failure here only means the nil identifier is sent.
  if (!RegistryValueExists(HKEY_CURRENT_USER, path, kUserIdValue)) {
    RegistryCreateKey(HKEY_CURRENT_USER, path);
    if (!RegistryValueExists(HKEY_CURRENT_USER, path, kUserIdValue)) {
      const std::wstring created = NewGuidText();
      if (!created.empty()) RegistryWriteString(HKEY_CURRENT_USER, path, kUserIdValue, created);
    }
  }
  std::wstring id;
  RegistryReadString(HKEY_CURRENT_USER, path, kUserIdValue, id);
  return id.empty() ? std::wstring(kNilUserId) : id;
}

}  // namespace hv
