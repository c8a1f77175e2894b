#include "packets/distribution.h"

#include "support/strings.h"

namespace hv {

DistributionRecord::DistributionRecord(XmlElement update) {
  contentId = GetChildText(update, L"ID");
  productName = GetChildText(update, L"productName");
  ParseUInt64(GetChildText(update, L"downloadSize"), downloadSize, 0);

  if (XmlElement plugin = FindChild(update, L"plugin")) {
    updateProductCode = GetChildText(plugin, L"updateProductCode");
    updateProductVersion = GetChildText(plugin, L"updateProductVersion");
    updateMinimumVersion = GetChildText(plugin, L"updateMinimumVersion");
    downloadUrl = GetChildText(plugin, L"downloadUrl");
    downloadChecksum = GetChildText(plugin, L"downloadChecksum");
  }

  if (XmlElement id = FindChild(FindChild(FindChild(update, L"updateInfo"), L"client"), L"hvdistid")) {
    distPackageGuid = GetAttribute(id, L"DistPackageGUID");
    distributionGuid = GetAttribute(id, L"DistributionGUID");
    distributionLanguage = GetAttribute(id, L"DistributionLanguage");
    distributionVersion = GetAttribute(id, L"DistributionVersion");
  }

  std::vector<XmlElement> conditions;
  FindChildren(FindChild(update, L"installConditions"), L"installCondition", conditions);
  for (XmlElement condition : conditions) {
    const std::wstring type = GetAttribute(condition, L"type");
    auto inserted = installConditions.try_emplace(type);
    if (inserted.second) installConditionTypes.push_back(type);
    inserted.first->second.push_back(GetElementText(condition, false));
  }
}

}  // namespace hv
