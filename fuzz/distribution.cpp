// The distribution records of a content-query answer (packets/distribution.h): any bytes as the answer,
// each "update" of its body read as the library reads it.
// Checks: reading a record never fails; each record, written back into an answer of its own (every field
// in its place, each character as a character reference so that nothing is lost to the reader's line-end
// and blank rules), reads back equal, field by field.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "packets/answer.h"
#include "packets/distribution.h"
#include "support/strings.h"

namespace {

// Every character that is not an ASCII letter or digit as a decimal character reference.
std::string Escaped(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) {
    if ((c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9')) {
      out += static_cast<char>(c);
    } else {
      out += "&#" + std::to_string(static_cast<uint32_t>(c)) + ";";
    }
  }
  return out;
}

// Element text as the record holds it, which turned every LF into CR LF: written with LF again.
std::string Text(const std::string& name, std::wstring text) {
  hv::ReplaceAll(text, L"\r\n", L"\n");
  return "<" + name + ">" + Escaped(text) + "</" + name + ">";
}

std::string Attribute(const std::string& name, const std::wstring& value) {
  return " " + name + "=\"" + Escaped(value) + "\"";
}

std::string Written(const hv::DistributionRecord& r) {
  std::string update =
      "<update>" + Text("ID", r.contentId) + Text("productName", r.productName) +
      Text("downloadSize", hv::DecU64(r.downloadSize)) + "<plugin>" + Text("updateProductCode", r.updateProductCode) +
      Text("updateProductVersion", r.updateProductVersion) + Text("updateMinimumVersion", r.updateMinimumVersion) +
      Text("downloadUrl", r.downloadUrl) + Text("downloadChecksum", r.downloadChecksum) +
      "</plugin><updateInfo><client><hvdistid" + Attribute("DistPackageGUID", r.distPackageGuid) +
      Attribute("DistributionGUID", r.distributionGuid) + Attribute("DistributionLanguage", r.distributionLanguage) +
      Attribute("DistributionVersion", r.distributionVersion) + "/></client></updateInfo><installConditions>";
  for (const std::wstring& type : r.installConditionTypes) {
    for (const std::wstring& text : r.installConditions.at(type)) {
      std::wstring unix = text;
      hv::ReplaceAll(unix, L"\r\n", L"\n");
      update += "<installCondition" + Attribute("type", type) + ">" + Escaped(unix) + "</installCondition>";
    }
  }
  return "<packet><header/><body>" + update + "</installConditions></update></body></packet>";
}

std::vector<hv::DistributionRecord> Records(const hv::AnswerPacket& answer) {
  std::vector<hv::XmlElement> updates;
  hv::FindChildren(answer.Body(), L"update", updates);
  std::vector<hv::DistributionRecord> records;
  records.reserve(updates.size());
  for (hv::XmlElement update : updates) records.emplace_back(update);
  return records;
}

// Every text a character a UTF-16 string can hold (a document loaded from UTF-32 here may hold others,
// which Windows never sees), and no NUL, which no XML text can carry.
bool WindowsText(const std::wstring& text) {
  for (wchar_t c : text) {
    if (c <= 0 || c > 0x10FFFF) return false;
  }
  return true;
}

bool WindowsRecord(const hv::DistributionRecord& r) {
  for (const std::wstring* text : {&r.contentId, &r.productName, &r.updateProductCode, &r.updateProductVersion,
                                   &r.updateMinimumVersion, &r.downloadUrl, &r.downloadChecksum, &r.distPackageGuid,
                                   &r.distributionGuid, &r.distributionLanguage, &r.distributionVersion}) {
    if (!WindowsText(*text)) return false;
  }
  for (const auto& [type, texts] : r.installConditions) {
    if (!WindowsText(type)) return false;
    for (const std::wstring& text : texts) {
      if (!WindowsText(text)) return false;
    }
  }
  return true;
}

bool Same(const hv::DistributionRecord& a, const hv::DistributionRecord& b) {
  return a.contentId == b.contentId && a.productName == b.productName && a.downloadSize == b.downloadSize &&
         a.updateProductCode == b.updateProductCode && a.updateProductVersion == b.updateProductVersion &&
         a.updateMinimumVersion == b.updateMinimumVersion && a.downloadUrl == b.downloadUrl &&
         a.downloadChecksum == b.downloadChecksum && a.distPackageGuid == b.distPackageGuid &&
         a.distributionGuid == b.distributionGuid && a.distributionLanguage == b.distributionLanguage &&
         a.distributionVersion == b.distributionVersion && a.installConditions == b.installConditions &&
         a.installConditionTypes == b.installConditionTypes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string body(reinterpret_cast<const char*>(data), size);
  std::optional<hv::AnswerPacket> answer;
  if (hv::StatusOf([&] { answer.emplace(body); }) != 0) return 0;
  // Outside StatusOf: a record that throws fails the run.
  for (const hv::DistributionRecord& record : Records(*answer)) {
    if (!WindowsRecord(record)) continue;
    std::optional<hv::AnswerPacket> written;
    FUZZ_CHECK(hv::StatusOf([&] { written.emplace(Written(record)); }) == 0);
    const std::vector<hv::DistributionRecord> again = Records(*written);
    FUZZ_CHECK(again.size() == 1);
    FUZZ_CHECK(Same(record, again[0]));
  }
  return 0;
}
