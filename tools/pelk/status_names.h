// Names and meanings of the library's status codes, for messages a person reads.
#pragma once

#include <cstdint>
#include <string>

namespace pelk {

struct StatusName {
  int32_t code;
  const char* name;
  const char* meaning;
};

// The entry of a code; an entry named "UNKNOWN" when the code is not one of the library's.
const StatusName& LookUpStatus(int32_t code);
// "0x80002007 PELK_E_HTTP_404 (HTTP 404)".
std::string DescribeStatus(int32_t code);

}  // namespace pelk
