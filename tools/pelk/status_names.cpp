#include "status_names.h"

#include <hvpelk/exports.h>

#include <cstdio>

namespace pelk {
namespace {

#define ENTRY(name, value, meaning) {name, #name, meaning},
const StatusName kNames[] = {PELK_STATUS_TABLE(ENTRY)};
#undef ENTRY

}  // namespace

const StatusName& LookUpStatus(int32_t code) {
  for (const StatusName& entry : kNames) {
    if (entry.code == code) return entry;
  }
  static const StatusName unknown{0, "UNKNOWN", "not a status of this library"};
  return unknown;
}

std::string DescribeStatus(int32_t code) {
  const StatusName& entry = LookUpStatus(code);
  char text[160];
  const uint32_t bits = static_cast<uint32_t>(code);
  if (entry.code != code && (bits & 0xFFFF0000u) == 0x80000000u) {
    // A failed system call reports 0x80000000 with the Windows error code in the low bits.
    snprintf(text, sizeof(text), "0x%08X (Windows error %u)", bits, bits & 0xFFFFu);
    return text;
  }
  snprintf(text, sizeof(text), "0x%08X %s (%s)", static_cast<unsigned>(code), entry.name, entry.meaning);
  return text;
}

}  // namespace pelk
