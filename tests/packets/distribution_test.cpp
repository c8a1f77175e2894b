#include "packets/distribution.h"

#include <gtest/gtest.h>

namespace hv {
namespace {

// The "update" children of a parsed answer body.
std::vector<DistributionRecord> Records(const std::string& body) {
  PacketDocument document;
  document.Load("<packet><body>" + body + "</body></packet>");
  std::vector<XmlElement> updates;
  FindChildren(FindChild(document.Root(), L"body"), L"update", updates);
  std::vector<DistributionRecord> records;
  records.reserve(updates.size());
  for (XmlElement update : updates) records.emplace_back(update);
  return records;  // copies outlive the document
}

TEST(DistributionRecord, EveryField) {
  const auto records = Records(
      "<update>"
      "<ID>content-7</ID>"
      "<productName>Quill &amp; Ink\r\nEdition</productName>"
      "<downloadSize>4294967296</downloadSize>"
      "<plugin>"
      "<updateProductCode>{PC}</updateProductCode>"
      "<updateProductVersion>2.1</updateProductVersion>"
      "<updateMinimumVersion>1.0</updateMinimumVersion>"
      "<downloadUrl>https://dl.example.invalid/a b.exe</downloadUrl>"
      "<downloadChecksum>line1\nline2</downloadChecksum>"
      "<unknown>ignored</unknown>"
      "</plugin>"
      "<updateInfo><client><hvdistid DistPackageGUID=\"{PKG}\" DistributionGUID=\"{DIST}\" "
      "DistributionLanguage=\"de-DE\" DistributionVersion=\"3.0.1\" Other=\"x\"/></client></updateInfo>"
      "<installConditions>"
      "<installCondition type=\"os\">win7</installCondition>"
      "<installCondition type=\"disk\">100</installCondition>"
      "<installCondition type=\"OS\">upper</installCondition>"
      "<installCondition type=\"os\">win8\r\nor later</installCondition>"
      "<installCondition>untyped</installCondition>"
      "<other type=\"os\">not a condition</other>"
      "</installConditions>"
      "</update>");
  ASSERT_EQ(1u, records.size());
  const DistributionRecord& r = records[0];
  EXPECT_EQ(L"content-7", r.contentId);
  EXPECT_EQ(L"Quill & Ink\r\nEdition", r.productName);
  EXPECT_EQ(4294967296ull, r.downloadSize);
  EXPECT_EQ(L"{PC}", r.updateProductCode);
  EXPECT_EQ(L"2.1", r.updateProductVersion);
  EXPECT_EQ(L"1.0", r.updateMinimumVersion);
  EXPECT_EQ(L"https://dl.example.invalid/a b.exe", r.downloadUrl);
  EXPECT_EQ(L"line1\r\nline2", r.downloadChecksum);
  EXPECT_EQ(L"{PKG}", r.distPackageGuid);
  EXPECT_EQ(L"{DIST}", r.distributionGuid);
  EXPECT_EQ(L"de-DE", r.distributionLanguage);
  EXPECT_EQ(L"3.0.1", r.distributionVersion);
  EXPECT_EQ((std::vector<std::wstring>{L"os", L"disk", L"OS", L""}), r.installConditionTypes);
  ASSERT_EQ(4u, r.installConditions.size());
  EXPECT_EQ((std::vector<std::wstring>{L"win7", L"win8\r\nor later"}), r.installConditions.at(L"os"));
  EXPECT_EQ((std::vector<std::wstring>{L"100"}), r.installConditions.at(L"disk"));
  EXPECT_EQ((std::vector<std::wstring>{L"upper"}), r.installConditions.at(L"OS"));
  EXPECT_EQ((std::vector<std::wstring>{L"untyped"}), r.installConditions.at(L""));
}

TEST(DistributionRecord, AbsentAndMisplacedParts) {
  const auto records = Records(
      "<update/>"
      "<update><downloadSize>-5</downloadSize><hvdistid DistributionGUID=\"{TOP}\"/>"
      "<updateInfo><hvdistid DistributionGUID=\"{NOCLIENT}\"/><client/></updateInfo>"
      "<client><hvdistid DistributionGUID=\"{NOINFO}\"/></client></update>"
      "<update><downloadSize>12abc</downloadSize><plugin/>"
      "<updateInfo><client><hvdistid DistributionGUID=\"{G}\"/></client></updateInfo></update>"
      "<update><downloadSize>0x10</downloadSize><downloadUrl>not in plugin</downloadUrl></update>");
  ASSERT_EQ(4u, records.size());

  const DistributionRecord& empty = records[0];
  for (const std::wstring* text :
       {&empty.contentId, &empty.productName, &empty.updateProductCode, &empty.updateProductVersion,
        &empty.updateMinimumVersion, &empty.downloadUrl, &empty.downloadChecksum, &empty.distPackageGuid,
        &empty.distributionGuid, &empty.distributionLanguage, &empty.distributionVersion}) {
    EXPECT_EQ(L"", *text);
  }
  EXPECT_EQ(0u, empty.downloadSize);
  EXPECT_TRUE(empty.installConditions.empty());
  EXPECT_TRUE(empty.installConditionTypes.empty());

  EXPECT_EQ(0u, records[1].downloadSize);
  EXPECT_EQ(L"", records[1].distributionGuid);  // "hvdistid" counts only under "updateInfo"/"client"
  EXPECT_EQ(0u, records[2].downloadSize);
  EXPECT_EQ(L"{G}", records[2].distributionGuid);
  EXPECT_EQ(L"", records[2].distPackageGuid);
  EXPECT_EQ(16u, records[3].downloadSize);
  EXPECT_EQ(L"", records[3].downloadUrl);
}

}  // namespace
}  // namespace hv
