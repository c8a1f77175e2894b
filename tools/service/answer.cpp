#include "service/answer.h"

#include "packets/packet.h"
#include "packets/xml.h"
#include "service/text.h"
#include "support/strings.h"

namespace hv {
namespace service {
namespace {

const wchar_t kSchemaInstance[] = L"http://www.w3.org/2001/XMLSchema-instance";

void WriteUpdate(XmlElement body, const Distribution& d, const std::string& downloadBase) {
  XmlElement update = AppendElement(body, L"update");
  AddTextElement(update, L"ID", d.id, true);
  AddTextElement(update, L"productName", d.productName, true);
  AddTextElement(update, L"downloadSize", DecU64(d.size), true);

  XmlElement plugin = AppendElement(update, L"plugin");
  AddTextElement(plugin, L"updateProductCode", d.updateProductCode, true);
  AddTextElement(plugin, L"updateProductVersion", d.updateProductVersion, true);
  AddTextElement(plugin, L"updateMinimumVersion", d.updateMinimumVersion, true);
  std::wstring url;
  Utf8ToWide(DownloadUrl(downloadBase, d), url);
  AddTextElement(plugin, L"downloadUrl", url, true);
  AddTextElement(plugin, L"downloadChecksum", d.md5, true);

  XmlElement id = AppendElement(AppendElement(AppendElement(update, L"updateInfo"), L"client"), L"hvdistid");
  SetAttribute(id, L"DistPackageGUID", d.distPackageGuid, true);
  SetAttribute(id, L"DistributionGUID", d.distributionGuid, true);
  SetAttribute(id, L"DistributionLanguage", d.distributionLanguage, true);
  SetAttribute(id, L"DistributionVersion", d.distributionVersion, true);

  XmlElement conditions = AppendElement(update, L"installConditions");
  for (const InstallCondition& condition : d.installConditions) {
    XmlElement element = AppendElement(conditions, L"installCondition");
    SetAttribute(element, L"type", condition.type, true);
    SetElementText(element, condition.text);
  }
}

}  // namespace

std::string DownloadUrl(const std::string& downloadBase, const Distribution& distribution) {
  return downloadBase + "/files/" + EncodePathSegment(WideToUtf8(distribution.fileName));
}

std::string ComposeAnswer(int32_t status, const std::wstring& message, const std::vector<const Distribution*>& updates,
                          const std::string& downloadBase) {
  PacketDocument document(L"packet", kPacketNamespace);
  XmlElement root = document.Root();
  document.DeclareNamespace(L"xsi", kSchemaInstance);
  SetAttribute(root, L"xsi:schemaLocation", PacketSchemaLocation(), false);
  SetAttribute(root, L"schemaVersion", L"2.0", false);

  XmlElement header = AppendElement(root, L"header");
  std::wstring date;
  Utf8ToWide(UtcTimestamp(), date);
  AddTextElement(header, L"date", date, true);
  XmlElement statusElement = AppendElement(AppendElement(header, L"server"), L"status");
  SetAttribute(statusElement, L"code", Dec(status), true);
  SetElementText(statusElement, message);

  XmlElement body = AppendElement(root, L"body");
  for (const Distribution* distribution : updates) WriteUpdate(body, *distribution, downloadBase);

  // Save gives UTF-16 behind a byte order mark; the answer travels as UTF-8 and says so in its headers.
  std::wstring text = document.Save(true, true);
  if (!text.empty() && text[0] == 0xFEFF) text.erase(0, 1);
  return WideToUtf8(text);
}

}  // namespace service
}  // namespace hv
