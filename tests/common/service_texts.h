// Texts of the distribution service for tests and the torture run: answer packets, update elements, and
// request bodies read back as text.
#pragma once

#include <string>

namespace hvtest {

// A response packet in UTF-8 with the given service status and body content.
std::string AnswerPacket(int status, const std::string& body = std::string());

struct Update {
  std::string id, product, url, checksum, package, guid, language, version;
  std::string size = "0";
};
std::string UpdateElement(const Update& update);

// The UTF-16LE request body (after its byte order mark) as wide text.
std::wstring BodyText(const std::string& bytes);

}  // namespace hvtest
