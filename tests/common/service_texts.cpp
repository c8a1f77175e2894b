#include "common/service_texts.h"

namespace hvtest {

std::string AnswerPacket(int status, const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<packet><header><date>12/07/26</date><server><status code=\"" +
         std::to_string(status) + "\">answer</status></server></header><body>" + body + "</body></packet>";
}

std::string UpdateElement(const Update& u) {
  return "<update><ID>" + u.id + "</ID><productName>" + u.product + "</productName><downloadSize>" + u.size +
         "</downloadSize><plugin><downloadUrl>" + u.url + "</downloadUrl><downloadChecksum>" + u.checksum +
         "</downloadChecksum></plugin><updateInfo><client><hvdistid DistPackageGUID=\"" + u.package +
         "\" DistributionGUID=\"" + u.guid + "\" DistributionLanguage=\"" + u.language + "\" DistributionVersion=\"" +
         u.version + "\"/></client></updateInfo></update>";
}

std::wstring BodyText(const std::string& bytes) {
  std::wstring text;
  for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
    text.push_back(
        static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]) | (static_cast<unsigned char>(bytes[i + 1]) << 8)));
  }
  return text;
}

}  // namespace hvtest
