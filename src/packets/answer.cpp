#include "packets/answer.h"

#include <algorithm>
#include <cstdlib>
#include <limits>

namespace hv {

StatusCode MapServerStatus(int32_t code) {
  switch (code) {
    case 10: return PELK_E_SERVICE_10;
    case 100:
    case 200: return PELK_E_SERVICE_100_200;
    case 300:
    case 400:
    case 500:
    case 600: return PELK_E_SERVICE_300_600;
    case 700:
    case 800: return PELK_E_SERVICE_700_800;
    case 900: return PELK_E_SERVICE_900;
    case 6000: return PELK_E_SERVICE_6000;
    default: return PELK_E_SERVICE_UNKNOWN;
  }
}

AnswerPacket::AnswerPacket(const std::string& body) { document_.Load(body); }

int32_t AnswerPacket::ServiceStatusCode() const {
  const XmlElement status = FindChild(FindChild(FindChild(document_.Root(), L"header"), L"server"), L"status");
  const long long value = std::wcstoll(GetAttribute(status, L"code").c_str(), nullptr, 10);
  return static_cast<int32_t>(
      std::clamp<long long>(value, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
}

bool AnswerPacket::IsPacket() const {
  // The root's name is taken without its prefix; any namespace will do.
  const XmlElement root = document_.Root();
  const std::wstring name = root.name();
  const size_t colon = name.find(L':');
  const std::wstring local = colon == std::wstring::npos ? name : name.substr(colon + 1);
  return local == L"packet" || FindChild(root, L"header");
}

void AnswerPacket::CheckServiceStatus() const {
  // Well-formed XML that is no packet (a proxy's or a hotspot's login page, say) is no answer of the
  // service: taking it for success would empty the caller's list or drop a report as delivered. A packet
  // without a header or a status is the service's success.
  if (!IsPacket()) Throw(PELK_E_SERVICE_UNKNOWN);
  const int32_t code = ServiceStatusCode();
  if (code != 0) Throw(MapServerStatus(code));
}

XmlElement AnswerPacket::Body() const { return FindChild(document_.Root(), L"body"); }

}  // namespace hv
