#include "answer.h"

#include "text.h"

namespace hv {
namespace service {
namespace {

const wchar_t kPacketNamespace[] = L"http://schemas.hvpelk.invalid/packet/2.0";
const wchar_t kSchemaInstance[] = L"http://www.w3.org/2001/XMLSchema-instance";
const wchar_t kSchemaLocation[] = L"http://schemas.hvpelk.invalid/packet/2.0 Schemas/Common/2.0/Packet.xsd";

// A new child element holding the text; an empty text leaves it empty ("<name />").
void AddText(pugi::xml_node parent, const wchar_t* name, const std::wstring& text) {
  pugi::xml_node element = parent.append_child(name);
  if (!text.empty()) element.text().set(text.c_str());
}

void AddAttribute(pugi::xml_node element, const wchar_t* name, const std::wstring& value) {
  element.append_attribute(name).set_value(value.c_str());
}

// downloadBase + "/files/" + the percent-encoded file name.
std::string DownloadUrl(const std::string& downloadBase, const Distribution& distribution) {
  return downloadBase + "/files/" + EncodePathSegment(WideToUtf8(distribution.fileName));
}

void WriteUpdate(pugi::xml_node body, const Distribution& d, const std::string& downloadBase) {
  pugi::xml_node update = body.append_child(L"update");
  AddText(update, L"ID", d.id);
  AddText(update, L"productName", d.productName);
  AddText(update, L"downloadSize", std::to_wstring(d.size));

  pugi::xml_node plugin = update.append_child(L"plugin");
  AddText(plugin, L"updateProductCode", d.updateProductCode);
  AddText(plugin, L"updateProductVersion", d.updateProductVersion);
  AddText(plugin, L"updateMinimumVersion", d.updateMinimumVersion);
  std::wstring url;
  Utf8ToWide(DownloadUrl(downloadBase, d), url);
  AddText(plugin, L"downloadUrl", url);
  AddText(plugin, L"downloadChecksum", d.md5);

  pugi::xml_node id = update.append_child(L"updateInfo").append_child(L"client").append_child(L"hvdistid");
  AddAttribute(id, L"DistPackageGUID", d.distPackageGuid);
  AddAttribute(id, L"DistributionGUID", d.distributionGuid);
  AddAttribute(id, L"DistributionLanguage", d.distributionLanguage);
  AddAttribute(id, L"DistributionVersion", d.distributionVersion);

  pugi::xml_node conditions = update.append_child(L"installConditions");
  for (const InstallCondition& condition : d.installConditions) {
    pugi::xml_node element = conditions.append_child(L"installCondition");
    AddAttribute(element, L"type", condition.type);
    // Always given a text, so an empty condition keeps its start and end tag.
    element.text().set(condition.text.c_str());
  }
}

class StringWriter : public pugi::xml_writer {
 public:
  explicit StringWriter(std::string& out) : out_(out) {}
  void write(const void* data, size_t size) override { out_.append(static_cast<const char*>(data), size); }

 private:
  std::string& out_;
};

}  // namespace

std::string ComposeAnswer(int32_t status, const std::wstring& message, const std::vector<const Distribution*>& updates,
                          const std::string& downloadBase) {
  pugi::xml_document document;
  pugi::xml_node root = document.append_child(L"packet");
  AddAttribute(root, L"xmlns", kPacketNamespace);
  AddAttribute(root, L"xmlns:xsi", kSchemaInstance);
  AddAttribute(root, L"xsi:schemaLocation", kSchemaLocation);
  AddAttribute(root, L"schemaVersion", L"2.0");

  pugi::xml_node header = root.append_child(L"header");
  std::wstring date;
  Utf8ToWide(UtcTimestamp(), date);
  AddText(header, L"date", date);
  pugi::xml_node statusElement = header.append_child(L"server").append_child(L"status");
  AddAttribute(statusElement, L"code", std::to_wstring(status));
  statusElement.text().set(message.c_str());

  pugi::xml_node body = root.append_child(L"body");
  for (const Distribution* distribution : updates) WriteUpdate(body, *distribution, downloadBase);
  return XmlText(document, true);
}

std::string XmlText(const pugi::xml_document& document, bool indent) {
  std::string text;
  StringWriter writer(text);
  document.save(writer, L"\t", indent ? pugi::format_indent : pugi::format_raw, pugi::encoding_utf8);
  return text;
}

}  // namespace service
}  // namespace hv
