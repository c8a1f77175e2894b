// The service's answer packet (packets/answer.h, packets/xml.h): any bytes as a response body.
// Checks: a body either loads or fails with one of the two parsing statuses, and the packet and the document
// agree on it; the status check gives 0 or a service status of the table, as the header's code says; that
// code reads as a decimal with leading blanks and a sign, clamped to 32 bits; the document written back
// (the packet text form, one line) loads again as the library would send it, and from there on writing and
// reading it again changes nothing.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "fuzz_support.h"
#include "packets/answer.h"
#include "packets/xml.h"

namespace {

// The header's status code as the answer packet documents it, for codes in ASCII: blanks, one sign, the
// digits up to the first other character, clamped to the 32-bit range; 0 without digits.
int32_t ExpectedCode(const std::wstring& text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == L' ' || (text[i] >= L'\t' && text[i] <= L'\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) negative = text[i++] == L'-';
  int64_t value = 0;
  for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
    value = std::min<int64_t>(value * 10 + (text[i] - L'0'), int64_t{1} << 40);
  }
  if (negative) value = -value;
  return static_cast<int32_t>(
      std::clamp<int64_t>(value, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
}

// True when every unit is one a UTF-16 string can hold as a character or surrogate: a document loaded from
// UTF-32 here may hold others, which Windows never sees.
bool WindowsText(const pugi::xml_node& node) {
  auto fits = [](const wchar_t* text) {
    for (; *text; ++text) {
      if (*text < 0 || *text > 0x10FFFF) return false;
    }
    return true;
  };
  if (!fits(node.name()) || !fits(node.value())) return false;
  for (const pugi::xml_attribute& attribute : node.attributes()) {
    if (!fits(attribute.name()) || !fits(attribute.value())) return false;
  }
  for (const pugi::xml_node& child : node.children()) {
    if (!WindowsText(child)) return false;
  }
  return true;
}

hv::StatusCode LoadStatus(hv::PacketDocument& document, const std::string& body) {
  return hv::StatusOf([&] { document.Load(body); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string body(reinterpret_cast<const char*>(data), size);
  std::optional<hv::AnswerPacket> answer;
  const hv::StatusCode parsed = hv::StatusOf([&] { answer.emplace(body); });
  hv::PacketDocument document;
  FUZZ_CHECK(LoadStatus(document, body) == parsed);
  if (parsed != 0) {
    FUZZ_CHECK(parsed == PELK_E_MALFORMED_RESPONSE || parsed == PELK_E_EMPTY_RESPONSE);
    FUZZ_CHECK(!document.Root());
    return 0;
  }
  FUZZ_CHECK(document.Root());

  const hv::XmlElement header = hv::FindChild(document.Root(), L"header");
  const std::wstring codeText = hv::GetAttribute(hv::FindChild(hv::FindChild(header, L"server"), L"status"), L"code");
  const int32_t code = answer->ServiceStatusCode();
  if (hvfuzz::IsAscii(codeText)) FUZZ_CHECK(code == ExpectedCode(codeText));
  const hv::StatusCode status = hv::StatusOf([&] { answer->CheckServiceStatus(); });
  // A packet: the root's name is "packet" behind at most one prefix, or the root holds a header.
  const std::wstring name = document.Root().name();
  const size_t colon = name.find(L':');
  const bool packetRoot = name == L"packet" || (colon != std::wstring::npos && colon + 7 == name.size() &&
                                                name.compare(colon, 7, L":packet") == 0);
  FUZZ_CHECK(answer->IsPacket() == (packetRoot || header));
  if (!packetRoot && !header) {
    FUZZ_CHECK(status == PELK_E_SERVICE_UNKNOWN);
  } else if (code == 0) {
    FUZZ_CHECK(status == 0);
  } else {
    FUZZ_CHECK(status == hv::MapServerStatus(code));
    FUZZ_CHECK(hvfuzz::IsTableStatus(status) && (static_cast<uint32_t>(status) & 0xFFFFF000u) == 0x80008000u);
  }

  if (!WindowsText(document.Root().root())) return 0;
  const std::wstring first = document.Save(false, false);
  FUZZ_CHECK(!first.empty() && first[0] == L'\xFEFF');
  hv::PacketDocument again;
  FUZZ_CHECK(LoadStatus(again, hvfuzz::WideBytes(first)) == 0);
  const std::wstring second = again.Save(false, false);
  hv::PacketDocument third;
  FUZZ_CHECK(LoadStatus(third, hvfuzz::WideBytes(second)) == 0);
  FUZZ_CHECK(third.Save(false, false) == second);
  return 0;
}
