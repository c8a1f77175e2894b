// The packets the service answers with.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "service/catalog.h"

namespace hv {
namespace service {

// A whole answer document as UTF-8 text: "packet" with the schema attributes, "header" holding "date"
// and "server"/"status" (attribute "code" = status, the message as text), and "body" holding one
// "update" element per distribution, in the given order. downloadBase is the URL that "/files/<name>"
// is appended to.
std::string ComposeAnswer(int32_t status, const std::wstring& message, const std::vector<const Distribution*>& updates,
                          const std::string& downloadBase);

// downloadBase + "/files/" + the percent-encoded file name.
std::string DownloadUrl(const std::string& downloadBase, const Distribution& distribution);

}  // namespace service
}  // namespace hv
