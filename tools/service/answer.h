// The packets the service answers with, written with pugixml.
#pragma once

#include <pugixml.hpp>

#include <cstdint>
#include <string>
#include <vector>

#include "catalog.h"

namespace hv {
namespace service {

// A whole answer document as UTF-8 text: "packet" with the schema attributes, "header" holding "date"
// and "server"/"status" (attribute "code" = status, the message as text), and "body" holding one
// "update" element per distribution, in the given order. downloadBase is the URL that "/files/<name>"
// is appended to.
std::string ComposeAnswer(int32_t status, const std::wstring& message, const std::vector<const Distribution*>& updates,
                          const std::string& downloadBase);

// The document as UTF-8 text without byte order mark, starting with `<?xml version="1.0"?>`: indented by
// tabs with one element a line (indent), or on one line with no white space added.
std::string XmlText(const pugi::xml_document& document, bool indent);

}  // namespace service
}  // namespace hv
