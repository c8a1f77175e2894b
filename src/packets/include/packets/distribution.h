// One distribution of a content-query answer, read from its "update" element.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "packets/xml.h"

namespace hv {

struct DistributionRecord {
  // Fills every field from the element; absent parts give empty texts and a size of 0. Never fails.
  explicit DistributionRecord(XmlElement update);

  std::wstring contentId;             // "ID"
  std::wstring productName;           // "productName"
  uint64_t downloadSize = 0;          // "downloadSize", decimal or 0x hex; 0 when not a number
  std::wstring updateProductCode;     // "plugin" / "updateProductCode"
  std::wstring updateProductVersion;  // "plugin" / "updateProductVersion"
  std::wstring updateMinimumVersion;  // "plugin" / "updateMinimumVersion"
  std::wstring downloadUrl;           // "plugin" / "downloadUrl"
  std::wstring downloadChecksum;      // "plugin" / "downloadChecksum"
  // Attributes of "updateInfo" / "client" / "hvdistid", and only of that element.
  std::wstring distPackageGuid;       // "DistPackageGUID"
  std::wstring distributionGuid;      // "DistributionGUID"
  std::wstring distributionLanguage;  // "DistributionLanguage"
  std::wstring distributionVersion;   // "DistributionVersion"
  // "installConditions" / "installCondition" texts by their "type" (exact, case-sensitive), in document
  // order, and the types in the order of their first appearance.
  std::map<std::wstring, std::vector<std::wstring>> installConditions;
  std::vector<std::wstring> installConditionTypes;
};

}  // namespace hv
